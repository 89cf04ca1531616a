// "Velora Color Bar": the library's one creatable class, a source filter with one output pin, a
// ColorBarStream named "Output". It adds no fields to SourceFilterBase; its state changes are
// FilterBase's, which activate and deactivate the stream.
//
// Threads and locks: those of SourceFilterBase (filterLock) and ColorBarStream (streamLock).
#pragma once

#include <dshow.h>

#include "framework/filter_setup.h"
#include "framework/source_filter_base.h"

// {56B794AD-9850-4F6F-A695-4E55386F7328}
DEFINE_GUID(CLSID_ColorBarFilter, 0x56B794AD, 0x9850, 0x4F6F, 0xA6, 0x95, 0x4E, 0x55, 0x38, 0x6F,
            0x73, 0x28);

class ColorBarFilter : public SourceFilterBase {
public:
    // The template's create function: a new filter with a reference count of 0, or null with
    // E_OUTOFMEMORY in *status. A failure written into *status by construction means the
    // caller must destroy the object returned.
    static ObjectBase* Create(IUnknown* outer, HRESULT* status);

    // Builds the "Output" stream under filterLock. Writes E_OUTOFMEMORY into *status when the
    // pin table or the stream cannot be allocated; never writes S_OK itself.
    ColorBarFilter(IUnknown* outer, HRESULT* status);
};

// The filter's registration record (name, merit MERIT_DO_NOT_USE, one output pin "Output" of
// type video/dvsd).
extern const FilterSetup colorBarFilterSetup;
