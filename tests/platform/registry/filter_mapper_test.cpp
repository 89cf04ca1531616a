// The filter mappers: registration through either one, each seeing the other's entries, the
// search conditions and the records handed out.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <dshow.h>
#include <platform/platform.h>

#include "registry_fixtures.h"

namespace {

DEFINE_GUID(CLSID_TestA, 0xa0000001, 0x1111, 0x2222, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01);
DEFINE_GUID(CLSID_TestB, 0xa0000002, 0x1111, 0x2222, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x02);
DEFINE_GUID(CLSID_TestC, 0xa0000003, 0x1111, 0x2222, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x03);
DEFINE_GUID(CLSID_TestCategory, 0xa00000ca, 0x1111, 0x2222, 0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0xca);

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

template <typename T>
T* Create(REFCLSID clsid, REFIID iid) {
    T* object = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    return object;
}

struct Found {
    CLSID clsid;
    std::u16string name;
};

// Only the test's own classes: the platform's servers may have registered theirs too.
bool IsTestClass(REFCLSID clsid) {
    return clsid == CLSID_TestA || clsid == CLSID_TestB || clsid == CLSID_TestC;
}

std::vector<Found> OldSearch(IFilterMapper* mapper, DWORD merit, BOOL inNeeded, CLSID inMajor,
                             CLSID inSub, BOOL render, BOOL outNeeded, CLSID outMajor,
                             CLSID outSub) {
    std::vector<Found> found;
    IEnumRegFilters* filters = nullptr;
    EXPECT_EQ(mapper->EnumMatchingFilters(&filters, merit, inNeeded, inMajor, inSub, render,
                                          outNeeded, outMajor, outSub),
              S_OK);
    if (filters == nullptr) return found;
    REGFILTER* record = nullptr;
    while (filters->Next(1, &record, nullptr) == S_OK) {
        // The name lives in the record's own block: one free releases both.
        EXPECT_EQ(reinterpret_cast<BYTE*>(record->Name), reinterpret_cast<BYTE*>(record + 1));
        if (IsTestClass(record->Clsid)) found.push_back({record->Clsid, record->Name});
        CoTaskMemFree(record);
    }
    filters->Release();
    return found;
}

std::vector<Found> NewSearch(IFilterMapper2* mapper, BOOL exact, DWORD merit, BOOL inNeeded,
                             std::vector<GUID> inTypes, BOOL render, BOOL outNeeded,
                             std::vector<GUID> outTypes) {
    std::vector<Found> found;
    IEnumMoniker* monikers = nullptr;
    EXPECT_EQ(mapper->EnumMatchingFilters(
                  &monikers, 0, exact, merit, inNeeded, static_cast<DWORD>(inTypes.size() / 2),
                  inTypes.data(), nullptr, nullptr, render, outNeeded,
                  static_cast<DWORD>(outTypes.size() / 2), outTypes.data(), nullptr, nullptr),
              S_OK);
    if (monikers == nullptr) return found;
    IMoniker* moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        IPropertyBag* bag = nullptr;
        EXPECT_EQ(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag,
                                         reinterpret_cast<void**>(&bag)),
                  S_OK);
        VARIANT name, clsidText;
        VariantInit(&name);
        VariantInit(&clsidText);
        name.vt = VT_BSTR;
        clsidText.vt = VT_BSTR;
        EXPECT_EQ(bag->Read(u"FriendlyName", &name, nullptr), S_OK);
        EXPECT_EQ(bag->Read(u"CLSID", &clsidText, nullptr), S_OK);
        CLSID clsid = CLSID_NULL;
        EXPECT_EQ(CLSIDFromString(clsidText.bstrVal, &clsid), S_OK);
        if (IsTestClass(clsid)) found.push_back({clsid, name.bstrVal});
        VariantClear(&name);
        VariantClear(&clsidText);
        bag->Release();
        moniker->Release();
    }
    monikers->Release();
    return found;
}

std::vector<CLSID> Classes(const std::vector<Found>& found) {
    std::vector<CLSID> classes;
    for (const Found& entry : found) classes.push_back(entry.clsid);
    return classes;
}

class FilterMappers : public testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        oldMapper = Create<IFilterMapper>(CLSID_FilterMapper, IID_IFilterMapper);
        newMapper = Create<IFilterMapper2>(CLSID_FilterMapper2, IID_IFilterMapper2);
        ASSERT_NE(oldMapper, nullptr);
        ASSERT_NE(newMapper, nullptr);
    }
    void TearDown() override {
        for (const CLSID& clsid : {CLSID_TestA, CLSID_TestB, CLSID_TestC})
            oldMapper->UnregisterFilter(clsid);
        if (oldMapper) oldMapper->Release();
        if (newMapper) newMapper->Release();
        CoUninitialize();
    }

    // A: a video/RGB24 source (one output pin), merit 0x200000, registered by the old mapper.
    void RegisterSourceA() {
        ASSERT_EQ(oldMapper->RegisterFilter(CLSID_TestA, u"Test Source", MERIT_DO_NOT_USE), S_OK);
        ASSERT_EQ(oldMapper->RegisterPin(CLSID_TestA, u"Output", FALSE, TRUE, FALSE, FALSE,
                                         CLSID_NULL, nullptr),
                  S_OK);
        ASSERT_EQ(oldMapper->RegisterPinType(CLSID_TestA, u"Output", MEDIATYPE_Video,
                                             MEDIASUBTYPE_RGB24),
                  S_OK);
    }
    // B: an RGB24 -> dvsd transform, merit 0x600000, registered by the new mapper.
    void RegisterTransformB() {
        const REGPINTYPES in{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24};
        const REGPINTYPES out{&MEDIATYPE_Video, &MEDIASUBTYPE_dvsd};
        const REGFILTERPINS pins[] = {
            {const_cast<LPWSTR>(u"XForm In"), FALSE, FALSE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &in},
            {const_cast<LPWSTR>(u"XForm Out"), FALSE, TRUE, FALSE, FALSE, &CLSID_NULL, nullptr, 1, &out},
        };
        REGFILTER2 record{};
        record.dwVersion = 1;
        record.dwMerit = MERIT_NORMAL;
        record.cPins = 2;
        record.rgPins = pins;
        ASSERT_EQ(newMapper->RegisterFilter(CLSID_TestB, u"Test Transform", nullptr, nullptr,
                                            nullptr, &record),
                  S_OK);
    }
    // C: a renderer of any video subtype, merit 0x100000.
    void RegisterRendererC() {
        const REGPINTYPES in{&MEDIATYPE_Video, &GUID_NULL};
        const REGFILTERPINS pin{const_cast<LPWSTR>(u"In"), TRUE, FALSE, FALSE, FALSE, &CLSID_NULL,
                                nullptr, 1, &in};
        REGFILTER2 record{};
        record.dwVersion = 1;
        record.dwMerit = MERIT_SW_COMPRESSOR;
        record.cPins = 1;
        record.rgPins = &pin;
        ASSERT_EQ(newMapper->RegisterFilter(CLSID_TestC, u"Test Renderer", nullptr,
                                            &CLSID_LegacyAmFilterCategory, nullptr, &record),
                  S_OK);
    }

    IFilterMapper* oldMapper = nullptr;
    IFilterMapper2* newMapper = nullptr;
};

TEST_F(FilterMappers, EachMapperSeesTheOthersRegistrations) {
    RegisterSourceA();
    RegisterTransformB();
    const std::vector<Found> viaOld =
        OldSearch(oldMapper, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL);
    ASSERT_EQ(viaOld.size(), 2u);
    EXPECT_EQ(viaOld[0].clsid, CLSID_TestB);  // higher merit first
    EXPECT_EQ(viaOld[0].name, u"Test Transform");
    EXPECT_EQ(viaOld[1].clsid, CLSID_TestA);
    EXPECT_EQ(viaOld[1].name, u"Test Source");

    const std::vector<Found> viaNew = NewSearch(newMapper, FALSE, 0, FALSE, {}, FALSE, FALSE, {});
    ASSERT_EQ(viaNew.size(), 2u);
    EXPECT_EQ(viaNew[0].name, u"Test Transform");
    EXPECT_EQ(viaNew[1].name, u"Test Source");

    // Unregistering through the new mapper removes what the old one registered.
    EXPECT_EQ(newMapper->UnregisterFilter(nullptr, nullptr, CLSID_TestA), S_OK);
    EXPECT_EQ(Classes(OldSearch(oldMapper, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL,
                                GUID_NULL)),
              std::vector<CLSID>{CLSID_TestB});
}

TEST_F(FilterMappers, MissingEntriesGiveFileNotFound) {
    EXPECT_EQ(oldMapper->UnregisterFilter(CLSID_TestA), kNotFound);
    EXPECT_EQ(newMapper->UnregisterFilter(nullptr, nullptr, CLSID_TestA), kNotFound);
    EXPECT_EQ(oldMapper->RegisterPin(CLSID_TestA, u"Output", FALSE, TRUE, FALSE, FALSE, CLSID_NULL,
                                     nullptr),
              kNotFound);
    RegisterSourceA();
    EXPECT_EQ(oldMapper->RegisterPinType(CLSID_TestA, u"Other", MEDIATYPE_Video, GUID_NULL),
              kNotFound);
    EXPECT_EQ(oldMapper->UnregisterPin(CLSID_TestA, u"Other"), kNotFound);
    EXPECT_EQ(oldMapper->UnregisterPin(CLSID_TestA, u"Output"), S_OK);
    // The filter stays, now without pins: it no longer has the output the search needs.
    EXPECT_TRUE(OldSearch(oldMapper, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, TRUE, GUID_NULL,
                          GUID_NULL)
                    .empty());
    EXPECT_EQ(oldMapper->UnregisterFilter(CLSID_TestA), S_OK);
    EXPECT_EQ(oldMapper->UnregisterFilter(CLSID_TestA), kNotFound);
}

TEST_F(FilterMappers, SearchHonoursMeritAndPinConditions) {
    RegisterSourceA();
    RegisterTransformB();
    RegisterRendererC();
    auto old = [this](DWORD merit, BOOL inNeeded, CLSID inMajor, CLSID inSub, BOOL render,
                      BOOL outNeeded, CLSID outMajor, CLSID outSub) {
        return Classes(OldSearch(oldMapper, merit, inNeeded, inMajor, inSub, render, outNeeded,
                                 outMajor, outSub));
    };
    using V = std::vector<CLSID>;
    const CLSID N = GUID_NULL;
    // Merit: the minimum is inclusive.
    EXPECT_EQ(old(MERIT_DO_NOT_USE, FALSE, N, N, FALSE, FALSE, N, N), (V{CLSID_TestB, CLSID_TestA}));
    EXPECT_EQ(old(MERIT_DO_NOT_USE + 1, FALSE, N, N, FALSE, FALSE, N, N), (V{CLSID_TestB}));
    EXPECT_EQ(old(0, FALSE, N, N, FALSE, FALSE, N, N), (V{CLSID_TestB, CLSID_TestA, CLSID_TestC}));
    // Pins needed.
    EXPECT_EQ(old(0, TRUE, N, N, FALSE, FALSE, N, N), (V{CLSID_TestB, CLSID_TestC}));
    EXPECT_EQ(old(0, FALSE, N, N, FALSE, TRUE, N, N), (V{CLSID_TestB, CLSID_TestA}));
    EXPECT_EQ(old(0, TRUE, N, N, FALSE, TRUE, N, N), (V{CLSID_TestB}));
    // Types: exact subtype, wildcard subtype in the query, wildcard subtype registered.
    EXPECT_EQ(old(0, TRUE, MEDIATYPE_Video, MEDIASUBTYPE_RGB24, FALSE, FALSE, N, N),
              (V{CLSID_TestB, CLSID_TestC}));
    EXPECT_EQ(old(0, TRUE, MEDIATYPE_Video, MEDIASUBTYPE_dvsd, FALSE, FALSE, N, N), (V{CLSID_TestC}));
    EXPECT_EQ(old(0, TRUE, MEDIATYPE_Audio, N, FALSE, FALSE, N, N), V{});
    EXPECT_EQ(old(0, FALSE, N, N, FALSE, TRUE, MEDIATYPE_Video, MEDIASUBTYPE_dvsd), (V{CLSID_TestB}));
    EXPECT_EQ(old(0, FALSE, N, N, FALSE, FALSE, MEDIATYPE_Video, N), (V{CLSID_TestB, CLSID_TestA, CLSID_TestC}))
        << "a filter without outputs passes when none is needed";
    // Renderer.
    EXPECT_EQ(old(0, FALSE, N, N, TRUE, FALSE, N, N), (V{CLSID_TestC}));

    // The new mapper: several types, and exact matching that turns off registered wildcards.
    const std::vector<GUID> dvOrRgb{MEDIATYPE_Video, MEDIASUBTYPE_dvsd, MEDIATYPE_Video,
                                    MEDIASUBTYPE_RGB24};
    EXPECT_EQ(Classes(NewSearch(newMapper, FALSE, 0, TRUE, dvOrRgb, FALSE, FALSE, {})),
              (V{CLSID_TestB, CLSID_TestC}));
    EXPECT_EQ(Classes(NewSearch(newMapper, TRUE, 0, TRUE, {MEDIATYPE_Video, MEDIASUBTYPE_dvsd},
                                FALSE, FALSE, {})),
              V{});
    EXPECT_EQ(Classes(NewSearch(newMapper, FALSE, MERIT_NORMAL, FALSE, {}, FALSE, TRUE,
                                {MEDIATYPE_Video, GUID_NULL})),
              (V{CLSID_TestB}));
}

TEST_F(FilterMappers, RegisteringAgainReplacesPinsAndTypes) {
    RegisterTransformB();
    // Registered again with one input pin that takes audio only.
    const REGPINTYPES audio{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM};
    const REGFILTERPINS pin{const_cast<LPWSTR>(u"Audio In"), FALSE, FALSE, FALSE, FALSE,
                            &CLSID_NULL, nullptr, 1, &audio};
    REGFILTER2 record{};
    record.dwVersion = 1;
    record.dwMerit = MERIT_UNLIKELY;
    record.cPins = 1;
    record.rgPins = &pin;
    IMoniker* moniker = nullptr;
    ASSERT_EQ(newMapper->RegisterFilter(CLSID_TestB, u"Renamed", &moniker, nullptr, nullptr, &record),
              S_OK);
    ASSERT_NE(moniker, nullptr);
    moniker->Release();
    const CLSID N = GUID_NULL;
    EXPECT_TRUE(OldSearch(oldMapper, 0, FALSE, N, N, FALSE, TRUE, N, N).empty());
    const auto audioUsers = OldSearch(oldMapper, MERIT_UNLIKELY, TRUE, MEDIATYPE_Audio, N, FALSE,
                                      FALSE, N, N);
    ASSERT_EQ(audioUsers.size(), 1u);
    EXPECT_EQ(audioUsers[0].name, u"Renamed");
}

TEST_F(FilterMappers, BadArgumentsAreRefusedWithoutWriting) {
    EXPECT_EQ(oldMapper->EnumMatchingFilters(nullptr, 0, FALSE, GUID_NULL, GUID_NULL, FALSE,
                                             FALSE, GUID_NULL, GUID_NULL),
              E_POINTER);
    EXPECT_EQ(oldMapper->RegisterFilter(CLSID_TestA, nullptr, 0), E_POINTER);
    REGFILTER2 record{};
    record.dwVersion = 1;
    record.cPins = 2;
    record.rgPins = nullptr;
    EXPECT_EQ(newMapper->RegisterFilter(CLSID_TestA, u"x", nullptr, nullptr, nullptr, &record),
              E_POINTER);
    record.dwVersion = 7;
    record.cPins = 0;
    EXPECT_EQ(newMapper->RegisterFilter(CLSID_TestA, u"x", nullptr, nullptr, nullptr, &record),
              E_INVALIDARG);
    // A pin name that cannot be a key name: nothing of the filter is written.
    const REGFILTERPINS bad{const_cast<LPWSTR>(u"In\\Out"), FALSE, FALSE, FALSE, FALSE,
                            &CLSID_NULL, nullptr, 0, nullptr};
    record.dwVersion = 1;
    record.cPins = 1;
    record.rgPins = &bad;
    EXPECT_EQ(newMapper->RegisterFilter(CLSID_TestA, u"x", nullptr, nullptr, nullptr, &record),
              E_INVALIDARG);
    EXPECT_EQ(oldMapper->UnregisterFilter(CLSID_TestA), kNotFound);
    IEnumMoniker* monikers = nullptr;
    EXPECT_EQ(newMapper->EnumMatchingFilters(&monikers, 0, FALSE, 0, TRUE, 1, nullptr, nullptr,
                                             nullptr, FALSE, FALSE, 0, nullptr, nullptr, nullptr),
              E_POINTER);
    IUnknown* aggregated = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_FilterMapper, reinterpret_cast<IUnknown*>(oldMapper),
                               CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&aggregated)),
              CLASS_E_NOAGGREGATION);
}

TEST_F(FilterMappers, CategoryInstancesAreSeparateFromTheLegacyCategory) {
    ASSERT_EQ(newMapper->CreateCategory(CLSID_TestCategory, MERIT_NORMAL, u"Test category"), S_OK);
    REGFILTER2 record{};
    record.dwVersion = 1;
    record.dwMerit = MERIT_NORMAL;
    ASSERT_EQ(newMapper->RegisterFilter(CLSID_TestC, u"In Category", nullptr, &CLSID_TestCategory,
                                        u"instance one", &record),
              S_OK);
    const CLSID N = GUID_NULL;
    // The old mapper lists the legacy category only; the new one lists every category.
    EXPECT_TRUE(OldSearch(oldMapper, 0, FALSE, N, N, FALSE, FALSE, N, N).empty());
    const auto all = NewSearch(newMapper, FALSE, 0, FALSE, {}, FALSE, FALSE, {});
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].name, u"In Category");
    EXPECT_EQ(newMapper->UnregisterFilter(&CLSID_TestCategory, u"instance two", CLSID_TestC), kNotFound);
    EXPECT_EQ(newMapper->UnregisterFilter(&CLSID_TestCategory, u"instance one", CLSID_TestC), S_OK);
    EXPECT_TRUE(NewSearch(newMapper, FALSE, 0, FALSE, {}, FALSE, FALSE, {}).empty());
}

TEST_F(FilterMappers, RecordEnumeratorHandsOutBatchesAndClonesItsPosition) {
    RegisterSourceA();
    RegisterTransformB();
    IEnumRegFilters* filters = nullptr;
    ASSERT_EQ(oldMapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL, FALSE,
                                             FALSE, GUID_NULL, GUID_NULL),
              S_OK);
    REGFILTER* records[64] = {};
    ULONG total = 0;
    EXPECT_EQ(filters->Next(2, records, nullptr), E_POINTER);
    EXPECT_EQ(filters->Next(64, records, &total), S_FALSE);  // fewer than asked for
    ASSERT_GE(total, 2u);
    for (ULONG i = 0; i < total; ++i) CoTaskMemFree(records[i]);

    EXPECT_EQ(filters->Reset(), S_OK);
    EXPECT_EQ(filters->Skip(total - 1), S_OK);
    IEnumRegFilters* clone = nullptr;
    ASSERT_EQ(filters->Clone(&clone), S_OK);
    filters->Release();
    ULONG fetched = 0;
    ASSERT_EQ(clone->Next(1, records, &fetched), S_OK);  // the clone starts where it was made
    CoTaskMemFree(records[0]);
    EXPECT_EQ(clone->Next(1, records, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(clone->Skip(1), S_FALSE);
    clone->Release();
}

// A key name longer than the enumeration's buffer (written by some other program) sorted before
// the entries must not end the walk: the filters after it are still found by both mappers.
TEST_F(FilterMappers, AnOverlongKeyNameHidesNoEntry) {
    RegisterSourceA();
    RegisterTransformB();
    const std::string db = std::string(platform::StateDirectory()) + "/registry.db";
    const std::string name = "{0" + std::string(300, 'a') + "}";
    const std::string plant = "INSERT INTO keys(parent, name, lname) SELECT id, '" + name + "', '" +
                              name + "' FROM keys WHERE parent = 0 AND lname = 'filter'";
    ASSERT_EQ(registrytest::ExecSql(db, plant), SQLITE_OK);

    const std::vector<CLSID> expected = {CLSID_TestB, CLSID_TestA};  // by merit
    EXPECT_EQ(Classes(OldSearch(oldMapper, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL,
                                GUID_NULL)),
              expected);
    EXPECT_EQ(Classes(NewSearch(newMapper, FALSE, 0, FALSE, {}, FALSE, FALSE, {})), expected);
    EXPECT_EQ(registrytest::ExecSql(db, "DELETE FROM keys WHERE name = '" + name + "'"), SQLITE_OK);
}

}  // namespace
