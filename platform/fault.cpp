// Fault injection: one armed target and one call count per kind, both atomic, so that any
// thread may count a call while another arms or disarms the kind.
#include "platform/platform.h"
#include "platform/native/fault.h"

#include <atomic>

namespace {

constexpr DWORD kKinds = 5;

struct Counter {
    std::atomic<LONG> target{0};  // the call to fail; 0 when disarmed
    std::atomic<LONG> calls{0};
};

Counter g_counters[kKinds];

}  // namespace

void PlatformSetFaultInjection(DWORD kind, LONG n)
{
    if (kind == 0 || kind >= kKinds) return;
    Counter& c = g_counters[kind];
    c.target.store(0);
    c.calls.store(0);
    if (n > 0) c.target.store(n);
}

LONG PlatformFaultCalls(DWORD kind) { return kind == 0 || kind >= kKinds ? 0 : g_counters[kind].calls.load(); }

BOOL PlatformFaultNext(DWORD kind)
{
    if (kind == 0 || kind >= kKinds) return FALSE;
    Counter& c = g_counters[kind];
    const LONG target = c.target.load(std::memory_order_relaxed);
    if (target == 0) return FALSE;
    return ++c.calls == target ? TRUE : FALSE;
}
