#include "tools/bformat-decode/thread_placement.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <thread>

namespace bformat {
namespace {

cpu_set_t AffinityOfThisThread()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    return set;
}

int LastOf(const cpu_set_t& set)
{
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu)
        if (CPU_ISSET(cpu, &set)) return cpu;
    return -1;
}

// Each case runs on a thread of its own, whose affinity it may change freely.
template <class Body>
void OnOwnThread(Body body)
{
    std::thread thread(body);
    thread.join();
}

TEST(ThreadPlacement, TheDecodingThreadGetsOneProcessorAndTheFileThreadsTheOthers)
{
    const cpu_set_t allowed = AffinityOfThisThread();
    if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "one processor: nothing to place";
    const ThreadPlacement placement;
    ASSERT_TRUE(placement.Active());
    const int decoding = LastOf(allowed);

    OnOwnThread([&] {
        placement.KeepOnDecodingProcessor();
        const cpu_set_t mine = AffinityOfThisThread();
        EXPECT_EQ(CPU_COUNT(&mine), 1);
        EXPECT_TRUE(CPU_ISSET(decoding, &mine));
    });
    OnOwnThread([&] {
        placement.KeepOffDecodingProcessor();
        cpu_set_t expected = allowed;
        CPU_CLR(decoding, &expected);
        cpu_set_t mine = AffinityOfThisThread();
        EXPECT_TRUE(CPU_EQUAL(&mine, &expected));
    });
}

TEST(ThreadPlacement, OneProcessorLeavesEveryThreadAlone)
{
    const cpu_set_t allowed = AffinityOfThisThread();
    OnOwnThread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(LastOf(allowed), &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        const ThreadPlacement placement;
        EXPECT_FALSE(placement.Active());
        placement.KeepOffDecodingProcessor();
        placement.KeepOnDecodingProcessor();
        cpu_set_t mine = AffinityOfThisThread();
        EXPECT_TRUE(CPU_EQUAL(&mine, &one));
    });
}

}  // namespace
}  // namespace bformat
