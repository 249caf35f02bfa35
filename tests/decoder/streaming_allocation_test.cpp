// The headphone decode and the UHJ encoder, alone and behind the renderers of every output on
// interleaved frames, planes and tails, allocate nothing once prepared, and a preparation that
// runs out of memory leaves the previous one working. This program replaces the global
// operator new with one that counts, and can be told to fail, allocations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/renderer.h"
#include "decoder/uhj.h"
#include "tests/decoder/support.h"

namespace {

long g_Allocations = 0;
long g_FailAfter = -1;  // fail the allocation after this many more; -1 never
bool g_Failed = false;  // an allocation was failed

void* Allocate(std::size_t size)
{
    ++g_Allocations;
    if (g_FailAfter == 0) {
        g_Failed = true;
        throw std::bad_alloc();
    }
    if (g_FailAfter > 0) --g_FailAfter;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
// The nothrow forms (the sample planes use them) count and fail alike, answering with null.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace decoder;
using decoder_test::Bits;
using decoder_test::RandomSignal;

const StreamDescription kStream{4, 44100.0, 300};

BinauralSettings Settings(LayoutId layout)
{
    BinauralSettings s;
    s.rig = &BuiltInRig(layout);
    return s;
}

TEST(StreamingAllocation, HeadphonesAndUhjAllocateNothingPerBlock)
{
    std::mt19937 rng(2);
    std::vector<std::vector<double>> in(4), out(2, std::vector<double>(1000));
    for (auto& p : in) p = RandomSignal(rng, 1000, 1.0);
    const double* ip[4] = {in[0].data(), in[1].data(), in[2].data(), in[3].data()};
    double* op[2] = {out[0].data(), out[1].data()};
    BinauralDecoder d;
    ASSERT_EQ(d.Prepare(kStream, Settings(LayoutId::TwoLayer)), PrepareResult::Ok);
    UhjEncoder u;
    const long before = g_Allocations;
    d.Process(ip, op, 1000);  // longer than the largest block: taken in pieces
    d.Reset();
    d.Process(ip, op, 7);
    u.Process(ip, op, 1000);
    EXPECT_EQ(g_Allocations, before);
}

// First-order FuMa, and third-order FuMa and second-order N3D through the input stage.
TEST(StreamingAllocation, RenderersAllocateNothingPerBlock)
{
    std::vector<uint8_t> in(1000 * 16 * 3), out(1000 * 8 * 3);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 37);
    std::vector<std::vector<double>> planes(24, std::vector<double>(300));
    // A designed rig of seven speakers at different distances and an LFE channel: eight outputs.
    Rig designed;
    ASSERT_EQ(MakeRig({{0, 0, 3}, {50, 0, 2}, {-50, 0, 2.5}, {110, 0, 1}, {-110, 0, 2}, {180, 0, 3}, {90, 40, 2}}, true,
                      designed),
              DesignResult::Ok);
    for (const StreamDescription& stream :
         {kStream, StreamDescription{16, 44100.0, 300, InputConvention::Fuma}, StreamDescription{9, 44100.0, 300, InputConvention::N3d}}) {
        double* p[24];  // stream.inChannels in, 8 out
        for (uint32_t c = 0; c < stream.inChannels + 8; ++c) p[c] = planes[c].data();
        std::vector<std::unique_ptr<Renderer>> renderers;
        for (OutputKind kind : {OutputKind::Speakers, OutputKind::Uhj, OutputKind::Headphones})
            renderers.push_back(MakeRenderer(kind, BuiltInRig(LayoutId::Octagon), nullptr));
        renderers.push_back(MakeRenderer(OutputKind::Speakers, designed, nullptr));
        for (auto& r : renderers) {
            ASSERT_EQ(r->Prepare(stream), PrepareResult::Ok);
            const long before = g_Allocations;
            // Unturned, turning (a rotation set while streaming) and turned; a yaw, which the
            // seven layouts fold into their decode too.
            for (const SceneRotation& turn : {SceneRotation{}, SceneRotation{40, 20, -10}, SceneRotation{40, 20, -10},
                                              SceneRotation{-30, 0, 0}, SceneRotation{-30, 0, 0}}) {
                EXPECT_TRUE(r->SetRotation(turn));
                r->Render(SampleFormat::Pcm24, in.data(), out.data(), 1000);  // pieces of 300 frames
                r->RenderPlanes(p, p + stream.inChannels, 300);
            }
            r->RenderTail(SampleFormat::Pcm24, out.data(), r->TailFrames());
            r->Reset();
            r->RenderPlanes(p, p + stream.inChannels, 300);
            EXPECT_EQ(g_Allocations, before) << stream.inChannels << " channels";
        }
    }
}

TEST(StreamingAllocation, APreparationThatRunsOutOfMemoryKeepsThePreviousOne)
{
    std::mt19937 rng(4);
    std::vector<std::vector<double>> in(4);
    for (auto& p : in) p = RandomSignal(rng, 2000, 1.0);
    const double* ip[4] = {in[0].data(), in[1].data(), in[2].data(), in[3].data()};
    auto run = [&](BinauralDecoder& d) {
        std::vector<std::vector<double>> out(2, std::vector<double>(2000));
        double* op[2] = {out[0].data(), out[1].data()};
        d.Process(ip, op, 2000);
        return out;
    };
    BinauralDecoder expected;
    ASSERT_EQ(expected.Prepare(kStream, Settings(LayoutId::Octagon)), PrepareResult::Ok);
    const auto want = run(expected);
    // Fail each allocation of a set-up in turn, until one needs no more than were allowed.
    for (long failAt = 0;; ++failAt) {
        BinauralDecoder d;
        ASSERT_EQ(d.Prepare(kStream, Settings(LayoutId::Octagon)), PrepareResult::Ok);
        g_FailAfter = failAt;
        g_Failed = false;
        const PrepareResult r = d.Prepare(kStream, Settings(LayoutId::TwoLayer));
        const bool failed = g_Failed;
        g_FailAfter = -1;
        if (!failed) {
            EXPECT_EQ(r, PrepareResult::Ok);
            break;
        }
        ASSERT_EQ(r, PrepareResult::OutOfMemory) << failAt;
        const auto got = run(d);
        for (int e = 0; e < 2; ++e)
            for (size_t i = 0; i < got[e].size(); ++i) ASSERT_EQ(Bits(got[e][i]), Bits(want[e][i])) << failAt;
    }
}

}  // namespace
