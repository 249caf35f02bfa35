// Frames per second of the decoder core: the block decode alone, and the whole path from
// interleaved input samples to interleaved speaker samples (deinterleave, decode,
// interleave), for every sample format, with 4 and 3 input channels, to 4, 6 and 8 speakers,
// on the plain loops (Scalar), the 128-bit kernel (Sse2) and the kernel the state chose when
// it was allocated (Fast, the best this processor runs) in the same run.
//
//   cmake --preset native && cmake --build --preset native --target decoder_bench
//   build/native/bench/decoder_bench [--benchmark_filter=Whole/Pcm16/4ch/4spk]
//
// Input is random audio at half of full scale (real B-Format leaves that much headroom; at
// full scale some mixed sums leave the integer range and saturate), decoded with decode type
// 0 (square), 2 (hexagon) or 4 (octagon) at 48 kHz in blocks of 4096 frames.
//
// Turned/...: the cost of turning the scene, through the renderer a host runs: the same decode
// with no rotation and with one in force (yaw, pitch and roll, the turn already complete, so
// each block runs the turned path at its steady cost), for the square, hexagon, octagon and
// two-layer layouts, the designed 7.1.4 rig, UHJ and the built-in headphones, 16-bit and
// float, first-order input with Z. A steady turn is folded into the speaker decodes (into the
// gains, with Z shelved too on the seven layouts when the turn tilts it); the Unfolded rows
// turn the input through planes instead, as every block did before the fold and as the block
// that moves a turn still does.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decoder/decoder_testing.h"
#include "decoder/renderer.h"
#include "decoder/rig.h"

namespace {

using namespace decoder;

constexpr int32_t kBlockFrames = 4096;

struct Setup {
    DecoderState state;
    std::vector<uint8_t> src;
    std::vector<uint8_t> dst;
};

// The kernel a row runs: one instruction set, or the one Prepare() chose.
struct Kernel {
    const char* name;
    bool chosen;
    InstructionSet set;
};

// Fills `s` with a ready decoder for `decodeType` running `kernel`, and one block of random
// input in `format`.
bool Prepare(Setup& s, SampleFormat format, uint32_t inChannels, int8_t decodeType, const Kernel& kernel)
{
    s.state = PreparedDecoder(decodeType, {inChannels, 48000.0, kBlockFrames});
    if (!s.state.IsReady()) return false;
    if (!kernel.chosen && !UseInstructionSet(s.state, kernel.set)) return false;
    const size_t bytes = BytesPerSample(format);
    const size_t samples = static_cast<size_t>(kBlockFrames) * inChannels;
    s.src.resize(samples * bytes);
    s.dst.resize(static_cast<size_t>(kBlockFrames) * s.state.m_nSpeakers * bytes);
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> half(-0.5, 0.5);
    for (size_t i = 0; i < samples; ++i) {
        uint8_t* p = s.src.data() + i * bytes;
        switch (format) {
        case SampleFormat::Pcm16: Pcm16Format::FromDouble(half(rng) * 65536.0, p); break;
        case SampleFormat::Pcm24: Pcm24Format::FromDouble(half(rng) * 4294967296.0, p); break;
        case SampleFormat::Pcm32: Pcm32Format::FromDouble(half(rng) * 4294967296.0, p); break;
        case SampleFormat::Float32: Float32Format::FromDouble(half(rng) * 2.0, p); break;
        default: break;
        }
    }
    return true;
}

void ReportFrames(benchmark::State& st)
{
    st.counters["frames/s"] = benchmark::Counter(static_cast<double>(st.iterations()) * kBlockFrames,
                                                 benchmark::Counter::kIsRate);
}

void BM_Whole(benchmark::State& st, SampleFormat format, uint32_t inChannels, int8_t decodeType, Kernel kernel)
{
    Setup s;
    if (!Prepare(s, format, inChannels, decodeType, kernel)) return st.SkipWithError("no such kernel here");
    for (auto _ : st) {
        s.state.DecodeFrames(format, s.src.data(), s.dst.data(), kBlockFrames);
        benchmark::DoNotOptimize(s.dst.data());
        benchmark::ClobberMemory();
    }
    ReportFrames(st);
}

// The block decode shelves its input planes in place, so each pass starts from a fresh copy
// of the input (a plain copy of 4096 frames per channel, counted in the time); decoding the
// same planes over and over would drive them into overflow or subnormal numbers.
void BM_DecodeBlock(benchmark::State& st, uint32_t inChannels, Kernel kernel)
{
    Setup s;
    if (!Prepare(s, SampleFormat::Pcm16, inChannels, 0, kernel)) return st.SkipWithError("no such kernel here");
    std::vector<std::vector<double>> input(inChannels, std::vector<double>(kBlockFrames));
    double* pristine[4];
    for (uint32_t c = 0; c < inChannels; ++c) pristine[c] = input[c].data();
    DeinterleaveBlock(s.src.data(), kBlockFrames, SampleFormat::Pcm16, inChannels, pristine);
    double* const* in = s.state.m_InPlanes.data();
    for (auto _ : st) {
        for (uint32_t c = 0; c < inChannels; ++c)
            std::memcpy(in[c], pristine[c], sizeof(double) * kBlockFrames);
        s.state.DecodeBlock(in, s.state.m_OutPlanes.data(), kBlockFrames);
        benchmark::DoNotOptimize(s.state.m_OutPlanes[0]);
        benchmark::ClobberMemory();
    }
    ReportFrames(st);
}

// A speaker renderer for `rig`, turned by `rotation`, decoding one block of random input of
// `format` (4 channels) over and over.
void BM_Turned(benchmark::State& st, SampleFormat format, OutputKind kind, const Rig* rig, SceneRotation rotation,
               bool fold)
{
    if (!rig) return st.SkipWithError("no such rig");
    std::unique_ptr<Renderer> renderer = MakeRenderer(kind, *rig, nullptr);
    if (!renderer || renderer->Prepare({4, 48000.0, kBlockFrames}) != PrepareResult::Ok ||
        !renderer->SetRotation(rotation))
        return st.SkipWithError("renderer refused");
    renderer->AllowFold(fold);
    Setup s;
    if (!Prepare(s, format, 4, 0, {"Fast", true, InstructionSet::Scalar})) return st.SkipWithError("no input");
    s.dst.resize(static_cast<size_t>(kBlockFrames) * renderer->OutputChannels() * BytesPerSample(format));
    renderer->Render(format, s.src.data(), s.dst.data(), kBlockFrames);  // completes the turn
    for (auto _ : st) {
        renderer->Render(format, s.src.data(), s.dst.data(), kBlockFrames);
        benchmark::DoNotOptimize(s.dst.data());
        benchmark::ClobberMemory();
    }
    ReportFrames(st);
}

}  // namespace

int main(int argc, char** argv)
{
    const Kernel kernels[] = {{"Scalar", false, InstructionSet::Scalar},
                              {"Sse2", false, InstructionSet::Sse2},
                              {"Fast", true, InstructionSet::Scalar}};
    const struct { const char* name; int8_t decodeType; } layouts[] = {{"4spk", 0}, {"6spk", 2}, {"8spk", 4}};
    const struct { const char* name; SampleFormat format; } formats[] = {
        {"Pcm16", SampleFormat::Pcm16}, {"Pcm24", SampleFormat::Pcm24},
        {"Pcm32", SampleFormat::Pcm32}, {"Float32", SampleFormat::Float32}};

    for (uint32_t ch : {4u, 3u})
        for (const Kernel& k : kernels)
            benchmark::RegisterBenchmark(("DecodeBlock/" + std::to_string(ch) + "ch/" + k.name).c_str(),
                                         BM_DecodeBlock, ch, k);
    for (const auto& f : formats)
        for (uint32_t ch : {4u, 3u})
            for (const auto& l : layouts)
                for (const Kernel& k : kernels)
                    benchmark::RegisterBenchmark(("Whole/" + std::string(f.name) + "/" + std::to_string(ch) + "ch/" +
                                                  l.name + "/" + k.name)
                                                     .c_str(),
                                                 BM_Whole, f.format, ch, l.decodeType, k);

    const struct { const char* name; OutputKind kind; const Rig* rig; } rigs[] = {
        {"4spk", OutputKind::Speakers, &BuiltInRig(LayoutId::Square)},
        {"6spk", OutputKind::Speakers, &BuiltInRig(LayoutId::Hexagon)},
        {"8spk", OutputKind::Speakers, &BuiltInRig(LayoutId::Octagon)},
        {"two-layer", OutputKind::Speakers, &BuiltInRig(LayoutId::TwoLayer)},
        {"7.1.4", OutputKind::Speakers, RigNamed("7.1.4")},
        {"UHJ", OutputKind::Uhj, &BuiltInRig(LayoutId::Square)},
        {"Headphones", OutputKind::Headphones, &BuiltInRig(LayoutId::Square)}};
    // "Unfolded": the input turned through planes, as while a turn moves.
    const struct { const char* name; SceneRotation rotation; bool fold; } turns[] = {
        {"Still", {}, true},
        {"Turned", {30.0, 10.0, 5.0}, true},
        {"TurnedUnfolded", {30.0, 10.0, 5.0}, false},
        {"Yawed", {30.0, 0.0, 0.0}, true},
        {"YawedUnfolded", {30.0, 0.0, 0.0}, false}};
    for (const auto& f : {formats[0], formats[3]})
        for (const auto& r : rigs)
            for (const auto& t : turns)
                benchmark::RegisterBenchmark(
                    ("Turned/" + std::string(f.name) + "/" + r.name + "/" + t.name).c_str(), BM_Turned, f.format, r.kind,
                    r.rig, t.rotation, t.fold);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
