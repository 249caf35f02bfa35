// Reading an Ambisonic file for decoding, through libsndfile (any container it reads): what
// the file holds, its channel convention (FuMa, flagged or named; ambiX or N3D, named) and
// order, and its channels as they are (the decoder's input stage converts them), in a sample
// format chosen for the output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decoder/sample_format.h"

struct sf_private_tag;

namespace bformat {

// The channel convention of an input file. Unspecified: only files flagged as B-Format are
// read (as FuMa).
enum class Convention { Unspecified, FuMa, AmbiX, N3d };

// "FuMa", "ambiX" or "N3D".
const char* ConventionName(Convention convention);

// What an opened file holds.
struct InputDescription {
    std::string container;         // libsndfile's name of the container
    std::string encoding;          // libsndfile's name of the sample encoding
    Convention convention = Convention::FuMa;  // as read: the flag or the option
    bool flagged = false;          // WAVE_FORMAT_EXTENSIBLE with a B-Format subformat
    unsigned channels = 0;         // in the file
    unsigned order = 1;            // the highest order of its channel set
    unsigned firstOrderChannels = 0;  // its first-order part, the first 3 (no Z) or 4 channels
    uint32_t sampleRate = 0;
    uint64_t frames = 0;
    // The decoder's sample format nearest the file's samples: what the output is by default.
    decoder::SampleFormat sampleFormat = decoder::SampleFormat::None;
    // True when the samples are exactly that format (no widening on the way in).
    bool exactFormat = false;
    bool integerSamples = false;
};

class BFormatReader {
public:
    BFormatReader() = default;
    ~BFormatReader();
    BFormatReader(const BFormatReader&) = delete;
    BFormatReader& operator=(const BFormatReader&) = delete;

    // Opens and checks `path`, read in `convention`. On failure `error` says in one line what
    // is wrong (without the path, which the caller names) and nothing stays open.
    bool Open(const std::string& path, Convention convention, std::string& error);

    const InputDescription& Description() const { return m_description; }

    // Chooses the sample format Read delivers, for output in `outputFormat`: the file's own
    // when its samples pass to the decoder unchanged and the output keeps their format (the
    // decode is then exactly that of the file's samples); otherwise 32-bit PCM for integer
    // files and float for float ones, which carry a converted value without losing precision.
    // Call after Open, before Read.
    void DeliverFor(decoder::SampleFormat outputFormat);
    decoder::SampleFormat DeliveredFormat() const { return m_delivered; }

    // Reads up to `maxFrames` frames into `buffer` (maxFrames × channels samples of
    // DeliveredFormat()). Returns the frames read, 0 at the end,
    // or -1 when the file cannot be read (see Error). Any thread, one at a time.
    int64_t Read(uint8_t* buffer, uint64_t maxFrames);

    uint64_t FramesRead() const { return m_framesRead; }
    const std::string& Error() const { return m_error; }

private:
    void Close();
    // `frames` frames of integer samples at the full 32-bit scale, as samples of the delivered
    // format into `out`.
    void ConvertIntegers(const int32_t* scratch, size_t frames, uint8_t* out) const;

    sf_private_tag* m_sndfile = nullptr;
    InputDescription m_description;
    decoder::SampleFormat m_delivered = decoder::SampleFormat::None;
    std::vector<int32_t> m_intScratch;
    uint64_t m_framesRead = 0;
    std::string m_error;
};

// A libsndfile message without its "Error : " or "System error : " lead and its full stop,
// to follow a reason of ours.
std::string LibsndfileWords(std::string message);

// "first", "second", ... for orders 1 to 7.
const char* OrderName(unsigned order);

}  // namespace bformat
