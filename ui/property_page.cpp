#include "ui/property_page.h"

#include "framework/wide_string.h"

namespace {

constexpr int kTitleCapacity = 256;
constexpr LONG kDefaultPageWidth = 340;
constexpr LONG kDefaultPageHeight = 150;

ULONG AtLeastOne(LONG count) { return count > 1 ? static_cast<ULONG>(count) : 1u; }

}  // namespace

CBasePropertyPage::CBasePropertyPage(const char* name, LPUNKNOWN pUnk, int dialogId, int titleId)
    : CUnknown(name, pUnk), m_TitleId(titleId), m_DialogId(dialogId)
{
}

CBasePropertyPage::~CBasePropertyPage()
{
    // A frame that releases an active page leaves its dialog behind: make sure the dialog
    // can no longer reach the page, and remove it.
    if (m_hwnd) {
        SetWindowLongPtrW(m_hwnd, DWLP_USER, 0);
        DestroyWindow(m_hwnd);
        m_hwnd = nullptr;
    }
    if (m_pPageSite) {
        m_pPageSite->Release();
        m_pPageSite = nullptr;
    }
}

STDMETHODIMP CBasePropertyPage::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (IsEqualGUID(riid, IID_IPropertyPage)) return GetInterface(static_cast<IPropertyPage*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CBasePropertyPage::NonDelegatingAddRef() { return AtLeastOne(InterlockedIncrement(&m_cPageRef)); }

STDMETHODIMP_(ULONG) CBasePropertyPage::NonDelegatingRelease()
{
    LONG count = InterlockedDecrement(&m_cPageRef);
    if (count != 0) return AtLeastOne(count);
    // Held at 1 so that references taken and dropped during the teardown cannot destroy the
    // page a second time.
    m_cPageRef = 1;
    SetPageSite(nullptr);
    SetObjects(0, nullptr);
    delete this;
    return 0;
}

STDMETHODIMP CBasePropertyPage::SetPageSite(LPPROPERTYPAGESITE pPageSite)
{
    if (pPageSite) {
        if (m_pPageSite) return E_UNEXPECTED;
        m_pPageSite = pPageSite;
        m_pPageSite->AddRef();
        return S_OK;
    }
    if (!m_pPageSite) return E_UNEXPECTED;
    m_pPageSite->Release();
    m_pPageSite = nullptr;
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::SetObjects(ULONG cObjects, LPUNKNOWN* ppUnk)
{
    if (cObjects == 1) {
        if (!ppUnk || !ppUnk[0]) return E_POINTER;
        m_bObjectSet = TRUE;
        return OnConnect(ppUnk[0]);
    }
    if (cObjects == 0) {
        m_bObjectSet = FALSE;
        return OnDisconnect();
    }
    return E_UNEXPECTED;
}

void CBasePropertyPage::LoadWideResourceString(int id, WCHAR* buffer, int capacity)
{
    buffer[0] = 0;
    if (PlatformId == VER_PLATFORM_WIN32_NT) {
        LoadStringW(ModuleInstance, static_cast<UINT>(id), buffer, capacity);
        return;
    }
    char narrow[kTitleCapacity];
    narrow[0] = 0;
    LoadStringA(ModuleInstance, static_cast<UINT>(id), narrow, kTitleCapacity);
    if (narrow[0] && !MultiByteToWideChar(CP_ACP, 0, narrow, -1, buffer, capacity)) buffer[0] = 0;
}

bool CBasePropertyPage::MeasureDialog(SIZE& size)
{
    HWND dialog = CreateDialogParamW(ModuleInstance, MAKEINTRESOURCEW(m_DialogId), GetDesktopWindow(), DialogProc, 0);
    if (!dialog) return false;
    RECT rect;
    bool ok = GetWindowRect(dialog, &rect) != 0;
    if (ok) size = SIZE{rect.right - rect.left, rect.bottom - rect.top};
    DestroyWindow(dialog);
    return ok;
}

STDMETHODIMP CBasePropertyPage::GetPageInfo(LPPROPPAGEINFO pPageInfo)
{
    if (!pPageInfo) return E_POINTER;
    WCHAR title[kTitleCapacity];
    LoadWideResourceString(m_TitleId, title, kTitleCapacity);
    LPOLESTR copy = nullptr;
    if (FAILED(AMGetWideString(title, &copy))) return E_OUTOFMEMORY;
    pPageInfo->cb = sizeof(PROPPAGEINFO);
    pPageInfo->pszTitle = copy;
    pPageInfo->pszDocString = nullptr;
    pPageInfo->pszHelpFile = nullptr;
    pPageInfo->dwHelpContext = 0;
    pPageInfo->size = SIZE{kDefaultPageWidth, kDefaultPageHeight};
    SIZE measured;
    if (MeasureDialog(measured)) pPageInfo->size = measured;
    return S_OK;
}

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        if (!lParam) return TRUE;  // measuring only
        reinterpret_cast<CBasePropertyPage*>(lParam)->m_Dlg = hwnd;
    }
    auto* page = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!page) return TRUE;
    return page->OnReceiveMessage(hwnd, uMsg, wParam, lParam);
}

INT_PTR CBasePropertyPage::OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    auto* page = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    // While Activate is still making the dialog, or Deactivate is changing or destroying
    // it, the page's window field is null and the dialog gets no handling from the page.
    if (!page || !page->m_hwnd) return 0;
    if (uMsg == WM_STYLECHANGING && static_cast<int>(wParam) == GWL_EXSTYLE) {
        // Tab keeps moving between the page's controls even when the frame removes this.
        auto* style = reinterpret_cast<LPSTYLESTRUCT>(lParam);
        if (style) style->styleNew |= WS_EX_CONTROLPARENT;
        return 0;
    }
    return DefWindowProcW(hwnd, uMsg, wParam, lParam);
}

STDMETHODIMP CBasePropertyPage::Activate(HWND hwndParent, LPCRECT prect, BOOL)
{
    if (!prect) return E_POINTER;
    if (!m_bObjectSet) return E_UNEXPECTED;
    if (m_hwnd) return E_UNEXPECTED;
    HWND dialog = CreateDialogParamW(ModuleInstance, MAKEINTRESOURCEW(m_DialogId), hwndParent, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    if (!dialog) return E_OUTOFMEMORY;
    m_hwnd = dialog;
    OnActivate();
    Move(prect);
    return Show(SW_SHOWNORMAL);
}

STDMETHODIMP CBasePropertyPage::Deactivate()
{
    if (!m_hwnd) return E_UNEXPECTED;
    LONG_PTR exStyle = GetWindowLongPtrW(m_hwnd, GWL_EXSTYLE);
    exStyle &= ~static_cast<LONG_PTR>(WS_EX_CONTROLPARENT);
    // With the field null the page's handling leaves the style change alone.
    HWND hwnd = m_hwnd;
    m_hwnd = nullptr;
    SetWindowLongPtrW(hwnd, GWL_EXSTYLE, exStyle);
    m_hwnd = hwnd;
    OnDeactivate();
    DestroyWindow(m_hwnd);
    m_hwnd = nullptr;
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Move(LPCRECT prect)
{
    if (!prect) return E_POINTER;
    if (!m_hwnd) return E_UNEXPECTED;
    MoveWindow(m_hwnd, prect->left, prect->top, prect->right - prect->left, prect->bottom - prect->top, TRUE);
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::Show(UINT nCmdShow)
{
    if (!m_hwnd) return E_UNEXPECTED;
    if (nCmdShow != SW_HIDE && nCmdShow != SW_SHOWNORMAL && nCmdShow != SW_SHOW) return E_INVALIDARG;
    ShowWindow(m_hwnd, static_cast<int>(nCmdShow));
    InvalidateRect(m_hwnd, nullptr, TRUE);
    return S_OK;
}

STDMETHODIMP CBasePropertyPage::IsPageDirty() { return m_bDirty ? S_OK : S_FALSE; }

STDMETHODIMP CBasePropertyPage::Apply()
{
    if (!m_bObjectSet) return E_UNEXPECTED;
    if (!m_pPageSite) return E_UNEXPECTED;
    if (!m_bDirty) return S_OK;
    HRESULT hr = OnApplyChanges();
    if (SUCCEEDED(hr)) m_bDirty = FALSE;
    return hr;
}

STDMETHODIMP CBasePropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }
STDMETHODIMP CBasePropertyPage::TranslateAccelerator(LPMSG) { return E_NOTIMPL; }

HRESULT CBasePropertyPage::OnConnect(IUnknown*) { return S_OK; }
HRESULT CBasePropertyPage::OnDisconnect() { return S_OK; }
HRESULT CBasePropertyPage::OnActivate() { return S_OK; }
HRESULT CBasePropertyPage::OnDeactivate() { return S_OK; }
HRESULT CBasePropertyPage::OnApplyChanges() { return S_OK; }
