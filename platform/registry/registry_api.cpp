// The Reg*A functions: argument checks and the platform's buffer conventions over RegistryStore.
#include <windows.h>

#include <platform/platform.h>

#include <cstring>
#include <string>

#include "registry/registry_store.h"

using platform::RegistryStore;

namespace {

// The platform's code for a value of the wrong type (not in the published header list we carry).
constexpr LONG kErrorInvalidData = 13;

// Copies `size` bytes to a caller buffer under the platform's rules: no buffer asks only for the
// size; a buffer that is too small gets ERROR_MORE_DATA and the size needed.
LONG CopyData(const BYTE* data, DWORD size, LPBYTE buffer, LPDWORD bufferSize) {
    if (buffer != nullptr && bufferSize == nullptr) return ERROR_INVALID_PARAMETER;
    if (bufferSize == nullptr) return ERROR_SUCCESS;
    if (buffer == nullptr) {
        *bufferSize = size;
        return ERROR_SUCCESS;
    }
    if (*bufferSize < size) {
        *bufferSize = size;
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(buffer, data, size);
    *bufferSize = size;
    return ERROR_SUCCESS;
}

// Copies a name into a character buffer; the counts exclude the terminator on success and include
// it when reporting the size needed.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD chars) {
    if (buffer == nullptr || chars == nullptr) return ERROR_INVALID_PARAMETER;
    if (*chars < name.size() + 1) {
        *chars = static_cast<DWORD>(name.size() + 1);
        return ERROR_MORE_DATA;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    *chars = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

}  // namespace

WINADVAPI LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    return RegistryStore::Instance().CreateKey(hKey, lpSubKey, phkResult);
}

WINADVAPI LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    return RegistryStore::Instance().OpenKey(hKey, lpSubKey, phkResult);
}

WINADVAPI LONG WINAPI RegCloseKey(HKEY hKey) { return RegistryStore::Instance().CloseKey(hKey); }

// As on the platform, the size passed is ignored: the text's length + 1 is stored.
WINADVAPI LONG WINAPI RegSetValueA(HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData,
                                   DWORD) {
    if (dwType != REG_SZ || lpData == nullptr) return ERROR_INVALID_PARAMETER;
    const DWORD size = static_cast<DWORD>(std::strlen(lpData) + 1);
    return RegistryStore::Instance().SetValue(hKey, lpSubKey, nullptr, REG_SZ,
                                              reinterpret_cast<const BYTE*>(lpData), size);
}

WINADVAPI LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType,
                                     const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    return RegistryStore::Instance().SetValue(hKey, nullptr, lpValueName, dwType, lpData, cbData);
}

WINADVAPI LONG WINAPI RegQueryValueA(HKEY hKey, LPCSTR lpSubKey, LPSTR lpData, PLONG lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    RegistryStore::Value value;
    const LONG status = RegistryStore::Instance().QueryValue(hKey, lpSubKey, nullptr, &value);
    if (status != ERROR_SUCCESS) return status;
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return kErrorInvalidData;
    // The text up to its first terminator, always handed out terminated.
    const size_t length = strnlen(reinterpret_cast<const char*>(value.data.data()),
                                  value.data.size());
    const LONG needed = static_cast<LONG>(length + 1);
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    if (lpData == nullptr) {
        *lpcbData = needed;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < needed) {
        *lpcbData = needed;
        return ERROR_MORE_DATA;
    }
    if (length) std::memcpy(lpData, value.data.data(), length);
    lpData[length] = '\0';
    *lpcbData = needed;
    return ERROR_SUCCESS;
}

WINADVAPI LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType,
                                       LPBYTE lpData, LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    RegistryStore::Value value;
    const LONG status = RegistryStore::Instance().QueryValue(hKey, nullptr, lpValueName, &value);
    if (status != ERROR_SUCCESS) return status;
    if (lpType != nullptr) *lpType = value.type;
    return CopyData(value.data.data(), static_cast<DWORD>(value.data.size()), lpData, lpcbData);
}

WINADVAPI LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                    LPDWORD, LPSTR lpClass, LPDWORD lpcchClass,
                                    PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
    std::string name;
    const LONG status = RegistryStore::Instance().EnumKey(hKey, dwIndex, &name);
    if (status != ERROR_SUCCESS) return status;
    const LONG copied = CopyName(name, lpName, lpcchName);
    if (copied != ERROR_SUCCESS) return copied;
    // Keys carry no class text and no write time here.
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

WINADVAPI LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName,
                                    LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr) return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    RegistryStore::Value value;
    const LONG status = RegistryStore::Instance().EnumValue(hKey, dwIndex, &value);
    if (status != ERROR_SUCCESS) return status;
    const DWORD size = static_cast<DWORD>(value.data.size());
    // Check both buffers before writing either, so a short data buffer leaves nothing half done.
    if (lpData != nullptr && *lpcbData < size) {
        *lpcbData = size;
        if (*lpcchValueName < value.name.size() + 1)
            *lpcchValueName = static_cast<DWORD>(value.name.size() + 1);
        return ERROR_MORE_DATA;
    }
    const LONG copied = CopyName(value.name, lpValueName, lpcchValueName);
    if (copied != ERROR_SUCCESS) return copied;
    if (lpType != nullptr) *lpType = value.type;
    return CopyData(value.data.data(), size, lpData, lpcbData);
}

WINADVAPI LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return RegistryStore::Instance().DeleteKey(hKey, lpSubKey);
}

WINADVAPI LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return RegistryStore::Instance().DeleteValue(hKey, lpValueName);
}

namespace platform {

PLATFORM_API LONG CheckRegistry() { return RegistryStore::Instance().Check(); }

PLATFORM_API void UseMachineRegistry() { RegistryStore::Instance().UseMachineStore(); }

PLATFORM_API std::string RegistryFailureText() { return RegistryStore::LastFailure(); }

PLATFORM_API LONG RepairRegistry(std::string* movedTo) {
    std::string ignored;
    return RegistryStore::Instance().SetAsideIfDamaged(movedTo != nullptr ? movedTo : &ignored);
}

}  // namespace platform
