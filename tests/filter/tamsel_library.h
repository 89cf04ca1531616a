// Loads a tamsel.ax file the way an application would (LoadLibraryA, the exports by name) and
// creates the filter through DllGetClassObject and the class factory only.
#pragma once

#include <dshow.h>

#include <string>

// {56B794AD-9850-4F6F-A695-4E55386F7328}: the published class identifier of the filter.
DEFINE_GUID(kColorBarClassId, 0x56B794AD, 0x9850, 0x4F6F, 0xA6, 0x95, 0x4E, 0x55, 0x38, 0x6F,
            0x73, 0x28);

class TamselLibrary {
public:
    // Loads the file at path; Loaded() tells whether it worked and the four exports were found.
    explicit TamselLibrary(const std::string& path);
    ~TamselLibrary();  // FreeLibrary

    bool Loaded() const;

    HRESULT GetClassObject(REFCLSID classId, REFIID iid, void** result) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;

    // A new filter through the class factory, or null (with a gtest failure).
    IBaseFilter* CreateFilter() const;

    TamselLibrary(const TamselLibrary&) = delete;
    TamselLibrary& operator=(const TamselLibrary&) = delete;

private:
    HMODULE module = nullptr;
    LPFNGETCLASSOBJECT getClassObject = nullptr;
    LPFNCANUNLOADNOW canUnloadNow = nullptr;
    LPFNREGISTERSERVER registerServer = nullptr;
    LPFNREGISTERSERVER unregisterServer = nullptr;
};

// The build directory's tamsel.ax and colorbar.dat.
std::string BuiltLibraryPath();
std::string BuiltImagePath();

// Reads a whole file; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

// The first output pin of a filter (AddRef'd), or null.
IPin* OutputPinOf(IBaseFilter* filter);
