// Reading registry text values in the tests.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

// The text value `valueName` (null: the default value) of HKEY_CLASSES_ROOT\path, or nothing
// when the key or value is missing.
inline std::optional<std::string> RegistryText(const std::string& path, const char* valueName) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != 0) return {};
    char data[1024] = {};
    DWORD size = sizeof(data) - 1;
    DWORD type = 0;
    const LONG code = RegQueryValueExA(key, valueName, nullptr, &type,
                                       reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (code != 0 || type != REG_SZ) return {};
    return std::string(data);
}

inline bool RegistryKeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != 0) return false;
    RegCloseKey(key);
    return true;
}

inline void CreateRegistryKey(const std::string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_CLASSES_ROOT, path.c_str(), &key) == 0) RegCloseKey(key);
}

inline const std::string kClassKey = "CLSID\\{56B794AD-9850-4F6F-A695-4E55386F7328}";
inline const std::string kServerKey = kClassKey + "\\InprocServer32";
