// What a rig of real speakers needs besides its decoder: the LFE channel, and the delays that
// line up speakers at different distances.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder/sample_format.h"

namespace decoder {

// The low-pass of the LFE channel: fourth order (24 dB per octave), Butterworth, two biquad
// sections in direct form I. Prepare() at negotiation; Process() on the streaming thread
// allocates nothing. One thread at a time.
class LfeLowPass {
public:
    static constexpr double kCutoffHz = 120.0;

    // Tunes to `cutoffHz` at `sampleRate` and clears the memory; false (nothing changed) when
    // the cutoff is not below half the rate or either is not a finite positive number.
    bool Prepare(double sampleRate, double cutoffHz = kCutoffHz);
    void Reset();

    // One sample in, one out; the memory carries over.
    double Process(double x)
    {
        for (Section& s : m_Sections) {
            const double y = s.b0 * x + s.b1 * s.x1 + s.b2 * s.x2 - s.a1 * s.y1 - s.a2 * s.y2;
            s.x2 = s.x1;
            s.x1 = x;
            s.y2 = s.y1;
            s.y1 = y;
            x = y;
        }
        return x;
    }

private:
    struct Section {
        double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    };
    Section m_Sections[2];
};

// Whole-sample delays of the channels of interleaved audio, applied in place to samples that
// are already in their output format (so a delay changes no sample's value). A speaker nearer
// than the farthest one is delayed by the difference in the sound's travel time, rounded to the
// nearest sample; its level is lowered by its gain (applied by the decoder's matrix).
class ChannelDelays {
public:
    // Speed of sound in metres per second.
    static constexpr double kSpeedOfSound = 343.0;

    // Delays (frames) and gains for speakers at `distances` (metres; a distance of 0 means
    // unknown: no delay, gain 1, and all distances are then ignored unless every one is given).
    static void ForDistances(const std::vector<double>& distances, double sampleRate, std::vector<size_t>& delays,
                             std::vector<double>& gains);

    // Channels of `bytesPerSample` bytes, each delayed by delays[c] frames; memory cleared
    // (silence). Allocates; throws std::bad_alloc.
    void Prepare(const std::vector<size_t>& delays, uint32_t bytesPerSample);
    void Reset();

    // Longest delay: frames the output lags the input by on its latest channel.
    size_t LongestDelay() const { return m_Longest; }

    // Delays `frames` frames of interleaved samples at `audio` in place.
    void Process(uint8_t* audio, size_t frames);

private:
    std::vector<size_t> m_Delays;
    std::vector<size_t> m_Positions;
    std::vector<std::vector<uint8_t>> m_Lines;  // [channel]: delays[c] samples, oldest at the position
    uint32_t m_Bytes = 0;
    size_t m_Longest = 0;
};

}  // namespace decoder
