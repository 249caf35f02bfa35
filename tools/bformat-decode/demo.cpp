#include "tools/bformat-decode/demo.h"

#include <sndfile.h>
#include <algorithm>
#include <cmath>

#include "tools/bformat-decode/output_file.h"

namespace bformat {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kPluckSeconds = 0.25;  // one pluck every quarter second
constexpr double kLevel = 0.45;         // the sound's peak, leaving headroom in X and Y

// A small deterministic noise source, so every run writes the same file.
double Noise(uint64_t frame)
{
    uint64_t x = frame * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return static_cast<double>(x >> 11) / 4503599627370496.0 - 1.0;  // -1 .. 1
}

// The mono sound: plucks on a short rising figure of four notes, with a breath of noise.
double Sound(uint32_t rate, uint64_t frame)
{
    static const double kNotes[4] = {220.0, 277.18, 329.63, 440.0};
    const double t = static_cast<double>(frame) / rate;
    const uint64_t pluck = static_cast<uint64_t>(t / kPluckSeconds);
    const double since = t - pluck * kPluckSeconds;
    const double f = kNotes[pluck % 4];
    const double envelope = std::exp(-since / 0.07) * std::min(1.0, since / 0.002);
    const double tone = std::sin(2 * kPi * f * since) + 0.5 * std::sin(4 * kPi * f * since) +
                        0.25 * std::sin(6 * kPi * f * since);
    return envelope * (tone / 1.75 * 0.85 + 0.15 * Noise(frame));
}

}  // namespace

double DemoAzimuth(const DemoSettings& settings, uint64_t frame)
{
    const double total = settings.seconds * settings.sampleRate;
    return 2 * kPi * static_cast<double>(frame) / total;
}

void SynthesizeDemo(const DemoSettings& settings, uint64_t first, uint64_t count, std::vector<double>& out)
{
    out.resize(count * 4);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t frame = first + i;
        const double s = kLevel * Sound(settings.sampleRate, frame);
        const double a = DemoAzimuth(settings, frame);
        out[i * 4 + 0] = s * 0.7071067811865476;
        out[i * 4 + 1] = s * std::cos(a);
        out[i * 4 + 2] = s * std::sin(a);
        out[i * 4 + 3] = 0.0;
    }
}

bool WriteDemoFile(const std::string& path, const DemoSettings& settings, std::string& error)
{
    // libsndfile writes the file under a temporary name, which becomes the demo's name once
    // the last sample is in.
    AtomicFile target;
    if (!target.Create(path, error)) return false;

    SF_INFO info{};
    info.samplerate = static_cast<int>(settings.sampleRate);
    info.channels = 4;
    info.format = SF_FORMAT_WAVEX | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open_fd(target.Fd(), SFM_WRITE, &info, SF_FALSE);
    if (!file) {
        error = "cannot write the demo file " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    bool ok = sf_command(file, SFC_WAVEX_SET_AMBISONIC, nullptr, SF_AMBISONIC_B_FORMAT) == SF_AMBISONIC_B_FORMAT;
    if (!ok) error = "libsndfile cannot mark the demo file as B-Format";

    const uint64_t frames = static_cast<uint64_t>(settings.seconds * settings.sampleRate);
    std::vector<double> block;
    std::vector<short> samples;
    // libsndfile scales doubles by 32767 when it writes 16-bit samples; round them ourselves
    // so the file holds exactly the values meant.
    for (uint64_t at = 0; ok && at < frames; at += 4096) {
        const uint64_t n = std::min<uint64_t>(4096, frames - at);
        SynthesizeDemo(settings, at, n, block);
        samples.resize(block.size());
        for (size_t i = 0; i < block.size(); ++i) samples[i] = static_cast<short>(std::lround(block[i] * 32767.0));
        if (sf_writef_short(file, samples.data(), static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n)) {
            error = "cannot write the demo file " + path + ": " + sf_strerror(file);
            ok = false;
        }
    }
    if (sf_close(file) != 0 && ok) {
        error = "cannot write the demo file " + path;
        ok = false;
    }
    return ok && target.Commit(error);
}

}  // namespace bformat
