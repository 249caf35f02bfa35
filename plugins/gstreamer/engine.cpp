#include "plugins/gstreamer/engine.h"

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "decoder/binaural.h"
#include "decoder/channel_sets.h"
#include "decoder/renderer.h"
#include "decoder/rig.h"
#include "tools/bformat-decode/sofa_responses.h"

namespace gstbformat {

namespace {

// Frames rendered at a time through the scratch buffer of the ambiX conversion, and the block
// size the engine is prepared for.
constexpr size_t kBlockFrames = 4096;

constexpr double kInverseSqrt2 = 0.70710678118654752440;

}  // namespace

struct HeadphoneResponses {
    std::vector<decoder::DirectionalResponse> responses;
};

unsigned SampleBytes(SampleFormat format) { return decoder::BytesPerSample(format); }

const std::vector<RigInfo>& Rigs()
{
    static const std::vector<RigInfo> rigs = [] {
        std::vector<RigInfo> out;
        for (int type = 0; type < decoder::kLayoutCount; ++type) {
            const decoder::Rig& layout = decoder::BuiltInRig(*decoder::LayoutIdOf(type));
            RigInfo rig{layout.name, layout.summary, {}, {}};
            for (const decoder::Speaker& s : layout.speakers) rig.speakers.push_back({s.azimuth, s.elevation});
            out.push_back(rig);
        }
        for (const decoder::Rig& preset : decoder::PresetRigs()) {
            RigInfo rig{preset.name, preset.summary, {}, {}};
            for (const decoder::Speaker& s : preset.speakers) rig.speakers.push_back({s.azimuth, s.elevation});
            // A preset's channels follow its mask's bits, lowest first.
            for (uint32_t bit = 1; bit != 0; bit <<= 1)
                if (preset.channelMask & bit) rig.channelBits.push_back(bit);
            if (rig.channelBits.size() == rig.speakers.size()) out.push_back(rig);
        }
        return out;
    }();
    return rigs;
}

int FindRig(const std::string& name)
{
    const std::vector<RigInfo>& rigs = Rigs();
    for (size_t i = 0; i < rigs.size(); ++i) {
        if (rigs[i].name == name) return static_cast<int>(i);
    }
    char* end = nullptr;
    const long number = std::strtol(name.c_str(), &end, 10);
    if (!name.empty() && *end == '\0' && number >= 0 && number < static_cast<long>(rigs.size())) {
        return static_cast<int>(number);
    }
    return -1;
}

bool FirstOrderPart(Convention convention, unsigned channels, unsigned& order, unsigned& firstOrder)
{
    if (convention == Convention::FuMa) {
        const decoder::FumaChannelSet* set = decoder::FumaChannelSetOf(channels);
        if (!set) return false;
        order = set->order;
        firstOrder = set->height ? 4 : 3;
        return true;
    }
    for (unsigned n = 1; n <= 7; ++n) {
        if ((n + 1) * (n + 1) == channels) {
            order = n;
            firstOrder = 4;
            return true;
        }
    }
    return false;
}

SampleFormat RenderFormat(SampleFormat input, Convention convention)
{
    if (convention == Convention::FuMa || input == SampleFormat::None) return input;
    return input == SampleFormat::Float32 ? SampleFormat::Float32 : SampleFormat::Pcm32;
}

std::shared_ptr<const HeadphoneResponses> LoadHeadphoneResponses(const std::string& path, double sampleRate,
                                                                 std::string& error)
{
    auto loaded = std::make_shared<HeadphoneResponses>();
    if (!bformat::LoadSofaSet(path, sampleRate, loaded->responses, error)) return nullptr;
    return loaded;
}

struct Renderer::State {
    StreamSetup setup;
    unsigned firstOrder = 0;
    unsigned sources[4] = {0, 1, 2, 3};  // input channel of W, X, Y, Z
    double wGain = 1.0;
    SampleFormat format = SampleFormat::None;
    unsigned outChannels = 0;
    std::unique_ptr<decoder::Renderer> renderer;
    std::vector<uint8_t> scratch;  // kBlockFrames frames of the first-order part

    // Builds the engine's decode from `setup`; false with `error` set when it cannot.
    bool Build(std::string& error);
    // Frames first..first+n-1 of the input as the first-order part in FuMa order and scale, in
    // `format`, into scratch.
    void Extract(const uint8_t* src, size_t n);
};

bool Renderer::State::Build(std::string& error)
{
    const decoder::OutputKind kind = setup.output == OutputKind::Speakers ? decoder::OutputKind::Speakers
                                     : setup.output == OutputKind::Uhj    ? decoder::OutputKind::Uhj
                                                                          : decoder::OutputKind::Headphones;
    try {
        decoder::MeasuredResponses measured;
        if (setup.responses) {
            measured.responses = setup.responses->responses;
            measured.sampleRate = setup.sampleRate;
        }
        renderer = decoder::MakeRenderer(kind, *decoder::RigNamed(Rigs()[setup.rig].name),
                                         setup.responses ? &measured : nullptr);
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
    if (!renderer) {
        error = "head-related responses the decode cannot use";
        return false;
    }
    if (!renderer->SetRotation({setup.rotation.yaw, setup.rotation.pitch, setup.rotation.roll})) {
        error = "a rotation that is not a number";
        return false;
    }
    outChannels = renderer->OutputChannels();
    switch (renderer->Prepare({firstOrder, setup.sampleRate, static_cast<int32_t>(kBlockFrames)})) {
    case decoder::PrepareResult::Ok: return true;
    case decoder::PrepareResult::BadSampleRate: error = "a sample rate the decoder cannot run at"; return false;
    case decoder::PrepareResult::BadResponses: error = "head-related responses the decode cannot use"; return false;
    case decoder::PrepareResult::OutOfMemory: error = "out of memory"; return false;
    default: error = "a stream the decoder cannot run"; return false;
    }
}

void Renderer::State::Extract(const uint8_t* src, size_t n)
{
    const size_t inBytes = decoder::BytesPerSample(setup.format);
    const size_t inFrame = inBytes * setup.channels;
    uint8_t* out = scratch.data();
    if (setup.convention == Convention::FuMa) {
        // W, X, Y (and Z) are the first channels, unchanged.
        for (size_t f = 0; f < n; ++f, out += firstOrder * inBytes) {
            std::memcpy(out, src + f * inFrame, firstOrder * inBytes);
        }
        return;
    }
    decoder::WithFormat(setup.format, [&](auto traits) {
        using F = decltype(traits);
        for (size_t f = 0; f < n; ++f) {
            const uint8_t* frame = src + f * inFrame;
            for (unsigned c = 0; c < firstOrder; ++c, out += 4) {
                const double v = F::ToDouble(frame + sources[c] * inBytes);
                if (F::kFormat == SampleFormat::Float32) {
                    decoder::Float32Format::FromDouble(c == 0 ? v * wGain : v, out);
                    continue;
                }
                // Integers at the full 32-bit scale; W to the nearest step after rescaling.
                const double full = F::kFormat == SampleFormat::Pcm16 ? v * 65536.0 : v;
                const double w = c == 0 ? static_cast<double>(std::lrint(full * wGain)) : full;
                decoder::Pcm32Format::FromDouble(w, out);
            }
        }
    });
}

Renderer::Renderer() = default;
Renderer::~Renderer() = default;

bool Renderer::Prepare(const StreamSetup& setup, std::string& error)
{
    auto state = std::make_unique<State>();
    state->setup = setup;
    unsigned order = 0;
    if (decoder::BytesPerSample(setup.format) == 0) {
        error = "a sample format the decoder does not take";
        return false;
    }
    if (!FirstOrderPart(setup.convention, setup.channels, order, state->firstOrder)) {
        error = "a channel count that is no B-Format channel set";
        return false;
    }
    if (setup.output == OutputKind::Speakers && (setup.rig < 0 || setup.rig >= static_cast<int>(Rigs().size()))) {
        error = "no such rig";
        return false;
    }
    if (setup.convention == Convention::AmbiX) {
        // ACN order W, Y, Z, X; SN3D's W is sqrt(2) times FuMa's.
        const unsigned acn[4] = {0, 3, 1, 2};
        std::copy(acn, acn + 4, state->sources);
        state->wGain = kInverseSqrt2;
    }
    state->format = RenderFormat(setup.format, setup.convention);
    if (!state->Build(error)) return false;
    const bool direct = setup.convention == Convention::FuMa && setup.channels == state->firstOrder;
    if (!direct) state->scratch.resize(kBlockFrames * state->firstOrder * decoder::BytesPerSample(state->format));
    m_state = std::move(state);
    return true;
}

void Renderer::Reset()
{
    if (m_state) m_state->renderer->Reset();
}

void Renderer::SetRotation(const Rotation& rotation)
{
    if (m_state) m_state->renderer->SetRotation({rotation.yaw, rotation.pitch, rotation.roll});
}

bool Renderer::IsReady() const { return m_state != nullptr; }
unsigned Renderer::OutChannels() const { return m_state ? m_state->outChannels : 0; }
SampleFormat Renderer::Format() const { return m_state ? m_state->format : SampleFormat::None; }

size_t Renderer::LatencyFrames() const
{
    return m_state ? m_state->renderer->LagFrames() : 0;
}

void Renderer::Render(const uint8_t* src, uint8_t* dst, size_t frames)
{
    if (!m_state) return;
    State& s = *m_state;
    if (s.scratch.empty()) {
        s.renderer->Render(s.format, src, dst, frames);
        return;
    }
    const size_t inFrame = decoder::BytesPerSample(s.setup.format) * s.setup.channels;
    const size_t outFrame = decoder::BytesPerSample(s.format) * s.outChannels;
    for (size_t done = 0; done < frames;) {
        const size_t n = std::min(kBlockFrames, frames - done);
        s.Extract(src + done * inFrame, n);
        s.renderer->Render(s.format, s.scratch.data(), dst + done * outFrame, n);
        done += n;
    }
}

void Renderer::RenderTail(uint8_t* dst, size_t frames)
{
    if (m_state) m_state->renderer->RenderTail(m_state->format, dst, frames);
}

}  // namespace gstbformat
