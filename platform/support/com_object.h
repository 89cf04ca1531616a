// ComObject: QueryInterface and the reference count written once.
//
// A class lists what it answers: ComObject<Implements<IBaseFilter, IID_IBaseFilter,
// IID_IMediaFilter, IID_IPersist>, Implements<IAMFilterMiscFlags, IID_IAMFilterMiscFlags>>
// derives from each interface and answers each identifier with that interface, IID_IUnknown with
// the first one. Objects are born holding one reference (the creator's) and delete themselves when
// the last one goes.
//
// ComOwned is the same table and count for an object whose end is someone else's: the last
// Release calls its LastReleased() instead of deleting it (a pooled buffer goes back to its pool).
// ComObject and ComOwned share one table and count (detail::CountedTable).
//
// ComPart is the same table for an object that lives inside another (a filter's pins): its
// references are the owner's. ComExtend adds interfaces to a class that already is one of these.
//
// Threads: any thread; the count is atomic.
#pragma once

#include <objbase.h>

#include <atomic>
#include <new>
#include <type_traits>

namespace platform {

// One row of the table: `Interface`, answered for each identifier in `ids`.
template <typename Interface, const IID&... ids>
struct Implements {
    using Type = Interface;
    template <typename Object>
    static bool Answer(Object* object, REFIID iid, void** out) {
        if (((iid == ids) || ...)) {
            *out = static_cast<Interface*>(object);
            return true;
        }
        return false;
    }
};

namespace detail {

template <typename First, typename... Rest>
struct FirstOf {
    using Type = First;
};

// The table's lookup (IID_IUnknown excluded): true with *out set, or false.
template <typename... Rows, typename Object>
bool AnswerFromTable(Object* object, REFIID iid, void** out) {
    return (Rows::Answer(object, iid, out) || ...);
}

// QueryInterface over a whole table, IID_IUnknown answered with the first row's interface;
// AddRefs `object` on S_OK.
template <typename... Rows, typename Object>
HRESULT Query(Object* object, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    using Primary = typename FirstOf<Rows...>::Type::Type;
    if (iid == IID_IUnknown) {
        *out = static_cast<IUnknown*>(static_cast<Primary*>(object));
    } else if (!AnswerFromTable<Rows...>(object, iid, out)) {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    object->AddRef();
    return S_OK;
}

}  // namespace detail

namespace detail {

// The table and the atomic count both reference-counted kinds share. With `deletes`, the last
// Release deletes the object, held at one while its destructor runs (parts it releases may query
// and release it again without deleting it twice); without, it calls LastReleased(). The choice
// is made at compile time, so a deleting object's Release makes no virtual call of its own.
template <bool deletes, typename... Rows>
class CountedTable : public Rows::Type... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return Query<Rows...>(this, iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return references.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    // Touches nothing of the object once it is deleted or handed to LastReleased, which may end it.
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = references.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            if constexpr (deletes) {
                references.store(1, std::memory_order_relaxed);
                delete this;
            } else {
                LastReleased();
            }
        }
        return left;
    }

protected:
    // Born holding `held` references.
    explicit CountedTable(ULONG held = 1) : references(held) {}
    virtual ~CountedTable() = default;
    CountedTable(const CountedTable&) = delete;
    CountedTable& operator=(const CountedTable&) = delete;

    ULONG ReferenceCount() const { return references.load(std::memory_order_acquire); }
    // For an owner handing the object out afresh; nobody else may hold it meanwhile.
    void SetReferenceCount(ULONG held) { references.store(held, std::memory_order_relaxed); }

private:
    // Called each time the count comes down to zero, when the object does not delete itself.
    virtual void LastReleased() {}

    std::atomic<ULONG> references;
};

}  // namespace detail

// A reference-counted object answering the interfaces of Rows; the last Release calls
// LastReleased().
template <typename... Rows>
class ComOwned : public detail::CountedTable<false, Rows...> {
protected:
    explicit ComOwned(ULONG held = 1) : detail::CountedTable<false, Rows...>(held) {}
    ~ComOwned() override = default;

private:
    void LastReleased() override = 0;
};

// A reference-counted object answering the interfaces of Rows, deleted by its last Release.
template <typename... Rows>
class ComObject : public detail::CountedTable<true, Rows...> {
protected:
    ComObject() = default;
    ~ComObject() override = default;
};

// Part of another object: answers the interfaces of Rows, counts on `owner`.
template <typename... Rows>
class ComPart : public Rows::Type... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return detail::Query<Rows...>(this, iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner->Release(); }

protected:
    // owner outlives the part (it owns it).
    explicit ComPart(IUnknown* owner) : owner(owner) {}
    virtual ~ComPart() = default;
    ComPart(const ComPart&) = delete;
    ComPart& operator=(const ComPart&) = delete;

private:
    IUnknown* const owner;
};

// Base (a ComObject, ComOwned or ComPart, or a class derived from one) with more interfaces:
// answers the rows of Extra first, then whatever Base answers; counting stays Base's.
template <typename Base, typename... Extra>
class ComExtend : public Base, public Extra::Type... {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid != IID_IUnknown && detail::AnswerFromTable<Extra...>(this, iid, out)) {
            Base::AddRef();
            return S_OK;
        }
        return Base::QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Base::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Base::Release(); }

protected:
    using Base::Base;
};

}  // namespace platform

namespace platform {

// The body of a class creator: refuses aggregation, makes a new T (born holding one reference),
// queries it for iid and lets it go, so that it lives on only in *out when the query succeeds.
template <typename T>
HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    T* object = new (std::nothrow) T();
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

}  // namespace platform
