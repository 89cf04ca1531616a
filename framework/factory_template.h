// One entry of the library's table of creatable classes. The table itself is defined by the
// filter code (filter/) and walked by the server entry points (server/).
#pragma once

#include <objbase.h>

#include "filter_setup.h"

class ObjectBase;

// Makes one instance with a reference count of 0. The caller sets *status to S_OK first; a
// failure is reported by writing a failure code into *status (the caller then destroys the
// object returned, if any) or by returning null.
typedef ObjectBase* (*CreateObjectFunction)(IUnknown* outer, HRESULT* status);

// Called at module load (loading = TRUE) and unload (FALSE) with the entry's class identifier.
typedef void (*InitHookFunction)(BOOL loading, const CLSID* classId);

struct FactoryTemplate {
    const WCHAR* displayName;     // written as the class key's default value
    const CLSID* classId;         // the class served
    CreateObjectFunction create;  // makes one instance
    InitHookFunction initHook;    // or null
    const FilterSetup* setup;     // filter-mapper registration data, or null
};

// Defined by the filter code; walked in array order from the first entry.
extern const FactoryTemplate factoryTemplates[];
extern const int factoryTemplateCount;
