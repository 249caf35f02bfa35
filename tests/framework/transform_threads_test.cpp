// The transform filter with a streaming thread: stopping waits for the sample in progress,
// and state changes while samples flow neither deadlock nor lose a delivered sample.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "tests/framework/transform_test_filter.h"

namespace transform_test {
namespace {

// One-shot signal between threads.
class Signal {
public:
    void Set()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_set = true;
        m_cv.notify_all();
    }
    bool Wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [this] { return m_set; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_set = false;
};

using TransformThreads = TransformFixture;

TEST_F(TransformThreads, StopWaitsForTheSampleInProgressAndDeliversIt)
{
    ConnectBoth();
    ASSERT_EQ(S_OK, filter->Run(0));
    Signal entered, proceed;
    filter->transform = [&](IMediaSample*, IMediaSample*) {
        entered.Set();
        proceed.Wait(std::chrono::seconds(30));
        return S_OK;
    };

    HRESULT received = E_FAIL;
    std::thread streaming([&] { received = Push(InputSample(AM_SAMPLE_SPLICEPOINT)); });
    ASSERT_TRUE(entered.Wait(std::chrono::seconds(30)));

    std::atomic<bool> stopped{false};
    HRESULT stopResult = E_FAIL;
    std::thread control([&] {
        stopResult = filter->Stop();
        stopped = true;
    });
    // Stop has made the input pin inactive and now waits for the transform.
    for (int i = 0; i < 200 && log.IndexOf("in.Decommit") < 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(stopped);
    EXPECT_GE(log.IndexOf("in.Decommit"), 0);
    EXPECT_LT(log.IndexOf("out.Decommit"), 0);

    proceed.Set();
    streaming.join();
    control.join();
    EXPECT_EQ(S_OK, received);
    EXPECT_EQ(S_OK, stopResult);
    ASSERT_EQ(1u, downstream->ReceivedSamples().size());
    EXPECT_LT(log.IndexOf("down.Receive"), log.IndexOf("out.Decommit"));
    EXPECT_LT(log.IndexOf("out.Decommit"), log.IndexOf("StopStreaming"));

    // Stopped now: the next sample is refused without reaching the filter.
    EXPECT_EQ(VFW_E_WRONG_STATE, Push(InputSample(0)));
}

TEST_F(TransformThreads, StateChangesWhileSamplesFlowLoseNothingDelivered)
{
    ConnectBoth();
    std::atomic<bool> done{false};
    std::atomic<int> accepted{0};
    std::atomic<int> transformed{0};
    filter->transform = [&](IMediaSample*, IMediaSample*) {
        ++transformed;
        return S_OK;
    };

    std::thread streaming([&] {
        while (!done) {
            if (Push(InputSample(AM_SAMPLE_SPLICEPOINT)) == S_OK) ++accepted;
            filter->Input()->EndOfStream();
        }
    });
    for (int i = 0; i < 200; ++i) {
        const int before = accepted;
        ASSERT_EQ(S_OK, filter->Run(0));
        // Let samples flow before the next change, so that changes meet samples in flight.
        for (int wait = 0; wait < 10000 && accepted == before; ++wait) std::this_thread::yield();
        if (i % 3 == 0) {
            ASSERT_EQ(S_OK, filter->Input()->BeginFlush());
            ASSERT_EQ(S_OK, filter->Input()->EndFlush());
        }
        ASSERT_EQ(S_OK, filter->Pause());
        ASSERT_EQ(S_OK, filter->Stop());
    }
    done = true;
    streaming.join();

    EXPECT_GT(accepted.load(), 0);
    EXPECT_EQ(accepted.load(), transformed.load());
    EXPECT_EQ(static_cast<size_t>(accepted.load()), downstream->ReceivedSamples().size());
    EXPECT_EQ(200u, log.Count("StartStreaming"));
    EXPECT_EQ(200u, log.Count("StopStreaming"));
}

}  // namespace
}  // namespace transform_test
