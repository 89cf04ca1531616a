#include <gtest/gtest.h>
#include <objbase.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_server_interface.h"
#include "tests/support/test_support.h"

namespace {

const std::string kServerPath = COM_TEST_SERVER_PATH;
const char kServerName[] = "com-test-server.so";

std::string ClassKey(REFCLSID clsid) {
    OLECHAR wide[CHARS_IN_GUID];
    StringFromGUID2(clsid, wide, CHARS_IN_GUID);
    std::string text = "CLSID\\";
    for (int i = 0; wide[i] != 0; ++i) text += static_cast<char>(wide[i]);
    return text + "\\InprocServer32";
}

// Writes HKCR\CLSID\{clsid}\InprocServer32; an empty path leaves the default value unset.
void RegisterServer(REFCLSID clsid, const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, ClassKey(clsid).c_str(), &key), ERROR_SUCCESS);
    if (!path.empty()) {
        ASSERT_EQ(RegSetValueA(key, nullptr, REG_SZ, path.c_str(), static_cast<DWORD>(path.size())),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

HRESULT Create(REFCLSID clsid, ITestObject** object) {
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ITestObject,
                            reinterpret_cast<void**>(object));
}

class ServerLoadingTest : public testing::Test {
protected:
    static void SetUpTestSuite() { RegisterServer(CLSID_TestServerObject, kServerPath); }
    // Each test starts with the server unloaded.
    void TearDown() override { CoFreeUnusedLibraries(); }
};

TEST_F(ServerLoadingTest, LoadsOnceAndUnloadsWhenUnused) {
    ASSERT_EQ(GetModuleHandleA(kServerName), nullptr);
    ITestObject* first = nullptr;
    ITestObject* second = nullptr;
    ASSERT_EQ(Create(CLSID_TestServerObject, &first), S_OK);
    ASSERT_EQ(Create(CLSID_TestServerObject, &second), S_OK);
    HMODULE module = GetModuleHandleA(kServerName);
    ASSERT_NE(module, nullptr);

    // The server found its own handle from its constructor, and it names the server's file.
    HMODULE reported = nullptr;
    first->ModuleHandle(&reported);
    EXPECT_EQ(reported, module);
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(reported, path, MAX_PATH), 0u);
    EXPECT_EQ(std::string(path), kServerPath);

    first->Release();
    CoFreeUnusedLibraries();  // one object still alive: stays loaded
    EXPECT_EQ(GetModuleHandleA(kServerName), module);

    second->Release();
    CoFreeUnusedLibraries();  // loaded once, so one unload takes it out of the process
    EXPECT_EQ(GetModuleHandleA(kServerName), nullptr);

    ASSERT_EQ(Create(CLSID_TestServerObject, &first), S_OK);  // loaded again on demand
    EXPECT_NE(GetModuleHandleA(kServerName), nullptr);
    first->Release();
}

TEST_F(ServerLoadingTest, ClassObjectAndOuterArePassedThrough) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(CLSID_TestServerObject, CLSCTX_INPROC_SERVER, nullptr,
                               IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    CoFreeUnusedLibraries();  // the factory keeps the server in
    EXPECT_NE(GetModuleHandleA(kServerName), nullptr);
    factory->Release();

    IUnknown* outer = reinterpret_cast<IUnknown*>(&factory);  // only compared, never called
    IUnknown* inner = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_TestServerObject, outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&inner)),
              S_OK);
    ITestObject* object = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_ITestObject, reinterpret_cast<void**>(&object)), S_OK);
    IUnknown* seen = nullptr;
    object->Outer(&seen);
    EXPECT_EQ(seen, outer);
    object->Release();
    inner->Release();

    // The server's own refusal comes back unchanged.
    EXPECT_EQ(CoCreateInstance(CLSID_TestServerObject, outer, CLSCTX_INPROC_SERVER,
                               IID_ITestObject, reinterpret_cast<void**>(&object)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
}

TEST_F(ServerLoadingTest, ConcurrentFirstUseLoadsOneServer) {
    constexpr int kThreads = 4;
    std::vector<ITestObject*> objects(kThreads, nullptr);
    std::vector<HRESULT> results(kThreads, E_FAIL);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { results[i] = Create(CLSID_TestServerObject, &objects[i]); });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(results[i], S_OK);
        objects[i]->Release();
    }
    CoFreeUnusedLibraries();
    EXPECT_EQ(GetModuleHandleA(kServerName), nullptr);  // no stray loader reference left
}

DEFINE_GUID(CLSID_Unregistered, 0x7e1f0a01, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01);
DEFINE_GUID(CLSID_NoPath, 0x7e1f0a01, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x02);
DEFINE_GUID(CLSID_MissingFile, 0x7e1f0a01, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x03);
DEFINE_GUID(CLSID_TextFile, 0x7e1f0a01, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x04);
DEFINE_GUID(CLSID_NotServer, 0x7e1f0a01, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x05);
DEFINE_GUID(CLSID_WrongClass, 0x7e1f0a01, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x06);

TEST(ServerFailureTest, EachFailureHasItsStatus) {
    const std::string textFile = testsupport::StateDir() + "/plain.txt";
    std::ofstream(textFile) << "not a library\n";
    RegisterServer(CLSID_NoPath, "");
    RegisterServer(CLSID_MissingFile, testsupport::StateDir() + "/gone.so");
    RegisterServer(CLSID_TextFile, textFile);
    RegisterServer(CLSID_NotServer, COM_TEST_NOT_SERVER_PATH);
    RegisterServer(CLSID_WrongClass, kServerPath);  // a server that does not serve this class

    struct Case {
        const CLSID* clsid;
        HRESULT expected;
    } cases[] = {
        {&CLSID_Unregistered, REGDB_E_CLASSNOTREG},
        {&CLSID_NoPath, REGDB_E_READREGDB},
        {&CLSID_MissingFile, HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
        {&CLSID_TextFile, CO_E_ERRORINDLL},
        {&CLSID_NotServer, CO_E_ERRORINDLL},
        {&CLSID_WrongClass, CLASS_E_CLASSNOTAVAILABLE},
    };
    for (const Case& c : cases) {
        ITestObject* object = reinterpret_cast<ITestObject*>(&object);
        EXPECT_EQ(Create(*c.clsid, &object), c.expected);
        EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(GetModuleHandleA("com-test-not-server.so"), nullptr);  // given back at once
    CoFreeUnusedLibraries();
}

}  // namespace

namespace {

DEFINE_GUID(CLSID_FifoServer, 0x7e1f0a01, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x07);
DEFINE_GUID(CLSID_DirectoryServer, 0x7e1f0a01, 0x1111, 0x4222, 0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x08);

// A registry entry naming a FIFO would block the loader's open forever, a directory makes no
// library either: both fail at once as a bad library.
TEST(ServerFailureTest, OnlyRegularFilesAreLoaded) {
    const std::string fifo = testsupport::StateDir() + "/server.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RegisterServer(CLSID_FifoServer, fifo);
    RegisterServer(CLSID_DirectoryServer, testsupport::StateDir());
    for (const CLSID* clsid : {&CLSID_FifoServer, &CLSID_DirectoryServer}) {
        ITestObject* object = nullptr;
        EXPECT_EQ(Create(*clsid, &object), CO_E_ERRORINDLL);
        EXPECT_EQ(object, nullptr);
    }
}

}  // namespace
