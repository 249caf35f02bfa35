#include "decoder/layouts.h"

#include <cstring>

namespace decoder {

namespace {

// Azimuth of the irregular quad's front and back pairs: atan2 of their Y and X gains.
constexpr double kQuadFront = 35.32092744822019;
constexpr double kQuadBack = 122.67230594142664;

const LayoutDescription kLayouts[kLayoutCount] = {
    {0, "square", "square, front and back pairs", 4, {{45, 0}, {-45, 0}, {135, 0}, {-135, 0}}},
    {1, "irregular-quad", "front and back pairs, tabulated gains, no shelf", 4,
     {{kQuadFront, 0}, {-kQuadFront, 0}, {kQuadBack, 0}, {-kQuadBack, 0}}},
    {2, "hexagon", "regular hexagon, a speaker straight ahead", 6,
     {{0, 0}, {60, 0}, {120, 0}, {180, 0}, {-120, 0}, {-60, 0}}},
    {3, "hexagon-rotated", "regular hexagon, a pair in front", 6,
     {{30, 0}, {90, 0}, {150, 0}, {-150, 0}, {-90, 0}, {-30, 0}}},
    {4, "octagon", "regular octagon, a speaker straight ahead", 8,
     {{0, 0}, {45, 0}, {90, 0}, {135, 0}, {180, 0}, {-135, 0}, {-90, 0}, {-45, 0}}},
    {5, "octagon-rotated", "regular octagon, a pair in front", 8,
     {{22.5, 0}, {67.5, 0}, {112.5, 0}, {157.5, 0}, {-157.5, 0}, {-112.5, 0}, {-67.5, 0}, {-22.5, 0}}},
    {6, "two-layer", "two rings of four, upper ring first", 8,
     {{0, 45}, {90, 45}, {180, 45}, {-90, 45}, {0, -45}, {90, -45}, {180, -45}, {-90, -45}}},
};

}  // namespace

const LayoutDescription* LayoutOf(int decodeType)
{
    return decodeType >= 0 && decodeType < kLayoutCount ? &kLayouts[decodeType] : nullptr;
}

const LayoutDescription* LayoutNamed(const char* name)
{
    if (!name) return nullptr;
    for (const LayoutDescription& layout : kLayouts)
        if (std::strcmp(layout.name, name) == 0) return &layout;
    return nullptr;
}

}  // namespace decoder
