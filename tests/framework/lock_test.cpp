// The recursive critical section and its scoped lock.
#include "framework/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

TEST(CriticalSection, OwnerReentersAndOthersWaitUntilFullyReleased)
{
    CCritSec lock;
    std::atomic<bool> acquired{false};
    std::thread other;
    {
        CAutoLock outer(&lock);
        {
            CAutoLock inner(&lock);  // the holder takes it again without blocking
            other = std::thread([&] {
                CAutoLock mine(&lock);
                acquired = true;
            });
            Pause();
            EXPECT_FALSE(acquired);
        }
        Pause();
        EXPECT_FALSE(acquired);  // entered twice, left once: still held
    }
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(CriticalSection, SerialisesThreads)
{
    CCritSec lock;
    long counter = 0;  // deliberately not atomic: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CAutoLock hold(&lock);
                counter = counter + 1;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 80000);
}

static_assert(sizeof(CCritSec) == sizeof(CRITICAL_SECTION), "a CCritSec is one critical section and nothing else");

}  // namespace
