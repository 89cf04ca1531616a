// The steps of building a streaming graph out of registered filters and a video-input device,
// the same for Tamsel's builder (COutputGraph) and the striping program: find a registered filter
// by its exact name, create it and add it to the graph, find a pin by its exact name and connect
// two pins directly, find the devices of a friendly name.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <dshow.h>

#include <string>
#include <vector>

#include "graph/com_ref.h"

// A video-input device found by its friendly name: its moniker (one reference, owned) and what
// its property bag says.
struct CDeviceEntry {
    CComRef<IMoniker> moniker;
    std::string friendlyName;  // UTF-8
    std::string devicePath;    // UTF-8; "" when the device gives none
};

// Names are compared exactly (case and spaces count) in UTF-8; a name that is not valid UTF-16
// matches nothing. Every interface handed out carries one reference the caller owns; whatever
// the steps borrow on the way (enumerators, records, property bags) they give back.
//
// Threads: none of its own; each call runs on the caller's thread, on which COM is initialised.
class CGraphRecipe {
public:
    // Reads the enumeration of registered filters from its start: true with the class and the
    // record's own name of the first record named exactly `name`, false when none is.
    static bool FindRegisteredFilter(IEnumRegFilters* records, const char* name, CLSID* clsid,
                                     std::u16string* registeredName);
    // Creates the filter of `clsid` (in process) into *filter and adds it to the graph under
    // `name`. The creation's failure with *filter null, else what AddFilter answered (the filter
    // is the caller's either way).
    static HRESULT CreateFilter(IGraphBuilder* graph, REFCLSID clsid, LPCWSTR name, IBaseFilter** filter);
    // The filter's pin (either direction) named exactly `name`, or null (also for a null filter).
    static IPin* FindPin(IBaseFilter* filter, const char* name);
    // Looks up the output pin of `from` and then the input pin of `to` by name, into *output and
    // *input (each null when missing), and connects them directly, the media type left to the
    // pins. VFW_E_NOT_FOUND when a pin is missing, else what ConnectDirect answered.
    static HRESULT Connect(IGraphBuilder* graph, IBaseFilter* from, const char* outputName, IBaseFilter* to,
                           const char* inputName, IPin** output, IPin** input);
    // Every device of the video-input category named exactly `friendlyName`, in the order the
    // category lists them (several may carry the name). *denied (if given) says, when there are
    // none, whether the user may not open the devices' files.
    static std::vector<CDeviceEntry> FindDevices(const char* friendlyName, bool* denied = nullptr);
};
