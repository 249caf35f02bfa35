// Head-related responses for the headphone decode, read from a SOFA (AES69) file.
#pragma once

#include <string>
#include <vector>

#include "decoder/binaural.h"

namespace bformat {

// What LoadSofaResponses() found, for the tool's summary.
struct SofaSummary {
    unsigned measurements = 0;    // directions in the file
    unsigned fileFrames = 0;      // response length in the file
    double fileRate = 0.0;        // the file's sample rate, Hz
    unsigned frames = 0;          // response length after resampling
};

// Reads a SimpleFreeFieldHRIR file with libmysofa, resamples its responses to `sampleRate`
// when the file's rate differs, applies the file's per-receiver delays, and returns in `out`,
// for each of `directions` in order, the measurement nearest it (labelled with the
// measurement's own direction; left is the receiver on the +Y side). On failure returns false,
// leaves `out` empty and sets `error` to one line naming the file and what is wrong with it
// (cannot be opened or read, not an HRIR set, not two receivers, no usable sample rate,
// responses empty, too long or not finite).
bool LoadSofaResponses(const std::string& path, double sampleRate, const std::vector<decoder::Direction>& directions,
                       std::vector<decoder::DirectionalResponse>& out, std::string& error,
                       SofaSummary* summary = nullptr);

// Every measurement of the file, in file order, prepared as LoadSofaResponses prepares them:
// the set a binaural decoder is designed from.
bool LoadSofaSet(const std::string& path, double sampleRate, std::vector<decoder::DirectionalResponse>& out,
                 std::string& error, SofaSummary* summary = nullptr);

// The response set a headphone decode uses when none is named: the file the environment
// variable DURAZODO_HEADPHONES_SOFA names when it is set (empty: none, the built-in head), else
// `installed` (libmysofa's default set). Empty when that file cannot be read.
std::string HeadphoneSofaPath(const std::string& installed);

}  // namespace bformat
