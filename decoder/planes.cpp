#include "decoder/planes.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace decoder {

bool SamplePlanes::Allocate(uint32_t channels, int32_t capacity)
{
    if (channels == 0 || channels > kMaxChannels || capacity <= 0) return false;
    // Each plane starts on a 64-byte boundary: round the stride up to 8 doubles and leave
    // room to align the block's start.
    const size_t stride = (static_cast<size_t>(capacity) + 7) & ~size_t{7};
    if (stride > (SIZE_MAX / sizeof(double) - 8) / channels) return false;
    const size_t total = stride * channels + 8;
    std::unique_ptr<double[]> storage(new (std::nothrow) double[total]);
    if (!storage) return false;
    const uintptr_t base = reinterpret_cast<uintptr_t>(storage.get());
    double* first = storage.get() + ((64 - (base & 63)) & 63) / sizeof(double);

    SamplePlanes fresh;
    fresh.m_Storage = std::move(storage);
    for (uint32_t c = 0; c < channels; ++c) fresh.m_Planes[c] = first + stride * c;
    fresh.m_nChannels = channels;
    fresh.m_Capacity = capacity;
    Swap(fresh);
    return true;
}

void SamplePlanes::Swap(SamplePlanes& other) noexcept
{
    std::swap(m_Storage, other.m_Storage);
    std::swap(m_Planes, other.m_Planes);
    std::swap(m_nChannels, other.m_nChannels);
    std::swap(m_Capacity, other.m_Capacity);
}

}  // namespace decoder
