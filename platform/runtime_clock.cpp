// The system reference clock (CLSID_SystemClock): the monotonic system time in 100 ns units.
//
// The native platform has no kernel event objects, so the advise calls, which signal one,
// are not offered; filters here only read the time.
#include "platform/builtin.h"
#include "platform/runtime.h"

#include <atomic>

namespace platform {
namespace {

class SystemClock final : public SingleInterfaceObject<IReferenceClock, &IID_IReferenceClock> {
public:
    // Never runs backwards: a reading no later than the last one answered repeats it, with
    // S_FALSE.
    STDMETHODIMP GetTime(REFERENCE_TIME* pTime) override
    {
        if (!pTime) return E_POINTER;
        REFERENCE_TIME now = MonotonicTime();
        REFERENCE_TIME last = m_last.load();
        while (now > last) {
            if (m_last.compare_exchange_weak(last, now)) {
                *pTime = now;
                return S_OK;
            }
        }
        *pTime = last;
        return S_FALSE;
    }

    STDMETHODIMP AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT hEvent, DWORD_PTR* pCookie) override
    {
        if (!pCookie) return E_POINTER;
        *pCookie = 0;
        if (!hEvent) return E_INVALIDARG;
        return E_NOTIMPL;
    }
    STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME period, HSEMAPHORE hSemaphore,
                                DWORD_PTR* pCookie) override
    {
        if (!pCookie) return E_POINTER;
        *pCookie = 0;
        if (!hSemaphore || period <= 0) return E_INVALIDARG;
        return E_NOTIMPL;
    }
    // No advise is ever set up, so no cookie names one.
    STDMETHODIMP Unadvise(DWORD_PTR) override { return S_FALSE; }

private:
    std::atomic<REFERENCE_TIME> m_last{0};
};

const BuiltinClass registration(CLSID_SystemClock, CreateUnaggregated<SystemClock>);

}  // namespace
}  // namespace platform
