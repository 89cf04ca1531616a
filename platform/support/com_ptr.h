// ComPtr<T>: one counted reference on a COM interface, released when the holder goes.
//
// Move-only, so that a reference is never counted twice by accident. Attach takes over a
// reference the caller already holds (a freshly made object, an out parameter filled elsewhere);
// Detach hands one back; Put gives the address for a call that fills an out parameter (releasing
// what was held first).
//
// Threads: a ComPtr is a plain value; whoever shares one guards it.
#pragma once

#include <objbase.h>

#include <utility>

namespace platform {

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on p (AddRef); the caller keeps its own.
    explicit ComPtr(T* p) : pointer(p) {
        if (pointer != nullptr) pointer->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : pointer(std::exchange(other.pointer, nullptr)) {}
    template <typename U>
    ComPtr(ComPtr<U>&& other) noexcept : pointer(other.Detach()) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) Attach(other.Detach());
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { Reset(); }

    // Wraps a reference the caller owns without counting it again.
    static ComPtr Adopt(T* p) {
        ComPtr result;
        result.pointer = p;
        return result;
    }

    T* Get() const { return pointer; }
    T* operator->() const { return pointer; }
    explicit operator bool() const { return pointer != nullptr; }

    // Releases what is held and takes over p's reference (no AddRef).
    void Attach(T* p) {
        T* old = std::exchange(pointer, p);
        if (old != nullptr) old->Release();
    }
    // Gives up the reference without releasing it.
    [[nodiscard]] T* Detach() { return std::exchange(pointer, nullptr); }
    void Reset() { Attach(nullptr); }
    // Holds p with a reference of its own (AddRef), releasing what was held.
    void Assign(T* p) {
        if (p != nullptr) p->AddRef();
        Attach(p);
    }
    // Releases what is held and returns the address for an out parameter.
    T** Put() {
        Reset();
        return &pointer;
    }
    // The same as a void** for QueryInterface-style calls.
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

    // Hands a new reference to an out parameter (null when empty). E_POINTER when out is null.
    template <typename U>
    HRESULT CopyTo(U** out) const {
        if (out == nullptr) return E_POINTER;
        *out = pointer;
        if (pointer != nullptr) pointer->AddRef();
        return S_OK;
    }
    // Queries the held object for iid into *out (emptied first). E_POINTER when empty.
    template <typename U>
    HRESULT As(REFIID iid, ComPtr<U>* out) const {
        if (out == nullptr) return E_POINTER;
        out->Reset();
        if (pointer == nullptr) return E_POINTER;
        return pointer->QueryInterface(iid, out->PutVoid());
    }

    friend bool operator==(const ComPtr& a, const T* b) { return a.pointer == b; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.pointer == nullptr; }

private:
    T* pointer = nullptr;
};

// Hands p to an out parameter with a new reference of the caller's (null stays null).
template <typename T, typename U>
void CopyTo(T* p, U** out) {
    *out = p;
    if (p != nullptr) p->AddRef();
}

}  // namespace platform
