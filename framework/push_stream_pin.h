// An output pin that produces its own samples on a worker thread: while the filter is paused or
// running the worker takes an empty sample, has the derived class fill it and delivers it,
// until the filter stops, the stream ends (FillSample S_FALSE), a fill fails or a delivery is
// refused.
//
// Threads: Activate and Deactivate run on the thread that changes the filter's state, with the
// filter lock held, and command and join the worker. The worker runs WorkerMain, RunDeliveryLoop,
// FillSample and the On* hooks; it never takes the filter lock.
// Lock order: filterLock, then the worker's accessLock, then the derived stream's own lock.
#pragma once

#include "output_pin_base.h"
#include "worker_thread.h"

class SourceFilterBase;

class PushStreamPin : public WorkerThread, public OutputPinBase {
public:
    // Attaches the pin to the owner's pin table and writes that status (S_OK or E_OUTOFMEMORY)
    // into the status slot.
    PushStreamPin(const char* objectName, HRESULT* status, SourceFilterBase* owner,
                  const WCHAR* pinName);

    // ---- worker-side virtual operations, in this order ----
    // The command loop.
    DWORD WorkerMain() override;
    // S_OK: deliver; S_FALSE: the stream has ended; anything else: abort with that status.
    virtual HRESULT FillSample(IMediaSample* sample) = 0;
    virtual HRESULT OnWorkerStart();
    virtual HRESULT OnWorkerEnd();
    virtual HRESULT OnStreamingStart();
    // The delivery loop; returns when a stop is posted or streaming ended by itself.
    virtual HRESULT RunDeliveryLoop();
    // The one type of a single-type pin; E_UNEXPECTED by default, record untouched.
    virtual HRESULT GetSingleType(MediaTypeRecord* type);

    // Detaches from the owner's table; the WorkerThread part then joins a recorded thread.
    // Declared after the worker-side operations so that these follow WorkerMain directly in the
    // virtual table.
    ~PushStreamPin() override;

    // ---- pin operations replaced here ----
    // Commits the allocator, starts the worker, sends CmdInit and CmdPause (filter lock held).
    // A failure undoes what was done: allocator decommitted, worker ended and joined.
    HRESULT Activate() override;
    // Decommits, sends CmdStop and CmdExit, joins the worker (filter lock held). The worker is
    // ended even when the decommit fails; the first failure is returned.
    HRESULT Deactivate() override;
    // Equality with GetSingleType's type: S_OK or E_FAIL.
    HRESULT TestMediaType(const MediaTypeRecord* type) override;
    // Position 0 is GetSingleType; negative E_INVALIDARG; above 0 VFW_S_NO_MORE_ITEMS.
    HRESULT GetOfferedType(int position, MediaTypeRecord* type) override;

    // ---- IPin ----
    // The 1-based position in the owner's pin table, in decimal, in task memory.
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override;

protected:
    SourceFilterBase* ownerFilter;  // not owned; the filter owns its pins

private:
    // Sends CmdStop and CmdExit to a recorded worker and joins it (filter lock held); the first
    // failed exchange is returned. S_OK without a worker.
    HRESULT EndWorker();
};
