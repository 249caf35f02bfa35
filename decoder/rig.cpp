#include "decoder/rig.h"

#include <cmath>

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

Rig MakeBuiltIn(LayoutId id)
{
    Rig r;
    r.layout = id;
    r.table = TableOf(id);
    switch (id) {
    case LayoutId::Square:
        r.name = "square";
        r.summary = "square, front and back pairs";
        r.speakers = {{45, 0}, {-45, 0}, {135, 0}, {-135, 0}};
        r.channelMask = kQuadMask;
        break;
    case LayoutId::IrregularQuad:
        r.name = "irregular-quad";
        r.summary = "front and back pairs, tabulated gains, no shelf";
        // Each speaker where its X and Y gains point it.
        for (int s = 0; s < 4; ++s)
            r.speakers.push_back({std::atan2(r.table.Gains[2][s], r.table.Gains[1][s]) * 180.0 / kPi, 0});
        r.channelMask = kQuadMask;
        break;
    case LayoutId::Hexagon:
        r.name = "hexagon";
        r.summary = "regular hexagon, a speaker straight ahead";
        r.speakers = Ring(6, 0.0);
        break;
    case LayoutId::HexagonRotated:
        r.name = "hexagon-rotated";
        r.summary = "regular hexagon, a pair in front";
        r.speakers = Ring(6, 30.0);
        break;
    case LayoutId::Octagon:
        r.name = "octagon";
        r.summary = "regular octagon, a speaker straight ahead";
        r.speakers = Ring(8, 0.0);
        break;
    case LayoutId::OctagonRotated:
        r.name = "octagon-rotated";
        r.summary = "regular octagon, a pair in front";
        r.speakers = Ring(8, 22.5);
        break;
    case LayoutId::TwoLayer: {
        r.name = "two-layer";
        r.summary = "two rings of four, upper ring first";
        r.speakers = Ring(4, 0.0, 45.0);
        const std::vector<Speaker> lower = Ring(4, 0.0, -45.0);
        r.speakers.insert(r.speakers.end(), lower.begin(), lower.end());
        break;
    }
    }
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

const Rig* RigNamed(std::string_view name)
{
    for (const Rig& rig : Table().rigs)
        if (rig.name == name) return &rig;
    return nullptr;
}

}  // namespace decoder
