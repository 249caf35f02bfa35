// The demonstration signal decoded when no input file is given: a plucked, slightly noisy
// tone that circles the listener once, front, left, back, right and front again, encoded as
// four-channel B-Format (W, X, Y, Z) and written as an .amb file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bformat {

struct DemoSettings {
    uint32_t sampleRate = 48000;
    double seconds = 8.0;
};

// The demo's samples for frames [first, first + count): interleaved W, X, Y, Z as doubles in
// -1..1. W carries the sound at 1/sqrt(2), X and Y its direction (X front, Y left), Z is 0.
void SynthesizeDemo(const DemoSettings& settings, uint64_t first, uint64_t count, std::vector<double>& out);

// The direction of the demo's sound at a frame, in radians from the front towards the left.
double DemoAzimuth(const DemoSettings& settings, uint64_t frame);

// Writes the demo as a 16-bit B-Format file (WAVE_FORMAT_EXTENSIBLE, B-Format PCM subformat)
// through libsndfile, whole or not at all. `error` says why not, in one line.
bool WriteDemoFile(const std::string& path, const DemoSettings& settings, std::string& error);

}  // namespace bformat
