// Output files that appear whole or not at all: written under a temporary name in the
// destination's folder and renamed over the destination only when complete, so a failed or
// interrupted run leaves nothing behind. The sound file writer on top writes speaker feeds
// through libsndfile in the container the output's name asks for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decoder/sample_format.h"
#include "tools/bformat-decode/level_meter.h"

struct sf_private_tag;

namespace bformat {

// Why `path` cannot be an output, in one line naming it: it exists and is not a regular file
// (a directory, a named pipe, a device), which the rename would replace. Empty when it can.
std::string OutputRefusal(const std::string& path);

class AtomicFile {
public:
    AtomicFile() = default;
    // Removes the temporary file unless Commit succeeded.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file ".<name>.XXXXXX" beside `path`, with the permissions a new
    // file gets, and locks it while it is open; first removes the unlocked ones a killed run
    // left for the same name. Refuses a `path` that is not a regular file (OutputRefusal).
    // `error` says why not, in one line.
    bool Create(const std::string& path, std::string& error);
    // Closes the file and renames it to the destination.
    bool Commit(std::string& error);
    // Closes and removes the temporary file; harmless when there is none.
    void Discard();

    // The open temporary file, for writers that take a descriptor; -1 when none is open.
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    std::string m_path;
    std::string m_tempPath;
};

// The containers an output can be, chosen by the name's extension.
enum class Container { Wave, Rf64, Wave64, Caf, Flac };

// The container for an output name (.wav, .rf64, .w64, .caf, .flac, in any case); false,
// with a one-line reason, for any other name.
bool ContainerForName(const std::string& path, Container& container, std::string& error);

// Whether `container` holds audio of `sampleRate` Hz; false with a one-line reason about the
// input (which the caller names) when not.
bool ContainerTakesRate(Container container, uint32_t sampleRate, std::string& error);

// Whether `container` holds samples of `format`; false with a one-line reason when not.
bool ContainerTakes(Container container, decoder::SampleFormat format, std::string& error);

struct OutputFileSettings {
    std::string path;
    Container container = Container::Wave;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t channelMask = 0;  // the speakers, in WAVE_FORMAT_EXTENSIBLE's bits; 0: none named
    decoder::SampleFormat format = decoder::SampleFormat::None;  // of the file's samples
    uint64_t expectedFrames = 0;  // how many frames the decode will write
};

// A sound file of speaker feeds, written through libsndfile on the temporary file. A .wav
// file is WAVE_FORMAT_EXTENSIBLE with the channel mask given while it stays under 4 GiB and
// becomes RF64 past that (libsndfile's RF64 writer, which falls back to WAVE on closing a
// file that fits). Float files that fit are written as WAVE directly, since the RF64 writer
// always adds a PEAK chunk to float files. The samples arrive in the stream's format, are
// converted to the file's (values outside an integer range saturate) and metered as written.
// One thread at a time.
class SoundFileWriter {
public:
    SoundFileWriter() = default;
    ~SoundFileWriter();
    SoundFileWriter(const SoundFileWriter&) = delete;
    SoundFileWriter& operator=(const SoundFileWriter&) = delete;

    // Creates the temporary file and the writer; `streamFormat` is that of Append's samples.
    bool Begin(const OutputFileSettings& settings, decoder::SampleFormat streamFormat, std::string& error);
    // Appends whole frames of interleaved samples in the stream's format.
    bool Append(const uint8_t* data, size_t bytes, std::string& error);
    // Completes the file and makes it appear under its name.
    bool Finish(std::string& error);
    // Drops everything written; nothing appears.
    void Discard();

    const LevelMeter& Levels() const { return m_meter; }

private:
    template <typename Out, typename Write>
    bool Put(const uint8_t* data, size_t frames, std::vector<Out>& buffer, Write write, std::string& error);

    AtomicFile m_file;
    sf_private_tag* m_sndfile = nullptr;
    OutputFileSettings m_settings;
    decoder::SampleFormat m_streamFormat = decoder::SampleFormat::None;
    LevelMeter m_meter;
    std::vector<int16_t> m_shorts;
    std::vector<int32_t> m_ints;
    std::vector<float> m_floats;
};

// One stream sample (read with the traits of its format) as a fraction of full scale:
// integers over 2^15 (16-bit) or 2^31 (24-bit samples as the top of 32 bits, and 32-bit),
// floats as they are.
double FullScaleFraction(decoder::SampleFormat format, const uint8_t* sample);

// A fraction of full scale as a sample of `format`'s integer width, rounded as the decoder
// rounds (v + 0.5 truncated toward zero) and saturated at the ends of the range; NaN is 0.
// 24-bit samples come back in the top three bytes of the 32-bit result.
int32_t ToInteger(decoder::SampleFormat format, double fraction);

}  // namespace bformat
