// The decoder filter in the platform's filter graph with samples streaming on the source's
// thread while the control thread changes state: nothing deadlocks, every sample the decoder
// accepted reaches the sink, and what arrives is the decoder core's output.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/filter/decoder_graph.h"

namespace bformat_test {
namespace {

constexpr LONG kBufferSize = 1024;

using DecoderGraphThreads = ComThread;

TEST_F(DecoderGraphThreads, StoppingWhileSamplesFlowLosesNothingAccepted)
{
    TypeShape shape;
    shape.bits = 24;
    const auto script = MakeScript(shape, 16, 80, 0, 7);
    DecoderGraph g(shape, script, kBufferSize);
    if (!g.graph) GTEST_SKIP() << "no filter graph on this platform";
    ASSERT_TRUE(g.Ready());
    g.source->pin->loop = true;

    for (int cycle = 0; cycle < 6; ++cycle) {
        const size_t before = g.sink->pin->SampleCount();
        ASSERT_TRUE(SUCCEEDED(g.control->Run())) << cycle;
        ASSERT_TRUE(g.sink->pin->WaitFor("sample", before + 20)) << cycle;
        if (cycle % 2 == 1) {
            // Pausing and running again while samples flow changes nothing in the stream.
            ASSERT_TRUE(SUCCEEDED(g.control->Pause())) << cycle;
            ASSERT_TRUE(g.sink->pin->WaitFor("sample", before + 30)) << cycle;
            ASSERT_TRUE(SUCCEEDED(g.control->Run())) << cycle;
        }
        ASSERT_TRUE(SUCCEEDED(g.control->Stop())) << cycle;
        // Every sample the decoder accepted went downstream before Stop returned.
        EXPECT_EQ(static_cast<size_t>(g.source->pin->accepted.load()), g.sink->pin->SampleCount()) << cycle;

        if (cycle == 0) {
            // One unbroken run from the first sample: the output is the core's, sample for
            // sample, up to where the stop came.
            const auto received = g.sink->pin->Samples();
            const auto expected = ReferenceDecode(shape, script, received.size());
            for (size_t i = 0; i < received.size(); ++i) ASSERT_TRUE(expected[i] == received[i].data) << i;
        }
    }
}

}  // namespace
}  // namespace bformat_test
