// The device filter's reach for Interrupt: every transport the filter holds (the streaming one
// while it opens and runs, the deck-control one) and the receiver of a capture is listed here from its creation until just
// before it is destroyed, so that Interrupt reaches each of them, and any made later, without
// taking a lock that a call blocked in a transport holds (the filter's lock during Open, its
// controlLock during deck control).
//
// Threads: any. lock is a leaf lock, never held across anything but Transport::Interrupt, which
// only wakes the transport's waits and returns at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "dv/receiver_interface.h"
#include "dv/transport_interface.h"

namespace dv {

class DeviceInterrupt {
public:
    // A transport just made: interrupted at once when the filter already is.
    void Add(Transport* transport) { Enlist(reached, transport); }
    // Before the transport is destroyed.
    void Remove(Transport* transport) { Delist(reached, transport); }
    // The receiver of a capture, the same way.
    void Add(Receiver* receiver) { Enlist(receivers, receiver); }
    void Remove(Receiver* receiver) { Delist(receivers, receiver); }
    // Opens a transport or receiver just made, reachable by Interrupt while Open waits for the
    // device; it stays listed when it opened, and is taken off again when not. Open's status.
    template <class Reached>
    HRESULT Open(Reached* one) {
        Add(one);
        const HRESULT hr = one->Open();
        if (FAILED(hr)) Remove(one);
        return hr;
    }
    // Interrupts every transport and receiver listed now and every one added later. Not undone.
    void Interrupt() {
        std::lock_guard<std::mutex> hold(lock);
        interrupted.store(true);
        for (Transport* transport : reached) transport->Interrupt();
        for (Receiver* receiver : receivers) receiver->Interrupt();
    }
    bool Interrupted() const { return interrupted.load(); }

private:
    template <class Reached>
    void Enlist(std::vector<Reached*>& list, Reached* one) {
        std::lock_guard<std::mutex> hold(lock);
        list.push_back(one);
        if (interrupted.load()) one->Interrupt();
    }
    template <class Reached>
    void Delist(std::vector<Reached*>& list, Reached* one) {
        std::lock_guard<std::mutex> hold(lock);
        list.erase(std::remove(list.begin(), list.end(), one), list.end());
    }

    std::mutex lock;
    std::vector<Transport*> reached;  // lock
    std::vector<Receiver*> receivers;  // lock
    std::atomic<bool> interrupted{false};
};

}  // namespace dv
