// The header of a WAVE file in any of its three containers (RIFF, RF64, Sony Wave64): where
// the format block and the audio data are. Plain C++ over bytes, shared by the type finder
// and the parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/bformat-decode/wave_format.h"

namespace gstbformat {

enum class Container { Riff, Rf64, Wave64 };

// What the chunks before the audio say.
struct WaveHeader {
    Container container = Container::Riff;
    bool haveFormat = false;     // the fmt chunk has been read into `format`
    bformat::WaveFormat format;
    uint64_t declaredSize = 0;   // bytes the container says the file holds, from its start
    uint64_t dataOffset = 0;     // first byte of the audio
    uint64_t dataSize = 0;       // bytes of audio the data chunk declares
};

enum class ScanStatus { NeedMore, NotWave, Broken, Done };

struct ScanResult {
    ScanStatus status = ScanStatus::NeedMore;
    uint64_t needed = 0;    // NeedMore: bytes from the file's start the next try needs
    std::string problem;    // Broken: what is wrong, in one line
};

// Reads the header from the first `size` bytes of a file. Done once the data chunk is reached
// (the format block must come before it). NeedMore names how many bytes would let it go on;
// `header` then already holds what was read, so a caller looking only for the format can
// stop when header.haveFormat is set.
ScanResult ScanWaveHeader(const uint8_t* bytes, size_t size, WaveHeader& header);

// True when `format` is WAVE_FORMAT_EXTENSIBLE with one of the B-Format subformats.
bool IsBFormat(const bformat::WaveFormat& format);

// "RIFF", "RF64", "Wave64".
const char* ContainerName(Container container);

}  // namespace gstbformat
