// The reference-counted COM object every filter and pin is built on. It answers for itself
// through its inner interface (the first three virtuals, shaped like IUnknown's) and delegates
// the exposed interfaces' IUnknown methods to the outer object, which is the aggregating object
// when there is one and the inner interface otherwise.
//
// Threads: any. The reference count and liveObjectCount change only by atomic steps.
#pragma once

#include <objbase.h>

class ObjectBase {
public:
    // objectName is a descriptive label and is not stored (null allowed). A null outer makes
    // the object its own outer object. Adds 1 to liveObjectCount.
    ObjectBase(const char* objectName, IUnknown* outer);

    // Inner interface: the first virtual operations, in this order.
    virtual HRESULT InnerQueryInterface(REFIID iid, void** result);
    virtual ULONG InnerAddRef();
    virtual ULONG InnerRelease();
    // Takes 1 from liveObjectCount.
    virtual ~ObjectBase();

    // The inner interface as an IUnknown whose methods are InnerQueryInterface, InnerAddRef and
    // InnerRelease. This is what an aggregating object holds and what IID_IUnknown yields.
    IUnknown* InnerInterface() { return &innerUnknown; }

    // The object that answers QueryInterface, AddRef and Release for the exposed interfaces.
    IUnknown* OuterUnknown() const { return outer; }

    ObjectBase(const ObjectBase&) = delete;
    ObjectBase& operator=(const ObjectBase&) = delete;

protected:
    // Stores the interface, AddRefs it through that very interface (so a forwarding interface
    // counts on the outer object) and returns S_OK; E_POINTER for a null result place.
    static HRESULT HandOutInterface(IUnknown* interfacePointer, void** result);

private:
    // A genuine IUnknown that answers with the object's inner operations.
    class InnerUnknown final : public IUnknown {
    public:
        explicit InnerUnknown(ObjectBase* owner) : owner(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override {
            return owner->InnerQueryInterface(iid, result);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner->InnerAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner->InnerRelease(); }

    private:
        ObjectBase* owner;
    };

    IUnknown* outer;               // fixed at construction; not counted
    volatile LONG referenceCount;  // atomic; 0 at construction
    InnerUnknown innerUnknown;     // fixed; the inner interface handed out for IID_IUnknown
};
