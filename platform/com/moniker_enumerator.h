// Enumerates a fixed list of monikers (device enumeration and filter-mapper search results).
//
// Threads: any thread. The list is shared between clones and never changes; `mutex` guards the
// position of this enumerator.
#pragma once

#include <objbase.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class MonikerEnumerator final : public IEnumMoniker {
public:
    // Takes a reference on each moniker; the caller keeps its own.
    explicit MonikerEnumerator(const std::vector<IMoniker*>& monikers);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // S_OK when all celt were fetched, S_FALSE when fewer. celt > 1 needs pceltFetched.
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumMoniker** ppenum) override;

private:
    // Owns one reference on each moniker; released when the last enumerator sharing it goes.
    struct List {
        std::vector<IMoniker*> monikers;
        ~List();
    };

    MonikerEnumerator(std::shared_ptr<const List> list, size_t position);
    ~MonikerEnumerator() = default;

    std::atomic<ULONG> references{1};
    const std::shared_ptr<const List> list;
    std::mutex mutex;
    size_t position;  // guarded by mutex
};

}  // namespace platform
