#include "decoder/sample_format.h"

namespace decoder {

uint32_t BytesPerSample(SampleFormat format)
{
    uint32_t bytes = 0;
    WithFormat(format, [&](auto traits) { bytes = decltype(traits)::kBytes; });
    return bytes;
}

void DeinterleaveBlock(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                       double* const* planes)
{
    WithFormat(format, [&](auto traits) { DeinterleaveFrames<decltype(traits)>(src, 0, n, channels, planes); });
}

void InterleaveBlock(double* const* planes, uint32_t channels, int32_t n, SampleFormat format,
                     uint8_t* dst)
{
    WithFormat(format, [&](auto traits) { InterleaveFrames<decltype(traits)>(planes, channels, 0, n, dst); });
}

}  // namespace decoder
