#include "filter/color_bar_filter.h"

#include <new>

#include "filter/color_bar_stream.h"
#include "framework/factory_template.h"
#include "framework/lock_holder.h"

namespace {

constexpr WCHAR kFilterName[] = u"Velora Color Bar";
WCHAR outputPinName[] = u"Output";  // REGFILTERPINS takes a non-const name

// The mapper learns of a DV video output; that is what the graph builder looks for. The pin
// actually connects with RGB24 (ColorBarStream::GetOfferedType).
const REGPINTYPES outputPinTypes[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_dvsd}};

const REGFILTERPINS outputPins[] = {{
    outputPinName,  // strName
    FALSE,          // bRendered
    TRUE,           // bOutput
    FALSE,          // bZero
    FALSE,          // bMany
    &CLSID_NULL,    // clsConnectsToFilter: must point at a GUID for the old mapper
    nullptr,        // strConnectsToPin
    1,              // nMediaTypes
    outputPinTypes, // lpMediaType
}};

}  // namespace

const FilterSetup colorBarFilterSetup = {
    &CLSID_ColorBarFilter, kFilterName, MERIT_DO_NOT_USE, 1, outputPins,
};

const FactoryTemplate factoryTemplates[] = {
    {kFilterName, &CLSID_ColorBarFilter, &ColorBarFilter::Create, nullptr, &colorBarFilterSetup},
};
const int factoryTemplateCount = sizeof(factoryTemplates) / sizeof(factoryTemplates[0]);

ObjectBase* ColorBarFilter::Create(IUnknown* outer, HRESULT* status) {
    ColorBarFilter* filter = new (std::nothrow) ColorBarFilter(outer, status);
    if (filter == nullptr) *status = E_OUTOFMEMORY;
    return filter;
}

ColorBarFilter::ColorBarFilter(IUnknown* outer, HRESULT* status)
    : SourceFilterBase(nullptr, outer, CLSID_ColorBarFilter) {
    LockHolder hold(&filterLock);
    if (FAILED(ReservePinTable(1))) {
        *status = E_OUTOFMEMORY;
        return;
    }
    // The stream attaches itself to the pin table while it is constructed; the filter owns it
    // from then on and destroys it with itself.
    ColorBarStream* stream = new (std::nothrow) ColorBarStream(this, outputPinName, status);
    if (stream == nullptr) {
        *status = E_OUTOFMEMORY;
        return;
    }
    // A stream that could not attach is in no table, so the filter would never destroy it.
    if (IndexOfPin(static_cast<IPin*>(stream)) < 0) delete stream;
}
