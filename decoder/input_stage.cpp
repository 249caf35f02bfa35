#include "decoder/input_stage.h"

#include <cmath>

#include "decoder/channel_sets.h"
#include "decoder/spherical_harmonics.h"

namespace decoder {

namespace {

constexpr double kSqrt2 = 1.4142135623730951;

// The sixteen FuMa channels W X Y Z R S T U V K L M N O P Q: the ACN channel each carries and
// the factor from its FuMa weight to SN3D (FuMa scales each harmonic to a largest value of 1,
// W to 1/sqrt(2)).
struct FumaChannel {
    char name;
    uint8_t acn;
    double toSn3d;
};
// Written out (not computed) so that the table is constant data, ready before any static
// initialiser of another unit asks for it.
constexpr double kSqrt3Over2 = 0.8660254037844386;     // sqrt(3) / 2
constexpr double kSqrt32Over45 = 0.8432740427115678;   // sqrt(32 / 45)
constexpr double kSqrt5Over3 = 0.7453559924999299;     // sqrt(5) / 3
constexpr double kSqrt5Over8 = 0.7905694150420949;     // sqrt(5 / 8)
constexpr FumaChannel kFuma[16] = {
    {'W', 0, kSqrt2},
    {'X', 3, 1.0},
    {'Y', 1, 1.0},
    {'Z', 2, 1.0},
    {'R', 6, 1.0},
    {'S', 7, kSqrt3Over2},
    {'T', 5, kSqrt3Over2},
    {'U', 8, kSqrt3Over2},
    {'V', 4, kSqrt3Over2},
    {'K', 12, 1.0},
    {'L', 13, kSqrt32Over45},
    {'M', 11, kSqrt32Over45},
    {'N', 14, kSqrt5Over3},
    {'O', 10, kSqrt5Over3},
    {'P', 15, kSqrt5Over8},
    {'Q', 9, kSqrt5Over8},
};

// The FuMa letters of each channel set of channel_sets.h.
const char* FumaLetters(const FumaChannelSet& set)
{
    switch (set.channels) {
    case 3: return "WXY";
    case 4: return "WXYZ";
    case 5: return "WXYUV";
    case 6: return "WXYZUV";
    case 9: return "WXYZRSTUV";
    case 7: return "WXYUVPQ";
    case 8: return "WXYZUVPQ";
    case 11: return "WXYZRSTUVPQ";
    case 16: return "WXYZRSTUVKLMNOPQ";
    default: return nullptr;
    }
}

}  // namespace

uint32_t InputLayout::ChannelsUpTo(int n) const
{
    uint32_t c = 0;
    while (c < channels && OrderOfChannel(channel[c].acn) <= n) ++c;
    return c;
}

bool DescribeInput(InputConvention convention, uint32_t channels, InputLayout& out)
{
    InputLayout layout;
    layout.convention = convention;
    layout.channels = channels;
    if (convention == InputConvention::Fuma) {
        const FumaChannelSet* set = FumaChannelSetOf(channels);
        const char* letters = set ? FumaLetters(*set) : nullptr;
        if (!letters) return false;
        for (uint32_t c = 0; c < channels; ++c)
            for (const FumaChannel& f : kFuma)
                if (f.name == letters[c]) layout.channel[c] = {f.acn, f.toSn3d};
        layout.order = static_cast<int>(set->order);
        layout.height = set->height;
    } else if (convention == InputConvention::Ambix || convention == InputConvention::N3d) {
        int order = 1;
        while (order < kMaxAmbisonicOrder && AmbisonicChannels(order) < channels) ++order;
        if (AmbisonicChannels(order) != channels) return false;
        for (uint32_t c = 0; c < channels; ++c) {
            const int n = OrderOfChannel(c);
            const double weight = convention == InputConvention::N3d ? 1.0 / std::sqrt(2.0 * n + 1.0) : 1.0;
            layout.channel[c] = {static_cast<uint8_t>(c), weight};
        }
        layout.order = order;
        layout.height = true;
    } else {
        return false;
    }
    layout.mixed = AmbisonicChannels(layout.order) != channels;
    out = layout;
    return true;
}

void FirstOrderPart::Build(const InputLayout& layout)
{
    // FuMa W, X, Y, Z are SN3D's channels 0, 3, 1, 2, W taken 3 dB down.
    constexpr uint8_t kAcn[4] = {0, 3, 1, 2};
    m_Count = layout.height ? 4 : 3;
    for (uint32_t k = 0; k < m_Count; ++k)
        for (uint32_t c = 0; c < layout.channels; ++c)
            if (layout.channel[c].acn == kAcn[k]) {
                m_Source[k] = c;
                // x / x is exactly 1: FuMa W comes through unscaled.
                m_Weight[k] = k == 0 ? layout.channel[c].weight / kSqrt2 : layout.channel[c].weight;
            }
}

void FirstOrderPart::Deinterleave(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                                  double* const* planes) const
{
    WithFormat(format, [&](auto traits) {
        using F = decltype(traits);
        for (int32_t f = 0; f < n; ++f) {
            const uint8_t* frame = src + static_cast<size_t>(f) * channels * F::kBytes;
            for (uint32_t k = 0; k < m_Count; ++k) planes[k][f] = F::ToDouble(frame + m_Source[k] * F::kBytes) * m_Weight[k];
        }
    });
}

void FirstOrderPart::Pick(const double* const* in, double* const* planes, int32_t n) const
{
    for (uint32_t k = 0; k < m_Count; ++k)
        for (int32_t f = 0; f < n; ++f) planes[k][f] = in[m_Source[k]][f] * m_Weight[k];
}

}  // namespace decoder
