// Binaural decoders designed from head-related responses: one FIR filter per Ambisonic channel
// and ear, for full-sphere input of order 1..kMaxAmbisonicOrder.
//
// Input convention: ambiX (channels in ACN order, SN3D scaling, W carries a plane wave of
// level 1 at level 1). A caller with first-order FuMa B-Format maps it first: W·sqrt(2), then
// the channels in the order W, Y, Z, X.
//
// Method (magnitude least-squares): the responses' spectra are fitted over the measured
// directions, each direction weighted by the share of the sphere nearest to it (so uneven
// grids count each region once), with a small Tikhonov regularisation. Below
// kBinauralDesignCutoffHz the fit is of the complex responses, which keeps the interaural
// time differences; above it only the magnitudes are fitted, each direction's phase taken
// from the previous bin's decode and advanced by the responses' mean arrival delay, where an
// order-limited decode cannot follow the phase of the responses anyway and the ear hears
// level differences, not phase. Last, the decode's
// diffuse-field response (power over all directions, both ears) is equalised to the measured
// set's, smoothed over a third of an octave and with the boost limited to
// kBinauralDesignMaxBoostDb, and the filters are cut to their length with a smooth fade.
//
// A source of level 1 encoded at a direction then reaches each ear about as the nearest
// measured response would render it. The filters are the whole decode: no shelf filters go
// before them. Design runs once, at negotiation: it allocates, never
// throws, and all or nothing; the result is plain data for a BlockConvolver with (order+1)^2
// inputs and 2 outputs.
#pragma once

#include <cstddef>
#include <vector>

#include "decoder/binaural.h"

namespace decoder {

// Below this frequency the design fits the complex responses, above it their magnitudes.
// 1.5 kHz: interaural time differences matter below it; above it a first-order decode
// fitted in phase loses most of its level towards the sides.
constexpr double kBinauralDesignCutoffHz = 1500.0;
// Largest boost the diffuse-field equalisation applies.
constexpr double kBinauralDesignMaxBoostDb = 6.0;
// Most measured directions a design takes.
constexpr size_t kMaxDesignResponses = 16384;

struct BinauralDesignSettings {
    double sampleRate = 48000.0;  // of the responses and the stream, kMinBinauralRate..kMaxBinauralRate
    int order = 1;                // 1..kMaxAmbisonicOrder
    // Where the fit turns from complex responses to magnitudes, in Hz (finite, >= 0).
    double cutoffHz = kBinauralDesignCutoffHz;
    // The measured responses, at sampleRate; at least (order + 1)^2 of them, each usable as
    // DirectionalResponse says (lengths may differ). None (null or count 0) designs from the
    // built-in spherical head sampled by SampleSphericalHead().
    const DirectionalResponse* responses = nullptr;
    size_t responseCount = 0;
};

// The designed filters: filters[channel][ear] (ear 0 left, 1 right), each `taps` long, for the
// (order + 1)^2 ambiX channels: the shape BlockConvolver::Setup takes.
struct BinauralDesign {
    int order = 0;
    size_t channels = 0;
    size_t taps = 0;
    std::vector<std::vector<std::vector<double>>> filters;
};

enum class BinauralDesignResult { Ok, BadSampleRate, BadOrder, BadCutoff, BadResponses, TooFewResponses, OutOfMemory };

// Length of the designed filters for responses `responseFrames` long: the responses' length
// rounded up to a multiple of 64 and a quarter of it more, where the fade runs and where the
// spread in time of the magnitude fit (its phase no longer that of one response) decays. The
// cut drops under 0.3% of the designed filters' energy (orders 1 to 5, a 512-frame dummy-head
// set at 44.1 kHz and the built-in head at 48 kHz).
size_t BinauralDesignTaps(size_t responseFrames);

// Designs the decoder. All or nothing: on any result but Ok, `out` is as before. OutOfMemory
// also refuses a set whose spectra (directions x ears x bins) would pass 1 GiB.
BinauralDesignResult DesignBinauralDecoder(const BinauralDesignSettings& settings, BinauralDesign& out);

// The built-in spherical head (head_model.h) rendered at `sampleRate` for a dense grid of
// directions: rings every 5 degrees of elevation from -90 to 90, each with a multiple of four
// azimuths about 5 degrees apart starting straight ahead (so every 30 degrees of the horizon and
// azimuths 0 and 90 at elevations -30..60 are on the grid), 1 direction at each pole.
// Needs a sampleRate that RenderSphericalHead takes. Throws std::bad_alloc.
std::vector<DirectionalResponse> SampleSphericalHead(double sampleRate);

}  // namespace decoder
