// DeleteKeyTree on its own (linked from the library's objects rather than loaded).
#include <gtest/gtest.h>

#include "registry_text.h"
#include "server/registration.h"

namespace {

TEST(DeleteKeyTreeTest, EmptyMissingAndNestedPaths) {
    CreateRegistryKey("TamselTest\\Keep");
    EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, ""), E_FAIL);
    EXPECT_TRUE(RegistryKeyExists("TamselTest\\Keep"));

    EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, "TamselTest\\Missing"), S_OK);
    EXPECT_FALSE(RegistryKeyExists("TamselTest\\Missing"));

    CreateRegistryKey("TamselTest\\Tree\\A\\B\\C");
    CreateRegistryKey("TamselTest\\Tree\\A\\B2");
    CreateRegistryKey("TamselTest\\Tree\\D");
    EXPECT_EQ(DeleteKeyTree(HKEY_CLASSES_ROOT, "TamselTest\\Tree"), S_OK);
    EXPECT_FALSE(RegistryKeyExists("TamselTest\\Tree"));
    EXPECT_FALSE(RegistryKeyExists("TamselTest\\Tree\\A\\B\\C"));
    EXPECT_TRUE(RegistryKeyExists("TamselTest\\Keep"));
}

}  // namespace
