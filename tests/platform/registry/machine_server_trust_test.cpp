// Servers for every user: regsvr --machine registers only a library that nobody but root can
// change, and a program refuses to load a library that only the machine-wide registry names once
// another user could change it; a user's own registrations load as before. The cases across
// users run as root, with a user made for the test and removed again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <dshow.h>
#include <platform/platform.h>

#include "support/file_trust.h"
#include "scoped_state_dir.h"
#include "tests/support/scoped_user.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace {

using platform::ChangeableByOthers;
using testing::HasSubstr;
using testsupport::Quote;

DEFINE_GUID(CLSID_TrustedColorBar, 0x56B794AD, 0x9850, 0x4F6F, 0xA6, 0x95, 0x4E, 0x55, 0x38, 0x6F,
            0x73, 0x28);
const char kColorBarClass[] = "{56B794AD-9850-4F6F-A695-4E55386F7328}";
const char kColorBarServerKey[] = "CLSID\\{56B794AD-9850-4F6F-A695-4E55386F7328}\\InprocServer32";

std::string Tool(const char* name) { return testsupport::BuildDir() + "/" + name; }

// A scratch tree below /tmp, root's and 0755 (as root makes it there), removed with all in it.
class ScratchTree : public ScopedTempDir {
public:
    ScratchTree() : ScopedTempDir("tamsel-trust", "/nonexistent", 0755) {}

    // The folder `relative` in the tree, made with its parents, each 0755.
    std::string Folder(const std::string& relative) const {
        std::string path = Path();
        for (const auto& name : std::filesystem::path(relative)) {
            path += '/';
            path += name.string();
            mkdir(path.c_str(), 0755);
            chmod(path.c_str(), 0755);
        }
        return path;
    }
    // A copy of tamsel.ax (0644) in the folder `relative`.
    std::string CopyServer(const std::string& relative) const {
        const std::string path = Folder(relative) + "/tamsel.ax";
        std::filesystem::copy_file(Tool("tamsel.ax"), path,
                                   std::filesystem::copy_options::overwrite_existing);
        chmod(path.c_str(), 0644);
        return path;
    }
};

// Points the platform and the tools it runs at a machine-wide directory in the tree.
class ScopedMachineDir : public ScopedDirVariable {
public:
    explicit ScopedMachineDir(const ScratchTree& tree)
        : ScopedDirVariable(PLATFORM_MACHINE_DIR_ENV, tree.Path() + "/machine") {}
};

int Regsvr(const std::string& arguments, std::string* output) {
    return testsupport::Shell(Quote(Tool("regsvr")) + " " + arguments, output);
}

// Creates the colour-bar filter in a process of its own, errors logged; its status is printed.
int CreateElsewhere(std::string* output) {
    return testsupport::Shell("PLATFORM_DEBUG=com:1 " + Quote(Tool("create_object_helper")) + " " +
                                  Quote(kColorBarClass),
                              output);
}

HRESULT CreateHere() {
    IBaseFilter* filter = nullptr;
    const HRESULT status = CoCreateInstance(CLSID_TrustedColorBar, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IBaseFilter, reinterpret_cast<void**>(&filter));
    if (filter != nullptr) filter->Release();
    CoFreeUnusedLibraries();
    return status;
}

void Chown(const std::string& path, uid_t uid) { ASSERT_EQ(lchown(path.c_str(), uid, -1), 0) << path; }

TEST(FileTrust, AcceptsOnlyWhatNobodyButRootCanChange) {
    testsupport::ScopedUser user("tamsel-trust");
    ASSERT_EQ(user.Error(), "");
    ScratchTree tree;
    // Below /tmp, which everyone may add to, in a tree of root's.
    const std::string safe = tree.CopyServer("usr/lib");
    EXPECT_EQ(ChangeableByOthers(safe, 0), "");

    // The file: another user's (unless that user is the one trusted), or writable by others.
    const std::string file = tree.CopyServer("file");
    Chown(file, user.Uid());
    EXPECT_THAT(ChangeableByOthers(file, 0), HasSubstr("the file " + file + " is owned by " + user.Name()));
    EXPECT_EQ(ChangeableByOthers(file, user.Uid()), "");
    Chown(file, 0);
    chmod(file.c_str(), 0664);
    EXPECT_THAT(ChangeableByOthers(file, 0), HasSubstr("the file " + file + " is writable by its group"));
    chmod(file.c_str(), 0646);
    EXPECT_THAT(ChangeableByOthers(file, 0), HasSubstr("writable by everyone"));

    // A folder above it: another user's, or writable by others without the sticky bit (as
    // with the file, a folder only its group may write is refused too).
    const std::string theirs = tree.CopyServer("theirs/lib");
    Chown(tree.Path() + "/theirs", user.Uid());
    EXPECT_THAT(ChangeableByOthers(theirs, 0),
                HasSubstr("the folder " + tree.Path() + "/theirs is owned by " + user.Name()));
    const std::string open = tree.CopyServer("open/lib");
    chmod((tree.Path() + "/open").c_str(), 0777);
    EXPECT_THAT(ChangeableByOthers(open, 0),
                HasSubstr("the folder " + tree.Path() + "/open is writable by its group and everyone"));
    chmod((tree.Path() + "/open").c_str(), 0775);
    EXPECT_THAT(ChangeableByOthers(open, 0), HasSubstr("is writable by its group"));

    // A folder everyone may add to, with the sticky bit: root's entries are safe, another user's
    // link there is not (its owner may replace it).
    const std::string inShared = tree.CopyServer("shared/root");
    const std::string shared = tree.Path() + "/shared";
    chmod(shared.c_str(), 01777);
    EXPECT_EQ(ChangeableByOthers(inShared, 0), "");
    const std::string sharedLink = shared + "/link";
    ASSERT_EQ(symlink("root/tamsel.ax", sharedLink.c_str()), 0);
    EXPECT_EQ(ChangeableByOthers(sharedLink, 0), "");
    Chown(sharedLink, user.Uid());
    EXPECT_THAT(ChangeableByOthers(sharedLink, 0),
                HasSubstr("the symbolic link " + sharedLink + " is owned by " + user.Name()));

    // Links are followed as the system follows them, ".." after a link included: what counts is
    // every folder passed through, not the path as written.
    const std::string alias = tree.Path() + "/usr/alias";
    ASSERT_EQ(symlink("lib/tamsel.ax", alias.c_str()), 0);
    EXPECT_EQ(ChangeableByOthers(alias, 0), "");
    const std::string intoTheirs = tree.Path() + "/usr/lib/up";
    ASSERT_EQ(symlink("../../theirs/lib", intoTheirs.c_str()), 0);
    EXPECT_THAT(ChangeableByOthers(intoTheirs + "/tamsel.ax", 0),
                HasSubstr("the folder " + tree.Path() + "/theirs is owned by"));
    const std::string linkInTheirs = tree.Path() + "/theirs/back";
    ASSERT_EQ(symlink(safe.c_str(), linkInTheirs.c_str()), 0);
    EXPECT_THAT(ChangeableByOthers(linkInTheirs, 0),
                HasSubstr("the folder " + tree.Path() + "/theirs is owned by"));
    EXPECT_THAT(ChangeableByOthers(tree.Path() + "/usr/lib/up/../lib/tamsel.ax", 0),
                HasSubstr("/theirs is owned by"));

    EXPECT_THAT(ChangeableByOthers(tree.Path() + "/usr/lib", 0), HasSubstr("is a folder"));
    EXPECT_THAT(ChangeableByOthers(tree.Path() + "/missing.ax", 0), HasSubstr("cannot be examined"));
    EXPECT_THAT(ChangeableByOthers("usr/lib/tamsel.ax", 0), HasSubstr("not an absolute path"));
}

// Another user, a scratch tree of root's with the machine-wide directory in it, and a state
// directory of the test's own.
class MachineServerTrust : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(user.Error(), ""); }

    testsupport::ScopedUser user{"tamsel-trust"};
    ScratchTree tree;
    ScopedMachineDir machine{tree};
    ScopedStateDir own;
};

TEST_F(MachineServerTrust, RegsvrRegistersMachineWideOnlyWhatNobodyButRootCanChange) {
    // A prefix install that belongs to an ordinary user: that user could replace the library.
    const std::string prefix = tree.Path() + "/home/prefix";
    const std::string theirs = tree.CopyServer("home/prefix/lib/tamsel");
    ASSERT_EQ(testsupport::Shell("chown -R " + user.Name() + " " + Quote(prefix)), 0);
    std::string said;
    EXPECT_EQ(Regsvr("--machine " + Quote(theirs), &said), 6) << said;
    EXPECT_THAT(said, HasSubstr("refusing to register '" + theirs + "' machine-wide"));
    EXPECT_THAT(said, HasSubstr("the folder " + prefix + " is owned by " + user.Name()));
    EXPECT_FALSE(std::filesystem::exists(machine.Database())) << "nothing may be registered";

    // A copy of root's that its group may write is refused too; made safe, it is registered.
    const std::string safe = tree.CopyServer("usr/lib/tamsel");
    chmod(safe.c_str(), 0664);
    EXPECT_EQ(Regsvr("--machine " + Quote(safe), &said), 6) << said;
    EXPECT_THAT(said, HasSubstr("the file " + safe + " is writable by its group"));
    chmod(safe.c_str(), 0644);
    EXPECT_EQ(Regsvr("--machine " + Quote(safe), &said), 0) << said;
    EXPECT_TRUE(std::filesystem::exists(machine.Database()));
    // Unregistering would load it as root just the same.
    EXPECT_EQ(Regsvr("--machine -u " + Quote(theirs), &said), 6) << said;
    EXPECT_THAT(said, HasSubstr("refusing to unregister '" + theirs + "'"));

    // A user's own registration is not machine-wide and is not checked.
    EXPECT_EQ(Regsvr(Quote(theirs), &said), 0) << said;
    EXPECT_EQ(Regsvr("-u " + Quote(theirs), &said), 0) << said;
    EXPECT_EQ(Regsvr("--machine -u " + Quote(safe), &said), 0) << said;
}

TEST_F(MachineServerTrust, AProgramRefusesAMachineWideServerAnotherUserCouldNowChange) {
    const std::string safe = tree.CopyServer("usr/lib/tamsel");
    std::string said;
    ASSERT_EQ(Regsvr("--machine " + Quote(safe), &said), 0) << said;
    EXPECT_EQ(CreateElsewhere(&said), 0) << said;
    EXPECT_EQ(CreateHere(), S_OK);

    // After registration its group may write the file: refused, with the reason logged.
    chmod(safe.c_str(), 0664);
    EXPECT_EQ(CreateElsewhere(&said), 1) << said;
    EXPECT_THAT(said, HasSubstr("0x80070005"));
    EXPECT_THAT(said, HasSubstr("refusing to load " + safe));
    EXPECT_THAT(said, HasSubstr("the file " + safe + " is writable by its group"));
    EXPECT_EQ(CreateHere(), E_ACCESSDENIED);
    chmod(safe.c_str(), 0644);
    EXPECT_EQ(CreateElsewhere(&said), 0) << said;

    // Its folder given to another user.
    const std::string folder = tree.Path() + "/usr/lib/tamsel";
    Chown(folder, user.Uid());
    EXPECT_EQ(CreateElsewhere(&said), 1) << said;
    EXPECT_THAT(said, HasSubstr("the folder " + folder + " is owned by " + user.Name()));
    EXPECT_EQ(CreateHere(), E_ACCESSDENIED);

    // The user's own registration of the same library is loaded as before.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, kColorBarServerKey, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueA(key, nullptr, REG_SZ, safe.c_str(), static_cast<DWORD>(safe.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(CreateHere(), S_OK);
    EXPECT_EQ(CreateElsewhere(&said), 0) << said;
}

}  // namespace
