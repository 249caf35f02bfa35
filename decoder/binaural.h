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
#include "decoder/decoder_state.h"

namespace decoder {

// The virtual loudspeakers the headphone decode uses unless told otherwise: the regular
// octagon (decode type 4, a speaker straight ahead). A first-order decode to a regular
// polygon of more than four speakers images equally well in every direction, where the
// square's phantom images pull towards its corners; and because the speaker gains are folded
// into the ear filters at set-up, eight speakers cost no more per sample than four. Its
// speakers at 0 and 180 degrees also sit on the median plane, where both ears hear the same.
constexpr int8_t kDefaultHeadphoneLayout = 4;

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

// A direction in degrees.
struct Direction {
    double azimuthDeg;
    double elevationDeg;
};

// The directions of the speakers of `decodeType` (0..6), in speaker order; empty for any
// other value. The irregular layout (type 1) takes its directions from its gain table.
std::vector<Direction> SpeakerDirections(int8_t decodeType);

// Index of the direction in `candidates` (count > 0) nearest `target` on the sphere; the first
// of equally near ones.
size_t NearestDirection(const Direction& target, const Direction* candidates, size_t count);

// What a headphone decode is set up with, at format negotiation.
struct BinauralSettings {
    double sampleRate = 48000.0;   // finite, kMinBinauralRate..kMaxBinauralRate
    uint32_t inChannels = 4;       // 3 (W, X, Y) or 4 (W, X, Y, Z)
    int32_t maxBlockFrames = 0;    // 1..(1 << 24): frames of the largest block Process() is given
    int8_t decodeType = kDefaultHeadphoneLayout;  // virtual speaker layout, 0..6
    // Measured responses to choose from, the nearest for each virtual speaker; none (null or
    // count 0) renders the built-in spherical head at the speakers' directions instead.
    const DirectionalResponse* responses = nullptr;
    size_t responseCount = 0;
};

enum class BinauralSetupResult { Ok, BadSampleRate, BadChannels, BadBlockFrames, BadLayout, BadResponses, OutOfMemory };

// The responses a set-up uses: per virtual speaker the chosen left/right pair, the speaker
// gain table and the level normalisation (so that at low frequency a source reaches each ear
// at its level in the B-Format signal, whatever the speaker count). Validates the settings.
struct VirtualSpeakers {
    DecoderCoefficients coefficients{};
    uint32_t speakers = 0;
    std::vector<std::vector<double>> left, right;  // [speaker][frame]
    double normalisation = 1.0;
};
BinauralSetupResult PrepareVirtualSpeakers(const BinauralSettings& settings, VirtualSpeakers& out);

// The headphone decode. W, X and Y are shelved as in the speaker decode; everything after
// the shelves (speaker gains, responses, normalisation, the sum at each ear) is linear and
// fixed, so it is folded at set-up into one filter per input channel and ear, and the stream
// runs 3 or 4 channels × 2 ears of FFT block convolution however many speakers there are (Z is
// dropped when the layout does not use it). The ears lag the input by LatencyFrames(). The
// result equals BinauralReference's, shifted by that latency, to within 1e-10 for signals of
// peak 1 (transform round-off; about 1e-13 in practice), and does not depend on how the
// stream is split into blocks.
//
// The owner calls Setup() at format negotiation (allocates) and Process() per block on the
// streaming thread (allocates nothing); no locking of its own, one thread at a time.
class BinauralDecoder {
public:
    // All or nothing: on any result but Ok the previous set-up stays in force. Never throws.
    BinauralSetupResult Setup(const BinauralSettings& settings);

    // Reads n frames of the inChannels planes in[] (W, X, Y[, Z], left untouched) and writes n
    // frames of out[0] (left ear) and out[1] (right ear). Blocks longer than maxBlockFrames
    // are taken in pieces; the result never depends on how the stream is split. Does nothing
    // before a successful Setup() or for n <= 0.
    void Process(const double* const* in, double* const* out, int32_t n);

    // Clears the shelves and the convolution memory, as after Setup().
    void Reset();

    bool IsReady() const { return m_Ready; }
    int32_t LatencyFrames() const { return static_cast<int32_t>(m_Convolver.Latency()); }
    // Input channels the convolution runs on (3 when Z is unused, else 4).
    size_t ConvolvedChannels() const { return m_Convolver.Inputs(); }

private:
    BlockConvolver m_Convolver;
    std::unique_ptr<AllPass> m_pShelfW, m_pShelfX, m_pShelfY;
    std::vector<double> m_Shelved;  // [channel][maxBlockFrames]
    int32_t m_Capacity = 0;
    uint32_t m_InChannels = 0;
    double m_LowGain = 1.0, m_HighGain = 1.0;
    bool m_Ready = false;
};

// The plain reference for BinauralDecoder: the speaker decode of DecoderState into virtual
// speaker feeds, each convolved sample by sample with its ear responses, summed and
// normalised. No latency. Same ownership and threading as BinauralDecoder; the stream path
// allocates nothing.
class BinauralReference {
public:
    BinauralSetupResult Setup(const BinauralSettings& settings);
    void Process(const double* const* in, double* const* out, int32_t n);

private:
    DecoderState m_State;
    VirtualSpeakers m_Speakers;
    std::vector<std::vector<double>> m_History;  // [speaker]: past feeds, newest last
    size_t m_Taps = 0;
    int32_t m_Capacity = 0;
};

}  // namespace decoder
