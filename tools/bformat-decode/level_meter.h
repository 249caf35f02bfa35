// Levels of the samples written: the largest magnitude per channel, as a fraction of full
// scale, and how many samples per channel sit at the integer full scale (where the decoder
// saturates a value that leaves the sample range). Owned by one writer; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bformat {

class LevelMeter {
public:
    // Forgets everything measured and sizes the meter for `channels` channels.
    void Reset(unsigned channels);

    // `frames` interleaved frames. 16-bit samples; 32-bit integers whose full scale is
    // `top` (0x7FFFFF00 for 24-bit samples held in the top three bytes, INT32_MAX for 32-bit);
    // floats, which are never clipped and whose NaNs are no level.
    void Add(const int16_t* samples, size_t frames);
    void Add(const int32_t* samples, size_t frames, int32_t top);
    void Add(const float* samples, size_t frames);
    // The plain loop that the 128-bit loop of Add for four channels of 16-bit samples is held
    // to in tests; the same answers.
    void AddPlain(const int16_t* samples, size_t frames);

    const std::vector<double>& Peaks() const { return m_peaks; }
    const std::vector<uint64_t>& Clipped() const { return m_clipped; }

private:
    std::vector<double> m_peaks;
    std::vector<uint64_t> m_clipped;
};

}  // namespace bformat
