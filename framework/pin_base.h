// The generic pin: IPin and IQualityControl for a pin owned by a FilterBase, with the whole
// connection protocol (type negotiation, holding the connection, the pin queries). What a type
// is and whether it is acceptable is left to derived classes through the virtuals below.
//
// Lifetime: the pin has no count of its own. InnerAddRef/InnerRelease count on the owning
// filter, so a reference on any pin interface keeps the filter alive; the filter destroys its
// pins.
//
// Locks: `lock` is the owning filter's recursive lock. Connect (for the whole negotiation,
// including calls into the peer), ReceiveConnection, Disconnect, ConnectedTo (Disconnect
// releases the peer it hands out), ConnectionMediaType and SetSink take it. QueryPinInfo,
// QueryDirection, QueryAccept, EnumMediaTypes, NewSegment and TypeListVersion do not. Activate, Deactivate and StartRunning are called by the filter with
// the lock held.
// Threads: connection calls come from the graph-building thread; Notify may come from any
// downstream thread.
#pragma once

#include <dshow.h>

#include "media_type_record.h"
#include "object_base.h"

class FilterBase;

class PinBase : public ObjectBase, public IPin, public IQualityControl {
public:
    // The pin is constructed without an outer object. pinName may be null. The status slot is
    // never written here; derived classes report through it.
    PinBase(const char* objectName, FilterBase* owner, CRITICAL_SECTION* lock, HRESULT* status,
            const WCHAR* pinName, PIN_DIRECTION direction);
    // Frees the name; releases a peer still held; the connection type releases its contents.
    ~PinBase() override;

    // ---- inner interface ----
    HRESULT InnerQueryInterface(REFIID iid, void** result) override;
    // Counted on the owning filter's IBaseFilter; returns what the filter returns.
    ULONG InnerAddRef() override;
    ULONG InnerRelease() override;

    // ---- pin virtual operations, in this order ----
    virtual LONG TypeListVersion();
    // Filter leaves State_Stopped (lock held). Default: S_OK.
    virtual HRESULT Activate();
    // Filter stops (lock held). Default: S_OK.
    virtual HRESULT Deactivate();
    // Filter runs (lock held). Does nothing, S_OK.
    virtual HRESULT StartRunning(REFERENCE_TIME start);
    // S_OK, and only S_OK, means acceptable.
    virtual HRESULT TestMediaType(const MediaTypeRecord* type) = 0;
    // Stores the type as the connection type; S_OK.
    virtual HRESULT ApplyMediaType(const MediaTypeRecord* type);
    // Refuses a peer of the same direction.
    virtual HRESULT ValidatePeer(IPin* peerPin);
    // Undoes what connecting set up. Default: S_OK.
    virtual HRESULT TearDownConnection();
    // Last step of a connection. Default: S_OK.
    virtual HRESULT FinishConnection(IPin* peerPin);
    // S_OK fills the type offered at the zero-based position; anything else: no type there.
    virtual HRESULT GetOfferedType(int position, MediaTypeRecord* type) = 0;

    // True while a peer is held. Called with the lock held, or while the filter is stopped.
    bool IsConnected() const { return peer != nullptr; }
    // The connected peer, not AddRef'd; null while unconnected.
    IPin* ConnectedPeer() const { return peer; }
    // The connection type (meaningful while connected); read under the lock.
    const MediaTypeRecord& ConnectionType() const { return connectionType; }

    // ---- IUnknown of the exposed interfaces: the pin's own inner operations ----
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** result) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ---- IPin ----
    HRESULT STDMETHODCALLTYPE Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector,
                                                const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override;
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override;
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* directionOut) override;
    // QueryId is supplied by the push-stream pin.
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** enumerator) override;
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** pins, ULONG* count) override;
    // EndOfStream, BeginFlush and EndFlush are answered by the output pin.
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop,
                                         double rate) override;

    // ---- IQualityControl ----
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* sender, Quality quality) override;
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl* sink) override;

protected:
    // Connection negotiation; all run under the lock taken by Connect.
    HRESULT NegotiateMediaType(IPin* receivePin, const MediaTypeRecord* type);
    HRESULT TryTypeList(IPin* receivePin, const MediaTypeRecord* partialType,
                        IEnumMediaTypes* enumerator);
    HRESULT TryConnectWith(IPin* receivePin, const MediaTypeRecord* type);

    WCHAR* name;                     // fixed after construction; owned; null when unnamed
    IPin* peer;                      // guarded by *lock; one reference; null while unconnected
    MediaTypeRecord connectionType;  // guarded by *lock; kept after Disconnect
    PIN_DIRECTION direction;         // fixed at construction
    CRITICAL_SECTION* lock;          // the owning filter's lock; not owned
    FilterBase* filter;              // the owner; not counted (it owns the pin)
    IQualityControl* qualitySink;    // guarded by *lock; not counted; not read by the framework
    LONG typeListVersion;            // 1; nothing changes it
    REFERENCE_TIME segmentStart;     // written by NewSegment without a lock
    REFERENCE_TIME segmentStop;
    double segmentRate;
};
