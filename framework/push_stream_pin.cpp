#include "push_stream_pin.h"

#include "lock_holder.h"
#include "source_filter_base.h"

namespace {

// Room for the identifier of the first 999 pins ("999" and a terminator), the usual case.
constexpr SIZE_T kShortIdBytes = 8;
// Room for any 32-bit value in decimal with sign and terminator.
constexpr int kLongestIdCharacters = 12;

}  // namespace

PushStreamPin::PushStreamPin(const char* objectName, HRESULT* status, SourceFilterBase* owner,
                             const WCHAR* pinName)
    : WorkerThread(),
      OutputPinBase(objectName, owner, owner->FilterLock(), status, pinName),
      ownerFilter(owner) {
    const HRESULT attached = owner->AttachStream(this);
    if (status != nullptr) {
        *status = attached;
    }
}

PushStreamPin::~PushStreamPin() { ownerFilter->DetachStream(this); }

HRESULT PushStreamPin::OnWorkerStart() { return S_OK; }

HRESULT PushStreamPin::OnWorkerEnd() { return S_OK; }

HRESULT PushStreamPin::OnStreamingStart() { return S_OK; }

HRESULT PushStreamPin::GetSingleType(MediaTypeRecord* /*type*/) { return E_UNEXPECTED; }

HRESULT PushStreamPin::Activate() {
    LockHolder hold(lock);
    if (ownerFilter->IsStarted()) {
        return S_FALSE;
    }
    if (!IsConnected()) {
        return S_OK;
    }
    HRESULT status = OutputPinBase::Activate();
    if (FAILED(status)) {
        return status;
    }
    if (!Launch()) {
        // The filter stays stopped: nothing of this attempt may stay committed.
        OutputPinBase::Deactivate();
        return E_FAIL;
    }
    status = SendCommand(CmdInit);
    if (SUCCEEDED(status)) {
        status = SendCommand(CmdPause);
    }
    if (FAILED(status)) {
        // Undo the whole attempt, so that the stopped filter holds no worker (a worker whose
        // start failed has ended; it must still be joined) and no committed allocator, and a
        // later activation starts afresh.
        OutputPinBase::Deactivate();
        EndWorker();
    }
    return status;
}

HRESULT PushStreamPin::Deactivate() {
    LockHolder hold(lock);
    if (!IsConnected()) {
        return S_OK;
    }
    // Decommit first, so a worker waiting for a buffer is released to look at its commands.
    const HRESULT decommitted = OutputPinBase::Deactivate();
    // Whatever the allocator answered, the worker ends here: a filter that reports itself
    // stopped must deliver nothing more, and the pin must not outlive a thread running in it.
    const HRESULT ended = EndWorker();
    return FAILED(decommitted) ? decommitted : ended;
}

HRESULT PushStreamPin::EndWorker() {
    if (!HasThread()) {
        return S_OK;
    }
    // After a stop exchange the worker is idle (or has ended), and an idle worker answers the
    // exit and leaves its loop; a worker that has ended makes both exchanges fail at once. In
    // every case the thread is over or about to be, so the join cannot hang.
    const HRESULT stopped = SendCommand(CmdStop);
    const HRESULT exited = SendCommand(CmdExit);
    Join();
    return FAILED(stopped) ? stopped : exited;
}

HRESULT PushStreamPin::TestMediaType(const MediaTypeRecord* type) {
    LockHolder hold(lock);
    if (type == nullptr) {
        return E_POINTER;
    }
    // A pin with no type of its own accepts nothing, not even an empty proposal.
    MediaTypeRecord single;
    if (FAILED(GetSingleType(&single))) {
        return E_FAIL;
    }
    return single == *type ? S_OK : E_FAIL;
}

HRESULT PushStreamPin::GetOfferedType(int position, MediaTypeRecord* type) {
    LockHolder hold(lock);
    if (position < 0) {
        return E_INVALIDARG;
    }
    if (position > 0) {
        return VFW_S_NO_MORE_ITEMS;
    }
    return GetSingleType(type);
}

HRESULT STDMETHODCALLTYPE PushStreamPin::QueryId(LPWSTR* id) {
    if (id == nullptr) {
        return E_POINTER;
    }
    const int index = ownerFilter->IndexOfPin(static_cast<IPin*>(this));
    if (index < 0) {
        return VFW_E_NOT_FOUND;
    }
    const LONG number = index + 1;
    // Eight bytes hold three digits; larger tables get a block that holds their number too.
    const SIZE_T bytes = number <= 999 ? kShortIdBytes : kLongestIdCharacters * sizeof(WCHAR);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (*id == nullptr) {
        return E_OUTOFMEMORY;
    }
    IntegerToWideText(number, *id, static_cast<int>(bytes / sizeof(WCHAR)));
    return S_OK;
}

DWORD PushStreamPin::WorkerMain() {
    // Waiting for the initialise command; anything else is out of turn.
    for (;;) {
        const DWORD command = WaitCommand();
        if (command == CmdInit) {
            break;
        }
        Answer(E_UNEXPECTED);
    }
    const HRESULT started = OnWorkerStart();
    if (FAILED(started)) {
        OnWorkerEnd();
        Answer(started);
        return 1;
    }
    Answer(S_OK);

    DWORD command;
    do {
        command = WaitCommand();
        switch (command) {
            case CmdPause:
            case CmdRun:
                Answer(S_OK);
                RunDeliveryLoop();
                break;
            case CmdStop:
            case CmdExit:
                Answer(S_OK);
                break;
            default:
                Answer(E_NOTIMPL);
                break;
        }
    } while (command != CmdExit);

    return FAILED(OnWorkerEnd()) ? 1 : 0;
}

HRESULT PushStreamPin::RunDeliveryLoop() {
    OnStreamingStart();
    for (;;) {
        DWORD command;
        while (!PeekCommand(&command)) {
            IMediaSample* sample = nullptr;
            if (FAILED(GetOutputSample(&sample, nullptr, nullptr, 0)) || sample == nullptr) {
                // No buffer (allocator not committed or being decommitted): look again shortly.
                Sleep(1);
                continue;
            }
            const HRESULT filled = FillSample(sample);
            if (filled == S_OK) {
                const HRESULT delivered = DeliverSample(sample);
                sample->Release();
                if (delivered != S_OK) {
                    // Downstream refused: stop quietly until the next activation.
                    return S_OK;
                }
            } else if (filled == S_FALSE) {
                sample->Release();
                SignalEndOfStream();
                return S_OK;
            } else {
                sample->Release();
                SignalEndOfStream();
                ownerFilter->PostGraphEvent(EC_ERRORABORT, filled, 0);
                return filled;
            }
        }
        switch (command) {
            case CmdPause:
            case CmdRun:
                Answer(S_OK);
                break;
            case CmdStop:
                // Left posted: WorkerMain's next WaitCommand picks it up and answers it.
                return S_FALSE;
            default:
                Answer(E_UNEXPECTED);
                break;
        }
    }
}
