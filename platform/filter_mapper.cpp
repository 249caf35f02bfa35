// The filter mapper of the native platform: the filter database kept in the registry store,
// in the platform's two layouts, behind IFilterMapper2 (CLSID_FilterMapper2) and the
// first-generation IFilterMapper (CLSID_FilterMapper). One object answers both interfaces.
//
// IFilterMapper2 files a filter under HKCR\CLSID\{category}\Instance\{instance} with the
// values "FriendlyName" and "CLSID" (REG_SZ) and "FilterData" (REG_BINARY; layout below).
// The category defaults to CLSID_LegacyAmFilterCategory and the instance name to the
// filter's class id.
//
// IFilterMapper files a filter as HKCR\Filter\{clsid} (default value: the name) and under
// HKCR\CLSID\{clsid}: the default value (the name), "Merit" (REG_DWORD), and one key per pin,
// Pins\<name>, with "Direction" (0 input, 1 output), "IsRendered", "AllowedZero",
// "AllowedMany" (REG_DWORD), "ConnectsToFilter" and "ConnectsToPin" (REG_SZ), and its media
// types as keys Types\{major}\{subtype}.
//
// Lookups (IFilterMapper::EnumMatchingFilters, FilterMapperDescribeFilter) read both
// layouts; a filter in both is described by its IFilterMapper2 entry. Returning monikers
// would need IMoniker, which the native platform does not have: IFilterMapper2's
// EnumMatchingFilters answers E_NOTIMPL, and RegisterFilter refuses a moniker out-pointer.
//
// FilterData, all fields little-endian 32-bit unless stated, packed:
//   version (2), merit, pin count, 0
//   per pin: flags (REG_PINFLAG_*), instances, media-type count, medium count, has-category,
//            name length, connects-to-pin length (UTF-16 units, no terminator),
//            category GUID, connects-to-filter GUID, name, connects-to-pin name,
//            per media type: major GUID, subtype GUID; per medium: GUID, dw1, dw2
#include "platform/builtin.h"
#include "platform/runtime.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace platform {
namespace {

using Text = std::u16string;

// The category under which categories themselves are filed.
const CLSID kCategoryOfCategories = {0xDA4E3DA0, 0xD07D, 0x11D0, {0xBD, 0x50, 0x00, 0xA0, 0xC9, 0x11, 0xCE, 0x86}};
const DWORD kFilterDataVersion = 2;

std::atomic<bool> g_mapper2Available{true};

HRESULT FromStatus(LONG rc) { return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<unsigned long>(rc)); }

Text GuidText(REFGUID guid)
{
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return Text(text);
}

class RegKey {
public:
    RegKey() = default;
    ~RegKey()
    {
        if (m_key) RegCloseKey(m_key);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY* Out() { return &m_key; }
    HKEY Get() const { return m_key; }

private:
    HKEY m_key = nullptr;
};

LONG SetString(HKEY key, const char16_t* name, const Text& text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

LONG SetDword(HKEY key, const char16_t* name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG ReadBytes(HKEY key, const char16_t* name, DWORD& type, std::vector<BYTE>& data)
{
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) return rc;
    data.resize(size);
    rc = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    data.resize(size);
    return rc;
}

LONG ReadString(HKEY key, const char16_t* name, Text& text)
{
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    LONG rc = ReadBytes(key, name, type, data);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    text.assign(data.size() / 2, u'\0');
    if (!text.empty()) std::memcpy(&text[0], data.data(), text.size() * 2);
    while (!text.empty() && text.back() == u'\0') text.pop_back();
    return ERROR_SUCCESS;
}

LONG ReadDword(HKEY key, const char16_t* name, DWORD& value)
{
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    LONG rc = ReadBytes(key, name, type, data);
    if (rc != ERROR_SUCCESS) return rc;
    if (type != REG_DWORD || data.size() != sizeof(DWORD)) return ERROR_INVALID_DATA;
    std::memcpy(&value, data.data(), sizeof value);
    return ERROR_SUCCESS;
}

// The names of a key's subkeys. Running out of memory while listing them throws
// std::bad_alloc, as making the list itself would: a list cut short is not the key's.
std::vector<Text> SubkeyNames(HKEY key)
{
    std::vector<Text> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD length = 256;
        LONG rc = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_OUTOFMEMORY) throw std::bad_alloc();
        if (rc != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    return names;
}

// Removes a key and everything below it. ERROR_FILE_NOT_FOUND when it does not exist; the
// failure of a subkey that cannot be removed (the key cannot go while that stays).
LONG DeleteTree(HKEY parent, const Text& path)
{
    {
        RegKey key;
        LONG rc = RegOpenKeyExW(parent, path.c_str(), 0, KEY_ALL_ACCESS, key.Out());
        if (rc != ERROR_SUCCESS) return rc;
        for (const Text& child : SubkeyNames(key.Get())) {
            rc = DeleteTree(key.Get(), child);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
        }
    }
    return RegDeleteKeyW(parent, path.c_str());
}

bool ParseGuid(const Text& text, GUID& guid) { return text.size() == 38 && SUCCEEDED(CLSIDFromString(text.c_str(), &guid)); }

// ---- Filter descriptions -----------------------------------------------------------------

struct PinDescription {
    Text name;
    DWORD flags = 0;
    UINT instances = 0;
    CLSID connectsToFilter = GUID_NULL;
    Text connectsToPin;
    bool hasCategory = false;
    CLSID category = GUID_NULL;
    std::vector<std::pair<GUID, GUID>> types;
    std::vector<REGPINMEDIUM> mediums;
};

struct FilterDescription {
    CLSID clsid = GUID_NULL;
    Text name;
    DWORD merit = 0;
    std::vector<PinDescription> pins;
};

class Writer {
public:
    void Dword(DWORD value) { Raw(&value, sizeof value); }
    void Guid(const GUID& guid) { Raw(&guid, sizeof guid); }
    void Units(const Text& text) { Raw(text.data(), text.size() * sizeof(char16_t)); }
    std::vector<BYTE> bytes;

private:
    void Raw(const void* data, size_t size)
    {
        auto* p = static_cast<const BYTE*>(data);
        bytes.insert(bytes.end(), p, p + size);
    }
};

// Reads FilterData defensively: every count is checked against the bytes that remain.
class Reader {
public:
    explicit Reader(const std::vector<BYTE>& data) : m_data(data) {}
    bool Dword(DWORD& value) { return Raw(&value, sizeof value); }
    bool Guid(GUID& guid) { return Raw(&guid, sizeof guid); }
    bool Units(DWORD count, Text& text)
    {
        if (count > Remaining() / 2) return false;
        text.assign(count, u'\0');
        return count == 0 || Raw(&text[0], count * 2);
    }
    size_t Remaining() const { return m_data.size() - m_pos; }

private:
    bool Raw(void* out, size_t size)
    {
        if (size > Remaining()) return false;
        std::memcpy(out, m_data.data() + m_pos, size);
        m_pos += size;
        return true;
    }
    const std::vector<BYTE>& m_data;
    size_t m_pos = 0;
};

std::vector<BYTE> EncodeFilterData(const FilterDescription& filter)
{
    Writer w;
    w.Dword(kFilterDataVersion);
    w.Dword(filter.merit);
    w.Dword(static_cast<DWORD>(filter.pins.size()));
    w.Dword(0);
    for (const auto& pin : filter.pins) {
        w.Dword(pin.flags);
        w.Dword(pin.instances);
        w.Dword(static_cast<DWORD>(pin.types.size()));
        w.Dword(static_cast<DWORD>(pin.mediums.size()));
        w.Dword(pin.hasCategory ? 1 : 0);
        w.Dword(static_cast<DWORD>(pin.name.size()));
        w.Dword(static_cast<DWORD>(pin.connectsToPin.size()));
        w.Guid(pin.category);
        w.Guid(pin.connectsToFilter);
        w.Units(pin.name);
        w.Units(pin.connectsToPin);
        for (const auto& type : pin.types) {
            w.Guid(type.first);
            w.Guid(type.second);
        }
        for (const auto& medium : pin.mediums) {
            w.Guid(medium.clsMedium);
            w.Dword(medium.dw1);
            w.Dword(medium.dw2);
        }
    }
    return std::move(w.bytes);
}

bool DecodeFilterData(const std::vector<BYTE>& data, FilterDescription& filter)
{
    Reader r(data);
    DWORD version, pinCount, reserved;
    if (!r.Dword(version) || version != kFilterDataVersion || !r.Dword(filter.merit) || !r.Dword(pinCount) ||
        !r.Dword(reserved))
        return false;
    const size_t kPinHeader = 7 * 4 + 2 * 16;
    if (pinCount > r.Remaining() / kPinHeader) return false;
    filter.pins.resize(pinCount);
    for (auto& pin : filter.pins) {
        DWORD typeCount, mediumCount, hasCategory, nameLength, connectsLength;
        if (!r.Dword(pin.flags) || !r.Dword(pin.instances) || !r.Dword(typeCount) || !r.Dword(mediumCount) ||
            !r.Dword(hasCategory) || !r.Dword(nameLength) || !r.Dword(connectsLength) || !r.Guid(pin.category) ||
            !r.Guid(pin.connectsToFilter) || !r.Units(nameLength, pin.name) || !r.Units(connectsLength, pin.connectsToPin))
            return false;
        pin.hasCategory = hasCategory != 0;
        if (typeCount > r.Remaining() / 32) return false;
        pin.types.resize(typeCount);
        for (auto& type : pin.types)
            if (!r.Guid(type.first) || !r.Guid(type.second)) return false;
        if (mediumCount > r.Remaining() / 24) return false;
        pin.mediums.resize(mediumCount);
        for (auto& medium : pin.mediums)
            if (!r.Guid(medium.clsMedium) || !r.Dword(medium.dw1) || !r.Dword(medium.dw2)) return false;
    }
    return r.Remaining() == 0;
}

// The REG_PINFLAG_B_* flags of a first-generation pin record.
DWORD PinFlags(bool rendered, bool output, bool zero, bool many)
{
    return (rendered ? REG_PINFLAG_B_RENDERER : 0) | (output ? REG_PINFLAG_B_OUTPUT : 0) |
           (zero ? REG_PINFLAG_B_ZERO : 0) | (many ? REG_PINFLAG_B_MANY : 0);
}

// Adds a registration's media types to a pin; a missing GUID is GUID_NULL.
void AddTypes(PinDescription& pin, const REGPINTYPES* types, UINT count)
{
    for (UINT t = 0; t < count; ++t)
        pin.types.emplace_back(types[t].clsMajorType ? *types[t].clsMajorType : GUID_NULL,
                               types[t].clsMinorType ? *types[t].clsMinorType : GUID_NULL);
}

// A REGFILTER2 of either version as a description; false for a malformed record.
bool DescribeRegistration(const REGFILTER2& rf2, FilterDescription& filter)
{
    filter.merit = rf2.dwMerit;
    if (rf2.dwVersion == 1) {
        if (rf2.cPins && !rf2.rgPins) return false;
        for (ULONG i = 0; i < rf2.cPins; ++i) {
            const REGFILTERPINS& in = rf2.rgPins[i];
            PinDescription pin;
            if (in.strName) pin.name = in.strName;
            pin.flags = PinFlags(in.bRendered, in.bOutput, in.bZero, in.bMany);
            if (in.clsConnectsToFilter) pin.connectsToFilter = *in.clsConnectsToFilter;
            if (in.strConnectsToPin) pin.connectsToPin = in.strConnectsToPin;
            if (in.nMediaTypes && !in.lpMediaType) return false;
            AddTypes(pin, in.lpMediaType, in.nMediaTypes);
            filter.pins.push_back(std::move(pin));
        }
        return true;
    }
    if (rf2.dwVersion == 2) {
        if (rf2.cPins2 && !rf2.rgPins2) return false;
        for (ULONG i = 0; i < rf2.cPins2; ++i) {
            const REGFILTERPINS2& in = rf2.rgPins2[i];
            PinDescription pin;
            pin.flags = in.dwFlags;
            pin.instances = in.cInstances;
            if (in.clsPinCategory) {
                pin.hasCategory = true;
                pin.category = *in.clsPinCategory;
            }
            if ((in.nMediaTypes && !in.lpMediaType) || (in.nMediums && !in.lpMedium)) return false;
            AddTypes(pin, in.lpMediaType, in.nMediaTypes);
            pin.mediums.assign(in.lpMedium, in.lpMedium + in.nMediums);
            filter.pins.push_back(std::move(pin));
        }
        return true;
    }
    return false;
}

Text InstancesPath(const CLSID& category) { return u"CLSID\\" + GuidText(category) + u"\\Instance"; }

// Where IFilterMapper2 files a filter: the category defaults to the legacy filter category,
// the instance name to the filter's class id.
Text InstancePath(const CLSID* category, LPCOLESTR instance, const CLSID& filter)
{
    return InstancesPath(category ? *category : CLSID_LegacyAmFilterCategory) + u"\\" +
           (instance ? Text(instance) : GuidText(filter));
}

bool ReadInstance(HKEY instances, const Text& instance, FilterDescription& filter)
{
    RegKey key;
    if (RegOpenKeyExW(instances, instance.c_str(), 0, KEY_READ, key.Out()) != ERROR_SUCCESS) return false;
    Text clsidText;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    if (ReadString(key.Get(), u"CLSID", clsidText) != ERROR_SUCCESS || !ParseGuid(clsidText, filter.clsid)) return false;
    ReadString(key.Get(), u"FriendlyName", filter.name);
    if (ReadBytes(key.Get(), u"FilterData", type, data) != ERROR_SUCCESS || type != REG_BINARY) return false;
    return DecodeFilterData(data, filter);
}

bool ReadLegacyFilter(const CLSID& clsid, FilterDescription& filter)
{
    const Text clsidText = GuidText(clsid);
    RegKey entry;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (u"Filter\\" + clsidText).c_str(), 0, KEY_READ, entry.Out()) != ERROR_SUCCESS)
        return false;
    filter.clsid = clsid;
    ReadString(entry.Get(), nullptr, filter.name);
    RegKey classKey;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (u"CLSID\\" + clsidText).c_str(), 0, KEY_READ, classKey.Out()) != ERROR_SUCCESS)
        return true;
    ReadDword(classKey.Get(), u"Merit", filter.merit);
    RegKey pins;
    if (RegOpenKeyExW(classKey.Get(), u"Pins", 0, KEY_READ, pins.Out()) != ERROR_SUCCESS) return true;
    for (const Text& pinName : SubkeyNames(pins.Get())) {
        RegKey pinKey;
        if (RegOpenKeyExW(pins.Get(), pinName.c_str(), 0, KEY_READ, pinKey.Out()) != ERROR_SUCCESS) continue;
        PinDescription pin;
        pin.name = pinName;
        DWORD direction = 0, rendered = 0, zero = 0, many = 0;
        ReadDword(pinKey.Get(), u"Direction", direction);
        ReadDword(pinKey.Get(), u"IsRendered", rendered);
        ReadDword(pinKey.Get(), u"AllowedZero", zero);
        ReadDword(pinKey.Get(), u"AllowedMany", many);
        pin.flags = PinFlags(rendered != 0, direction != 0, zero != 0, many != 0);
        Text connects;
        if (ReadString(pinKey.Get(), u"ConnectsToFilter", connects) == ERROR_SUCCESS)
            ParseGuid(connects, pin.connectsToFilter);
        ReadString(pinKey.Get(), u"ConnectsToPin", pin.connectsToPin);
        RegKey types;
        if (RegOpenKeyExW(pinKey.Get(), u"Types", 0, KEY_READ, types.Out()) == ERROR_SUCCESS) {
            for (const Text& majorText : SubkeyNames(types.Get())) {
                GUID major;
                RegKey majorKey;
                if (!ParseGuid(majorText, major) ||
                    RegOpenKeyExW(types.Get(), majorText.c_str(), 0, KEY_READ, majorKey.Out()) != ERROR_SUCCESS)
                    continue;
                for (const Text& minorText : SubkeyNames(majorKey.Get())) {
                    GUID minor;
                    if (ParseGuid(minorText, minor)) pin.types.emplace_back(major, minor);
                }
            }
        }
        filter.pins.push_back(std::move(pin));
    }
    return true;
}

// Every filter the database knows, each once: IFilterMapper2 entries of the default
// category first, then first-generation entries for other class ids. A registry that cannot
// be read is a failure, not an empty database.
HRESULT AllFilters(std::vector<FilterDescription>& filters)
{
    filters.clear();
    auto known = [&](const CLSID& clsid) {
        for (const auto& f : filters)
            if (IsEqualGUID(f.clsid, clsid)) return true;
        return false;
    };
    {
        RegKey instances;
        LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, InstancesPath(CLSID_LegacyAmFilterCategory).c_str(), 0, KEY_READ,
                                instances.Out());
        if (rc == ERROR_SUCCESS) {
            for (const Text& instance : SubkeyNames(instances.Get())) {
                FilterDescription filter;
                if (ReadInstance(instances.Get(), instance, filter) && !known(filter.clsid))
                    filters.push_back(std::move(filter));
            }
        } else if (rc != ERROR_FILE_NOT_FOUND) {
            return FromStatus(rc);
        }
    }
    RegKey legacy;
    LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Filter", 0, KEY_READ, legacy.Out());
    if (rc == ERROR_SUCCESS) {
        for (const Text& clsidText : SubkeyNames(legacy.Get())) {
            CLSID clsid;
            FilterDescription filter;
            if (ParseGuid(clsidText, clsid) && !known(clsid) && ReadLegacyFilter(clsid, filter))
                filters.push_back(std::move(filter));
        }
    } else if (rc != ERROR_FILE_NOT_FOUND) {
        return FromStatus(rc);
    }
    return S_OK;
}

bool Matches(const GUID& registered, const GUID& wanted)
{
    return IsEqualGUID(registered, GUID_NULL) || IsEqualGUID(wanted, GUID_NULL) || IsEqualGUID(registered, wanted);
}

bool HasPin(const FilterDescription& filter, bool output, bool mustRender, const GUID& major, const GUID& minor)
{
    for (const auto& pin : filter.pins) {
        if (((pin.flags & REG_PINFLAG_B_OUTPUT) != 0) != output) continue;
        if (mustRender && !(pin.flags & REG_PINFLAG_B_RENDERER)) continue;
        for (const auto& type : pin.types)
            if (Matches(type.first, major) && Matches(type.second, minor)) return true;
    }
    return false;
}

// ---- IEnumRegFilters ---------------------------------------------------------------------

class RegFilterEnumerator final : public SingleInterfaceObject<IEnumRegFilters, &IID_IEnumRegFilters> {
public:
    RegFilterEnumerator(std::shared_ptr<const std::vector<REGFILTER>> entries,
                        std::shared_ptr<const std::vector<Text>> names, size_t position)
        : m_entries(std::move(entries)), m_names(std::move(names)), m_position(position)
    {
    }

    // Each REGFILTER handed out is one task-memory block holding its name; the caller frees
    // it with CoTaskMemFree.
    STDMETHODIMP Next(ULONG count, REGFILTER** filters, ULONG* fetched) override
    {
        if (!filters || (count > 1 && !fetched)) return E_POINTER;
        ULONG done = 0;
        while (done < count && m_position < m_entries->size()) {
            const REGFILTER& entry = (*m_entries)[m_position];
            const Text& name = (*m_names)[m_position];
            size_t bytes = sizeof(REGFILTER) + (name.size() + 1) * sizeof(WCHAR);
            auto* block = static_cast<REGFILTER*>(CoTaskMemAlloc(bytes));
            if (!block) {
                for (ULONG i = 0; i < done; ++i) {
                    CoTaskMemFree(filters[i]);
                    filters[i] = nullptr;
                }
                m_position -= done;
                if (fetched) *fetched = 0;
                return E_OUTOFMEMORY;
            }
            block->Clsid = entry.Clsid;
            block->Name = reinterpret_cast<LPWSTR>(block + 1);
            std::memcpy(block->Name, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
            filters[done++] = block;
            ++m_position;
        }
        if (fetched) *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        size_t left = m_entries->size() - m_position;
        if (count > left) {
            m_position = m_entries->size();
            return S_FALSE;
        }
        m_position += count;
        return S_OK;
    }
    STDMETHODIMP Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumRegFilters** clone) override
    {
        if (!clone) return E_POINTER;
        *clone = new (std::nothrow) RegFilterEnumerator(m_entries, m_names, m_position);
        return *clone ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::shared_ptr<const std::vector<REGFILTER>> m_entries;  // Name fields unused
    std::shared_ptr<const std::vector<Text>> m_names;
    size_t m_position;
};

// ---- The mapper --------------------------------------------------------------------------

// The mapper's methods never let an exception out to their caller: running out of memory
// anywhere in one of them is E_OUTOFMEMORY.
template <typename Body>
HRESULT Guarded(Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

class FilterMapper final : public IFilterMapper2, public IFilterMapper {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IFilterMapper2))
            *ppv = static_cast<IFilterMapper2*>(this);
        else if (IsEqualGUID(riid, IID_IFilterMapper))
            *ppv = static_cast<IFilterMapper*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_ref.Increment(); }
    STDMETHODIMP_(ULONG) Release() override
    {
        return m_ref.Release([this] { delete this; });
    }

    // ---- IFilterMapper2 ----

    STDMETHODIMP CreateCategory(REFCLSID category, DWORD merit, LPCWSTR description) override
    {
        return Guarded([&]() -> HRESULT {
            if (!description) return E_POINTER;
            RegKey key;
            LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, (InstancesPath(kCategoryOfCategories) + u"\\" + GuidText(category)).c_str(),
                                      0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
            if (rc == ERROR_SUCCESS) rc = SetString(key.Get(), u"FriendlyName", description);
            if (rc == ERROR_SUCCESS) rc = SetString(key.Get(), u"CLSID", GuidText(category));
            if (rc == ERROR_SUCCESS) rc = SetDword(key.Get(), u"Merit", merit);
            return FromStatus(rc);
        });
    }

    STDMETHODIMP UnregisterFilter(const CLSID* category, LPCOLESTR instance, REFCLSID filter) override
    {
        return Guarded([&]() -> HRESULT {
            return FromStatus(DeleteTree(HKEY_CLASSES_ROOT, InstancePath(category, instance, filter)));
        });
    }

    STDMETHODIMP RegisterFilter(REFCLSID clsid, LPCWSTR name, IMoniker** moniker, const CLSID* category,
                                LPCOLESTR instance, const REGFILTER2* rf2) override
    {
        if (!name || !rf2) return E_POINTER;
        if (moniker) {
            *moniker = nullptr;
            return E_NOTIMPL;
        }
        return Guarded([&]() -> HRESULT {
            FilterDescription filter;
            filter.clsid = clsid;
            filter.name = name;
            if (!DescribeRegistration(*rf2, filter)) return E_INVALIDARG;
            std::vector<BYTE> data = EncodeFilterData(filter);
            RegKey key;
            LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, InstancePath(category, instance, clsid).c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
            if (rc == ERROR_SUCCESS) rc = SetString(key.Get(), u"FriendlyName", filter.name);
            if (rc == ERROR_SUCCESS) rc = SetString(key.Get(), u"CLSID", GuidText(clsid));
            if (rc == ERROR_SUCCESS)
                rc = RegSetValueExW(key.Get(), u"FilterData", 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
            return FromStatus(rc);
        });
    }

    STDMETHODIMP EnumMatchingFilters(IEnumMoniker** ppEnum, DWORD, BOOL, DWORD, BOOL, DWORD, const GUID*,
                                     const REGPINMEDIUM*, const CLSID*, BOOL, BOOL, DWORD, const GUID*,
                                     const REGPINMEDIUM*, const CLSID*) override
    {
        if (ppEnum) *ppEnum = nullptr;
        return E_NOTIMPL;
    }

    // ---- IFilterMapper ----

    STDMETHODIMP RegisterFilter(CLSID clsid, LPCWSTR name, DWORD merit) override
    {
        return Guarded([&]() -> HRESULT {
            if (!name) return E_POINTER;
            const Text clsidText = GuidText(clsid);
            RegKey entry, classKey;
            LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, (u"Filter\\" + clsidText).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                      nullptr, entry.Out(), nullptr);
            if (rc == ERROR_SUCCESS) rc = SetString(entry.Get(), nullptr, name);
            if (rc == ERROR_SUCCESS)
                rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, (u"CLSID\\" + clsidText).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, classKey.Out(), nullptr);
            if (rc == ERROR_SUCCESS) rc = SetString(classKey.Get(), nullptr, name);
            if (rc == ERROR_SUCCESS) rc = SetDword(classKey.Get(), u"Merit", merit);
            return FromStatus(rc);
        });
    }

    STDMETHODIMP RegisterFilterInstance(CLSID, LPCWSTR, CLSID* instance) override
    {
        if (instance) *instance = GUID_NULL;
        return E_NOTIMPL;
    }

    STDMETHODIMP RegisterPin(CLSID filter, LPCWSTR name, BOOL rendered, BOOL output, BOOL zero, BOOL many,
                             CLSID connectsToFilter, LPCWSTR connectsToPin) override
    {
        return Guarded([&]() -> HRESULT {
            if (!name || !*name) return E_INVALIDARG;
            RegKey pin;
            LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, (PinsPath(filter) + u"\\" + name).c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, pin.Out(), nullptr);
            if (rc == ERROR_SUCCESS) rc = SetDword(pin.Get(), u"Direction", output ? 1 : 0);
            if (rc == ERROR_SUCCESS) rc = SetDword(pin.Get(), u"IsRendered", rendered ? 1 : 0);
            if (rc == ERROR_SUCCESS) rc = SetDword(pin.Get(), u"AllowedZero", zero ? 1 : 0);
            if (rc == ERROR_SUCCESS) rc = SetDword(pin.Get(), u"AllowedMany", many ? 1 : 0);
            if (rc == ERROR_SUCCESS) rc = SetString(pin.Get(), u"ConnectsToFilter", GuidText(connectsToFilter));
            if (rc == ERROR_SUCCESS) rc = SetString(pin.Get(), u"ConnectsToPin", connectsToPin ? connectsToPin : u"");
            return FromStatus(rc);
        });
    }

    STDMETHODIMP RegisterPinType(CLSID filter, LPCWSTR pinName, CLSID major, CLSID minor) override
    {
        return Guarded([&]() -> HRESULT {
            if (!pinName || !*pinName) return E_INVALIDARG;
            RegKey pin, type;
            LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, (PinsPath(filter) + u"\\" + pinName).c_str(), 0, KEY_ALL_ACCESS,
                                    pin.Out());
            if (rc == ERROR_SUCCESS)
                rc = RegCreateKeyExW(pin.Get(), (u"Types\\" + GuidText(major) + u"\\" + GuidText(minor)).c_str(), 0,
                                     nullptr, 0, KEY_ALL_ACCESS, nullptr, type.Out(), nullptr);
            return FromStatus(rc);
        });
    }

    // Removes the filter's entry, its merit and its pins; the class key itself belongs to the
    // filter's server registration and stays. 0x80070002 when the filter was not registered.
    STDMETHODIMP UnregisterFilter(CLSID filter) override
    {
        return Guarded([&]() -> HRESULT {
            const Text clsidText = GuidText(filter);
            LONG rc = DeleteTree(HKEY_CLASSES_ROOT, u"Filter\\" + clsidText);
            LONG pins = DeleteTree(HKEY_CLASSES_ROOT, PinsPath(filter));
            if (pins != ERROR_SUCCESS && pins != ERROR_FILE_NOT_FOUND) return FromStatus(pins);
            RegKey classKey;
            if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (u"CLSID\\" + clsidText).c_str(), 0, KEY_ALL_ACCESS, classKey.Out()) ==
                ERROR_SUCCESS) {
                LONG merit = RegDeleteValueW(classKey.Get(), u"Merit");
                if (merit != ERROR_SUCCESS && merit != ERROR_FILE_NOT_FOUND) return FromStatus(merit);
            }
            return FromStatus(rc);
        });
    }

    STDMETHODIMP UnregisterFilterInstance(CLSID) override { return E_NOTIMPL; }

    STDMETHODIMP UnregisterPin(CLSID filter, LPCWSTR name) override
    {
        return Guarded([&]() -> HRESULT {
            if (!name || !*name) return E_INVALIDARG;
            return FromStatus(DeleteTree(HKEY_CLASSES_ROOT, PinsPath(filter) + u"\\" + name));
        });
    }

    // Filters whose merit is at least `merit`; with bInputNeeded, one input pin (rendered,
    // with bRender) must take the input type, and with bOutputNeeded one output pin must give
    // the output type. GUID_NULL, asked or registered, matches any type.
    STDMETHODIMP EnumMatchingFilters(IEnumRegFilters** ppEnum, DWORD merit, BOOL inputNeeded, CLSID inMajor,
                                     CLSID inMinor, BOOL render, BOOL outputNeeded, CLSID outMajor,
                                     CLSID outMinor) override
    {
        if (!ppEnum) return E_POINTER;
        *ppEnum = nullptr;
        return Guarded([&]() -> HRESULT {
            auto entries = std::make_shared<std::vector<REGFILTER>>();
            auto names = std::make_shared<std::vector<Text>>();
            std::vector<FilterDescription> filters;
            HRESULT hr = AllFilters(filters);
            if (FAILED(hr)) return hr;
            for (const auto& filter : filters) {
                if (filter.merit < merit) continue;
                if (inputNeeded && !HasPin(filter, false, render != FALSE, inMajor, inMinor)) continue;
                if (outputNeeded && !HasPin(filter, true, false, outMajor, outMinor)) continue;
                entries->push_back(REGFILTER{filter.clsid, nullptr});
                names->push_back(filter.name);
            }
            *ppEnum = new RegFilterEnumerator(std::move(entries), std::move(names), 0);
            return S_OK;
        });
    }

private:
    ~FilterMapper() = default;

    static Text PinsPath(const CLSID& filter) { return u"CLSID\\" + GuidText(filter) + u"\\Pins"; }

    RefCount m_ref;  // the creator's reference
};

HRESULT CreateMapper2(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!g_mapper2Available.load()) {
        if (ppv) *ppv = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return CreateUnaggregated<FilterMapper>(outer, riid, ppv);
}

const BuiltinClass mapperRegistration(CLSID_FilterMapper, CreateUnaggregated<FilterMapper>);
const BuiltinClass mapper2Registration(CLSID_FilterMapper2, CreateMapper2);

// Lays a description out as one task-memory block: the REGFILTER2, the pin records, the
// media-type records, the GUIDs and the strings.
REGFILTER2* PackDescription(const FilterDescription& filter)
{
    auto align = [](size_t offset, size_t alignment) { return (offset + alignment - 1) / alignment * alignment; };
    size_t pinsAt = align(sizeof(REGFILTER2), alignof(REGFILTERPINS));
    size_t typesAt = pinsAt + filter.pins.size() * sizeof(REGFILTERPINS);
    size_t typeCount = 0, textUnits = 0;
    for (const auto& pin : filter.pins) {
        typeCount += pin.types.size();
        textUnits += pin.name.size() + 1 + pin.connectsToPin.size() + 1;
    }
    size_t guidsAt = align(typesAt + typeCount * sizeof(REGPINTYPES), alignof(GUID));
    size_t guidCount = filter.pins.size() + typeCount * 2;
    size_t textAt = align(guidsAt + guidCount * sizeof(GUID), alignof(WCHAR));
    size_t total = textAt + textUnits * sizeof(WCHAR);

    auto* base = static_cast<BYTE*>(CoTaskMemAlloc(total));
    if (!base) return nullptr;
    std::memset(base, 0, total);
    auto* rf2 = reinterpret_cast<REGFILTER2*>(base);
    auto* pins = reinterpret_cast<REGFILTERPINS*>(base + pinsAt);
    auto* types = reinterpret_cast<REGPINTYPES*>(base + typesAt);
    auto* guids = reinterpret_cast<GUID*>(base + guidsAt);
    auto* text = reinterpret_cast<WCHAR*>(base + textAt);
    auto copyText = [&text](const Text& s) {
        WCHAR* start = text;
        std::memcpy(text, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
        text += s.size() + 1;
        return start;
    };
    rf2->dwVersion = 1;
    rf2->dwMerit = filter.merit;
    rf2->cPins = static_cast<ULONG>(filter.pins.size());
    rf2->rgPins = pins;
    for (const auto& pin : filter.pins) {
        pins->strName = copyText(pin.name);
        pins->bRendered = (pin.flags & REG_PINFLAG_B_RENDERER) ? TRUE : FALSE;
        pins->bOutput = (pin.flags & REG_PINFLAG_B_OUTPUT) ? TRUE : FALSE;
        pins->bZero = (pin.flags & REG_PINFLAG_B_ZERO) ? TRUE : FALSE;
        pins->bMany = (pin.flags & REG_PINFLAG_B_MANY) ? TRUE : FALSE;
        *guids = pin.connectsToFilter;
        pins->clsConnectsToFilter = guids++;
        pins->strConnectsToPin = copyText(pin.connectsToPin);
        pins->nMediaTypes = static_cast<UINT>(pin.types.size());
        pins->lpMediaType = types;
        for (const auto& type : pin.types) {
            guids[0] = type.first;
            guids[1] = type.second;
            types->clsMajorType = &guids[0];
            types->clsMinorType = &guids[1];
            guids += 2;
            ++types;
        }
        ++pins;
    }
    return rf2;
}

}  // namespace
}  // namespace platform

using namespace platform;

void FilterMapperSetMapper2Available(BOOL available) { g_mapper2Available.store(available != FALSE); }

HRESULT FilterMapperDescribeFilter(REFCLSID clsid, REGFILTER2** description, LPWSTR* name)
{
    if (!description) return E_POINTER;
    *description = nullptr;
    if (name) *name = nullptr;
    try {
        std::vector<FilterDescription> filters;
        HRESULT hr = AllFilters(filters);
        if (FAILED(hr)) return hr;
        for (const auto& filter : filters) {
            if (!IsEqualGUID(filter.clsid, clsid)) continue;
            LPWSTR nameCopy = nullptr;
            if (name) {
                nameCopy = static_cast<LPWSTR>(CoTaskMemAlloc((filter.name.size() + 1) * sizeof(WCHAR)));
                if (!nameCopy) return E_OUTOFMEMORY;
                std::memcpy(nameCopy, filter.name.c_str(), (filter.name.size() + 1) * sizeof(WCHAR));
            }
            REGFILTER2* packed = PackDescription(filter);
            if (!packed) {
                CoTaskMemFree(nameCopy);
                return E_OUTOFMEMORY;
            }
            *description = packed;
            if (name) *name = nameCopy;
            return S_OK;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}
