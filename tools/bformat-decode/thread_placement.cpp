#include "tools/bformat-decode/thread_placement.h"

#include <sched.h>

namespace bformat {

namespace {

bool AllowedProcessors(cpu_set_t& set)
{
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0;
}

}  // namespace

ThreadPlacement::ThreadPlacement()
{
    cpu_set_t allowed;
    if (!AllowedProcessors(allowed) || CPU_COUNT(&allowed) < 2) return;
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            m_decodingProcessor = cpu;
            return;
        }
    }
}

void ThreadPlacement::KeepOnDecodingProcessor() const
{
    if (!Active()) return;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(m_decodingProcessor, &only);
    // A refusal (the processor was taken from the process meanwhile) leaves the thread where
    // the scheduler puts it, which is only slower.
    sched_setaffinity(0, sizeof only, &only);
}

void ThreadPlacement::KeepOffDecodingProcessor() const
{
    cpu_set_t others;
    if (!Active() || !AllowedProcessors(others)) return;
    CPU_CLR(m_decodingProcessor, &others);
    if (CPU_COUNT(&others) > 0) sched_setaffinity(0, sizeof others, &others);
}

}  // namespace bformat
