// Stand-ins for the platform's filter mapper, graph manager, filters and device enumerator, put in
// place of the real classes with platform::RegisterBuiltinClass. A test describes the world it
// wants in FakeWorld and reads back what the control program did to it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <dshow.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake {

// Test filter classes the fake mapper can list; each creates a filter with the pins its
// FilterClass entry names.
DEFINE_GUID(CLSID_FakeA, 0x1f5e0a01, 0x0000, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01);
DEFINE_GUID(CLSID_FakeB, 0x1f5e0a01, 0x0000, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02);
DEFINE_GUID(CLSID_FakeC, 0x1f5e0a01, 0x0000, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03);
DEFINE_GUID(CLSID_FakeD, 0x1f5e0a01, 0x0000, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04);
DEFINE_GUID(CLSID_FakeE, 0x1f5e0a01, 0x0000, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05);
DEFINE_GUID(CLSID_FakeF, 0x1f5e0a01, 0x0000, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06);
inline constexpr int kClassCount = 6;

struct RegisteredFilter {
    CLSID clsid;
    std::u16string name;
};

struct Device {
    std::u16string friendlyName;
    int filterClass;  // index into FakeWorld::classes; -1: binding fails
};

struct FilterClass {
    CLSID clsid;
    std::vector<std::u16string> pins;
    bool creatable = true;
};

struct Connection {
    std::u16string outputPin;
    std::u16string inputPin;
    const AM_MEDIA_TYPE* mediaType;
};

struct Event {
    LONG code;
    LONG_PTR param1;
    LONG_PTR param2;
};

struct FakeWorld {
    // What the platform offers.
    bool mapperCreatable = true;
    bool graphCreatable = true;
    bool graphHasMediaControl = true;
    bool devEnumCreatable = true;
    std::vector<RegisteredFilter> registered;
    std::vector<FilterClass> classes;
    std::vector<Device> devices;
    int failConnection = -1;  // 0-based index of a ConnectDirect call that fails
    bool graphHasMediaEvent = true;
    HRESULT runResult = S_OK, pauseResult = S_OK, stopResult = S_OK;
    std::deque<Event> events;  // what the graph's IMediaEvent hands out, in order
    std::deque<Event> eventsAtStop;  // posted by Stop (a device that finds then what it lost)
    std::function<void()> onBuildStarted;  // called when the mapper is asked for its filters

    // What the control program did.
    DWORD enumMerit = 0;
    bool enumConditionsClear = false;  // no pin or type condition was asked for
    std::vector<std::u16string> addedNames;
    std::vector<int> addedClasses;  // class index of each filter added (-1 unknown)
    std::vector<Connection> connections;
    int runs = 0, pauses = 0, stops = 0;
    std::vector<std::string> calls;  // "Run", "Pause", "Stop" in order
    int boundDevice = -1;            // index of the device whose moniker was bound
    int eventReads = 0;              // GetEvent calls
    int eventsFreed = 0;             // FreeEventParams calls

    // Objects alive now, per kind, to check that what Build borrows it gives back.
    int liveMappers = 0, liveRegEnums = 0, livePinEnums = 0, liveDevEnums = 0,
        liveMonikerEnums = 0, liveMonikers = 0, liveBags = 0;
};

FakeWorld& World();

// Resets the world to the usual good one: the three filters registered (with the given names),
// pins named as the graph expects, one device "Microsoft DV Camera and VCR". Registers the fake
// classes with the platform.
void InstallGoodWorld();

// Registers only the fake filter classes (for tests on the real platform that need a filter with
// pins of their choosing). The world's classes must be set first.
void RegisterFakeFilterClasses();

}  // namespace fake
