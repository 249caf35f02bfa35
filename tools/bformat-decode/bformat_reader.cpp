#include "tools/bformat-decode/bformat_reader.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace bformat {

namespace {

int SndfileSubtype(SampleType type)
{
    switch (type) {
    case SampleType::Pcm16: return SF_FORMAT_PCM_16;
    case SampleType::Pcm24: return SF_FORMAT_PCM_24;
    case SampleType::Pcm32: return SF_FORMAT_PCM_32;
    case SampleType::Float32: return SF_FORMAT_FLOAT;
    }
    return 0;
}

// libsndfile's access to the file, through the stream the reader opened.
sf_count_t StreamLength(void* user)
{
    struct stat st;
    return fstat(fileno(static_cast<std::FILE*>(user)), &st) == 0 ? static_cast<sf_count_t>(st.st_size) : -1;
}
sf_count_t StreamSeek(sf_count_t offset, int whence, void* user)
{
    std::FILE* f = static_cast<std::FILE*>(user);
    return fseeko(f, static_cast<off_t>(offset), whence) == 0 ? static_cast<sf_count_t>(ftello(f)) : -1;
}
sf_count_t StreamRead(void* buffer, sf_count_t count, void* user)
{
    return static_cast<sf_count_t>(std::fread(buffer, 1, static_cast<size_t>(count), static_cast<std::FILE*>(user)));
}
sf_count_t StreamWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t StreamTell(void* user) { return static_cast<sf_count_t>(ftello(static_cast<std::FILE*>(user))); }

SF_VIRTUAL_IO kStreamAccess = {StreamLength, StreamSeek, StreamRead, StreamWrite, StreamTell};

}  // namespace

BFormatReader::~BFormatReader() { Close(); }

void BFormatReader::Close()
{
    if (m_sndfile) sf_close(m_sndfile);
    m_sndfile = nullptr;
    if (m_stream) std::fclose(m_stream);
    m_stream = nullptr;
}

bool BFormatReader::Open(const std::string& path, std::string& error)
{
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

    m_stream = std::fopen(path.c_str(), "rb");
    if (!m_stream) {
        error = std::strerror(errno);
        return false;
    }
    if (!ReadBFormatHeader(m_stream, static_cast<uint64_t>(st.st_size), m_file, error)) {
        Close();
        return false;
    }

    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    std::rewind(m_stream);
    m_sndfile = sf_open_virtual(&kStreamAccess, SFM_READ, &info, m_stream);
    if (!m_sndfile) {
        error = std::string("libsndfile cannot read it: ") + sf_strerror(nullptr);
        Close();
        return false;
    }
    // libsndfile must see the same stream: B-Format in the extensible wave format, with the
    // channel count, rate and sample type our own reader found, and its read position at the
    // first sample.
    const bool agrees = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAVEX &&
                        (info.format & SF_FORMAT_SUBMASK) == SndfileSubtype(m_file.sampleType) &&
                        sf_command(m_sndfile, SFC_WAVEX_GET_AMBISONIC, nullptr, 0) == SF_AMBISONIC_B_FORMAT &&
                        info.channels == m_file.format.channels &&
                        info.samplerate == static_cast<int>(m_file.format.sampleRate) &&
                        static_cast<uint64_t>(info.frames) >= m_file.frames;
    // A file with more than one data chunk can have libsndfile read from another one than ours.
    const bool sameData = StreamTell(m_stream) == static_cast<sf_count_t>(m_file.dataOffset);
    if (!agrees || !sameData) {
        error = agrees ? "libsndfile reads the samples from another data chunk than the one its header describes"
                       : "libsndfile reads this file as something other than the B-Format stream its header describes";
        Close();
        return false;
    }
    return true;
}

int64_t BFormatReader::Read(uint8_t* buffer, uint64_t maxFrames)
{
    if (!m_sndfile) {
        m_error = "no file is open";
        return -1;
    }
    const uint64_t left = m_file.frames - m_framesRead;
    const uint64_t frames = maxFrames < left ? maxFrames : left;
    if (frames == 0) return 0;
    const uint64_t frameBytes = m_file.format.blockAlign;
    const sf_count_t want = static_cast<sf_count_t>(frames * frameBytes);
    const sf_count_t from = static_cast<sf_count_t>(m_file.dataOffset + m_framesRead * frameBytes);
    const sf_count_t got = sf_read_raw(m_sndfile, buffer, want);
    if (got == want && StreamTell(m_stream) != from + want) {
        m_error = "reading the samples failed after " + std::to_string(m_framesRead) +
                  " frames: libsndfile read from outside the data chunk";
        return -1;
    }
    if (got != want) {
        const char* why = sf_error(m_sndfile) != SF_ERR_NO_ERROR ? sf_strerror(m_sndfile) : "the file ended early";
        m_error = "reading the samples failed after " + std::to_string(m_framesRead) + " frames: " + why;
        return -1;
    }
    m_framesRead += frames;
    return static_cast<int64_t>(frames);
}

}  // namespace bformat
