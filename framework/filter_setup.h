// The registration record of a filter and the two ways of handing it to the platform's filter
// mappers. Used by the library's DllRegisterServer/DllUnregisterServer and by FilterBase's
// IAMovieSetup Register/Unregister. Runs on the calling thread and takes no locks.
#pragma once

#include <dshow.h>

// Constant data of the library; every pointer must stay valid for the life of the module.
struct FilterSetup {
    const CLSID* classId;             // the filter's class identifier
    const WCHAR* filterName;          // name registered with the mapper
    DWORD merit;                      // merit registered with the mapper
    DWORD pinRecordCount;             // entries in pinRecords
    const REGFILTERPINS* pinRecords;  // handed unchanged to the new mapper inside a REGFILTER2
};

// New mapper: UnregisterFilter, then (registering) RegisterFilter with a REGFILTER2 built from the
// record. Null setup gives S_FALSE; a mapper result of 0x80070002 (not found) counts as S_OK.
HRESULT RegisterWithMapper2(const FilterSetup* setup, IFilterMapper2* mapper, BOOL doRegister);

// Old mapper: UnregisterFilter, then (registering) RegisterFilter, and per pin RegisterPin
// followed by that pin's RegisterPinType calls. The first failure ends the walk. Null setup gives
// S_FALSE; a mapper result of 0x80070002 counts as S_OK.
HRESULT RegisterWithMapper(const FilterSetup* setup, IFilterMapper* mapper, BOOL doRegister);
