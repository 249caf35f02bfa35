#include "tools/bformat-decode/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "tools/bformat-decode/bformat_reader.h"
#include "tools/bformat-decode/wave_format.h"

namespace bformat {

namespace {

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

}  // namespace

AtomicFile::~AtomicFile()
{
    Discard();
}

std::string OutputRefusal(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return {};
    const char* what = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a named pipe"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                                              : "not a regular file";
    return path + " is " + what + ": an output is written whole under another name and renamed over its "
                  "destination, which would replace it; name a regular file";
}

namespace {

// Whether `entry` is a temporary name AtomicFile::Create gives `name`: "." name "." and the
// six letters or digits mkstemp adds.
bool IsTemporaryOf(const char* entry, const std::string& name)
{
    const size_t length = std::strlen(entry);
    if (length != name.size() + 8 || entry[0] != '.' || name.compare(0, name.size(), entry + 1, name.size()) != 0 ||
        entry[name.size() + 1] != '.')
        return false;
    for (size_t i = name.size() + 2; i < length; ++i)
        if (!std::isalnum(static_cast<unsigned char>(entry[i]))) return false;
    return true;
}

// Removes the temporary files of `name` in `dir` that no run holds: those of a run that was
// killed before it could remove them. A running writer holds a lock on its temporary file,
// which the system releases however the run ends.
void RemoveStaleTemporaries(const std::string& dir, const std::string& name)
{
    DIR* folder = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!folder) return;
    while (const dirent* entry = ::readdir(folder)) {
        if (!IsTemporaryOf(entry->d_name, name)) continue;
        const std::string path = dir + entry->d_name;
        const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
        ::close(fd);
    }
    ::closedir(folder);
}

}  // namespace

bool AtomicFile::Create(const std::string& path, std::string& error)
{
    Discard();
    const std::string refusal = OutputRefusal(path);
    if (!refusal.empty()) {
        error = refusal;
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    RemoveStaleTemporaries(dir, name);
    const std::string temp = dir + "." + name + ".XXXXXX";
    std::vector<char> buffer;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
        buffer.assign(temp.begin(), temp.end());
        buffer.push_back('\0');
        fd = ::mkstemp(buffer.data());
        if (fd < 0) break;
        // Held until the file is closed: marks the file as in use for RemoveStaleTemporaries.
        ::flock(fd, LOCK_EX);
        // Another run's clean-up may have removed the file between its creation and the lock.
        struct stat opened, named;
        if (::fstat(fd, &opened) != 0 || ::stat(buffer.data(), &named) != 0 || opened.st_ino != named.st_ino ||
            opened.st_dev != named.st_dev) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        error = SystemError("cannot create a file in " + (dir.empty() ? std::string(".") : dir));
        return false;
    }
    // mkstemp makes the file private; give it what any new file gets under the umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    m_fd = fd;
    m_path = path;
    m_tempPath.assign(buffer.data());
    return true;
}

bool AtomicFile::Commit(std::string& error)
{
    if (m_fd < 0) {
        error = "nothing to save";
        return false;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        error = SystemError("cannot write " + m_path);
        Discard();
        return false;
    }
    if (::rename(m_tempPath.c_str(), m_path.c_str()) != 0) {
        error = SystemError("cannot save " + m_path);
        Discard();
        return false;
    }
    m_tempPath.clear();
    return true;
}

void AtomicFile::Discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

double FullScaleFraction(decoder::SampleFormat format, const uint8_t* sample)
{
    switch (format) {
    case decoder::SampleFormat::Pcm16: return decoder::Pcm16Format::ToDouble(sample) / 32768.0;
    case decoder::SampleFormat::Pcm24: return decoder::Pcm24Format::ToDouble(sample) / 2147483648.0;
    case decoder::SampleFormat::Pcm32: return decoder::Pcm32Format::ToDouble(sample) / 2147483648.0;
    case decoder::SampleFormat::Float32: return decoder::Float32Format::ToDouble(sample);
    default: return 0;
    }
}

int32_t ToInteger(decoder::SampleFormat format, double fraction)
{
    int bits = 32;
    if (format == decoder::SampleFormat::Pcm16) bits = 16;
    else if (format == decoder::SampleFormat::Pcm24) bits = 24;
    const double top = std::ldexp(1.0, bits - 1);
    const int32_t sample = decoder::RoundSaturate(fraction * top, -top, top - 1);
    // 24-bit samples in the top three bytes, as libsndfile takes them.
    return bits == 24 ? static_cast<int32_t>(static_cast<uint32_t>(sample) << 8) : sample;
}

bool ContainerForName(const std::string& path, Container& container, std::string& error)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    std::string extension;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        for (size_t i = dot + 1; i < path.size(); ++i) {
            extension += static_cast<char>(std::tolower(static_cast<unsigned char>(path[i])));
        }
    }
    static const struct {
        const char* extension;
        Container container;
    } kNames[] = {{"wav", Container::Wave},
                  {"rf64", Container::Rf64},
                  {"w64", Container::Wave64},
                  {"caf", Container::Caf},
                  {"flac", Container::Flac}};
    for (const auto& name : kNames) {
        if (extension == name.extension) {
            container = name.container;
            return true;
        }
    }
    error = path + ": cannot tell the kind of file from its name: end it in .wav, .w64, .rf64, .caf or .flac";
    return false;
}

bool ContainerTakesRate(Container container, uint32_t sampleRate, std::string& error)
{
    // What libsndfile's FLAC writer takes.
    constexpr uint32_t kFlacMaxRate = 655350;
    if (container == Container::Flac && sampleRate > kFlacMaxRate) {
        error = "its sample rate of " + std::to_string(sampleRate) + " Hz is more than FLAC holds (" +
                std::to_string(kFlacMaxRate) + " Hz at most): name a .wav, .w64, .rf64 or .caf output";
        return false;
    }
    return true;
}

bool ContainerTakes(Container container, decoder::SampleFormat format, std::string& error)
{
    if (container == Container::Flac && format != decoder::SampleFormat::Pcm16 &&
        format != decoder::SampleFormat::Pcm24) {
        error = std::string("FLAC holds 16- and 24-bit samples only, not ") + SampleFormatName(format) +
                ": choose --format pcm16 or pcm24";
        return false;
    }
    return true;
}

namespace {

// The largest data chunk a RIFF header can state with a 40-byte fmt chunk and a fact chunk.
constexpr uint64_t kRiffDataLimit = 0xFFFFFFFFull - 4 - 48 - 12 - 8;

int SndfileFormat(const OutputFileSettings& settings, bool& downgrade)
{
    const uint64_t bytes = settings.expectedFrames * settings.channels * decoder::BytesPerSample(settings.format);
    int major = SF_FORMAT_RF64;
    downgrade = false;
    switch (settings.container) {
    case Container::Wave:
        downgrade = !(settings.format == decoder::SampleFormat::Float32 && bytes <= kRiffDataLimit);
        major = downgrade ? SF_FORMAT_RF64 : SF_FORMAT_WAVEX;
        break;
    case Container::Rf64: major = SF_FORMAT_RF64; break;
    case Container::Wave64: major = SF_FORMAT_W64; break;
    case Container::Caf: major = SF_FORMAT_CAF; break;
    case Container::Flac: major = SF_FORMAT_FLAC; break;
    }
    switch (settings.format) {
    case decoder::SampleFormat::Pcm16: return major | SF_FORMAT_PCM_16;
    case decoder::SampleFormat::Pcm24: return major | SF_FORMAT_PCM_24;
    case decoder::SampleFormat::Pcm32: return major | SF_FORMAT_PCM_32;
    default: return major | SF_FORMAT_FLOAT;
    }
}

// libsndfile's speaker positions for the bits of a WAVE_FORMAT_EXTENSIBLE channel mask.
constexpr int kSpeakerPositions[] = {
    SF_CHANNEL_MAP_LEFT,           SF_CHANNEL_MAP_RIGHT,           SF_CHANNEL_MAP_CENTER,
    SF_CHANNEL_MAP_LFE,            SF_CHANNEL_MAP_REAR_LEFT,       SF_CHANNEL_MAP_REAR_RIGHT,
    SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER, SF_CHANNEL_MAP_REAR_CENTER,
    SF_CHANNEL_MAP_SIDE_LEFT,      SF_CHANNEL_MAP_SIDE_RIGHT,      SF_CHANNEL_MAP_TOP_CENTER,
    SF_CHANNEL_MAP_TOP_FRONT_LEFT, SF_CHANNEL_MAP_TOP_FRONT_CENTER, SF_CHANNEL_MAP_TOP_FRONT_RIGHT,
    SF_CHANNEL_MAP_TOP_REAR_LEFT,  SF_CHANNEL_MAP_TOP_REAR_CENTER, SF_CHANNEL_MAP_TOP_REAR_RIGHT,
};

// Writes `mask` into the WAVE_FORMAT_EXTENSIBLE format block of the RIFF or RF64 file open on
// `fd`. libsndfile writes a mask of its own choosing when the channels have no speaker
// positions (5.1 for six channels, 7.1 for eight), which would send a hexagon's feeds to a
// centre and a subwoofer; the decoder's mask is what the file must say. A file without such a
// block has no mask to correct. False only when the mask cannot be written.
bool WriteChannelMask(int fd, uint32_t mask)
{
    uint8_t header[4096];
    const ssize_t got = ::pread(fd, header, sizeof header, 0);
    if (got < 12 || (std::memcmp(header, "RIFF", 4) != 0 && std::memcmp(header, "RF64", 4) != 0) ||
        std::memcmp(header + 8, "WAVE", 4) != 0)
        return true;
    auto le = [&](size_t at, int bytes) {
        uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | header[at + i];
        return v;
    };
    for (size_t at = 12; at + 8 <= static_cast<size_t>(got);) {
        const uint32_t size = le(at + 4, 4);
        if (std::memcmp(header + at, "fmt ", 4) == 0) {
            const size_t maskAt = at + 8 + 20;
            if (size < 40 || maskAt + 4 > static_cast<size_t>(got) || le(at + 8, 2) != 0xFFFE || le(maskAt, 4) == mask)
                return true;
            const uint8_t bytes[4] = {uint8_t(mask), uint8_t(mask >> 8), uint8_t(mask >> 16), uint8_t(mask >> 24)};
            return ::pwrite(fd, bytes, 4, static_cast<off_t>(maskAt)) == 4;
        }
        at += 8 + static_cast<size_t>(size) + (size & 1);
    }
    return true;
}

std::string WriteFailure(const std::string& path, SNDFILE* file)
{
    return "cannot write " + path + ": " + LibsndfileWords(sf_strerror(file));
}

}  // namespace

SoundFileWriter::~SoundFileWriter() { Discard(); }

bool SoundFileWriter::Begin(const OutputFileSettings& settings, decoder::SampleFormat streamFormat, std::string& error)
{
    Discard();
    if (!ContainerTakes(settings.container, settings.format, error)) {
        error = settings.path + ": " + error;
        return false;
    }
    m_settings = settings;
    m_streamFormat = streamFormat;
    m_meter.Reset(settings.channels);
    if (!m_file.Create(settings.path, error)) return false;

    SF_INFO info{};
    info.channels = settings.channels;
    info.samplerate = static_cast<int>(settings.sampleRate);
    bool downgrade = false;
    info.format = SndfileFormat(settings, downgrade);
    m_sndfile = sf_open_fd(m_file.Fd(), SFM_WRITE, &info, SF_FALSE);
    if (!m_sndfile) {
        error = "cannot write " + settings.path + ": " + LibsndfileWords(sf_strerror(nullptr));
        m_file.Discard();
        return false;
    }
    sf_command(m_sndfile, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    if (downgrade) sf_command(m_sndfile, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    // The speakers by name, when the mask names one for every channel.
    std::vector<int> positions;
    for (unsigned bit = 0; bit < sizeof kSpeakerPositions / sizeof kSpeakerPositions[0]; ++bit) {
        if (settings.channelMask & (1u << bit)) positions.push_back(kSpeakerPositions[bit]);
    }
    if (!positions.empty() && positions.size() == settings.channels) {
        sf_command(m_sndfile, SFC_SET_CHANNEL_MAP_INFO, positions.data(),
                   static_cast<int>(positions.size() * sizeof(int)));
    }
    return true;
}

template <typename Out, typename Write>
bool SoundFileWriter::Put(const uint8_t* data, size_t frames, std::vector<Out>& buffer, Write write,
                          std::string& error)
{
    const size_t samples = frames * m_settings.channels;
    const Out* out;
    const bool same = m_streamFormat == m_settings.format && m_streamFormat != decoder::SampleFormat::Pcm24;
    if (same && reinterpret_cast<uintptr_t>(data) % alignof(Out) == 0) {
        // The stream's little-endian samples are the host's.
        out = reinterpret_cast<const Out*>(data);
    } else {
        buffer.resize(samples);
        const size_t bytes = decoder::BytesPerSample(m_streamFormat);
        if (same) {
            std::memcpy(buffer.data(), data, samples * sizeof(Out));
        } else if (m_streamFormat == m_settings.format) {
            for (size_t i = 0; i < samples; ++i) buffer[i] = static_cast<Out>(decoder::Pcm24Format::Word(data + i * bytes));
        } else if (m_settings.format == decoder::SampleFormat::Float32) {
            for (size_t i = 0; i < samples; ++i) {
                buffer[i] = static_cast<Out>(FullScaleFraction(m_streamFormat, data + i * bytes));
            }
        } else {
            for (size_t i = 0; i < samples; ++i) {
                buffer[i] = static_cast<Out>(ToInteger(m_settings.format, FullScaleFraction(m_streamFormat, data + i * bytes)));
            }
        }
        out = buffer.data();
    }
    if constexpr (std::is_same_v<Out, int32_t>) {
        m_meter.Add(out, frames, m_settings.format == decoder::SampleFormat::Pcm24 ? 0x7FFFFF00 : INT32_MAX);
    } else {
        m_meter.Add(out, frames);
    }
    if (write(out, static_cast<sf_count_t>(frames)) != static_cast<sf_count_t>(frames)) {
        error = WriteFailure(m_settings.path, m_sndfile);
        return false;
    }
    return true;
}

bool SoundFileWriter::Append(const uint8_t* data, size_t bytes, std::string& error)
{
    if (!m_sndfile) {
        error = "the output file is not open";
        return false;
    }
    const size_t frameBytes = size_t{m_settings.channels} * decoder::BytesPerSample(m_streamFormat);
    const size_t frames = bytes / frameBytes;
    SNDFILE* file = m_sndfile;
    switch (m_settings.format) {
    case decoder::SampleFormat::Pcm16:
        return Put(data, frames, m_shorts, [file](const int16_t* s, sf_count_t n) { return sf_writef_short(file, s, n); },
                   error);
    case decoder::SampleFormat::Pcm24:
    case decoder::SampleFormat::Pcm32:
        return Put(data, frames, m_ints, [file](const int32_t* s, sf_count_t n) { return sf_writef_int(file, s, n); },
                   error);
    default:
        return Put(data, frames, m_floats, [file](const float* s, sf_count_t n) { return sf_writef_float(file, s, n); },
                   error);
    }
}

bool SoundFileWriter::Finish(std::string& error)
{
    if (!m_sndfile) {
        error = "the output file is not open";
        return false;
    }
    SNDFILE* file = m_sndfile;
    m_sndfile = nullptr;
    if (sf_close(file) != 0) {
        error = "cannot write " + m_settings.path + ": " + LibsndfileWords(sf_strerror(nullptr));
        m_file.Discard();
        return false;
    }
    if ((m_settings.container == Container::Wave || m_settings.container == Container::Rf64) &&
        !WriteChannelMask(m_file.Fd(), m_settings.channelMask)) {
        error = std::string("cannot write ") + m_settings.path + ": " + std::strerror(errno);
        m_file.Discard();
        return false;
    }
    return m_file.Commit(error);
}

void SoundFileWriter::Discard()
{
    if (m_sndfile) sf_close(m_sndfile);
    m_sndfile = nullptr;
    m_file.Discard();
}

}  // namespace bformat
