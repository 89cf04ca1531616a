#include "com/moniker_enumerator.h"

namespace platform {

MonikerEnumerator::List::~List() {
    for (IMoniker* moniker : monikers) moniker->Release();
}


MonikerEnumerator::MonikerEnumerator(const std::vector<IMoniker*>& monikers)
    : list([&monikers] {
          auto owned = std::make_shared<List>();
          for (IMoniker* moniker : monikers) {
              if (moniker == nullptr) continue;
              moniker->AddRef();
              owned->monikers.push_back(moniker);
          }
          return owned;
      }()),
      position(0) {}

MonikerEnumerator::MonikerEnumerator(std::shared_ptr<const List> list, size_t position)
    : list(std::move(list)), position(position) {}

HRESULT MonikerEnumerator::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumMoniker) {
        *ppv = static_cast<IEnumMoniker*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG MonikerEnumerator::AddRef() { return ++references; }

ULONG MonikerEnumerator::Release() {
    const ULONG left = --references;
    if (left == 0) delete this;
    return left;
}

HRESULT MonikerEnumerator::Next(ULONG celt, IMoniker** rgelt, ULONG* pceltFetched) {
    if (rgelt == nullptr) return E_POINTER;
    if (celt > 1 && pceltFetched == nullptr) return E_INVALIDARG;
    ULONG fetched = 0;
    {
        std::lock_guard<std::mutex> guard(mutex);
        while (fetched < celt && position < list->monikers.size()) {
            IMoniker* moniker = list->monikers[position++];
            moniker->AddRef();
            rgelt[fetched++] = moniker;
        }
    }
    if (pceltFetched != nullptr) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

HRESULT MonikerEnumerator::Skip(ULONG celt) {
    std::lock_guard<std::mutex> guard(mutex);
    const size_t left = list->monikers.size() - position;
    if (celt > left) {
        position = list->monikers.size();
        return S_FALSE;
    }
    position += celt;
    return S_OK;
}

HRESULT MonikerEnumerator::Reset() {
    std::lock_guard<std::mutex> guard(mutex);
    position = 0;
    return S_OK;
}

HRESULT MonikerEnumerator::Clone(IEnumMoniker** ppenum) {
    if (ppenum == nullptr) return E_POINTER;
    std::lock_guard<std::mutex> guard(mutex);
    *ppenum = new MonikerEnumerator(list, position);
    return S_OK;
}

}  // namespace platform
