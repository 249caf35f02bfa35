// The decoder filter's speaker output as the engine alone makes it for a designed rig: what the
// filter's tests hold presets, handed-in speakers and a scene turned while streaming to,
// natively and under Wine.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "decoder/renderer.h"
#include "decoder/sample_format.h"

namespace speaker_test {

// What the engine's speaker renderer for `rig` (prepared turned by `initial`) makes of `blocks`
// of interleaved frames of `channels` samples of `format` at `rate`, each block rendered in one
// call after `beforeBlock(i, renderer)` (where a test turns the scene as the filter was told
// to), then the tail it owes (distance compensation): the whole output as one run of bytes.
inline std::vector<uint8_t> EngineSpeakerDecode(
    const decoder::Rig& rig, bool silentLfe, decoder::SampleFormat format, uint32_t channels, uint32_t rate,
    const std::vector<std::vector<uint8_t>>& blocks, const decoder::SceneRotation& initial = {},
    const std::function<void(size_t, decoder::Renderer&)>& beforeBlock = {})
{
    const auto renderer = decoder::MakeSpeakerRenderer(rig, decoder::SpeakerOptions{silentLfe});
    if (!renderer) return {};
    renderer->SetRotation(initial);
    if (renderer->Prepare({channels, double(rate), 1024}) != decoder::PrepareResult::Ok) return {};
    const size_t bytes = decoder::BytesPerSample(format);
    const size_t outFrame = bytes * renderer->OutputChannels();
    std::vector<uint8_t> out;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (beforeBlock) beforeBlock(i, *renderer);
        const size_t frames = blocks[i].size() / (bytes * channels);
        std::vector<uint8_t> block(frames * outFrame);
        renderer->Render(format, blocks[i].data(), block.data(), frames);
        out.insert(out.end(), block.begin(), block.end());
    }
    std::vector<uint8_t> tail(renderer->TailFrames() * outFrame);
    renderer->RenderTail(format, tail.data(), renderer->TailFrames());
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

}  // namespace speaker_test
