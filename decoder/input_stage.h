// The engine's input stage: what each channel of a B-Format stream carries, and how the
// decoders read it. Every decoder works in ambiX terms (ACN order, SN3D weights); a stream's
// channel c carries ACN channel Acn(c) divided by Weight(c), so the decoders fold the weight
// into their own gains or filters, or apply it in double precision as samples are read. The
// decoders that take only the first-order part (the seven layouts, UHJ) read it as FuMa W,
// X, Y[, Z] through FirstOrderPart.
//
// Plain data, built at negotiation; reading allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/sample_format.h"
#include "decoder/stream.h"

namespace decoder {

// Most channels a stream may carry: a seventh-order full-sphere signal.
constexpr uint32_t kMaxInputChannels = 64;

// One input channel as the decoders read it: sn3d[acn] = weight * sample.
struct InputChannel {
    uint8_t acn = 0;
    double weight = 1.0;
};

// A stream's channels: their convention, the Ambisonic order they carry (for mixed-order FuMa
// sets the horizontal order), whether they carry height (Z), and whether they are a mixed-order
// set (fewer than (order+1)^2 channels). Channels come in ascending order of their harmonics'
// orders, so those of orders 0..n are the first ChannelsUpTo(n).
struct InputLayout {
    InputConvention convention = InputConvention::Fuma;
    uint32_t channels = 0;
    int order = 0;
    bool height = false;
    bool mixed = false;
    InputChannel channel[kMaxInputChannels];

    // How many of the channels have orders 0..n.
    uint32_t ChannelsUpTo(int n) const;
};

// Describes `channels` channels in `convention`; false (out untouched) for a count the
// convention has no set of.
bool DescribeInput(InputConvention convention, uint32_t channels, InputLayout& out);

// Whether `stream` is first-order FuMa (3 or 4 channels): the input every decoder reads as it
// comes, without an input stage.
inline bool IsFirstOrderFuma(const StreamDescription& stream)
{
    return stream.convention == InputConvention::Fuma && (stream.inChannels == 3 || stream.inChannels == 4);
}

// The first-order part of a stream as FuMa W, X, Y[, Z]: plane k of Count() is input channel
// source[k] times weight[k]. For FuMa input every weight is exactly 1, so the planes hold the
// samples' own values.
class FirstOrderPart {
public:
    // From a layout; Count() is 4 when the layout has height, else 3.
    void Build(const InputLayout& layout);
    uint32_t Count() const { return m_Count; }
    double Weight(uint32_t k) const { return m_Weight[k]; }
    // The input channel FuMa channel k (0 W .. 3 Z) is read from.
    uint32_t Source(uint32_t k) const { return m_Source[k]; }

    // Frames 0..n-1 of n interleaved frames of `channels` samples of `format` into
    // planes[0..Count()-1]. n <= 0 or format None does nothing.
    void Deinterleave(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                      double* const* planes) const;
    // Frames 0..n-1 of the input planes in[] into planes[0..Count()-1].
    void Pick(const double* const* in, double* const* planes, int32_t n) const;

private:
    uint32_t m_Count = 0;
    uint32_t m_Source[4] = {};
    double m_Weight[4] = {};
};

}  // namespace decoder
