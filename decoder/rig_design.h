// Decoders designed for the speakers a listener has: all-round Ambisonic decoding.
//
// The signal is decoded to a dense virtual rig whose speakers cover the horizon (a horizontal
// rig) or the sphere evenly, and each virtual speaker is panned onto the real ones by vector-
// base amplitude panning, between the two real speakers on either side of it on the horizon
// or over the triangles of the rig's convex hull. Where the rig leaves a hole (a gap of more
// than kMaxHorizontalGapDeg on the horizon, no speaker within 60 degrees of a pole) an
// imaginary speaker closes it, and what would be panned to it is dropped: sound from a
// direction the rig cannot reach fades instead of jumping to the far side. Folding the two
// steps gives one gain matrix per band: max-rE weights in the high band (the narrowest energy
// image the order allows), basic weights in the low band (a velocity vector as long as the
// rig allows), each band scaled so that its mean energy over the directions the rig covers
// is 1, whatever the number of speakers. Last, the high band is refined by gradient descent
// over a sweep of source directions (weighted towards the front) towards energy vectors that
// point at their source, energy even to within a fraction of a decibel and a length near the
// max-rE value: on irregular rigs (5.1, 7.1.4) this takes the direction errors of the plain
// all-round design from tens of degrees to a few; on regular rigs it leaves the design as it is.
//
// Design runs once, at negotiation, allocates, and never throws; the result is plain data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace decoder {

// A speaker's direction in degrees: azimuth from straight ahead towards the left (any finite
// value, taken modulo 360), elevation upwards (-90..90).
struct SpeakerDirection {
    double azimuthDeg = 0.0;
    double elevationDeg = 0.0;
};

// Limits of the rigs a decoder is designed for.
constexpr size_t kMaxRigSpeakers = 64;
// Speakers closer than this (in degrees, on the sphere) are one place.
constexpr double kMinSpeakerSeparationDeg = 0.5;
// A rig all of whose speakers are within this elevation of the horizon is horizontal.
constexpr double kHorizontalRigToleranceDeg = 5.0;
// The widest gap between neighbours on the horizon that panning spans without an imaginary
// speaker.
constexpr double kMaxHorizontalGapDeg = 160.0;

enum class DesignShape { Horizontal, Sphere };

// A dual-band decoder for ambiX input of `order` (ACN channel order, SN3D): low and high hold
// speakers x channels gains, row-major (gain of channel c into speaker s at
// [s * channels + c]). A horizontal design reads only the sectoral channels (the others'
// gains are 0).
struct DesignedDecoder {
    int order = 0;
    DesignShape shape = DesignShape::Horizontal;
    size_t speakers = 0;
    size_t channels = 0;
    size_t imaginarySpeakers = 0;  // given or added to close the rig's holes
    std::vector<double> low;
    std::vector<double> high;
};

enum class DesignResult {
    Ok,
    TooFewSpeakers,    // fewer than 2
    TooManySpeakers,   // more than kMaxRigSpeakers
    BadDirection,      // a non-finite angle, or an elevation outside -90..90
    SameDirection,     // two speakers closer than kMinSpeakerSeparationDeg
    NotSurrounding,    // a 3D rig whose hull, with its imaginary speakers, does not enclose the listener
    BadOrder,          // outside 1..kMaxAmbisonicOrder
    OutOfMemory,
};

// A sentence for people, for each result ("two speakers stand in the same place", ...).
const char* DescribeDesignResult(DesignResult result);

// What a design may be given beyond its speakers.
//
// `imaginary`: directions that close holes the listener knows of (a rig file's imaginary
// speakers). They join the panning set like the designer's own and what falls on them is
// dropped; a pole they come within 60 degrees of gets no imaginary speaker of the designer's.
// A horizontal design takes those within kHorizontalRigToleranceDeg of the horizon only.
//
// `carried`: the ACN channels the input carries (bit c for channel c), for a mixed-order set
// (the horizontal harmonics of the higher orders only); 0 for every channel of the order; it
// must hold the first order. On a 3D rig the design then reads only those channels: the
// all-round decode over their harmonics, max-rE weights of `order` for the sectoral channels
// and of the highest order carried in full for the others, the energy normalised on the
// horizon (where such a set images best, so that it is as loud there as a full set), and a
// refinement that weighs the horizon as much as the rest of the sphere.
struct DesignOptions {
    std::vector<SpeakerDirection> imaginary;
    uint64_t carried = 0;
};

// Designs the decoder of `order` for `count` speakers. All or nothing: on any result but Ok,
// `out` is as before. `firstClash`, when given, receives on SameDirection the two speakers'
// indices (and on BadDirection the index of the bad one in [0]); an imaginary direction k is
// counted as count + k.
DesignResult DesignAllRound(const SpeakerDirection* speakers, size_t count, int order, DesignedDecoder& out,
                            size_t* firstClash = nullptr, const DesignOptions& options = {});

// How a decode reproduces a plane wave of unit amplitude from one direction: the high band's
// energy (sum of squared speaker gains) and energy vector, the low band's velocity vector,
// with their lengths and the angles in degrees between them and the source.
struct DecodeMeasure {
    double energy = 0.0;
    double reLength = 0.0;
    double reErrorDeg = 0.0;
    double rvLength = 0.0;
    double rvErrorDeg = 0.0;
};

// Measures `decoder` (designed for `speakers`) for a source at a direction in degrees.
DecodeMeasure MeasureDecode(const DesignedDecoder& decoder, const SpeakerDirection* speakers, double azimuthDeg,
                            double elevationDeg);

}  // namespace decoder
