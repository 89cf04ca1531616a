// ListEnumerator: the IEnumXxx status rules, the references it hands out and holds, and clones.
#include <gtest/gtest.h>

#include <dshow.h>

#include <vector>

#include "support/com_object.h"
#include "support/com_ptr.h"
#include "support/list_enumerator.h"

namespace {

using platform::ComObject;
using platform::ComPtr;
using platform::Implements;

// A counted object that says how many references it holds.
class Item final : public ComObject<Implements<IQualityControl, IID_IQualityControl>> {
public:
    explicit Item(int id) : id(id) {}
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter*, Quality) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl*) override { return S_OK; }
    ULONG Count() {
        AddRef();
        return Release();
    }
    const int id;
};

// The family's shape, an enumerator interface handing out Handed items.
template <typename Handed>
struct IEnumOf : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG count, Handed* out, ULONG* fetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumOf** out) = 0;
};

// The family over a counted interface.
using IEnumQuality = IEnumOf<IQualityControl*>;
DEFINE_GUID(IID_IEnumQuality, 0x5a1c0002, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01);
using ItemEnumerator =
    platform::ListEnumerator<IEnumQuality, IID_IEnumQuality, platform::InterfaceItems<IQualityControl>>;

// Numbers handed out as copies; Hand fails for a number marked bad, so tests can see the rollback.
struct Numbers {
    using Stored = int;
    using Handed = int*;
    static constexpr HRESULT kNoCountStatus = E_INVALIDARG;
    static inline int handedOut = 0;
    static HRESULT Hand(const int& value, int** out) {
        if (value < 0) return E_OUTOFMEMORY;
        *out = new int(value);
        ++handedOut;
        return S_OK;
    }
    static void Take(int* value) {
        delete value;
        --handedOut;
    }
};

// The family over int*, so the rules are checked apart from COM types.
using IEnumNumbers = IEnumOf<int*>;
DEFINE_GUID(IID_IEnumNumbers, 0x5a1c0001, 0x0000, 0x0000, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01);
using NumberEnumerator = platform::ListEnumerator<IEnumNumbers, IID_IEnumNumbers, Numbers>;

std::vector<int> Take(IEnumNumbers* numbers, ULONG count, HRESULT* status) {
    std::vector<int*> out(count + 1, nullptr);
    ULONG fetched = 99;
    *status = numbers->Next(count, out.data(), &fetched);
    std::vector<int> values;
    for (ULONG i = 0; i < fetched; ++i) {
        values.push_back(*out[i]);
        Numbers::Take(out[i]);
    }
    EXPECT_EQ(out[fetched], nullptr);
    return values;
}

TEST(ListEnumeratorTest, NextFetchesInOrderAndSaysWhenItRanShort) {
    auto numbers = ComPtr<NumberEnumerator>::Adopt(NumberEnumerator::Create({1, 2, 3}));
    HRESULT status = E_FAIL;
    EXPECT_EQ(Take(numbers.Get(), 2, &status), (std::vector<int>{1, 2}));
    EXPECT_EQ(status, S_OK);
    EXPECT_EQ(Take(numbers.Get(), 2, &status), (std::vector<int>{3}));
    EXPECT_EQ(status, S_FALSE);
    EXPECT_EQ(Take(numbers.Get(), 1, &status), (std::vector<int>{}));
    EXPECT_EQ(status, S_FALSE);
    EXPECT_EQ(Take(numbers.Get(), 0, &status), (std::vector<int>{}));
    EXPECT_EQ(status, S_OK);  // nothing asked, nothing missing

    EXPECT_EQ(numbers->Reset(), S_OK);
    int* one = nullptr;
    EXPECT_EQ(numbers->Next(1, &one, nullptr), S_OK);  // one at a time needs no count
    EXPECT_EQ(*one, 1);
    Numbers::Take(one);
    int* two[2] = {};
    EXPECT_EQ(numbers->Next(2, two, nullptr), E_INVALIDARG);
    EXPECT_EQ(numbers->Next(1, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(Take(numbers.Get(), 5, &status), (std::vector<int>{2, 3}));  // the refusals moved nothing
    EXPECT_EQ(Numbers::handedOut, 0);
}

TEST(ListEnumeratorTest, FailedHandTakesBackThisCallsItemsAndStays) {
    auto numbers = ComPtr<NumberEnumerator>::Adopt(NumberEnumerator::Create({1, 2, -3, 4}));
    int* out[4] = {};
    ULONG fetched = 99;
    EXPECT_EQ(numbers->Next(4, out, &fetched), E_OUTOFMEMORY);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(out[0], nullptr);
    EXPECT_EQ(out[1], nullptr);
    EXPECT_EQ(Numbers::handedOut, 0);
    HRESULT status = E_FAIL;
    EXPECT_EQ(Take(numbers.Get(), 2, &status), (std::vector<int>{1, 2}));  // still at the start
}

TEST(ListEnumeratorTest, SkipStopsAtTheEndAndClonesKeepTheirOwnPosition) {
    auto numbers = ComPtr<NumberEnumerator>::Adopt(NumberEnumerator::Create({1, 2, 3, 4}));
    EXPECT_EQ(numbers->Skip(1), S_OK);
    ComPtr<IEnumNumbers> clone;
    ASSERT_EQ(numbers->Clone(clone.Put()), S_OK);
    EXPECT_EQ(numbers->Clone(nullptr), E_POINTER);
    EXPECT_EQ(numbers->Skip(7), S_FALSE);
    HRESULT status = E_FAIL;
    EXPECT_EQ(Take(numbers.Get(), 1, &status), (std::vector<int>{}));
    EXPECT_EQ(Take(clone.Get(), 2, &status), (std::vector<int>{2, 3}));  // from where it was cloned
    EXPECT_EQ(clone->Skip(1), S_OK);
    EXPECT_EQ(clone->Skip(1), S_FALSE);
    numbers.Reset();  // the list outlives the enumerator it came from
    EXPECT_EQ(clone->Reset(), S_OK);
    EXPECT_EQ(Take(clone.Get(), 4, &status), (std::vector<int>{1, 2, 3, 4}));
}

TEST(ListEnumeratorTest, HoldsItsItemsAndTheKeptObjectUntilTheLastCloneGoes) {
    auto a = ComPtr<Item>::Adopt(new Item(1));
    auto b = ComPtr<Item>::Adopt(new Item(2));
    auto keep = ComPtr<Item>::Adopt(new Item(0));
    auto items = ComPtr<IEnumQuality>::Adopt(ItemEnumerator::Create(
        platform::CountedList<IQualityControl>({a.Get(), nullptr, b.Get()}), keep.Get()));
    EXPECT_EQ(a->Count(), 2u);
    EXPECT_EQ(keep->Count(), 2u);

    IQualityControl* got[2] = {};
    ULONG fetched = 0;
    ASSERT_EQ(items->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(a->Count(), 3u);  // the caller's own reference
    EXPECT_EQ(b->Count(), 3u);
    got[0]->Release();
    got[1]->Release();

    EXPECT_EQ(static_cast<Item*>(got[1])->id, 2);  // the null was left out
    ComPtr<IEnumQuality> clone;
    ASSERT_EQ(items->Clone(clone.Put()), S_OK);
    items.Reset();
    EXPECT_EQ(a->Count(), 2u);
    EXPECT_EQ(keep->Count(), 2u);
    clone.Reset();
    EXPECT_EQ(a->Count(), 1u);
    EXPECT_EQ(b->Count(), 1u);
    EXPECT_EQ(keep->Count(), 1u);
}

}  // namespace
