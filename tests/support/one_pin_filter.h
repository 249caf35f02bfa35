// OnePinFilter<Pin>: a test filter with a single pin, which it makes and owns; the filter
// lock is the one the pin is given.
#pragma once

#include <utility>

#include "framework/base_filter.h"

namespace test_support {

// The pin is made with the filter and its lock, followed by `args`.
template <class Pin>
class OnePinFilter : public CBaseFilter {
public:
    template <class... Args>
    OnePinFilter(const char* name, const CLSID& clsid, Args&&... args)
        : CBaseFilter(name, nullptr, &m_lock, clsid), pin(new Pin(this, &m_lock, std::forward<Args>(args)...))
    {
    }
    ~OnePinFilter() override { delete pin; }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? pin : nullptr; }

private:
    CCritSec m_lock;

public:
    Pin* const pin;
};

}  // namespace test_support
