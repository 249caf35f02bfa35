// Sound files written and read through libsndfile, for the tests of bformat-decode's reader,
// writer and command line.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sound_test {

// Writes interleaved 32-bit integers (full scale 2^31) or floats as a file of `format`
// (libsndfile's container | encoding); false when libsndfile refuses.
template <typename Sample>
bool WriteSound(const std::string& path, int format, int channels, const std::vector<Sample>& samples,
                int rate = 48000)
{
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = rate;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    const sf_count_t frames = static_cast<sf_count_t>(samples.size() / channels);
    sf_count_t written;
    if constexpr (sizeof(Sample) == 4 && Sample(0.5) != Sample(0)) written = sf_writef_float(file, samples.data(), frames);
    else written = sf_writef_int(file, samples.data(), frames);
    return sf_close(file) == 0 && written == frames;
}

// A file's samples as 32-bit integers at full scale (or floats), with what libsndfile says
// of it.
struct Sound {
    SF_INFO info{};
    std::vector<int32_t> ints;
    std::vector<float> floats;
    std::string log;
};

inline bool ReadSound(const std::string& path, Sound& sound)
{
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &sound.info);
    if (!file) return false;
    const size_t n = static_cast<size_t>(sound.info.frames) * sound.info.channels;
    sound.ints.resize(n);
    sound.floats.resize(n);
    bool ok = sf_readf_int(file, sound.ints.data(), sound.info.frames) == sound.info.frames;
    sf_seek(file, 0, SEEK_SET);
    ok = ok && sf_readf_float(file, sound.floats.data(), sound.info.frames) == sound.info.frames;
    char log[8192] = {};
    sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
    sound.log = log;
    return sf_close(file) == 0 && ok;
}

}  // namespace sound_test
