// A moniker naming an object by the properties in a bag: "CLSID" (braces text) says which class
// to create, and the object loads the rest of the bag (for a device, its "DevicePath") through
// IPersistPropertyBag. The system device enumerator and IFilterMapper2::EnumMatchingFilters hand
// these out.
//
// Threads: any thread. The moniker is immutable after construction; the bag locks itself.
#pragma once

#include <objbase.h>

#include <atomic>

#include "com/property_bag.h"

#include "support/com_object.h"
#include "support/com_ptr.h"

namespace platform {

class ObjectMoniker final
    : public ComObject<Implements<IMoniker, IID_IMoniker, IID_IPersistStream, IID_IPersist>> {
public:
    // Takes a reference on the bag.
    explicit ObjectMoniker(PropertyBag* bag);

    PropertyBag* Bag() const { return bag.Get(); }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(IStream* pStm) override;
    HRESULT STDMETHODCALLTYPE Save(IStream* pStm, BOOL fClearDirty) override;
    HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pcbSize) override;

    // Creates the "CLSID" class, lets it load the bag if it can, and asks it for riidResult.
    HRESULT STDMETHODCALLTYPE BindToObject(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riidResult,
                                           void** ppvResult) override;
    // IID_IPropertyBag gives the bag itself.
    HRESULT STDMETHODCALLTYPE BindToStorage(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riid,
                                            void** ppvObj) override;
    HRESULT STDMETHODCALLTYPE Reduce(IBindCtx* pbc, DWORD dwReduceHowFar, IMoniker** ppmkToLeft,
                                     IMoniker** ppmkReduced) override;
    HRESULT STDMETHODCALLTYPE ComposeWith(IMoniker* pmkRight, BOOL fOnlyIfNotGeneric,
                                          IMoniker** ppmkComposite) override;
    HRESULT STDMETHODCALLTYPE Enum(BOOL fForward, IEnumMoniker** ppenumMoniker) override;
    HRESULT STDMETHODCALLTYPE IsEqual(IMoniker* pmkOtherMoniker) override;
    HRESULT STDMETHODCALLTYPE Hash(DWORD* pdwHash) override;
    HRESULT STDMETHODCALLTYPE IsRunning(IBindCtx* pbc, IMoniker* pmkToLeft,
                                        IMoniker* pmkNewlyRunning) override;
    HRESULT STDMETHODCALLTYPE GetTimeOfLastChange(IBindCtx* pbc, IMoniker* pmkToLeft,
                                                  FILETIME* pFileTime) override;
    HRESULT STDMETHODCALLTYPE Inverse(IMoniker** ppmk) override;
    HRESULT STDMETHODCALLTYPE CommonPrefixWith(IMoniker* pmkOther, IMoniker** ppmkPrefix) override;
    HRESULT STDMETHODCALLTYPE RelativePathTo(IMoniker* pmkOther, IMoniker** ppmkRelPath) override;
    // "@device:pnp:" + DevicePath for a device, else the class identifier's text; task memory.
    HRESULT STDMETHODCALLTYPE GetDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft,
                                             LPOLESTR* ppszDisplayName) override;
    HRESULT STDMETHODCALLTYPE ParseDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft,
                                               LPOLESTR pszDisplayName, ULONG* pchEaten,
                                               IMoniker** ppmkOut) override;
    HRESULT STDMETHODCALLTYPE IsSystemMoniker(DWORD* pdwMksys) override;

private:
    ~ObjectMoniker() override;

    const ComPtr<PropertyBag> bag;
};

}  // namespace platform
