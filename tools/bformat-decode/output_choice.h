// What the decoder filter puts out, as the command line chose it: speaker feeds for one of the
// decoder's layouts, two-channel UHJ stereo, or headphones (the built-in head model or the
// responses of a SOFA file). Set on the filter through its layout interface before the graph
// connects, and described for --layout list and the summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decoder/rig.h"
#include "decoder/rotation.h"
#include "platform/platform.h"
#include "tools/bformat-decode/rig_choice.h"

namespace bformat {

enum class OutputMode { Speakers, UhjStereo, HeadphonesHeadModel, HeadphonesSofa };

// A plain record, copied into every decode request.
struct OutputChoice {
    OutputMode mode = OutputMode::Speakers;
    int layout = -1;       // the decode type named on the command line; -1: none named
    std::string sofaPath;  // for HeadphonesSofa
    // A rig with its own decoder (a preset, --speakers, --rig), handed to the filter in place of
    // a built-in layout.
    RigChoice rig;
    bool silentLfe = false;  // --no-lfe: the LFE channel left silent
    bool defaultSofa = false;  // sofaPath is the default set, not one named on the command line

    // False when the user asked for nothing: the filter is then left exactly as it comes.
    bool Asked() const { return mode != OutputMode::Speakers || layout >= 0 || rig.rig; }
    bool Headphones() const { return mode == OutputMode::HeadphonesHeadModel || mode == OutputMode::HeadphonesSofa; }
};

// Where libmysofa installs its default set of head-related responses.
#define BFORMAT_DEFAULT_SOFA "/usr/share/libmysofa/default.sofa"

// The SOFA file --headphones uses when given none: $DURAZODO_HEADPHONES_SOFA when set (empty:
// none), else BFORMAT_DEFAULT_SOFA; empty when that file cannot be read (the built-in head).
std::string DefaultSofaPath();

// Parses "YAW[,PITCH[,ROLL]]" (degrees, finite numbers) into angles[0..2], the ones left out 0.
bool ParseRotation(const std::string& text, double angles[3]);

// The decode type a layout's name or number ("octagon", "4") stands for; -1 for neither.
int LayoutFromText(const std::string& text);

// "0 square, 1 irregular-quad, ..., 6 two-layer, stereo, 5.0, ...", the built-in layouts and
// the presets, for the line that refuses a layout.
std::string LayoutChoices();

// What --layout list prints: a line per layout with its number, name, speaker count and each
// speaker's azimuth (and elevation, where the layout has height) in output channel order; then
// the presets likewise, with their channel masks.
std::string LayoutListing();

// "2 hexagon, 6 speakers: 0, 60, 120, 180, -120, -60", as the listing shows it; for a rig
// with its own decoder "5.1, 6 channels: 30, -30, 0, LFE, 110, -110".
std::string LayoutLine(const decoder::Rig& rig);

// The usage error of a combination of options that makes no sense (headphones and UHJ, or
// either with a speaker layout or rig the output does not use; --lfe or --no-lfe without a rig
// that has one); empty when there is none.
std::string CheckCombination(const OutputChoice& choice);

// Names of the output channels for the summary's peak and clipped lines: those of the
// channel mask for the four-speaker layouts ("front left", ...), the speaker's direction
// ("az 60", "az 0 up 45") for the others, "left"/"right" for UHJ and "left ear"/"right ear"
// for headphones. `decodeType` is the filter's layout in force.
std::vector<std::string> ChannelNames(const OutputChoice& choice, int decodeType, uint32_t channelMask,
                                      unsigned channels);

// "front left", ... for the bits of a channel mask, in channel order; "speaker N" past them.
// (Defined with the decode, in decode_job.cpp.)
std::vector<std::string> SpeakerNames(uint32_t channelMask, unsigned channels);

// Reads the SOFA file of a headphone choice as a decode at `sampleRate` Hz does, and keeps
// what it read for the decodes at that rate; false with one line in `error` when it cannot
// be used. True for any other choice.
bool CheckSofaFile(const OutputChoice& choice, uint32_t sampleRate, std::string& error);

// Whether the output `choice` renders a stream of `sampleRate` Hz (the headphone decodes
// take a range); false with a one-line reason about the input, which the caller names.
bool OutputTakesRate(const OutputChoice& choice, uint32_t sampleRate, std::string& error);

// Sets `choice` on the unconnected decoder filter for a stream of `sampleRate` Hz: the
// decode type or rig (a preset, speakers by position, or a rig file's own matrices through the
// module's internal IAmbisonicDecoderRigMatrices), the LFE setting, the output, and for a SOFA file the measurement nearest each of the virtual
// speakers, read at that rate (once a run for each rate). Does nothing for a choice not
// Asked(). `responses` says which head-related responses the headphone output uses (empty
// otherwise); `error` why the filter or the SOFA file refused, in one line (naming the SOFA
// file, not the input).
bool ApplyOutputChoice(IBaseFilter* decoderFilter, const OutputChoice& choice, uint32_t sampleRate,
                       std::string& responses, std::string& error);

// Turns the scene on the decoder filter through its rotation interface (angles of any size,
// brought into the interface's -360..360 first). Does nothing for no rotation; false with one
// line in `error` when the filter has no such interface or refuses.
bool ApplyRotation(IBaseFilter* decoderFilter, const decoder::SceneRotation& rotation, std::string& error);

}  // namespace bformat
