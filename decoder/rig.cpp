#include "decoder/rig.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <string>

namespace decoder {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kW = 0.7071067811865476;  // nearest double to 1/sqrt(2)

// The channel mask of four speakers as front left and right, back left and right.
constexpr uint32_t kQuadMask = 0x33;

void SetColumn(DecoderCoefficients& c, int s, double w, double x, double y, double z)
{
    c.Gains[0][s] = w;
    c.Gains[1][s] = x;
    c.Gains[2][s] = y;
    c.Gains[3][s] = z;
}

// Regular polygon of n speakers, speaker i at i * 360/n degrees plus `offset` radians.
void SetPolygon(DecoderCoefficients& c, int n, double offset)
{
    for (int i = 0; i < n; ++i) {
        const double a = static_cast<double>(i) * 2.0 * kPi * (1.0 / n) + offset;
        SetColumn(c, i, kW, std::cos(a) * 0.5, std::sin(a) * 0.5, 0.0);
    }
}

// The gain table of a built-in rig: shelf gains 1.33 and 1.15 (1.0 and 1.0 for the irregular
// quad, which is not shelved) and one column per speaker.
DecoderCoefficients TableOf(LayoutId id)
{
    DecoderCoefficients c{};
    c.LowGain = 1.33;
    c.HighGain = 1.15;
    switch (id) {
    case LayoutId::Square: {
        const double g = 0.3535533905932738;  // nearest double to 1/(2*sqrt(2))
        SetColumn(c, 0, kW, g, g, 0.0);
        SetColumn(c, 1, kW, g, -g, 0.0);
        SetColumn(c, 2, kW, -g, g, 0.0);
        SetColumn(c, 3, kW, -g, -g, 0.0);
        break;
    }
    case LayoutId::IrregularQuad:
        c.LowGain = 1.0;
        c.HighGain = 1.0;
        SetColumn(c, 0, 0.39284861846069663, 0.486794083218137, 0.344936431434402, 0.0);
        SetColumn(c, 1, 0.39284861846069663, 0.486794083218137, -0.344936431434402, 0.0);
        SetColumn(c, 2, 0.6569919502036998, -0.28903887990372495, 0.4507033671738203, 0.0);
        SetColumn(c, 3, 0.6569919502036998, -0.28903887990372495, -0.4507033671738203, 0.0);
        break;
    case LayoutId::Hexagon: SetPolygon(c, 6, 0.0); break;
    case LayoutId::HexagonRotated: SetPolygon(c, 6, 0.5235987755982988); break;   // pi/6
    case LayoutId::Octagon: SetPolygon(c, 8, 0.0); break;
    case LayoutId::OctagonRotated: SetPolygon(c, 8, 0.39269908169872414); break;  // pi/8
    case LayoutId::TwoLayer: {
        // Two rings of four at the same azimuths, the upper one first.
        const double quarterPi = 0.7853981633974483;
        const double c45 = std::cos(quarterPi);
        for (int i = 0; i < 8; ++i) {
            const double a = static_cast<double>(i) * 2.0 * kPi * 0.25;
            const double z = i < 4 ? std::sin(quarterPi) : std::sin(-quarterPi);
            SetColumn(c, i, kW, std::cos(a) * 0.5 * c45, std::sin(a) * 0.5 * c45, z);
        }
        break;
    }
    }
    return c;
}

// n speakers at one elevation, speaker i at i * 360/n + offset degrees (not wrapped: the
// headphone decode renders each at exactly this angle).
std::vector<Speaker> Ring(int n, double offset, double elevation = 0.0)
{
    std::vector<Speaker> s;
    for (int i = 0; i < n; ++i) s.push_back({i * 360.0 / n + offset, elevation});
    return s;
}

// Names and summaries of the built-in rigs, by decode type.
constexpr const char* kNames[kLayoutCount][2] = {
    {"square", "square, front and back pairs"},
    {"irregular-quad", "front and back pairs, tabulated gains, no shelf"},
    {"hexagon", "regular hexagon, a speaker straight ahead"},
    {"hexagon-rotated", "regular hexagon, a pair in front"},
    {"octagon", "regular octagon, a speaker straight ahead"},
    {"octagon-rotated", "regular octagon, a pair in front"},
    {"two-layer", "two rings of four, upper ring first"},
};

// Where the speakers of a built-in rig stand: where `table` points them.
std::vector<Speaker> SpeakersOf(LayoutId id, const DecoderCoefficients& table)
{
    switch (id) {
    case LayoutId::Square: return {{45, 0}, {-45, 0}, {135, 0}, {-135, 0}};
    case LayoutId::IrregularQuad: {
        std::vector<Speaker> s;
        for (int i = 0; i < 4; ++i) s.push_back({std::atan2(table.Gains[2][i], table.Gains[1][i]) * 180.0 / kPi, 0});
        return s;
    }
    case LayoutId::Hexagon: return Ring(6, 0.0);
    case LayoutId::HexagonRotated: return Ring(6, 30.0);
    case LayoutId::Octagon: return Ring(8, 0.0);
    case LayoutId::OctagonRotated: return Ring(8, 22.5);
    case LayoutId::TwoLayer: {
        std::vector<Speaker> s = Ring(4, 0.0, 45.0);
        const std::vector<Speaker> lower = Ring(4, 0.0, -45.0);
        s.insert(s.end(), lower.begin(), lower.end());
        return s;
    }
    }
    return {};
}

Rig MakeBuiltIn(LayoutId id)
{
    Rig r;
    r.layout = id;
    r.name = kNames[DecodeTypeOf(id)][0];
    r.summary = kNames[DecodeTypeOf(id)][1];
    r.table = TableOf(id);
    r.speakers = SpeakersOf(id, r.table);
    if (id == LayoutId::Square || id == LayoutId::IrregularQuad) r.channelMask = kQuadMask;
    return r;
}

struct BuiltInTable {
    Rig rigs[kLayoutCount];
    BuiltInTable()
    {
        for (int i = 0; i < kLayoutCount; ++i) rigs[i] = MakeBuiltIn(static_cast<LayoutId>(i));
    }
};

const BuiltInTable& Table()
{
    static const BuiltInTable table;
    return table;
}

}  // namespace

std::optional<LayoutId> LayoutIdOf(long decodeType)
{
    if (decodeType < 0 || decodeType >= kLayoutCount) return std::nullopt;
    return static_cast<LayoutId>(decodeType);
}

const Rig& BuiltInRig(LayoutId id) { return Table().rigs[DecodeTypeOf(id)]; }

std::vector<SpeakerDirection> DesignDirections(const Rig& rig)
{
    std::vector<SpeakerDirection> directions;
    for (size_t i = 0; i < rig.speakers.size(); ++i)
        if (static_cast<int32_t>(i) != rig.lfeChannel)
            directions.push_back({rig.speakers[i].azimuth, rig.speakers[i].elevation});
    return directions;
}

namespace {

// One number of a speaker entry; false unless the whole text, spaces around it aside, is a
// finite number.
bool ParseNumber(std::string_view text, double& value)
{
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    if (text.empty()) return false;
    const std::string copy(text);
    errno = 0;
    char* end = nullptr;
    value = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size() && errno == 0 && std::isfinite(value);
}

}  // namespace

bool ParseSpeakerList(std::string_view text, std::vector<Speaker>& out, size_t& badEntry)
{
    std::vector<Speaker> speakers;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string_view entry = text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        double values[3] = {0, 0, 0};
        size_t field = 0, from = 0;
        for (;;) {
            const size_t slash = entry.find('/', from);
            const std::string_view number =
                entry.substr(from, slash == std::string_view::npos ? std::string_view::npos : slash - from);
            if (field == 3 || !ParseNumber(number, values[field])) {
                badEntry = speakers.size();
                return false;
            }
            ++field;
            if (slash == std::string_view::npos) break;
            from = slash + 1;
        }
        speakers.push_back({values[0], values[1], values[2]});
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    out = std::move(speakers);
    return true;
}

DesignResult MakeRig(const std::vector<Speaker>& speakers, bool lfe, Rig& out, size_t* firstClash,
                     const std::vector<SpeakerDirection>& imaginary)
{
    try {
        for (size_t i = 0; i < speakers.size(); ++i)
            if (!std::isfinite(speakers[i].distance) || speakers[i].distance < 0.0 || !std::isfinite(speakers[i].gain) ||
                speakers[i].gain < 0.0) {
                if (firstClash) firstClash[0] = i;
                return DesignResult::BadDirection;
            }
        Rig rig;
        rig.name = "custom";
        rig.speakers = speakers;
        if (lfe) {
            rig.lfeChannel = static_cast<int32_t>(speakers.size());
            rig.speakers.push_back({});
        }
        rig.imaginary = imaginary;
        const std::vector<SpeakerDirection> directions = DesignDirections(rig);
        DesignedDecoder designed;
        DesignOptions options;
        options.imaginary = imaginary;
        const DesignResult result = DesignAllRound(directions.data(), directions.size(), 1, designed, firstClash, options);
        if (result != DesignResult::Ok) return result;
        rig.summary = std::to_string(speakers.size()) + (speakers.size() == 1 ? " speaker" : " speakers") +
                      (lfe ? " + LFE" : "");
        rig.designed = std::move(designed);
        out = std::move(rig);
        return DesignResult::Ok;
    } catch (const std::bad_alloc&) {
        return DesignResult::OutOfMemory;
    }
}

namespace {

// WAVE channel-mask bits of the speakers the presets use.
enum : uint32_t {
    kFL = 0x1, kFR = 0x2, kFC = 0x4, kLFE = 0x8, kBL = 0x10, kBR = 0x20, kSL = 0x200, kSR = 0x400,
    kTFL = 0x1000, kTFR = 0x4000, kTBL = 0x8000, kTBR = 0x20000,
};

// A preset: its speakers as (mask bit, azimuth, elevation), in mask-bit order.
struct PresetSpeaker {
    uint32_t bit;
    double azimuth, elevation;
};

Rig MakePreset(const char* name, const char* summary, std::initializer_list<PresetSpeaker> layout)
{
    std::vector<Speaker> speakers;
    int32_t lfe = -1;
    uint32_t mask = 0;
    for (const PresetSpeaker& p : layout) {
        mask |= p.bit;
        if (p.bit == kLFE) lfe = static_cast<int32_t>(speakers.size());
        speakers.push_back({p.azimuth, p.elevation});
    }
    Rig rig;
    rig.speakers = speakers;
    rig.lfeChannel = lfe;
    const std::vector<SpeakerDirection> directions = DesignDirections(rig);
    DesignedDecoder designed;
    if (DesignAllRound(directions.data(), directions.size(), 1, designed) != DesignResult::Ok) throw std::bad_alloc();
    rig.designed = std::move(designed);
    rig.name = name;
    rig.summary = summary;
    rig.channelMask = mask;
    return rig;
}

std::vector<Rig> MakePresets()
{
    const PresetSpeaker fl{kFL, 30, 0}, fr{kFR, -30, 0}, fc{kFC, 0, 0}, lfe{kLFE, 0, 0};
    return {
        MakePreset("stereo", "front pair at 30 degrees", {fl, fr}),
        MakePreset("5.0", "front pair, centre, back pair at 110 degrees", {fl, fr, fc, {kBL, 110, 0}, {kBR, -110, 0}}),
        MakePreset("5.1", "front pair, centre, LFE, back pair at 110 degrees",
                   {fl, fr, fc, lfe, {kBL, 110, 0}, {kBR, -110, 0}}),
        MakePreset("7.1", "front pair, centre, LFE, back pair at 135, side pair at 90 degrees",
                   {fl, fr, fc, lfe, {kBL, 135, 0}, {kBR, -135, 0}, {kSL, 90, 0}, {kSR, -90, 0}}),
        MakePreset("5.1.4", "5.1 and four above at 45 degrees (30 and 110 round)",
                   {fl, fr, fc, lfe, {kBL, 110, 0}, {kBR, -110, 0}, {kTFL, 30, 45}, {kTFR, -30, 45},
                    {kTBL, 110, 45}, {kTBR, -110, 45}}),
        MakePreset("7.1.4", "7.1 and four above at 45 degrees (45 and 135 round)",
                   {fl, fr, fc, lfe, {kBL, 135, 0}, {kBR, -135, 0}, {kSL, 90, 0}, {kSR, -90, 0},
                    {kTFL, 45, 45}, {kTFR, -45, 45}, {kTBL, 135, 45}, {kTBR, -135, 45}}),
    };
}

}  // namespace

const std::vector<Rig>& PresetRigs()
{
    static const std::vector<Rig> presets = MakePresets();
    return presets;
}

const Rig* RigNamed(std::string_view name)
{
    for (const Rig& rig : Table().rigs)
        if (rig.name == name) return &rig;
    for (const Rig& rig : PresetRigs())
        if (rig.name == name) return &rig;
    return nullptr;
}

}  // namespace decoder
