// The decoder filter's two-channel outputs as the engine alone makes them, and a set of
// head-related responses a host might hand in: what the filter's tests hold its UHJ and
// headphone output to, natively and under Wine.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/sample_format.h"
#include "decoder/uhj.h"

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

// Twelve directions round the horizon every 30 degrees (some of them nearer a speaker of the
// octagon than others) and four off it, each a decaying response after a delay of its own,
// the far ear later and weaker: every virtual speaker hears a different pair.
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

// What the engine alone makes of `blocks` of interleaved frames of `channels` samples of
// `format`, each block rendered in one call and converted back to 2-channel frames of the
// same format: UHJ when `uhj`, else headphones over the octagon with `responses` (null: the
// built-in head) at `rate`.
inline std::vector<std::vector<uint8_t>> EngineDecode(bool uhj, const HostResponses* responses,
                                                      decoder::SampleFormat format, uint32_t channels, uint32_t rate,
                                                      const std::vector<std::vector<uint8_t>>& blocks)
{
    const size_t bytes = decoder::BytesPerSample(format);
    size_t longest = 1;
    for (const auto& b : blocks) longest = std::max(longest, b.size() / (bytes * channels));
    decoder::UhjEncoder encoder;
    decoder::BinauralDecoder headphones;
    const std::vector<decoder::DirectionalResponse> measured =
        responses ? responses->ForEngine() : std::vector<decoder::DirectionalResponse>{};
    decoder::BinauralSettings settings;
    settings.sampleRate = rate;
    settings.inChannels = channels;
    settings.maxBlockFrames = static_cast<int32_t>(longest);
    settings.responses = measured.data();
    settings.responseCount = measured.size();
    std::vector<std::vector<uint8_t>> out;
    if (!uhj && headphones.Setup(settings) != decoder::BinauralSetupResult::Ok) return out;

    std::vector<std::vector<double>> in(channels, std::vector<double>(longest)), ears(2, std::vector<double>(longest));
    double* inPlanes[4] = {};
    for (uint32_t c = 0; c < channels; ++c) inPlanes[c] = in[c].data();
    double* earPlanes[2] = {ears[0].data(), ears[1].data()};
    for (const auto& block : blocks) {
        const auto frames = static_cast<int32_t>(block.size() / (bytes * channels));
        decoder::DeinterleaveBlock(block.data(), frames, format, channels, inPlanes);
        if (uhj) encoder.Process(inPlanes, earPlanes, frames);
        else headphones.Process(inPlanes, earPlanes, frames);
        std::vector<uint8_t> rendered(static_cast<size_t>(frames) * 2 * bytes);
        decoder::InterleaveBlock(earPlanes, 2, frames, format, rendered.data());
        out.push_back(std::move(rendered));
    }
    return out;
}

}  // namespace two_channel_test
