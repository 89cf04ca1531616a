// One owning reference on a COM interface, for system code that gives back what it holds (the
// striping program). Tamsel's own classes keep their interfaces for the whole run and do not use
// it.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <utility>

// Holds one reference and releases it when reset or destroyed. Moves, never copies.
//
// Threads: none of its own; a holder is used by one thread at a time, as the interface allows.
template <typename T>
class CComRef {
public:
    CComRef() = default;
    // Takes over a reference the caller owns (null allowed).
    explicit CComRef(T* owned) : p_(owned) {}
    ~CComRef() { Reset(); }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;
    CComRef(CComRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    CComRef& operator=(CComRef&& other) noexcept {
        if (this != &other) {
            Reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Releases what is held and gives the address for a call that hands out a reference.
    T** out() {
        Reset();
        return &p_;
    }
    void** outVoid() { return reinterpret_cast<void**>(out()); }

    // Gives up the reference to the caller, who then owns it.
    T* Detach() { return std::exchange(p_, nullptr); }

    void Reset() {
        if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
};
