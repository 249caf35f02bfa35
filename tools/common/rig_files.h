// The speaker-rig files users exchange: AmbDec presets (`.ambdec`, version 3) and the JSON
// loudspeaker layouts of the common Ambisonic plug-in suites. Parsing works on the file's
// text, so the same code serves the command-line tool, the fuzz target and the tests; only
// ReadRigFile() touches the file system.
//
// Directions are in degrees, azimuth from straight ahead towards the left, elevation up, as
// everywhere in the decoder. Errors are one line for people: "line 12: ..." for AmbDec,
// "Loudspeakers[3].Azimuth: ..." for JSON.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace rigfiles {

// One speaker of a rig file, in the file's order.
struct FileSpeaker {
    std::string name;          // AmbDec's label; empty in JSON
    double azimuthDeg = 0.0;
    double elevationDeg = 0.0;
    double distanceM = 0.0;    // 0 when the file gives none
    int channel = -1;          // output channel, from 0 (JSON's Channel less one; AmbDec's order)
    double gain = 1.0;         // linear (JSON's Gain), 0..kMaxFileGain; scales the speaker's feed
    bool imaginary = false;    // JSON: a direction that closes a hole, no output
};

// AmbDec's decoder, converted for ambiX input (ACN channel order, SN3D): `low` and `high` hold
// speakers x channels gains, row-major, channels = (order + 1)^2 with zeros for the channels
// the file's mask leaves out. A single-band decoder has low == high. The file's per-order
// gains and high/low ratio are folded in.
struct FileDecoder {
    int order = 0;
    size_t channels = 0;
    bool dualBand = false;
    double crossoverHz = 0.0;
    bool delayCompensation = false;
    bool levelCompensation = false;
    std::vector<double> low, high;
};

struct RigFile {
    std::string name;
    std::vector<FileSpeaker> speakers;  // real and imaginary
    bool hasDecoder = false;            // AmbDec: the matrices are to be used as given
    FileDecoder decoder;
};

// Largest rig a file may describe (real speakers).
constexpr size_t kMaxFileSpeakers = 64;
// Largest per-speaker gain a JSON layout may give (+20 dB).
constexpr double kMaxFileGain = 10.0;

// Parse the text of an AmbDec preset or a JSON layout. False with `error` set when the text
// cannot be used; `out` is then unspecified.
bool ParseAmbDec(const std::string& text, RigFile& out, std::string& error);
bool ParseLayoutJson(const std::string& text, RigFile& out, std::string& error);

// Reads `path` and parses it by its content (JSON starts with '{', anything else is taken as
// AmbDec). `error` is one line without the path: the caller names the file.
bool ReadRigFile(const std::string& path, RigFile& out, std::string& error);

}  // namespace rigfiles
