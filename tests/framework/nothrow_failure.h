// Makes allocations through nothrow new fail on demand, so tests can reach the paths a
// filter takes when memory runs out. Link nothrow_failure.cpp into the test program.
#pragma once

#include <atomic>
#include <cstddef>

namespace nothrow_failure {

// While non-zero, every nothrow new of exactly this many bytes returns null.
extern std::atomic<size_t> g_failSize;

// Arms the failure for its lifetime.
class Scope {
public:
    explicit Scope(size_t size) { g_failSize = size; }
    ~Scope() { g_failSize = 0; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

}  // namespace nothrow_failure
