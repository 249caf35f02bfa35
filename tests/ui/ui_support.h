// Shared by the property page and window tests: a parent window that records the about
// window's notifications, a message pump, and stand-ins for the frame's site and the filter.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "com/unknown.h"
#include "filter/iipeffect.h"
#include "platform/platform.h"

namespace uitest {

// Dispatches the calling thread's messages for `ms` milliseconds.
inline void Pump(int ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(2);
    } while (std::chrono::steady_clock::now() < until);
}

// A visible top-level window standing in for the property frame. It records the messages
// in the WM_USER range that reach it.
class ParentWindow {
public:
    ParentWindow();
    ~ParentWindow();
    HWND Handle() const { return m_hwnd; }
    const std::vector<UINT>& Notifications() const { return m_notifications; }
    int Count(UINT message) const;
    void Clear() { m_notifications.clear(); }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    HWND m_hwnd = nullptr;
    std::vector<UINT> m_notifications;
};

// The frame's page site.
class FakeSite : public IPropertyPageSite {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
    STDMETHODIMP OnStatusChange(DWORD) override { return S_OK; }
    STDMETHODIMP GetLocaleID(LCID* id) override { return id ? (*id = 0x0409, S_OK) : E_POINTER; }
    STDMETHODIMP GetPageContainer(IUnknown** unk) override { return unk ? (*unk = nullptr, E_NOTIMPL) : E_POINTER; }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }
    std::atomic<int> refs{1};
};

// A filter with the parameter interface, counting its references and parameter reads.
class FakeEffect : public IIPEffect {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
    STDMETHODIMP GetParameter(LONG*) override { ++reads; return S_OK; }
    STDMETHODIMP SetParameter(LONG) override { return S_OK; }
    STDMETHODIMP_(void) NotifyParameter(LONG) override {}
    std::atomic<int> refs{1};
    std::atomic<int> reads{0};
};

// An object without the parameter interface.
class PlainObject : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }
    std::atomic<int> refs{1};
};

// The direct children of `parent` of the form library's window class.
std::vector<HWND> FormWindowsUnder(HWND parent);

}  // namespace uitest
