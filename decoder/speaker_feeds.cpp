#include "decoder/speaker_feeds.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace decoder {

bool LfeLowPass::Prepare(double sampleRate, double cutoffHz)
{
    if (!std::isfinite(sampleRate) || !std::isfinite(cutoffHz) || sampleRate <= 0 || cutoffHz <= 0 ||
        cutoffHz >= sampleRate / 2)
        return false;
    // Bilinear transform of the fourth-order Butterworth: two sections with Q = 1 / (2 cos(pi/8))
    // and 1 / (2 cos(3 pi/8)), prewarped at the cutoff.
    const double kPi = 3.141592653589793;
    const double k = std::tan(kPi * cutoffHz / sampleRate);
    const double q[2] = {0.5411961001461969, 1.3065629648763766};
    for (int i = 0; i < 2; ++i) {
        const double norm = 1.0 / (1.0 + k / q[i] + k * k);
        Section s;
        s.b0 = k * k * norm;
        s.b1 = 2.0 * s.b0;
        s.b2 = s.b0;
        s.a1 = 2.0 * (k * k - 1.0) * norm;
        s.a2 = (1.0 - k / q[i] + k * k) * norm;
        m_Sections[i] = s;
    }
    return true;
}

void LfeLowPass::Reset()
{
    for (Section& s : m_Sections) s.x1 = s.x2 = s.y1 = s.y2 = 0.0;
}

void ChannelDelays::ForDistances(const std::vector<double>& distances, double sampleRate, std::vector<size_t>& delays,
                                 std::vector<double>& gains)
{
    delays.assign(distances.size(), 0);
    gains.assign(distances.size(), 1.0);
    const bool allKnown = !distances.empty() && std::all_of(distances.begin(), distances.end(), [](double d) { return d > 0; });
    if (!allKnown) return;
    const double farthest = *std::max_element(distances.begin(), distances.end());
    for (size_t i = 0; i < distances.size(); ++i) {
        delays[i] = static_cast<size_t>(std::lround((farthest - distances[i]) / kSpeedOfSound * sampleRate));
        gains[i] = distances[i] / farthest;
    }
}

void ChannelDelays::Prepare(const std::vector<size_t>& delays, uint32_t bytesPerSample)
{
    std::vector<std::vector<uint8_t>> lines(delays.size());
    for (size_t c = 0; c < delays.size(); ++c) lines[c].assign(delays[c] * bytesPerSample, 0);
    m_Lines.swap(lines);
    m_Delays = delays;
    m_Positions.assign(delays.size(), 0);
    m_Bytes = bytesPerSample;
    m_Longest = delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
}

void ChannelDelays::Reset()
{
    for (std::vector<uint8_t>& line : m_Lines) std::fill(line.begin(), line.end(), 0);
    std::fill(m_Positions.begin(), m_Positions.end(), 0);
}

void ChannelDelays::Process(uint8_t* audio, size_t frames)
{
    if (m_Longest == 0) return;
    const size_t channels = m_Delays.size();
    const uint32_t bytes = m_Bytes;
    for (size_t c = 0; c < channels; ++c) {
        const size_t delay = m_Delays[c];
        if (delay == 0) continue;
        uint8_t* line = m_Lines[c].data();
        size_t position = m_Positions[c];
        uint8_t* sample = audio + c * bytes;
        uint8_t held[8];
        for (size_t f = 0; f < frames; ++f, sample += channels * bytes) {
            // Swap the sample with the one `delay` frames older.
            std::memcpy(held, sample, bytes);
            std::memcpy(sample, line + position * bytes, bytes);
            std::memcpy(line + position * bytes, held, bytes);
            if (++position == delay) position = 0;
        }
        m_Positions[c] = position;
    }
}

}  // namespace decoder
