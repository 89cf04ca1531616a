// DeleteKeyTree and WriteClassKey on their own (linked from the library's objects rather than
// loaded).
#include <gtest/gtest.h>

#include <string>

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

// Texts are narrowed into buffers of MAX_PATH bytes; one that narrows longer is refused before
// any key is created, whichever text it is.
TEST(WriteClassKeyTest, TextsTooLongOnceNarrowedAreRefused) {
    const CLSID classId = {0x1234abcd, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
    const std::string key = "CLSID\\{1234ABCD-1111-2222-0102-030405060708}";
    // 100 characters, 300 bytes in UTF-8.
    const std::u16string longText(100, u'\u30AB');
    const std::u16string fits(86, u'\u30AB');  // 258 bytes and the terminator
    const HRESULT tooLong = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WriteClassKey(classId, longText.c_str(), u"/lib/x.ax", u"Both", u"InprocServer32"),
              tooLong);
    EXPECT_EQ(WriteClassKey(classId, u"Name", longText.c_str(), u"Both", u"InprocServer32"),
              tooLong);
    EXPECT_EQ(WriteClassKey(classId, u"Name", u"/lib/x.ax", longText.c_str(), u"InprocServer32"),
              tooLong);
    EXPECT_EQ(WriteClassKey(classId, u"Name", u"/lib/x.ax", u"Both", longText.c_str()), tooLong);
    EXPECT_FALSE(RegistryKeyExists(key));

    ASSERT_EQ(WriteClassKey(classId, u"Name", fits.c_str(), u"Both", u"InprocServer32"), S_OK);
    const auto stored = RegistryText(key + "\\InprocServer32", nullptr);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->size(), 258u);
    EXPECT_EQ(RemoveClassKey(classId), S_OK);
    EXPECT_FALSE(RegistryKeyExists(key));
}

}  // namespace
