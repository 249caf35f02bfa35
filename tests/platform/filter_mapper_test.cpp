// The native filter mapper: both mapper interfaces over the registry store, look-ups by
// media type, and damaged entries in the store.
#include "framework/com_ref.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

const CLSID kFilterA = {0x5E1F0301, 0x3333, 0x4444, {0x85, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x01}};
const CLSID kFilterB = {0x5E1F0302, 0x3333, 0x4444, {0x85, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x02}};
const CLSID kFilterC = {0x5E1F0303, 0x3333, 0x4444, {0x85, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x03}};
const GUID kSubX = {0x5E1F0311, 0x3333, 0x4444, {0x85, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x11}};
const GUID kSubY = {0x5E1F0312, 0x3333, 0x4444, {0x85, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x12}};


class FilterMapper : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string store = ::testing::TempDir() + "mapper-" + std::to_string(getpid()) + "-" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/store";
        setenv("DURAZODO_REGISTRY", store.c_str(), 1);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper, legacy.put_void()),
                  S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2, newer.put_void()),
                  S_OK);
    }

    // A: first-generation entry, input (Audio, X), output (Audio, PCM), merit normal.
    // B: IFilterMapper2 entry, rendered input (Video, any), merit unlikely.
    void RegisterBoth()
    {
        ASSERT_EQ(legacy->RegisterFilter(kFilterA, WIDE("Filter A"), MERIT_NORMAL), S_OK);
        ASSERT_EQ(legacy->RegisterPin(kFilterA, WIDE("In"), FALSE, FALSE, FALSE, FALSE, GUID_NULL, nullptr), S_OK);
        ASSERT_EQ(legacy->RegisterPinType(kFilterA, WIDE("In"), MEDIATYPE_Audio, kSubX), S_OK);
        ASSERT_EQ(legacy->RegisterPin(kFilterA, WIDE("Out"), FALSE, TRUE, FALSE, TRUE, GUID_NULL, nullptr), S_OK);
        ASSERT_EQ(legacy->RegisterPinType(kFilterA, WIDE("Out"), MEDIATYPE_Audio, MEDIASUBTYPE_PCM), S_OK);

        static const REGPINTYPES types[] = {{&MEDIATYPE_Video, &GUID_NULL}};
        static const REGFILTERPINS2 pins[] = {{REG_PINFLAG_B_RENDERER, 1, 1, types, 0, nullptr, nullptr}};
        REGFILTER2 rf2;
        rf2.dwVersion = 2;
        rf2.dwMerit = MERIT_UNLIKELY;
        rf2.cPins2 = 1;
        rf2.rgPins2 = pins;
        ASSERT_EQ(newer->RegisterFilter(kFilterB, WIDE("Filter B"), nullptr, nullptr, nullptr, &rf2), S_OK);
    }

    std::vector<CLSID> Enumerate(DWORD merit, BOOL input, const GUID& inMajor, const GUID& inMinor, BOOL render,
                                 BOOL output, const GUID& outMajor, const GUID& outMinor)
    {
        std::vector<CLSID> found;
        ComRef<IEnumRegFilters> filters;
        EXPECT_EQ(legacy->EnumMatchingFilters(filters.put(), merit, input, inMajor, inMinor, render, output, outMajor,
                                              outMinor),
                  S_OK);
        if (!filters.get()) return found;
        REGFILTER* entry = nullptr;
        while (filters->Next(1, &entry, nullptr) == S_OK) {
            found.push_back(entry->Clsid);
            CoTaskMemFree(entry);
        }
        return found;
    }

    static bool Has(const std::vector<CLSID>& ids, const CLSID& clsid)
    {
        for (const auto& id : ids)
            if (IsEqualGUID(id, clsid)) return true;
        return false;
    }

    ComRef<IFilterMapper> legacy;
    ComRef<IFilterMapper2> newer;
};

TEST_F(FilterMapper, FindsFiltersOfEitherInterfaceByMeritPinDirectionAndMediaType)
{
    RegisterBoth();
    auto all = Enumerate(0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL);
    EXPECT_EQ(all.size(), 2u);

    auto audioX = Enumerate(0, TRUE, MEDIATYPE_Audio, kSubX, FALSE, FALSE, GUID_NULL, GUID_NULL);
    EXPECT_TRUE(Has(audioX, kFilterA));
    EXPECT_FALSE(Has(audioX, kFilterB));
    EXPECT_TRUE(Has(Enumerate(0, TRUE, MEDIATYPE_Audio, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL), kFilterA))
        << "a null subtype asks for any";
    EXPECT_TRUE(Enumerate(0, TRUE, MEDIATYPE_Audio, kSubY, FALSE, FALSE, GUID_NULL, GUID_NULL).empty());
    EXPECT_TRUE(Enumerate(0, TRUE, MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FALSE, FALSE, GUID_NULL, GUID_NULL).empty())
        << "PCM is what A gives, not what it takes";
    EXPECT_TRUE(Has(Enumerate(0, FALSE, GUID_NULL, GUID_NULL, FALSE, TRUE, MEDIATYPE_Audio, MEDIASUBTYPE_PCM), kFilterA));

    // B registered its input type with a null subtype, which takes any subtype.
    auto video = Enumerate(0, TRUE, MEDIATYPE_Video, kSubY, TRUE, FALSE, GUID_NULL, GUID_NULL);
    EXPECT_TRUE(Has(video, kFilterB));
    EXPECT_TRUE(Enumerate(0, TRUE, MEDIATYPE_Audio, kSubX, TRUE, FALSE, GUID_NULL, GUID_NULL).empty())
        << "A's input is not rendered";

    auto merited = Enumerate(MERIT_NORMAL, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL);
    EXPECT_TRUE(Has(merited, kFilterA));
    EXPECT_FALSE(Has(merited, kFilterB));
}

TEST_F(FilterMapper, TheEnumeratorHandsOutTaskMemoryRecordsAndClonesItsPosition)
{
    RegisterBoth();
    ComRef<IEnumRegFilters> filters;
    ASSERT_EQ(legacy->EnumMatchingFilters(filters.put(), 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL),
              S_OK);
    REGFILTER* entries[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(filters->Next(3, entries, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    std::basic_string<WCHAR> names[2] = {entries[0]->Name, entries[1]->Name};
    EXPECT_TRUE((names[0] == WIDE("Filter A") && names[1] == WIDE("Filter B")) ||
                (names[0] == WIDE("Filter B") && names[1] == WIDE("Filter A")));
    CoTaskMemFree(entries[0]);
    CoTaskMemFree(entries[1]);

    EXPECT_EQ(filters->Reset(), S_OK);
    EXPECT_EQ(filters->Skip(1), S_OK);
    ComRef<IEnumRegFilters> clone;
    ASSERT_EQ(filters->Clone(clone.put()), S_OK);
    EXPECT_EQ(filters->Skip(5), S_FALSE);
    ASSERT_EQ(clone->Next(1, entries, &fetched), S_OK) << "the clone keeps the position it was made at";
    CoTaskMemFree(entries[0]);
    EXPECT_EQ(clone->Next(1, entries, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
}

TEST_F(FilterMapper, DescribesAFilterFromEitherLayout)
{
    RegisterBoth();
    REGFILTER2* description = nullptr;
    LPWSTR name = nullptr;
    ASSERT_EQ(FilterMapperDescribeFilter(kFilterA, &description, &name), S_OK);
    EXPECT_EQ(std::basic_string<WCHAR>(name), WIDE("Filter A"));
    EXPECT_EQ(description->dwVersion, 1u);
    EXPECT_EQ(description->dwMerit, static_cast<DWORD>(MERIT_NORMAL));
    ASSERT_EQ(description->cPins, 2u);
    EXPECT_EQ(std::basic_string<WCHAR>(description->rgPins[0].strName), WIDE("In"));
    EXPECT_FALSE(description->rgPins[0].bOutput);
    ASSERT_EQ(description->rgPins[0].nMediaTypes, 1u);
    EXPECT_TRUE(IsEqualGUID(*description->rgPins[0].lpMediaType[0].clsMinorType, kSubX));
    EXPECT_TRUE(description->rgPins[1].bOutput);
    EXPECT_TRUE(description->rgPins[1].bMany);
    CoTaskMemFree(description);
    CoTaskMemFree(name);

    ASSERT_EQ(FilterMapperDescribeFilter(kFilterB, &description, nullptr), S_OK);
    ASSERT_EQ(description->cPins, 1u);
    EXPECT_TRUE(description->rgPins[0].bRendered);
    EXPECT_TRUE(IsEqualGUID(*description->rgPins[0].lpMediaType[0].clsMajorType, MEDIATYPE_Video));
    CoTaskMemFree(description);

    EXPECT_EQ(FilterMapperDescribeFilter(kFilterC, &description, nullptr), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(description, nullptr);
}

TEST_F(FilterMapper, UnregisteringRemovesOnlyTheFilterDatabaseEntries)
{
    RegisterBoth();
    // A server key under the filter's class key belongs to its module, not to the mapper.
    HKEY server = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{5E1F0301-3333-4444-8555-666677778801}\\InprocServer32", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &server, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(server);

    EXPECT_EQ(legacy->UnregisterFilter(kFilterA), S_OK);
    EXPECT_EQ(newer->UnregisterFilter(nullptr, nullptr, kFilterB), S_OK);
    EXPECT_TRUE(Enumerate(0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL).empty());
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{5E1F0301-3333-4444-8555-666677778801}\\InprocServer32", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{5E1F0301-3333-4444-8555-666677778801}\\Pins", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);

    // Not registered: the platform's file-not-found code.
    EXPECT_EQ(legacy->UnregisterFilter(kFilterA), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(newer->UnregisterFilter(nullptr, nullptr, kFilterB), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(FilterMapper, DamagedFilterDataIsSkippedNotTrusted)
{
    RegisterBoth();
    const char* key = "CLSID\\{083863F1-70DE-11D0-BD40-00A0C911CE86}\\Instance\\{5E1F0303-3333-4444-8555-666677778803}";
    HKEY instance = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &instance, nullptr),
              ERROR_SUCCESS);
    const char clsid[] = "{5E1F0303-3333-4444-8555-666677778803}";
    RegSetValueExA(instance, "CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid), sizeof clsid);
    // Version 2, a pin count far beyond the data, then a truncated pin.
    const DWORD lies[] = {2, MERIT_NORMAL, 0x7FFFFFFF, 0, 0, 1, 0x40000000};
    for (DWORD size : {0u, 7u, static_cast<DWORD>(sizeof lies)}) {
        ASSERT_EQ(RegSetValueExA(instance, "FilterData", 0, REG_BINARY, reinterpret_cast<const BYTE*>(lies), size),
                  ERROR_SUCCESS);
        auto all = Enumerate(0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL);
        EXPECT_EQ(all.size(), 2u);
        EXPECT_FALSE(Has(all, kFilterC));
        REGFILTER2* description = nullptr;
        EXPECT_EQ(FilterMapperDescribeFilter(kFilterC, &description, nullptr), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    }
    RegCloseKey(instance);
}

TEST_F(FilterMapper, RefusesWhatItCannotDo)
{
    static const REGFILTERPINS pins[] = {{nullptr, FALSE, FALSE, FALSE, FALSE, nullptr, nullptr, 0, nullptr}};
    REGFILTER2 rf2;
    rf2.dwVersion = 1;
    rf2.dwMerit = MERIT_NORMAL;
    rf2.cPins = 1;
    rf2.rgPins = pins;
    IMoniker* moniker = reinterpret_cast<IMoniker*>(&rf2);
    EXPECT_EQ(newer->RegisterFilter(kFilterC, WIDE("C"), &moniker, nullptr, nullptr, &rf2), E_NOTIMPL);
    EXPECT_EQ(moniker, nullptr);
    rf2.dwVersion = 3;
    EXPECT_EQ(newer->RegisterFilter(kFilterC, WIDE("C"), nullptr, nullptr, nullptr, &rf2), E_INVALIDARG);
    EXPECT_TRUE(Enumerate(0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL).empty());

    IEnumMoniker* monikers = reinterpret_cast<IEnumMoniker*>(&rf2);
    EXPECT_EQ(newer->EnumMatchingFilters(&monikers, 0, TRUE, 0, FALSE, 0, nullptr, nullptr, nullptr, FALSE, FALSE, 0,
                                         nullptr, nullptr, nullptr),
              E_NOTIMPL);
    EXPECT_EQ(monikers, nullptr);

    EXPECT_EQ(legacy->RegisterPinType(kFilterC, WIDE("Nowhere"), MEDIATYPE_Audio, kSubX),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
        << "a type for a pin that was never registered";

    IUnknown* aggregated = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_FilterMapper2, legacy.get(), CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&aggregated)),
              CLASS_E_NOAGGREGATION);
}

}  // namespace
