// The speaker layouts of the decode types, described for people: a short name, the speaker
// count and where each speaker stands, in output channel order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace decoder {

// Degrees: azimuth from straight ahead towards the left, in (-180, 180]; elevation up
// positive.
struct SpeakerPosition {
    double azimuth;
    double elevation;
};

// One decode type's layout. `positions` holds `speakers` entries, one per output channel.
// Azimuths are those the gain table points each speaker at (the angle of its X and Y
// gains). The two-layer layout's elevations are the +-45 degrees its table is built from
// (Z gain sin 45, X and Y scaled by cos 45).
struct LayoutDescription {
    int8_t decodeType;
    const char* name;        // short, lower case, no spaces: usable as a command-line value
    const char* summary;     // a few words for listings
    uint32_t speakers;       // equals SpeakerCount(decodeType)
    SpeakerPosition positions[8];
};

// Decode types run 0..kLayoutCount-1.
constexpr int kLayoutCount = 7;

// The layout of a decode type; null outside 0..kLayoutCount-1.
const LayoutDescription* LayoutOf(int decodeType);

// The layout whose name is `name` (compared exactly); null for none or a null name.
const LayoutDescription* LayoutNamed(const char* name);

}  // namespace decoder
