// One platform thread with a synchronous single-slot command channel: a caller posts a 32-bit
// command and blocks until the worker answers with a 32-bit status; the worker either waits for
// a command or polls for one between units of work.
//
// A posted command stays visible (requestEvent signalled) until the worker answers it, so a
// command seen by PeekCommand and left unanswered is returned again at once by WaitCommand.
// replyEvent resets itself as it releases a waiter, so each Answer releases exactly one sender.
//
// Locks: accessLock serialises Launch and SendCommand callers and is held for a whole exchange.
// Callers holding their own locks (the filter lock) take accessLock after them. The worker takes
// neither while it answers. Join and HasThread take no lock.
// Threads: Launch, SendCommand, Join, HasThread on any caller thread; WaitCommand, PeekCommand
// and Answer on the worker thread only.
#pragma once

#include <windows.h>

#include "sync_event.h"

// Command codes of the push-stream worker (the channel itself carries any 32-bit value).
enum WorkerCommand : DWORD {
    CmdInit = 0,
    CmdPause = 1,
    CmdRun = 2,
    CmdStop = 3,
    CmdExit = 4,
};

class WorkerThread {
public:
    WorkerThread();

    // The thread body, and the class's one virtual operation; its result is the thread's exit
    // code.
    virtual DWORD WorkerMain() = 0;

    // Starts the thread; false when a thread is still recorded or creation failed.
    bool Launch();
    // Posts a command and waits for the answer; E_FAIL (nothing posted) with no thread recorded,
    // and E_FAIL if the thread ends without answering.
    HRESULT SendCommand(DWORD command);
    // Waits for the recorded thread to end and forgets it; returns at once when there is none.
    void Join();
    bool HasThread() const;

protected:
    // Joins a recorded thread (waiting for it to end), then frees the lock and events. Not
    // virtual: a WorkerThread is only ever destroyed as part of the object derived from it (a
    // push-stream pin is destroyed through its pin side).
    ~WorkerThread();

    // Worker side.
    DWORD WaitCommand();
    bool PeekCommand(DWORD* command);
    void Answer(HRESULT status);

private:
    static DWORD WINAPI StartRoutine(LPVOID parameter);

    SyncEvent requestEvent;  // manual reset: signalled from posting until the answer
    SyncEvent replyEvent;    // automatic reset: releases exactly one sender
    DWORD requestParam;      // written by the sender under accessLock before requestEvent
    HRESULT replyValue;      // written by the worker before replyEvent
    HANDLE threadHandle;     // atomic access; set by Launch under accessLock, cleared by Join
    CRITICAL_SECTION accessLock;
};
