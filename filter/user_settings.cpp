#include "filter/user_settings.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "decoder/kernels/matrix.h"

namespace durazodo {

namespace {

const WCHAR kKeyPath[] = WIDE("Software\\DUrazOdo");
const WCHAR kRig[] = WIDE("Rig");
const WCHAR kSpeakers[] = WIDE("Speakers");
const WCHAR kLfe[] = WIDE("LFE");
const WCHAR kOutput[] = WIDE("Output");
const WCHAR kSilentLfe[] = WIDE("SilentLFE");
const WCHAR* const kAngles[3] = {WIDE("Yaw"), WIDE("Pitch"), WIDE("Roll")};
const char* const kAngleNames[3] = {"Yaw", "Pitch", "Roll"};

// Longer texts than any setting needs (64 speakers of three numbers) are damaged values.
constexpr DWORD kMaxValueBytes = 16384;

constexpr double kMaxAngle = 360.0;

// A value as stored: absent, or its type and bytes.
struct StoredValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

[[noreturn]] void OutOfMemory() { throw std::bad_alloc(); }

StoredValue Read(HKEY key, const WCHAR* name)
{
    StoredValue value;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
    if (rc == ERROR_OUTOFMEMORY) OutOfMemory();
    if (rc != ERROR_SUCCESS) return value;
    value.present = true;
    if (size > kMaxValueBytes) {
        value.type = REG_NONE;  // reported as damaged
        return value;
    }
    value.data.resize(size);
    rc = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    if (rc == ERROR_OUTOFMEMORY) OutOfMemory();
    if (rc != ERROR_SUCCESS) value.type = REG_NONE;
    value.data.resize(size);
    return value;
}

// The text of a REG_SZ value, which must be plain ASCII; false for anything else.
bool TextOf(const StoredValue& value, std::string& text)
{
    if (value.type != REG_SZ || value.data.size() % sizeof(WCHAR)) return false;
    text.clear();
    for (size_t i = 0; i + sizeof(WCHAR) <= value.data.size(); i += sizeof(WCHAR)) {
        WCHAR unit;
        std::memcpy(&unit, value.data.data() + i, sizeof unit);
        if (unit == 0) break;
        if (unit < 0x20 || unit > 0x7E) return false;
        text.push_back(static_cast<char>(unit));
    }
    return true;
}

bool DwordOf(const StoredValue& value, DWORD& number)
{
    if (value.type != REG_DWORD || value.data.size() != sizeof(DWORD)) return false;
    std::memcpy(&number, value.data.data(), sizeof number);
    return true;
}

bool ParseAngle(const std::string& text, double& angle)
{
    if (text.empty()) return false;
    char* end = nullptr;
    angle = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(angle);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The rig named `name` as settings; false for a name no rig has.
bool RigByName(const std::string& name, UserSettings& settings)
{
    const decoder::Rig* rig = decoder::RigNamed(name);
    if (!rig) return false;
    if (rig->layout) {
        settings.rigKind = UserSettings::RigKind::Layout;
        settings.layout = decoder::DecodeTypeOf(*rig->layout);
        return true;
    }
    const std::vector<decoder::Rig>& presets = decoder::PresetRigs();
    settings.rigKind = UserSettings::RigKind::Preset;
    settings.preset = static_cast<LONG>(rig - presets.data());
    return true;
}

std::string CheckSpeakers(const std::vector<decoder::Speaker>& speakers, bool lfe)
{
    if (speakers.size() < AMBISONIC_MIN_SPEAKERS || speakers.size() > AMBISONIC_MAX_SPEAKERS)
        return "a custom rig has " + std::to_string(AMBISONIC_MIN_SPEAKERS) + " to " +
               std::to_string(AMBISONIC_MAX_SPEAKERS) + " speakers, not " + std::to_string(speakers.size());
    if (speakers.size() + (lfe ? 1 : 0) > decoder::kernels::kMaxMatrixOutputs)
        return "a rig has at most " + std::to_string(decoder::kernels::kMaxMatrixOutputs) +
               " output channels, LFE included";
    for (size_t i = 0; i < speakers.size(); ++i) {
        const decoder::Speaker& s = speakers[i];
        const std::string which = "speaker " + std::to_string(i + 1) + ": ";
        if (!(std::fabs(s.azimuth) <= kMaxAngle)) return which + "azimuth " + DecimalText(s.azimuth) + " is outside -360..360";
        if (!(std::fabs(s.elevation) <= 90.0)) return which + "elevation " + DecimalText(s.elevation) + " is outside -90..90";
        if (!(s.distance >= 0.0 && s.distance <= AMBISONIC_MAX_SPEAKER_DISTANCE))
            return which + "distance " + DecimalText(s.distance) + " is outside 0..1000 metres";
    }
    decoder::Rig rig;
    size_t which[2] = {0, 0};
    const decoder::DesignResult result = decoder::MakeRig(speakers, lfe, rig, which);
    if (result == decoder::DesignResult::OutOfMemory) OutOfMemory();
    if (result == decoder::DesignResult::Ok) return {};
    std::string reason = decoder::DescribeDesignResult(result);
    if (result == decoder::DesignResult::SameDirection)
        reason += " (speakers " + std::to_string(which[0] + 1) + " and " + std::to_string(which[1] + 1) + ")";
    return reason;
}

std::string CheckRotation(const UserSettings& s)
{
    const float angles[3] = {s.yaw, s.pitch, s.roll};
    for (int i = 0; i < 3; ++i)
        if (!(std::fabs(angles[i]) <= kMaxAngle))
            return std::string(kAngleNames[i]) + " " + DecimalText(angles[i]) + " is outside -360..360 degrees";
    return {};
}

class KeyHolder {
public:
    explicit KeyHolder(HKEY key) : m_key(key) {}
    ~KeyHolder() { RegCloseKey(m_key); }
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;

private:
    HKEY m_key;
};

LONG WriteText(HKEY key, const WCHAR* name, const std::string& text)
{
    std::basic_string<WCHAR> wide(text.begin(), text.end());
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                          static_cast<DWORD>((wide.size() + 1) * sizeof(WCHAR)));
}

LONG WriteDword(HKEY key, const WCHAR* name, DWORD number)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
}

// Reads the rig values into `loaded`; a damaged rig leaves the square.
void LoadRig(HKEY key, LoadedSettings& loaded)
{
    const StoredValue rig = Read(key, kRig);
    const StoredValue speakers = Read(key, kSpeakers);
    const StoredValue lfe = Read(key, kLfe);
    loaded.stored = loaded.stored || rig.present || speakers.present || lfe.present;
    if (!rig.present) return;
    std::string name;
    if (!TextOf(rig, name)) {
        loaded.ignored.push_back("Rig: not a rig name; the square is used");
        return;
    }
    UserSettings& s = loaded.settings;
    if (name != "custom") {
        if (!RigByName(name, s)) loaded.ignored.push_back("Rig: " + Quoted(name) + " is not a rig; the square is used");
        return;
    }
    std::string text;
    std::vector<decoder::Speaker> positions;
    size_t bad = 0;
    if (!TextOf(speakers, text)) {
        loaded.ignored.push_back("Speakers: missing or not text; the square is used");
        return;
    }
    if (!decoder::ParseSpeakerList(text, positions, bad)) {
        loaded.ignored.push_back("Speakers: speaker " + std::to_string(bad + 1) +
                                 " is not AZ/EL/DIST; the square is used");
        return;
    }
    DWORD withLfe = 0;
    if (lfe.present && (!DwordOf(lfe, withLfe) || withLfe > 1)) {
        loaded.ignored.push_back("LFE: neither 0 nor 1; no LFE channel is used");
        withLfe = 0;
    }
    const std::string problem = CheckSpeakers(positions, withLfe != 0);
    if (!problem.empty()) {
        loaded.ignored.push_back("Speakers: " + problem + "; the square is used");
        return;
    }
    s.rigKind = UserSettings::RigKind::Custom;
    s.speakers = std::move(positions);
    s.lfe = withLfe != 0;
}

void LoadOutput(HKEY key, LoadedSettings& loaded)
{
    const StoredValue output = Read(key, kOutput);
    if (!output.present) return;
    loaded.stored = true;
    DWORD kind = 0;
    if (!DwordOf(output, kind) || kind > AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL) {
        loaded.ignored.push_back("Output: not 0 (speakers), 1 (UHJ) or 2 (headphones); speakers are used");
        return;
    }
    loaded.settings.output = static_cast<LONG>(kind);
}

void LoadSilentLfe(HKEY key, LoadedSettings& loaded)
{
    const StoredValue silent = Read(key, kSilentLfe);
    if (!silent.present) return;
    loaded.stored = true;
    DWORD value = 0;
    if (!DwordOf(silent, value) || value > 1) {
        loaded.ignored.push_back("SilentLFE: neither 0 nor 1; the LFE channel carries W low-passed");
        return;
    }
    loaded.settings.silentLfe = value != 0;
}

void LoadRotation(HKEY key, LoadedSettings& loaded)
{
    float* angles[3] = {&loaded.settings.yaw, &loaded.settings.pitch, &loaded.settings.roll};
    for (int i = 0; i < 3; ++i) {
        const StoredValue value = Read(key, kAngles[i]);
        if (!value.present) continue;
        loaded.stored = true;
        std::string text;
        double angle = 0.0;
        if (!TextOf(value, text) || !ParseAngle(text, angle) || std::fabs(angle) > kMaxAngle) {
            loaded.ignored.push_back(std::string(kAngleNames[i]) + ": not a number of degrees in -360..360; 0 is used");
            continue;
        }
        *angles[i] = static_cast<float>(angle);
    }
}

// Calls `set` on the interface `iid` of `filter`, when it has one. S_OK when it has none.
template <typename Interface, typename Call>
HRESULT WithInterface(IUnknown* filter, REFIID iid, Call set)
{
    Interface* object = nullptr;
    if (FAILED(filter->QueryInterface(iid, reinterpret_cast<void**>(&object))) || !object) return S_OK;
    const HRESULT hr = set(object);
    object->Release();
    return hr;
}

}  // namespace

bool UserSettings::operator==(const UserSettings& o) const
{
    if (rigKind != o.rigKind || output != o.output || silentLfe != o.silentLfe || yaw != o.yaw || pitch != o.pitch ||
        roll != o.roll)
        return false;
    switch (rigKind) {
    case RigKind::Layout: return layout == o.layout;
    case RigKind::Preset: return preset == o.preset;
    case RigKind::Custom:
        if (lfe != o.lfe || speakers.size() != o.speakers.size()) return false;
        for (size_t i = 0; i < speakers.size(); ++i)
            if (speakers[i].azimuth != o.speakers[i].azimuth || speakers[i].elevation != o.speakers[i].elevation ||
                speakers[i].distance != o.speakers[i].distance)
                return false;
        return true;
    }
    return false;
}

LoadedSettings LoadUserSettings()
{
    LoadedSettings loaded;
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &key);
    if (rc == ERROR_OUTOFMEMORY) OutOfMemory();
    if (rc != ERROR_SUCCESS) return loaded;
    KeyHolder holder(key);
    LoadRig(key, loaded);
    LoadOutput(key, loaded);
    LoadSilentLfe(key, loaded);
    LoadRotation(key, loaded);
    return loaded;
}

std::string CheckUserSettings(const UserSettings& settings)
{
    switch (settings.rigKind) {
    case UserSettings::RigKind::Layout:
        if (!decoder::LayoutIdOf(settings.layout)) return "no layout is numbered " + std::to_string(settings.layout);
        break;
    case UserSettings::RigKind::Preset:
        if (settings.preset < 0 || static_cast<size_t>(settings.preset) >= decoder::PresetRigs().size())
            return "no preset rig is numbered " + std::to_string(settings.preset);
        break;
    case UserSettings::RigKind::Custom: {
        std::string problem = CheckSpeakers(settings.speakers, settings.lfe);
        if (!problem.empty()) return "Speakers: " + problem;
        break;
    }
    }
    if (settings.output < AMBISONIC_OUTPUT_SPEAKERS || settings.output > AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL)
        return "no output is numbered " + std::to_string(settings.output);
    return CheckRotation(settings);
}

std::string RigNameOf(const UserSettings& settings)
{
    switch (settings.rigKind) {
    case UserSettings::RigKind::Layout:
        if (auto id = decoder::LayoutIdOf(settings.layout)) return decoder::BuiltInRig(*id).name;
        break;
    case UserSettings::RigKind::Preset:
        if (settings.preset >= 0 && static_cast<size_t>(settings.preset) < decoder::PresetRigs().size())
            return decoder::PresetRigs()[static_cast<size_t>(settings.preset)].name;
        break;
    case UserSettings::RigKind::Custom: return "custom";
    }
    return {};
}

std::string DecimalText(double value)
{
    char buffer[32];
    for (int precision = 6; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    return buffer;
}

std::string DecimalText(float value)
{
    char buffer[32];
    for (int precision = 6; precision <= 9; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, static_cast<double>(value));
        if (std::strtof(buffer, nullptr) == value) break;
    }
    return buffer;
}

std::string SpeakerListText(const std::vector<decoder::Speaker>& speakers)
{
    std::string text;
    for (const decoder::Speaker& s : speakers) {
        if (!text.empty()) text += ", ";
        text += DecimalText(s.azimuth) + "/" + DecimalText(s.elevation) + "/" + DecimalText(s.distance);
    }
    return text;
}

LONG SaveUserSettings(const UserSettings& s)
{
    try {
        LONG rc = ClearUserSettings();
        if (rc != ERROR_SUCCESS) return rc;
        HKEY key = nullptr;
        rc = RegCreateKeyExW(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS) return rc;
        KeyHolder holder(key);
        rc = WriteText(key, kRig, RigNameOf(s));
        if (rc == ERROR_SUCCESS && s.rigKind == UserSettings::RigKind::Custom) {
            rc = WriteText(key, kSpeakers, SpeakerListText(s.speakers));
            if (rc == ERROR_SUCCESS) rc = WriteDword(key, kLfe, s.lfe ? 1 : 0);
        }
        if (rc == ERROR_SUCCESS) rc = WriteDword(key, kOutput, static_cast<DWORD>(s.output));
        if (rc == ERROR_SUCCESS) rc = WriteDword(key, kSilentLfe, s.silentLfe ? 1 : 0);
        const float angles[3] = {s.yaw, s.pitch, s.roll};
        for (int i = 0; i < 3 && rc == ERROR_SUCCESS; ++i) rc = WriteText(key, kAngles[i], DecimalText(angles[i]));
        return rc;
    } catch (const std::bad_alloc&) {
        return ERROR_OUTOFMEMORY;
    }
}

LONG ClearUserSettings()
{
    const LONG rc = RegDeleteKeyW(HKEY_CURRENT_USER, kKeyPath);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

HRESULT ApplySettings(IUnknown* filter, const UserSettings& s)
{
    HRESULT result = S_OK;
    // Only running out of memory fails the filter; any other refusal keeps that default.
    auto note = [&result](HRESULT hr) {
        if (hr == E_OUTOFMEMORY) result = hr;
    };
    try {
        switch (s.rigKind) {
        case UserSettings::RigKind::Layout:
            if (s.layout != AMBISONIC_LAYOUT_SQUARE)
                note(WithInterface<IAmbisonicDecoderLayout>(filter, IID_IAmbisonicDecoderLayout,
                                                            [&](IAmbisonicDecoderLayout* l) { return l->SetDecodeType(s.layout); }));
            break;
        case UserSettings::RigKind::Preset:
            note(WithInterface<IAmbisonicDecoderRig>(filter, IID_IAmbisonicDecoderRig,
                                                     [&](IAmbisonicDecoderRig* r) { return r->SetPresetRig(s.preset); }));
            break;
        case UserSettings::RigKind::Custom: {
            std::vector<float> azimuth, elevation, distance;
            for (const decoder::Speaker& speaker : s.speakers) {
                azimuth.push_back(static_cast<float>(speaker.azimuth));
                elevation.push_back(static_cast<float>(speaker.elevation));
                distance.push_back(static_cast<float>(speaker.distance));
            }
            note(WithInterface<IAmbisonicDecoderRig>(filter, IID_IAmbisonicDecoderRig, [&](IAmbisonicDecoderRig* r) {
                return r->SetSpeakers(static_cast<ULONG>(azimuth.size()), azimuth.data(), elevation.data(),
                                      distance.data(), s.lfe ? TRUE : FALSE);
            }));
            break;
        }
        }
        if (s.silentLfe)
            note(WithInterface<IAmbisonicDecoderRig>(filter, IID_IAmbisonicDecoderRig,
                                                     [](IAmbisonicDecoderRig* r) { return r->SetLfeSilent(TRUE); }));
        if (s.output != AMBISONIC_OUTPUT_SPEAKERS)
            note(WithInterface<IAmbisonicDecoderLayout>(filter, IID_IAmbisonicDecoderLayout,
                                                        [&](IAmbisonicDecoderLayout* l) { return l->SetOutput(s.output); }));
        if (s.yaw != 0.0f || s.pitch != 0.0f || s.roll != 0.0f)
            note(WithInterface<IAmbisonicDecoderRotation>(
                filter, IID_IAmbisonicDecoderRotation,
                [&](IAmbisonicDecoderRotation* r) { return r->SetRotation(s.yaw, s.pitch, s.roll); }));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return result;
}

HRESULT ApplyUserSettings(IUnknown* filter)
{
    try {
        const LoadedSettings loaded = LoadUserSettings();
        return loaded.stored ? ApplySettings(filter, loaded.settings) : S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace durazodo
