// The memory allocator across threads: GetBuffer waits for a buffer to come back and is
// woken by Decommit, and buffers are never handed to two holders at once.
#include "tests/platform/runtime_test_support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using runtime_test::ComTest;
using runtime_test::MakeAllocator;

namespace {

class AllocatorThreadsTest : public ComTest {};

// Long enough for a thread that is not blocked to have finished its call.
constexpr auto kSettle = std::chrono::milliseconds(200);

TEST_F(AllocatorThreadsTest, GetBufferWaitsUntilASampleIsReleased)
{
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 128), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComRef<IMediaSample> held;
    ASSERT_EQ(allocator->GetBuffer(held.put(), nullptr, nullptr, 0), S_OK);
    BYTE* heldData = nullptr;
    held->GetPointer(&heldData);

    std::atomic<bool> returned{false};
    HRESULT result = E_FAIL;
    BYTE* gotData = nullptr;
    IMemAllocator* raw = allocator.get();
    std::thread waiter([&] {
        IMediaSample* sample = nullptr;
        result = raw->GetBuffer(&sample, nullptr, nullptr, 0);
        if (sample) {
            sample->GetPointer(&gotData);
            sample->Release();
        }
        returned = true;
    });

    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(returned.load()) << "GetBuffer returned while every buffer was out";
    held.Reset();
    waiter.join();
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(gotData, heldData);
    allocator->Decommit();
}

TEST_F(AllocatorThreadsTest, DecommitWakesAWaitingGetBufferWithAnError)
{
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 1, 128), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);
    ComRef<IMediaSample> held;
    ASSERT_EQ(allocator->GetBuffer(held.put(), nullptr, nullptr, 0), S_OK);

    std::atomic<bool> returned{false};
    HRESULT result = S_OK;
    IMediaSample* got = nullptr;
    IMemAllocator* raw = allocator.get();
    std::thread waiter([&] {
        result = raw->GetBuffer(&got, nullptr, nullptr, 0);
        returned = true;
    });

    std::this_thread::sleep_for(kSettle);
    EXPECT_FALSE(returned.load());
    ASSERT_EQ(allocator->Decommit(), S_OK);
    waiter.join();
    // The woken caller gets an error and no sample (ours says VFW_E_NOT_COMMITTED, Wine's
    // VFW_E_TIMEOUT); later callers are told the allocator is not committed.
    EXPECT_TRUE(FAILED(result));
    EXPECT_EQ(got, nullptr);
    if (got) got->Release();
    ComRef<IMediaSample> late;
    EXPECT_EQ(allocator->GetBuffer(late.put(), nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    held.Reset();
}

TEST_F(AllocatorThreadsTest, BuffersAreNeverSharedBetweenConcurrentHolders)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    ComRef<IMemAllocator> allocator;
    ASSERT_EQ(MakeAllocator(allocator, 2, 64), S_OK);
    ASSERT_EQ(allocator->Commit(), S_OK);

    std::atomic<int> failures{0};
    IMemAllocator* raw = allocator.get();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                IMediaSample* sample = nullptr;
                if (raw->GetBuffer(&sample, nullptr, nullptr, 0) != S_OK || !sample) {
                    ++failures;
                    return;
                }
                BYTE* data = nullptr;
                sample->GetPointer(&data);
                // Stamp the whole buffer, then check nobody else wrote into it meanwhile.
                std::memset(data, t + 1, 64);
                REFERENCE_TIME start = round, stop = round + 1;
                sample->SetTime(&start, &stop);
                std::this_thread::yield();
                for (int i = 0; i < 64; ++i)
                    if (data[i] != t + 1) {
                        ++failures;
                        break;
                    }
                sample->Release();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    allocator->Decommit();
}

}  // namespace
