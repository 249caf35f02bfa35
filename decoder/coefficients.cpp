#include "decoder/coefficients.h"

#include <cmath>

namespace decoder {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kW = 0.7071067811865476;  // nearest double to 1/sqrt(2)

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

}  // namespace

void SetupDecoderCoefficients(DecoderCoefficients& c, int8_t decodeType)
{
    c.LowGain = 1.33;
    c.HighGain = 1.15;
    switch (decodeType) {
    case 0: {
        const double g = 0.3535533905932738;  // nearest double to 1/(2*sqrt(2))
        SetColumn(c, 0, kW, g, g, 0.0);
        SetColumn(c, 1, kW, g, -g, 0.0);
        SetColumn(c, 2, kW, -g, g, 0.0);
        SetColumn(c, 3, kW, -g, -g, 0.0);
        break;
    }
    case 1:
        // Irregular front and back pairs with tabulated gains and no shelving.
        c.LowGain = 1.0;
        c.HighGain = 1.0;
        SetColumn(c, 0, 0.39284861846069663, 0.486794083218137, 0.344936431434402, 0.0);
        SetColumn(c, 1, 0.39284861846069663, 0.486794083218137, -0.344936431434402, 0.0);
        SetColumn(c, 2, 0.6569919502036998, -0.28903887990372495, 0.4507033671738203, 0.0);
        SetColumn(c, 3, 0.6569919502036998, -0.28903887990372495, -0.4507033671738203, 0.0);
        break;
    case 2: SetPolygon(c, 6, 0.0); break;
    case 3: SetPolygon(c, 6, 0.5235987755982988); break;   // pi/6
    case 4: SetPolygon(c, 8, 0.0); break;
    case 5: SetPolygon(c, 8, 0.39269908169872414); break;  // pi/8
    case 6: {
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
    default:
        break;
    }
}

uint32_t SpeakerCount(int8_t decodeType)
{
    switch (decodeType) {
    case 0: case 1: return 4;
    case 2: case 3: return 6;
    case 4: case 5: case 6: return 8;
    default: return 0;
    }
}

}  // namespace decoder
