// Makes the n-th operator new from now fail, so that a test can walk a call through every
// allocation it makes: arm n = 1, 2, ... and run the call each time, until a run makes fewer
// than n allocations. The nothrow forms of new answer the failure with null, the others with
// std::bad_alloc. Link failing_new.cpp (the `failing_new` object library) into the test
// program: it replaces the global operator new and delete.
//
// Natively the count is the platform's fault switch for PLATFORM_FAULT_OPERATOR_NEW, so it
// also reaches a module the program loads and the walks that arm the switch themselves; in
// the Windows build the program keeps the count.
#pragma once

namespace test_support {

// Arms the n-th allocation from now (n >= 1) to fail, once; n = 0 disarms. Either way the
// count starts again from zero.
void FailNthNew(long n);

// The allocations counted since the last FailNthNew (none are counted while disarmed).
long NewCallsCounted();

// Runs `run` with allocation n failing, for n = 1, 2, ..., until a run makes fewer than n
// allocations, and hands each run's result to `check(result, failed)`, told whether that run
// met the failure. Allocations the test makes inside `run` are counted too.
template <class Run, class Check>
void WalkAllocations(Run run, Check check)
{
    for (long n = 1;; ++n) {
        FailNthNew(n);
        auto result = run();
        const bool failed = NewCallsCounted() >= n;
        FailNthNew(0);
        check(result, failed);
        if (!failed) return;
    }
}

}  // namespace test_support
