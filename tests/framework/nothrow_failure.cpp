// Replaces the nothrow forms of new. Memory still comes from the ordinary operator new, so
// the ordinary delete frees it, with or without a sanitizer's allocator underneath.
#include "tests/framework/nothrow_failure.h"

#include <new>

namespace nothrow_failure {
std::atomic<size_t> g_failSize{0};
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (size == nothrow_failure::g_failSize.load()) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (size == nothrow_failure::g_failSize.load()) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
