#include "server/registration.h"

#include <dshow.h>

#include <cstring>

#include "framework/factory_template.h"
#include "framework/filter_setup.h"
#include "framework/module_state.h"
#include "server/server_state.h"

namespace {

// A Win32 error code as a status; 0 stays S_OK.
HRESULT StatusFromWin32(LONG code) {
    if (code == 0) return S_OK;
    return static_cast<HRESULT>((static_cast<uint32_t>(code) & 0xFFFFu) | 0x80070000u);
}

constexpr WCHAR kServerSubkey[] = u"InprocServer32";
constexpr WCHAR kThreadingModel[] = u"Both";

// "CLSID\{....}" for classId, narrow, into a buffer of MAX_PATH bytes.
void ClassKeyName(const CLSID& classId, char (&keyName)[MAX_PATH]) {
    WCHAR text[CHARS_IN_GUID] = {};
    StringFromGUID2(classId, text, CHARS_IN_GUID);
    wsprintfA(keyName, "CLSID\\%ls", text);
}

// The narrow text of a wide string, formatted with "%ls" into a buffer of MAX_PATH bytes.
// wsprintfA writes up to 1024 bytes whatever the buffer, and narrowing can lengthen a text
// (every character beyond ASCII takes two to four bytes), so the length is measured first and
// a text that would not fit is refused rather than written past the buffer.
bool NarrowText(LPCWSTR text, char (&narrow)[MAX_PATH]) {
    if (text == nullptr) return false;
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0 || bytes > MAX_PATH) return false;
    wsprintfA(narrow, "%ls", text);
    return true;
}

}  // namespace

HRESULT WriteClassKey(CLSID classId, LPCWSTR displayName, LPCWSTR modulePath,
                      LPCWSTR threadingModel, LPCWSTR serverSubkey) {
    // Every text is narrowed before the first key is written, so a text too long for its
    // buffer leaves nothing half-registered.
    char name[MAX_PATH] = {};
    char subkeyName[MAX_PATH] = {};
    char path[MAX_PATH] = {};
    char model[MAX_PATH] = {};
    if (!NarrowText(displayName, name) || !NarrowText(serverSubkey, subkeyName) ||
        !NarrowText(modulePath, path) || !NarrowText(threadingModel, model)) {
        return StatusFromWin32(ERROR_INSUFFICIENT_BUFFER);
    }

    char keyName[MAX_PATH] = {};
    ClassKeyName(classId, keyName);

    HKEY classKey = nullptr;
    LONG code = RegCreateKeyA(HKEY_CLASSES_ROOT, keyName, &classKey);
    if (code != 0) return StatusFromWin32(code);

    code = RegSetValueA(classKey, nullptr, REG_SZ, name, sizeof(name));
    if (code != 0) {
        RegCloseKey(classKey);
        return StatusFromWin32(code);
    }

    HKEY serverKey = nullptr;
    code = RegCreateKeyA(classKey, subkeyName, &serverKey);
    if (code != 0) {
        RegCloseKey(classKey);
        return StatusFromWin32(code);
    }

    code = RegSetValueA(serverKey, nullptr, REG_SZ, path, static_cast<DWORD>(lstrlenA(path) + 1));
    if (code != 0) {
        RegCloseKey(classKey);
        RegCloseKey(serverKey);
        return StatusFromWin32(code);
    }

    code = RegSetValueExA(serverKey, "ThreadingModel", 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(model),
                          static_cast<DWORD>(lstrlenA(model) + 1));
    RegCloseKey(classKey);
    RegCloseKey(serverKey);
    return StatusFromWin32(code);
}

HRESULT DeleteKeyTree(HKEY parent, LPCSTR path) {
    if (path == nullptr || path[0] == '\0') return E_FAIL;

    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path, 0, MAXIMUM_ALLOWED, &key) != 0) return S_OK;

    // Always take the first child: each recursive call deletes it, so the next one moves up.
    // If the same child comes back, it could not be deleted, and asking again would loop
    // forever; leave it (and so this key) in place.
    char previous[MAX_PATH] = {};
    for (;;) {
        char child[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr) != 0) break;
        if (previous[0] != '\0' && std::strcmp(previous, child) == 0) break;
        DeleteKeyTree(key, child);
        std::memcpy(previous, child, sizeof(previous));
    }
    RegCloseKey(key);
    RegDeleteKeyA(parent, path);
    return S_OK;
}

HRESULT RemoveClassKey(CLSID classId) {
    char keyName[MAX_PATH] = {};
    ClassKeyName(classId, keyName);
    DeleteKeyTree(HKEY_CLASSES_ROOT, keyName);
    return S_OK;
}

HRESULT RegisterClassKeys(LPCWSTR modulePath, BOOL registering) {
    HRESULT status = S_OK;
    for (int i = 0; i < factoryTemplateCount; ++i) {
        const FactoryTemplate& entry = factoryTemplates[i];
        if (registering) {
            status = WriteClassKey(*entry.classId, entry.displayName, modulePath,
                                   kThreadingModel, kServerSubkey);
        } else {
            status = RemoveClassKey(*entry.classId);
        }
        if (FAILED(status)) break;
    }
    return status;
}

HRESULT RegisterServer(BOOL registering) {
    // Without its own module handle the library would register the host program's path.
    if (moduleInstance == nullptr) return E_UNEXPECTED;

    char narrowPath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(moduleInstance, narrowPath, MAX_PATH);
    if (length == 0) return StatusFromWin32(static_cast<LONG>(GetLastError()));
    // A path that filled the buffer was cut short; registering it would point the class at a
    // file that does not exist.
    if (length >= MAX_PATH) return StatusFromWin32(ERROR_INSUFFICIENT_BUFFER);

    // A Linux path is bytes. One that is not valid text in the code page would be widened with
    // replacement characters and registered as a different, non-existent path; refuse it
    // instead (ERROR_NO_UNICODE_TRANSLATION). Valid text widens and narrows back byte for byte.
    WCHAR widePath[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrowPath, -1, widePath, MAX_PATH) ==
        0) {
        return StatusFromWin32(static_cast<LONG>(GetLastError()));
    }

    HRESULT status = S_OK;
    if (registering) {
        status = RegisterClassKeys(widePath, TRUE);
        if (FAILED(status)) return status;
    }

    CoInitialize(nullptr);
    IFilterMapper2* mapper2 = nullptr;
    IFilterMapper* mapper = nullptr;
    status = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IFilterMapper2, reinterpret_cast<void**>(&mapper2));
    if (FAILED(status)) {
        mapper2 = nullptr;
        status = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IFilterMapper, reinterpret_cast<void**>(&mapper));
        if (FAILED(status)) mapper = nullptr;
    }
    if (mapper2 != nullptr || mapper != nullptr) {
        for (int i = 0; i < factoryTemplateCount; ++i) {
            const FilterSetup* setup = factoryTemplates[i].setup;
            if (setup == nullptr) continue;
            status = mapper2 != nullptr ? RegisterWithMapper2(setup, mapper2, registering)
                                        : RegisterWithMapper(setup, mapper, registering);
            if (FAILED(status)) break;
        }
        if (mapper2 != nullptr) mapper2->Release();
        if (mapper != nullptr) mapper->Release();
    }
    CoFreeUnusedLibraries();
    CoUninitialize();

    if (!registering && SUCCEEDED(status)) status = RegisterClassKeys(widePath, FALSE);
    return status;
}

SERVER_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() { return RegisterServer(TRUE); }

SERVER_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() { return RegisterServer(FALSE); }
