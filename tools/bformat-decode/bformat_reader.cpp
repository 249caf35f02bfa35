#include "tools/bformat-decode/bformat_reader.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "decoder/channel_sets.h"

namespace bformat {

namespace {

// Frames libsndfile reads at a time into the scratch buffer.
constexpr uint64_t kScratchFrames = 4096;

// libsndfile's name of a container or of a sample encoding.
std::string FormatName(int format)
{
    SF_FORMAT_INFO info{};
    info.format = format;
    return sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name ? info.name : "unknown";
}

// Why libsndfile could not open a file, in a user's words, with its own text after.
std::string OpenFailure(int code)
{
    const char* what;
    switch (code) {
    case SF_ERR_UNRECOGNISED_FORMAT: what = "not an audio file this tool can read"; break;
    case SF_ERR_MALFORMED_FILE: what = "a damaged or truncated audio file"; break;
    case SF_ERR_UNSUPPORTED_ENCODING: what = "audio in an encoding this tool cannot read"; break;
    case SF_ERR_SYSTEM: what = "cannot be read"; break;
    default: what = "not an audio file this tool can read"; break;
    }
    return std::string(what) + " (libsndfile: " + LibsndfileWords(sf_error_number(code)) + ")";
}

// Whether libsndfile found the file shorter than its header says. Its log then has a line
// "<chunk> : <size in the header> (should be <size the file holds>)" with the second smaller,
// for the container (RIFF, RF64's "Riff size", FORM, riff) or the audio chunk (data, SSND,
// RF64's "Data size"); or, for RF64, "Calculated frame count <held> does not match value from
// 'ds64' chunk of <announced>". libsndfile itself then announces only the frames the file
// holds, so the count it gives cannot tell.
bool Truncated(SNDFILE* file)
{
    std::string log(16384, '\0');
    sf_command(file, SFC_GET_LOG_INFO, &log[0], static_cast<int>(log.size()));
    log.resize(std::strlen(log.c_str()));
    static const char* const kSized[] = {"RIFF", "RF64", "FORM", "riff", "data", "SSND", "Riff size", "Data size"};
    static const char kCount[] = "Calculated frame count ";
    static const char kDs64[] = "value from 'ds64' chunk of ";
    size_t lineStart = 0;
    while (lineStart < log.size()) {
        size_t lineEnd = log.find('\n', lineStart);
        if (lineEnd == std::string::npos) lineEnd = log.size();
        const std::string line = log.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        const size_t should = line.find("(should be ");
        const size_t colon = line.find(" : ");
        if (should != std::string::npos && colon != std::string::npos && colon < should) {
            const size_t nameStart = line.find_first_not_of(' ');
            const std::string name = line.substr(nameStart, colon - nameStart);
            bool sized = false;
            for (const char* s : kSized) sized = sized || name == s;
            const unsigned long long declared = std::strtoull(line.c_str() + colon + 3, nullptr, 10);
            const unsigned long long held = std::strtoull(line.c_str() + should + 11, nullptr, 10);
            if (sized && held < declared) return true;
        }
        const size_t count = line.find(kCount), ds64 = line.find(kDs64);
        if (count != std::string::npos && ds64 != std::string::npos) {
            const unsigned long long held = std::strtoull(line.c_str() + count + sizeof kCount - 1, nullptr, 10);
            const unsigned long long announced = std::strtoull(line.c_str() + ds64 + sizeof kDs64 - 1, nullptr, 10);
            if (held < announced) return true;
        }
    }
    return false;
}

}  // namespace

std::string LibsndfileWords(std::string why)
{
    for (const char* lead : {"System error : ", "Error : "})
        if (why.rfind(lead, 0) == 0) why.erase(0, std::strlen(lead));
    while (!why.empty() && (why.back() == '.' || why.back() == '\n')) why.pop_back();
    return why;
}

const char* ConventionName(Convention convention)
{
    switch (convention) {
    case Convention::AmbiX: return "ambiX";
    case Convention::N3d: return "N3D";
    default: return "FuMa";
    }
}

const char* OrderName(unsigned order)
{
    static const char* const kNames[] = {"zeroth", "first", "second", "third", "fourth", "fifth", "sixth", "seventh"};
    return order < 8 ? kNames[order] : "higher";
}

BFormatReader::~BFormatReader() { Close(); }

void BFormatReader::Close()
{
    if (m_sndfile) sf_close(m_sndfile);
    m_sndfile = nullptr;
}

bool BFormatReader::Open(const std::string& path, Convention convention, std::string& error)
{
    Close();
    m_description = InputDescription{};
    m_framesRead = 0;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "is a directory, not a file";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
        return false;
    }

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        error = OpenFailure(sf_error(nullptr));
        return false;
    }
    m_sndfile = file;
    auto refuse = [&](const std::string& why) {
        error = why;
        Close();
        return false;
    };

    InputDescription& d = m_description;
    d.container = FormatName(info.format & SF_FORMAT_TYPEMASK);
    d.encoding = FormatName(info.format & SF_FORMAT_SUBMASK);
    d.channels = static_cast<unsigned>(info.channels);
    d.sampleRate = static_cast<uint32_t>(info.samplerate);
    d.frames = info.frames > 0 ? static_cast<uint64_t>(info.frames) : 0;
    d.flagged = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAVEX &&
                sf_command(file, SFC_WAVEX_GET_AMBISONIC, nullptr, 0) == SF_AMBISONIC_B_FORMAT;

    switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: d.sampleFormat = decoder::SampleFormat::Pcm16; d.integerSamples = true; break;
    case SF_FORMAT_PCM_16: d.sampleFormat = decoder::SampleFormat::Pcm16; d.integerSamples = d.exactFormat = true; break;
    case SF_FORMAT_PCM_24: d.sampleFormat = decoder::SampleFormat::Pcm24; d.integerSamples = d.exactFormat = true; break;
    case SF_FORMAT_PCM_32: d.sampleFormat = decoder::SampleFormat::Pcm32; d.integerSamples = d.exactFormat = true; break;
    case SF_FORMAT_FLOAT: d.sampleFormat = decoder::SampleFormat::Float32; d.exactFormat = true; break;
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_VORBIS:
    case SF_FORMAT_OPUS: d.sampleFormat = decoder::SampleFormat::Float32; break;
    default:
        return refuse("its samples are " + d.encoding +
                      ", which this tool does not decode (it takes 8- to 32-bit PCM, float, Vorbis and Opus)");
    }
    if (d.frames == 0) return refuse("holds no audio");
    if (Truncated(file)) {
        return refuse("truncated: the file ends before the audio its header announces (it holds " +
                      std::to_string(d.frames) + " frames)");
    }
    if (d.sampleRate <= 1000) {
        return refuse("sample rate of " + std::to_string(d.sampleRate) +
                      " Hz is too low: the decoder's 500 Hz crossover needs more than 1000 Hz");
    }

    const std::string channels = std::to_string(d.channels) + (d.channels == 1 ? " channel" : " channels");
    if (d.flagged) {
        d.convention = Convention::FuMa;
    } else if (convention == Convention::Unspecified) {
        return refuse("a " + d.container + " file of " + channels +
                      " not flagged as B-Format: name its channel convention with --input ambix or --input fuma");
    } else {
        d.convention = convention;
    }

    if (d.convention == Convention::FuMa) {
        const decoder::FumaChannelSet* set = decoder::FumaChannelSetOf(d.channels);
        if (!set) {
            return refuse(channels +
                          ": FuMa B-Format has 3 or 4 channels (first order), 5, 6 or 9 (second) or 7, 8, 11 or 16 "
                          "(third)");
        }
        d.order = set->order;
        d.firstOrderChannels = set->height ? 4 : 3;
    } else {
        unsigned order = 1;
        while (order < 7 && (order + 1) * (order + 1) < d.channels) ++order;
        if ((order + 1) * (order + 1) != d.channels) {
            return refuse(channels + ": " + ConventionName(d.convention) +
                          " has (n+1)\xC2\xB2 channels for order n: 4, 9, 16, 25, 36, 49 or 64");
        }
        d.order = order;
        d.firstOrderChannels = 4;
    }
    DeliverFor(d.sampleFormat);
    return true;
}

void BFormatReader::DeliverFor(decoder::SampleFormat outputFormat)
{
    const InputDescription& d = m_description;
    if (d.exactFormat && outputFormat == d.sampleFormat) m_delivered = d.sampleFormat;
    // The filter's output takes the format of its input: float output comes from float
    // input, which keeps what the decoder computes above full scale.
    else if (!d.integerSamples || outputFormat == decoder::SampleFormat::Float32)
        m_delivered = decoder::SampleFormat::Float32;
    else m_delivered = decoder::SampleFormat::Pcm32;
}

void BFormatReader::ConvertIntegers(const int32_t* scratch, size_t frames, uint8_t* out) const
{
    const size_t samples = frames * m_description.channels;
    if (m_delivered == decoder::SampleFormat::Float32) {
        // Fractions of full scale: exact for up to 24 bits, to float's precision beyond.
        for (size_t i = 0; i < samples; ++i, out += decoder::Float32Format::kBytes)
            decoder::Float32Format::FromDouble(std::ldexp(scratch[i], -31), out);
        return;
    }
    const size_t bytes = decoder::BytesPerSample(m_delivered);
    // Samples at the full 32-bit scale keep their top `bytes` bytes, little-endian.
    const unsigned drop = 32 - 8 * static_cast<unsigned>(bytes);
    for (size_t i = 0; i < samples; ++i, out += bytes) {
        const uint32_t u = static_cast<uint32_t>(scratch[i]) >> drop;
        for (size_t k = 0; k < bytes; ++k) out[k] = static_cast<uint8_t>(u >> (8 * k));
    }
}

int64_t BFormatReader::Read(uint8_t* buffer, uint64_t maxFrames)
{
    if (!m_sndfile) {
        m_error = "no file is open";
        return -1;
    }
    const InputDescription& d = m_description;
    const uint64_t left = d.frames - m_framesRead;
    const uint64_t want = maxFrames < left ? maxFrames : left;
    if (want == 0) return 0;

    uint64_t done = 0;
    const size_t frameBytes = d.channels * decoder::BytesPerSample(m_delivered);
    // 16-bit files delivered as they are, and float files: straight into the buffer, whose
    // little-endian samples are the host's shorts and floats.
    const bool direct = m_delivered == decoder::SampleFormat::Pcm16 || !d.integerSamples;
    while (done < want) {
        const uint64_t n = direct ? want - done : std::min(want - done, kScratchFrames);
        uint8_t* out = buffer + done * frameBytes;
        sf_count_t got;
        if (direct && !d.integerSamples) {
            got = sf_readf_float(m_sndfile, reinterpret_cast<float*>(out), static_cast<sf_count_t>(n));
        } else if (direct) {
            got = sf_readf_short(m_sndfile, reinterpret_cast<short*>(out), static_cast<sf_count_t>(n));
        } else {
            // Integer samples come from libsndfile at the full 32-bit scale.
            m_intScratch.resize(static_cast<size_t>(n) * d.channels);
            got = sf_readf_int(m_sndfile, m_intScratch.data(), static_cast<sf_count_t>(n));
            if (got > 0) ConvertIntegers(m_intScratch.data(), static_cast<size_t>(got), out);
        }
        if (got <= 0) {
            // Compressed audio (FLAC) announces its length in a header the decoder cannot
            // check against the file: a cut shows only here.
            const int code = sf_error(m_sndfile);
            m_error = (code == SF_ERR_SYSTEM ? std::string("reading the samples failed")
                                             : std::string("truncated or damaged: the audio ends")) +
                      " after " + std::to_string(m_framesRead + done) + " of the " + std::to_string(d.frames) +
                      " frames its header announces";
            if (code != SF_ERR_NO_ERROR)
                m_error += std::string(" (libsndfile: ") + LibsndfileWords(sf_strerror(m_sndfile)) + ")";
            return -1;
        }
        done += static_cast<uint64_t>(got);
    }
    m_framesRead += done;
    return static_cast<int64_t>(done);
}

}  // namespace bformat
