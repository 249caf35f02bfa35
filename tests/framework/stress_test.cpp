// Streaming on the source's thread while the control thread stops, pauses, runs and flushes
// the pair at random: everything must end without deadlock, data race or use after free.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "streaming_filters.h"

using namespace streaming;

namespace {

// Waits (up to ten seconds) until the sink has taken a few more samples.
bool ReceivesMore(SinkPin* pin)
{
    int target = pin->received + 3;
    for (int waited = 0; waited < 10000; ++waited) {
        if (pin->received >= target) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(StreamingUnderControl, StopPauseRunAndFlushWhileStreaming)
{
    auto* source = new SourceFilter;
    auto* sink = new SinkFilter;
    source->AddRef();
    sink->AddRef();
    source->pin->count = -1;
    ASSERT_EQ(source->pin->Connect(sink->pin, nullptr), S_OK);

    std::mt19937 random(20240611);
    int runs = 0, flushes = 0;
    for (int cycle = 0; cycle < 200; ++cycle) {
        // Downstream first, as a graph does; then let samples flow before interfering.
        ASSERT_EQ(sink->Pause(), S_OK);
        ASSERT_EQ(source->Pause(), S_OK);
        ASSERT_TRUE(ReceivesMore(sink->pin));
        for (int step = 0; step < 8; ++step) {
            switch (random() % 4) {
            case 0:
                ASSERT_EQ(sink->Run(0), S_OK);
                ASSERT_EQ(source->Run(0), S_OK);
                ++runs;
                break;
            case 1:
                ASSERT_EQ(sink->Pause(), S_OK);
                ASSERT_EQ(source->Pause(), S_OK);
                break;
            case 2:
                ASSERT_EQ(source->pin->DeliverBeginFlush(), S_OK);
                std::this_thread::yield();
                ASSERT_EQ(source->pin->DeliverEndFlush(), S_OK);
                ++flushes;
                break;
            default:
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            }
        }
        ASSERT_EQ(sink->Stop(), S_OK);
        ASSERT_EQ(source->Stop(), S_OK);
    }

    EXPECT_GT(runs, 0);
    EXPECT_EQ(sink->pin->flushes, flushes);
    EXPECT_GT(sink->pin->received, 0);
    EXPECT_EQ(sink->pin->disorder, 0);
    EXPECT_EQ(source->pin->Disconnect(), S_OK);
    EXPECT_EQ(sink->pin->Disconnect(), S_OK);
    source->Release();
    sink->Release();
}

}  // namespace
