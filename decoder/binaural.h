// Headphone decoding: B-Format to virtual loudspeakers, each heard through a pair of
// head-related impulse responses, summed into two ear signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoder/allpass.h"
#include "decoder/block_convolver.h"
#include "decoder/coefficients.h"
#include "decoder/kernels/kernels.h"
#include "decoder/rig.h"
#include "decoder/stream.h"

namespace decoder {

// The virtual loudspeakers the headphone decode uses unless told otherwise: the regular
// octagon (a speaker straight ahead). A first-order decode to a regular
// polygon of more than four speakers images equally well in every direction, where the
// square's phantom images pull towards its corners; and because the speaker gains are folded
// into the ear filters at set-up, eight speakers cost no more per sample than four. Its
// speakers at 0 and 180 degrees also sit on the median plane, where both ears hear the same.
constexpr LayoutId kDefaultHeadphoneLayout = LayoutId::Octagon;

// Sample rates a headphone decode can be set up for, in Hz.
constexpr double kMinBinauralRate = 1000.0;
constexpr double kMaxBinauralRate = 768000.0;

// Longest head-related response a caller may hand in, in frames.
constexpr size_t kMaxResponseFrames = 16384;
// How far the ears lag the input, in frames: one partition of the block convolution (5.3 ms
// at 48 kHz); 256 ran fastest of 128, 256 and 512.
constexpr int32_t kBinauralLatencyFrames = 256;

// A pair of head-related impulse responses measured for one direction (degrees; azimuth from
// the front towards the left, elevation upwards), at the stream's sample rate. left and right
// have the same length, 1..kMaxResponseFrames, and hold finite values.
struct DirectionalResponse {
    double azimuthDeg = 0.0;
    double elevationDeg = 0.0;
    std::vector<double> left;
    std::vector<double> right;
};

// Whether a response pair can be used: finite direction, left and right of one length,
// 1..kMaxResponseFrames, every sample finite.
bool ResponseUsable(const DirectionalResponse& r);

// A direction in degrees.
struct Direction {
    double azimuthDeg;
    double elevationDeg;
};

// The directions of `rig`'s speakers, in speaker order.
std::vector<Direction> SpeakerDirections(const Rig& rig);

// Index of the direction in `candidates` (count > 0) nearest `target` on the sphere; the first
// of equally near ones.
size_t NearestDirection(const Direction& target, const Direction* candidates, size_t count);

// What a headphone decode renders through, besides the stream: the virtual speakers (a rig
// with a gain table, kDefaultHeadphoneLayout's for null) and the measured responses to choose
// from, the nearest for each virtual speaker; none (null or count 0) renders the built-in
// spherical head at the speakers' directions instead. The stream's rate must be finite and
// within kMinBinauralRate..kMaxBinauralRate, its largest block 1..(1 << 24) frames.
struct BinauralSettings {
    const Rig* rig = nullptr;
    const DirectionalResponse* responses = nullptr;
    size_t responseCount = 0;
};

// The responses a preparation uses: per virtual speaker the chosen left/right pair, the
// speaker gain table and the level normalisation (so that at low frequency a source reaches
// each ear at its level in the B-Format signal, whatever the speaker count). Validates the
// stream and the settings.
struct VirtualSpeakers {
    DecoderCoefficients coefficients{};
    uint32_t speakers = 0;
    std::vector<std::vector<double>> left, right;  // [speaker][frame]
    double normalisation = 1.0;
};
PrepareResult PrepareVirtualSpeakers(const StreamDescription& stream, const BinauralSettings& settings,
                                     VirtualSpeakers& out);

// The headphone decode. W, X and Y are shelved as in the speaker decode; everything after
// the shelves (speaker gains, responses, normalisation, the sum at each ear) is linear and
// fixed, so it is folded at set-up into one filter per input channel and ear, and the stream
// runs 3 or 4 channels × 2 ears of FFT block convolution however many speakers there are (Z is
// dropped when the layout does not use it). The shelves run through the fastest shelf kernel
// of decoder/kernels/. The ears lag the input by LatencyFrames(). The result equals the plain
// reference (the speaker decode into virtual speaker feeds, each convolved sample by sample)
// shifted by that latency, to within 2e-6 of the output's peak (the convolution runs in single
// precision: about 2.6e-7 in practice, a few units in a float's last place), and does not
// depend on how the stream is split into blocks.
//
// The owner calls Prepare() at format negotiation (allocates) and Process() per block on the
// streaming thread (allocates nothing); no locking of its own, one thread at a time.
class BinauralDecoder {
public:
    // All or nothing: on any result but Ok the previous preparation stays in force. Never
    // throws.
    PrepareResult Prepare(const StreamDescription& stream, const BinauralSettings& settings);

    // Reads n frames of the inChannels planes in[] (W, X, Y[, Z], left untouched) and writes n
    // frames of out[0] (left ear) and out[1] (right ear). Blocks longer than maxBlockFrames
    // are taken in pieces; the result never depends on how the stream is split. Does nothing
    // before a successful Prepare() or for n <= 0.
    void Process(const double* const* in, double* const* out, int32_t n);

    // Clears the shelves and the convolution memory, as after Prepare().
    void Reset();

    bool IsReady() const { return m_Ready; }
    int32_t LatencyFrames() const { return static_cast<int32_t>(m_Convolver.Latency()); }
    // Input channels the convolution runs on (3 when Z is unused, else 4).
    size_t ConvolvedChannels() const { return m_Convolver.Inputs(); }

private:
    friend void UseShelfKernel(BinauralDecoder& decoder, kernels::ShelfKernel kernel);

    BlockConvolver m_Convolver;
    kernels::ShelfBank m_Shelves{};  // W, X, Y: coefficients, gains and memory
    kernels::ShelfKernel m_ShelfKernel = nullptr;
    std::vector<double> m_Shelved;  // [channel][maxBlockFrames]
    int32_t m_Capacity = 0;
    bool m_Ready = false;
};

}  // namespace decoder
