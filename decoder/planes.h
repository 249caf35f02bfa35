// Per-channel sample planes.
#pragma once

#include <cstdint>
#include <memory>

namespace decoder {

// A set of planes, one contiguous array of doubles per channel, all of the same capacity,
// addressed as planes[channel][frame]. The set owns its memory (one 64-byte aligned block).
// Contents are not cleared; only what a block writes is meaningful. Not thread-safe.
class SamplePlanes {
public:
    static constexpr uint32_t kMaxChannels = 64;  // a seventh-order signal, or the largest rig

    SamplePlanes() = default;
    SamplePlanes(SamplePlanes&& other) noexcept { Swap(other); }
    SamplePlanes& operator=(SamplePlanes&& other) noexcept { SamplePlanes(std::move(other)).Swap(*this); return *this; }
    SamplePlanes(const SamplePlanes&) = delete;
    SamplePlanes& operator=(const SamplePlanes&) = delete;

    // Allocates `channels` (1..kMaxChannels) planes of `capacity` (>= 1) frames, releasing the
    // previous ones. Never throws; on bad arguments or exhausted memory returns false and
    // leaves the set as it was.
    bool Allocate(uint32_t channels, int32_t capacity);

    // The plane pointers, indexed by channel (kMaxChannels entries; unused ones are null).
    double* const* data() const { return m_Planes; }
    double* operator[](uint32_t channel) const { return m_Planes[channel]; }
    uint32_t Channels() const { return m_nChannels; }
    int32_t Capacity() const { return m_Capacity; }

    void Swap(SamplePlanes& other) noexcept;

private:
    std::unique_ptr<double[]> m_Storage;
    double* m_Planes[kMaxChannels] = {};
    uint32_t m_nChannels = 0;
    int32_t m_Capacity = 0;
};

}  // namespace decoder
