// ListEnumerator: the IEnumXxx family (Next, Skip, Reset, Clone) over a fixed list.
//
// The list is made once and shared by the enumerator and its clones; each keeps its own position.
// Items describes the list:
//   using Stored = ...;                 // what the list holds (ComPtr<IPin>, MediaType, ...)
//   using Handed = ...;                 // what Next hands out (IPin*, AM_MEDIA_TYPE*, ...)
//   static HRESULT Hand(const Stored&, Handed*);  // a new reference or copy for the caller
//   static void Take(Handed);                     // undoes Hand (when a later one fails)
//   static constexpr HRESULT kNoCountStatus;      // Next(n > 1) without pceltFetched
// Status rules of Next: E_POINTER without an array; pceltFetched may be null only when asking
// for one; S_OK when all were fetched, S_FALSE when fewer; when handing one out fails, those
// already handed out in this call are taken back and the position stays. Skip: S_FALSE when it
// ran past the end (and stops there). Clone: E_POINTER, E_OUTOFMEMORY.
//
// `keep` is held while any enumerator sharing the list lives (the object the list came from, so
// that its module stays loaded).
//
// Threads: any thread; `mutex` guards the position.
#pragma once

#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "com_object.h"
#include "com_ptr.h"

namespace platform {

template <typename Interface, const IID& iid, typename Items>
class ListEnumerator final : public ComObject<Implements<Interface, iid>> {
public:
    using Stored = typename Items::Stored;
    using Handed = typename Items::Handed;
    using List = std::vector<Stored>;

    // A new enumerator at the start of list, with one reference; null when out of memory.
    static ListEnumerator* Create(List list, IUnknown* keep = nullptr) {
        std::shared_ptr<const Shared> shared;
        try {
            shared = std::make_shared<const Shared>(std::move(list), keep);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        return new (std::nothrow) ListEnumerator(std::move(shared), 0);
    }

    // Hands out a new enumerator over the list fill(&list) makes: S_OK, or E_OUTOFMEMORY (*out
    // null) when the list or the enumerator cannot be allocated.
    template <typename Fill>
    static HRESULT CreateFrom(Interface** out, Fill&& fill, IUnknown* keep = nullptr) {
        *out = nullptr;
        try {
            List list;
            fill(&list);
            *out = Create(std::move(list), keep);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, Handed* out, ULONG* fetched) override {
        if (out == nullptr) return E_POINTER;
        if (fetched == nullptr && count != 1) return Items::kNoCountStatus;
        const List& items = shared->items;
        std::lock_guard<std::mutex> guard(mutex);
        ULONG got = 0;
        while (got < count && position < items.size()) {
            const HRESULT hr = Items::Hand(items[position], &out[got]);
            if (FAILED(hr)) {
                while (got > 0) {
                    --got;
                    --position;
                    Items::Take(out[got]);
                    out[got] = Handed{};
                }
                if (fetched != nullptr) *fetched = 0;
                return hr;
            }
            ++got;
            ++position;
        }
        if (fetched != nullptr) *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        std::lock_guard<std::mutex> guard(mutex);
        const size_t left = shared->items.size() - position;
        if (count > left) {
            position = shared->items.size();
            return S_FALSE;
        }
        position += count;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> guard(mutex);
        position = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(Interface** out) override {
        if (out == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> guard(mutex);
        *out = new (std::nothrow) ListEnumerator(shared, position);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    struct Shared {
        Shared(List items, IUnknown* keep) : items(std::move(items)), keep(keep) {}
        const List items;
        const ComPtr<IUnknown> keep;
    };

    ListEnumerator(std::shared_ptr<const Shared> shared, size_t position)
        : shared(std::move(shared)), position(position) {}
    ~ListEnumerator() override = default;

    const std::shared_ptr<const Shared> shared;
    std::mutex mutex;
    size_t position;  // guarded by mutex
};

// Items for a list of counted interfaces: Next hands out a new reference on each.
template <typename T, HRESULT noCountStatus = E_POINTER>
struct InterfaceItems {
    using Stored = ComPtr<T>;
    using Handed = T*;
    static constexpr HRESULT kNoCountStatus = noCountStatus;
    static HRESULT Hand(const Stored& item, Handed* out) { return item.CopyTo(out); }
    static void Take(Handed item) {
        if (item != nullptr) item->Release();
    }
};

// A list of counted references on the given interfaces (each AddRef'd; nulls left out).
template <typename T>
std::vector<ComPtr<T>> CountedList(const std::vector<T*>& pointers) {
    std::vector<ComPtr<T>> list;
    list.reserve(pointers.size());
    for (T* p : pointers)
        if (p != nullptr) list.emplace_back(p);
    return list;
}

}  // namespace platform
