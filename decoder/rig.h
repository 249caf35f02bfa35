// Speaker rigs: where the speakers stand, how the output channels are named and routed, and
// the decoder that feeds them. One table holds the seven built-in rigs; rigs made at run time
// (from a user's positions) are values of the same type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decoder/coefficients.h"
#include "decoder/rig_design.h"

namespace decoder {

// The built-in rigs, numbered as the filter's decode types (the COM interface and the
// persisted stream carry that number as a LONG or a byte).
enum class LayoutId : int8_t { Square, IrregularQuad, Hexagon, HexagonRotated, Octagon, OctagonRotated, TwoLayer };
constexpr int kLayoutCount = 7;

// The built-in rig a decode-type number names; none outside 0..kLayoutCount-1.
std::optional<LayoutId> LayoutIdOf(long decodeType);
// The decode-type number of a built-in rig.
constexpr int DecodeTypeOf(LayoutId id) { return static_cast<int>(id); }

// One speaker, in degrees: azimuth from straight ahead towards the left (any turn: the
// built-in rings run from 0 to 360, listings show the angle in (-180, 180]); elevation up
// positive. Distance in metres, 0 when not known. Gain scales the speaker's feed (linear; a
// rig file's trim), after the decoder and the distance compensation.
struct Speaker {
    double azimuth = 0.0;
    double elevation = 0.0;
    double distance = 0.0;
    double gain = 1.0;
};

// A speaker rig as a value: `speakers` in output channel order, the LFE channel if any, the
// WAVE channel mask of the output (0 when no standard mask names the speakers), a name usable
// as a command-line word and a few-word summary, and its decoder.
//
// The decoder of the built-in rigs is their fixed gain table with its shelf gains
// (`table`: W, X, Y, Z into each speaker; X and Y weighted table.LowGain below the shelf
// crossover and table.HighGain above it, W by 2 - LowGain and 2 - HighGain). A speaker
// decode runs a rig whose table has a column for each of its speakers (at most 8).
//
// Built-in rigs' positions are where their gain tables point each speaker (the angle of its X
// and Y gains); the two-layer rig's elevations are the +-45 degrees its table is built from.
//
// Every other rig (the presets, rigs made from positions or read from a rig file) carries its
// own decoder in `designed`: gains for first-order ambiX input (W Y Z X, SN3D), one row per
// output channel but the LFE one, in output order, split at `crossoverHz`. Its LFE channel, if
// any, has a placeholder entry in `speakers` (position unused) so that `speakers` indexes
// output channels.
struct Rig {
    std::string name;
    std::string summary;
    std::vector<Speaker> speakers;
    int32_t lfeChannel = -1;   // output channel carrying LFE, -1 for none
    uint32_t channelMask = 0;
    std::optional<LayoutId> layout;  // which built-in rig this is, if any
    DecoderCoefficients table{};
    std::optional<DesignedDecoder> designed;
    // Directions with no speaker that close holes of the rig (a rig file's imaginary speakers):
    // every design of `designed`'s kind pans over them too (DesignOptions).
    std::vector<SpeakerDirection> imaginary;
    // `designed` came as given (a rig file's matrices): it is never redesigned, and input of a
    // higher order than its own decodes at its order.
    bool givenDecoder = false;
    double crossoverHz = kCrossoverHz;

    uint32_t Channels() const { return static_cast<uint32_t>(speakers.size()); }
};

// The built-in rig `id` (from the one table, built on first use).
const Rig& BuiltInRig(LayoutId id);

// The preset rigs of common speaker sets (stereo, 5.0, 5.1, 7.1, 5.1.4, 7.1.4), each with its
// designed decoder and its channels in the order of its WAVE channel-mask bits.
const std::vector<Rig>& PresetRigs();

// The built-in or preset rig called `name` (compared exactly); null for none.
const Rig* RigNamed(std::string_view name);

// Builds a rig of `speakers` (output channels in the order given; distances in metres, 0 for
// unknown) and designs its first-order decoder; with `lfe`, an LFE channel follows them. The
// channel mask is 0 and the name "custom". All or nothing: on any result but Ok `out` is as
// before; `firstClash` as for DesignAllRound(). A distance that is negative or not finite, or
// a gain that is not finite or below 0, is a BadDirection. `imaginary` as DesignOptions takes
// them, kept in the rig.
DesignResult MakeRig(const std::vector<Speaker>& speakers, bool lfe, Rig& out, size_t* firstClash = nullptr,
                     const std::vector<SpeakerDirection>& imaginary = {});

// Reads speakers written "AZ[/EL[/DIST]],..." (degrees, degrees, metres; missing fields 0),
// output channels in the order given. False on an entry that is not one to three finite
// numbers separated by '/', with its index from 0 in `badEntry` and `out` as before. Ranges are
// not checked here: MakeRig() judges the positions.
bool ParseSpeakerList(std::string_view text, std::vector<Speaker>& out, size_t& badEntry);

// The rig's speakers as the designer takes them: every output channel but the LFE one.
std::vector<SpeakerDirection> DesignDirections(const Rig& rig);

}  // namespace decoder
