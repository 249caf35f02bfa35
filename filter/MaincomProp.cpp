#include "filter/MaincomProp.h"

#include <new>

#include "ui/resource_ids.h"

CUnknown* CVEvavaProp::CreateInstance(LPUNKNOWN pUnk, HRESULT* phr)
{
    auto* page = new (std::nothrow) CVEvavaProp(pUnk);
    if (!page) {
        if (phr) *phr = E_OUTOFMEMORY;
        return nullptr;
    }
    return page;
}

CVEvavaProp::CVEvavaProp(LPUNKNOWN pUnk) : CBasePropertyPage(nullptr, pUnk, IDD_PAGE, IDS_PAGE_TITLE) {}

CVEvavaProp::~CVEvavaProp() { TearDownAboutForm(); }

void CVEvavaProp::TearDownAboutForm()
{
    if (!m_AboutForm) return;
    // Stopped first: once this returns no timer callback can reach the window.
    m_AboutForm->StopRefreshTimer();
    m_AboutForm->SetParentWindow(nullptr);
    m_AboutForm->Release();
    m_AboutForm = nullptr;
}

HRESULT CVEvavaProp::OnConnect(IUnknown* pUnknown)
{
    // A second connection without a disconnection gives up the earlier filter's reference.
    m_EffectInterface.Reset();
    IIPEffect* effect = nullptr;
    if (FAILED(pUnknown->QueryInterface(IID_IIPEffect, reinterpret_cast<void**>(&effect)))) return E_NOINTERFACE;
    m_EffectInterface = ComRef<IIPEffect>(effect);
    return S_OK;
}

HRESULT CVEvavaProp::OnDisconnect()
{
    m_EffectInterface.Reset();
    return S_OK;
}

HRESULT CVEvavaProp::OnActivate()
{
    // The page keeps one about window: one left from an earlier activation goes first.
    TearDownAboutForm();
    m_AboutForm = TForm1::CreateParented(m_hwnd);
    if (m_EffectInterface) {
        LONG parameter = 0;
        m_EffectInterface->GetParameter(&parameter);
    }
    if (m_AboutForm) {
        m_AboutForm->StartRefreshTimer();
        m_AboutForm->Show();
    }
    return S_OK;
}

HRESULT CVEvavaProp::OnDeactivate()
{
    // The dialog the timer posts to goes next, and the system may give its handle to another
    // window: no refresh may follow it. The next activation starts a timer again.
    if (m_AboutForm) m_AboutForm->StopRefreshTimer();
    return S_OK;
}

HRESULT CVEvavaProp::OnApplyChanges() { return S_OK; }

INT_PTR CVEvavaProp::OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_COMMAND) return TRUE;
    return CBasePropertyPage::OnReceiveMessage(hwnd, uMsg, wParam, lParam);
}
