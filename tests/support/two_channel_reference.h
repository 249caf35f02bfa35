// The decoder filter's two-channel outputs as the engine alone makes them, and a set of
// head-related responses a host might hand in: what the filter's tests hold its UHJ and
// headphone output to, natively and under Wine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/renderer.h"
#include "decoder/sample_format.h"
#include "decoder/uhj.h"
#include "durazodo/ambisonic_decoder.h"

namespace two_channel_test {

// Responses as a host hands them to the filter: per direction an azimuth and elevation, and
// `length` samples per ear, directions one after another.
struct HostResponses {
    uint32_t rate = 48000;
    uint32_t length = 0;
    std::vector<float> azimuth, elevation, left, right;

    uint32_t Directions() const { return static_cast<uint32_t>(azimuth.size()); }

    // The same measurements as the engine takes them.
    std::vector<decoder::DirectionalResponse> ForEngine() const
    {
        std::vector<decoder::DirectionalResponse> all(azimuth.size());
        for (size_t d = 0; d < all.size(); ++d) {
            all[d].azimuthDeg = azimuth[d];
            all[d].elevationDeg = elevation[d];
            all[d].left.assign(left.begin() + d * length, left.begin() + (d + 1) * length);
            all[d].right.assign(right.begin() + d * length, right.begin() + (d + 1) * length);
        }
        return all;
    }
};

// Twelve directions round the horizon every 30 degrees and four off it, each a decaying
// response after a delay of its own, the far ear later and weaker: every direction gives a
// different pair, and the set covers the sphere well enough for a first-order design.
inline HostResponses MakeResponses(uint32_t rate)
{
    HostResponses r;
    r.rate = rate;
    r.length = 48;
    for (int i = 0; i < 12; ++i) {
        r.azimuth.push_back(static_cast<float>(i * 30 - 180));
        r.elevation.push_back(0.0f);
    }
    const float offPlane[4][2] = {{0, 60}, {180, -60}, {90, 45}, {-90, -45}};
    for (const auto& d : offPlane) {
        r.azimuth.push_back(d[0]);
        r.elevation.push_back(d[1]);
    }
    for (uint32_t d = 0; d < r.Directions(); ++d) {
        const double side = std::sin(r.azimuth[d] * 3.141592653589793 / 180.0);  // +1 on the left
        for (uint32_t k = 0; k < r.length; ++k) {
            auto tap = [&](uint32_t delay, double gain) {
                return k < delay ? 0.0f
                                 : static_cast<float>(gain * std::exp(-0.15 * (k - delay)) *
                                                      std::cos(0.7 * (k - delay) + d));
            };
            r.left.push_back(tap(2 + d % 5 + (side < 0 ? 3 : 0), 0.8 + 0.2 * side));
            r.right.push_back(tap(2 + d % 5 + (side > 0 ? 3 : 0), 0.8 - 0.2 * side));
        }
    }
    return r;
}

// The two-channel outputs a host can choose, by name.
struct TwoChannelOutput {
    const char* name;
    LONG output;
};
inline constexpr TwoChannelOutput kTwoChannelOutputs[] = {
    {"UHJ", AMBISONIC_OUTPUT_UHJ_STEREO},
    {"headphones, built-in head", AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL},
    {"headphones, handed-in responses", AMBISONIC_OUTPUT_HEADPHONES_RESPONSES}};

// Hands `r` to the filter through its layout interface.
inline HRESULT HandIn(IAmbisonicDecoderLayout* layout, const HostResponses& r)
{
    return layout->SetHeadphoneResponses(r.Directions(), r.azimuth.data(), r.elevation.data(), r.length, r.rate,
                                         r.left.data(), r.right.data());
}

// Chooses `output`; for handed-in responses, by handing in `r`.
inline HRESULT Choose(IAmbisonicDecoderLayout* layout, LONG output, const HostResponses& r)
{
    return output == AMBISONIC_OUTPUT_HEADPHONES_RESPONSES ? HandIn(layout, r) : layout->SetOutput(output);
}

// What the engine alone makes of `blocks` of interleaved frames of `channels` samples of
// `format`, each block rendered in one call and converted back to 2-channel frames of the
// same format, for one of the two-channel outputs: UHJ, or headphones (the engine's headphone
// renderer) with the built-in head or with `responses`, at `rate`. For headphones one more block follows:
// the tail the decode still holds after the input, from its latency's worth of silence.
inline std::vector<std::vector<uint8_t>> EngineDecode(LONG output, const HostResponses& responses,
                                                      decoder::SampleFormat format, uint32_t channels, uint32_t rate,
                                                      const std::vector<std::vector<uint8_t>>& blocks)
{
    const bool uhj = output == AMBISONIC_OUTPUT_UHJ_STEREO;
    const size_t bytes = decoder::BytesPerSample(format);
    size_t longest = 1;
    for (const auto& b : blocks) longest = std::max(longest, b.size() / (bytes * channels));
    decoder::UhjEncoder encoder;
    decoder::MeasuredResponses measured;
    if (output == AMBISONIC_OUTPUT_HEADPHONES_RESPONSES) {
        // The filter designs the headphone decode from every response handed in.
        measured.responses = responses.ForEngine();
        measured.sampleRate = responses.rate;
    }
    const auto headphones = decoder::MakeRenderer(decoder::OutputKind::Headphones,
                                                  decoder::BuiltInRig(decoder::LayoutId::Octagon), &measured);
    const size_t lag = decoder::kBinauralLatencyFrames;
    const decoder::StreamDescription stream{channels, double(rate), static_cast<int32_t>(std::max(longest, lag))};
    std::vector<std::vector<uint8_t>> out;
    if (!uhj && headphones->Prepare(stream) != decoder::PrepareResult::Ok) return out;

    std::vector<std::vector<double>> in(channels, std::vector<double>(longest)), ears(2, std::vector<double>(longest));
    double* inPlanes[4] = {};
    for (uint32_t c = 0; c < channels; ++c) inPlanes[c] = in[c].data();
    double* earPlanes[2] = {ears[0].data(), ears[1].data()};
    for (const auto& block : blocks) {
        const auto frames = static_cast<int32_t>(block.size() / (bytes * channels));
        decoder::DeinterleaveBlock(block.data(), frames, format, channels, inPlanes);
        if (uhj) encoder.Process(inPlanes, earPlanes, frames);
        else headphones->RenderPlanes(inPlanes, earPlanes, frames);
        std::vector<uint8_t> rendered(static_cast<size_t>(frames) * 2 * bytes);
        decoder::InterleaveBlock(earPlanes, 2, frames, format, rendered.data());
        out.push_back(std::move(rendered));
    }
    if (!uhj) {
        const size_t tail = headphones->LagFrames();
        for (auto& plane : in) plane.assign(std::max(longest, tail), 0.0);
        for (auto& plane : ears) plane.resize(std::max(longest, tail));
        for (uint32_t c = 0; c < channels; ++c) inPlanes[c] = in[c].data();
        earPlanes[0] = ears[0].data();
        earPlanes[1] = ears[1].data();
        headphones->RenderPlanes(inPlanes, earPlanes, static_cast<int32_t>(tail));
        std::vector<uint8_t> rendered(tail * 2 * bytes);
        decoder::InterleaveBlock(earPlanes, 2, static_cast<int32_t>(tail), format, rendered.data());
        out.push_back(std::move(rendered));
    }
    return out;
}

}  // namespace two_channel_test
