// Replaces the global operator new and delete of a test program, so that an armed failure
// (failing_new.h) reaches every allocation in the process: the program's own, the platform
// library's and, natively, those of a module it loads. The nothrow forms answer a failure
// with null, the others with std::bad_alloc.
//
// Memory comes from malloc and goes back to free, so every new here pairs with every delete
// here, with or without a sanitizer's allocator underneath. The aligned forms are not
// replaced: they keep their own matching pair.
#include "tests/support/failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/platform.h"
#ifndef _WIN32
#include "platform/native/fault.h"
#endif

namespace {

#ifdef _WIN32
// The platform has no fault switch here: the count lives in the program, with the same
// rules (armed target, calls counted only while armed).
std::atomic<long> g_target{0};
std::atomic<long> g_calls{0};

bool FailThisCall()
{
    const long target = g_target.load(std::memory_order_relaxed);
    return target != 0 && ++g_calls == target;
}
#else
bool FailThisCall() { return PlatformFaultNext(PLATFORM_FAULT_OPERATOR_NEW) != FALSE; }
#endif

// malloc, with the new handler's help when memory runs out, as the default new does.
void* Obtain(std::size_t size)
{
    for (;;) {
        if (void* p = std::malloc(size ? size : 1)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

void* Throwing(std::size_t size)
{
    if (FailThisCall()) throw std::bad_alloc();
    return Obtain(size);
}

void* Nothrow(std::size_t size) noexcept
{
    if (FailThisCall()) return nullptr;
    try {
        return Obtain(size);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

namespace test_support {

#ifdef _WIN32
void FailNthNew(long n)
{
    g_target.store(0);
    g_calls.store(0);
    if (n > 0) g_target.store(n);
}

long NewCallsCounted() { return g_calls.load(); }
#else
void FailNthNew(long n) { PlatformSetFaultInjection(PLATFORM_FAULT_OPERATOR_NEW, static_cast<LONG>(n)); }

long NewCallsCounted() { return PlatformFaultCalls(PLATFORM_FAULT_OPERATOR_NEW); }
#endif

}  // namespace test_support

void* operator new(std::size_t size) { return Throwing(size); }
void* operator new[](std::size_t size) { return Throwing(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Nothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Nothrow(size); }

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
