// The pin base shared by the kit's input and output pins: IPin connection bookkeeping and
// IQualityControl.
//
// Threads and locks: connection operations run on the graph's threads under the owning filter's
// filterLock. `peer` is written under filterLock and peerLock and read by streaming threads
// (quality messages) under peerLock alone, which is a leaf lock held only to copy and AddRef the
// pointer, never across a call.
#pragma once

#include <dshow.h>

#include <atomic>
#include <mutex>
#include <string>

#include "support/com_object.h"
#include "support/com_ptr.h"
#include "support/media_type.h"

namespace filterkit {

using platform::CopyMediaTypeContents;
using platform::CreateTaskMediaType;
using platform::FreeTaskMediaType;
using platform::MatchesPartialType;
using platform::MediaType;

class KitFilter;

// For types of fixed-size frames: sets mt's identifiers and marks its samples as whole frames of
// frameBytes, none depending on another. The format block is left as it is.
void SetFrameType(MediaType* mt, const GUID& major, const GUID& subtype, const GUID& formatType,
                  ULONG frameBytes);

// For PCM audio types: S_OK when mt is audio, PCM, with a WAVEFORMATEX format block that holds
// at least the fields up to wBitsPerSample, *wave then a copy of them (cbSize zero when the block
// ends before it); E_POINTER for no mt, VFW_E_TYPE_NOT_ACCEPTED for another type, E_INVALIDARG
// for a missing or short block.
HRESULT ReadPcmFormat(const AM_MEDIA_TYPE* mt, WAVEFORMATEX* wave);

// IUnknown: IUnknown, IPin and IQualityControl; references go to the owning filter.
class KitPin
    : public platform::ComPart<platform::Implements<IPin, IID_IPin>,
                               platform::Implements<IQualityControl, IID_IQualityControl>> {
public:
    // What the pin is: IPin's queries, and the same for the kit.
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override;
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* dir) override;
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override;
    const std::u16string& Name() const { return name; }
    PIN_DIRECTION Direction() const { return direction; }
    KitFilter* Filter() const { return filter; }

    // The connection. Connect is the output pin's (KitOutputPin), ReceiveConnection the input
    // pin's; the rest is shared.
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override;
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* mt) override;
    bool IsConnected();
    // The connected peer with a reference for the caller, or null. Any thread.
    IPin* GetPeer();
    // The connection's media type; filterLock, or a streaming thread while not stopped.
    const MediaType& ConnectionType() const { return connectionType; }

    // The types: QueryAccept asks CheckMediaType, EnumMediaTypes lists GetMediaType's.
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* mt) override;
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** out) override;
    // Whether mt is acceptable for a connection of this pin: S_OK or a failure status
    // (VFW_E_TYPE_NOT_ACCEPTED, E_INVALIDARG ...). Must not crash on any record. Graph threads.
    virtual HRESULT CheckMediaType(const AM_MEDIA_TYPE* mt) = 0;
    // The type this pin offers at position (0-based): S_OK with *mt filled, or
    // VFW_S_NO_MORE_ITEMS. Default: no types.
    virtual HRESULT GetMediaType(int position, MediaType* mt);

    // The stream through the pin.
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** pins, ULONG* count) override;
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop,
                                         double rate) override;
    // State changes, called by the filter under filterLock for connected pins.
    virtual HRESULT Activate() { return S_OK; }    // leaving State_Stopped
    virtual HRESULT Deactivate() { return S_OK; }  // entering State_Stopped
    // After every pin was deactivated: waits until no streaming call of this pin is running.
    virtual void WaitIdle() {}

    // IQualityControl. Notify: E_NOTIMPL here (KitOutputPin passes messages upstream);
    // SetSink stores an uncounted sink.
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* sender, Quality q) override;
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl* sink) override;

protected:
    KitPin(KitFilter* filter, const char16_t* name, PIN_DIRECTION direction);
    ~KitPin() override;

    // Connection hooks, under filterLock. CompleteConnect runs once peer and type are set; its
    // failure undoes the connection. BreakConnect undoes what CompleteConnect set up.
    virtual HRESULT CompleteConnect(IPin* /*peer*/) { return S_OK; }
    virtual void BreakConnect() {}

    // Sets or clears the peer (AddRef'd) under filterLock.
    void SetPeer(IPin* pin);
    // Checks common to Connect and ReceiveConnection: stopped filter, not connected, opposite
    // direction. Under filterLock.
    HRESULT CheckConnectable(IPin* other);

    KitFilter* const filter;   // not owned; the filter owns its pins
    MediaType connectionType;  // filterLock
    // Written by SetSink, read by Notify on any thread; uncounted.
    std::atomic<IQualityControl*> qualitySink{nullptr};

private:
    const std::u16string name;
    const PIN_DIRECTION direction;
    std::mutex peerLock;
    platform::ComPtr<IPin> peer;  // filterLock + peerLock to write
    // The latest segment, written by NewSegment on the upstream's streaming thread.
    REFERENCE_TIME segmentStart = 0;
    REFERENCE_TIME segmentStop = INT64_MAX;
    double segmentRate = 1.0;
};

}  // namespace filterkit
