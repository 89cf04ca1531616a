#include "filter_setup.h"

namespace {

// The mappers answer "not found" when there was nothing to remove; that is not a failure here.
HRESULT MapNotFoundToSuccess(HRESULT status) {
    return status == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : status;
}

// Records must point to GUIDs; a missing one is read as CLSID_NULL rather than dereferenced.
const GUID& GuidAt(const GUID* guid) { return guid != nullptr ? *guid : CLSID_NULL; }

}  // namespace

HRESULT RegisterWithMapper2(const FilterSetup* setup, IFilterMapper2* mapper, BOOL doRegister) {
    if (setup == nullptr) {
        return S_FALSE;
    }
    // Clears any earlier registration first; when registering its status is replaced.
    HRESULT status = mapper->UnregisterFilter(nullptr, nullptr, *setup->classId);
    if (doRegister) {
        REGFILTER2 record = {};
        record.dwVersion = 1;
        record.dwMerit = setup->merit;
        record.cPins = setup->pinRecordCount;
        record.rgPins = setup->pinRecords;
        status = mapper->RegisterFilter(*setup->classId, setup->filterName, nullptr, nullptr,
                                        nullptr, &record);
    }
    return MapNotFoundToSuccess(status);
}

HRESULT RegisterWithMapper(const FilterSetup* setup, IFilterMapper* mapper, BOOL doRegister) {
    if (setup == nullptr) {
        return S_FALSE;
    }
    const CLSID classId = *setup->classId;
    HRESULT status = mapper->UnregisterFilter(classId);
    if (!doRegister) {
        return MapNotFoundToSuccess(status);
    }
    status = mapper->RegisterFilter(classId, setup->filterName, setup->merit);
    if (FAILED(status)) {
        return MapNotFoundToSuccess(status);
    }
    for (DWORD pinIndex = 0; pinIndex < setup->pinRecordCount; ++pinIndex) {
        const REGFILTERPINS& pin = setup->pinRecords[pinIndex];
        status =
            mapper->RegisterPin(classId, pin.strName, pin.bRendered, pin.bOutput, pin.bZero,
                                pin.bMany, GuidAt(pin.clsConnectsToFilter), pin.strConnectsToPin);
        if (FAILED(status)) {
            return MapNotFoundToSuccess(status);
        }
        for (UINT typeIndex = 0; typeIndex < pin.nMediaTypes; ++typeIndex) {
            const REGPINTYPES& type = pin.lpMediaType[typeIndex];
            status = mapper->RegisterPinType(classId, pin.strName, GuidAt(type.clsMajorType),
                                             GuidAt(type.clsMinorType));
            if (FAILED(status)) {
                return MapNotFoundToSuccess(status);
            }
        }
    }
    return MapNotFoundToSuccess(status);
}
