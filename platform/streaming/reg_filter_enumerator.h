// IEnumRegFilters over a fixed list of filters found by IFilterMapper::EnumMatchingFilters.
// Next hands out each REGFILTER in one task-memory block with its Name text inside it, so one
// CoTaskMemFree frees both.
//
// Threads: any thread. The list is shared between clones and never changes; `mutex` guards the
// position of this enumerator.
#pragma once

#include <dshow.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class RegFilterEnumerator final : public IEnumRegFilters {
public:
    struct Entry {
        CLSID clsid;
        std::u16string name;
    };

    explicit RegFilterEnumerator(std::vector<Entry> entries);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // S_OK when all cFilters were fetched, S_FALSE when fewer. cFilters > 1 needs pcFetched.
    HRESULT STDMETHODCALLTYPE Next(ULONG cFilters, REGFILTER** apRegFilter,
                                   ULONG* pcFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG cFilters) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumRegFilters** ppEnum) override;

private:
    RegFilterEnumerator(std::shared_ptr<const std::vector<Entry>> entries, size_t position);
    ~RegFilterEnumerator() = default;

    std::atomic<ULONG> references{1};
    const std::shared_ptr<const std::vector<Entry>> entries;
    std::mutex mutex;
    size_t position;  // guarded by mutex
};

}  // namespace platform
