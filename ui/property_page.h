// CBasePropertyPage: the module's IPropertyPage. The frame gives it a site and the object
// to show, asks for its title and size, and activates, moves, shows, applies and
// deactivates it. The page's area is a child dialog made from a template in the module's
// resources; page classes supply the behaviour through the On... operations.
#pragma once

#include "com/unknown.h"
#include "platform/platform.h"

class CBasePropertyPage : public IPropertyPage, public CUnknown {
public:
    // `dialogId` and `titleId` name the dialog template and the title string.
    CBasePropertyPage(const char* name, LPUNKNOWN pUnk, int dialogId, int titleId);

    DECLARE_IUNKNOWN

    STDMETHODIMP SetPageSite(LPPROPERTYPAGESITE pPageSite) override;
    STDMETHODIMP Activate(HWND hwndParent, LPCRECT prect, BOOL fModal) override;
    STDMETHODIMP Deactivate() override;
    STDMETHODIMP GetPageInfo(LPPROPPAGEINFO pPageInfo) override;
    STDMETHODIMP SetObjects(ULONG cObjects, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP Show(UINT nCmdShow) override;
    STDMETHODIMP Move(LPCRECT prect) override;
    STDMETHODIMP IsPageDirty() override;
    STDMETHODIMP Apply() override;
    STDMETHODIMP Help(LPCOLESTR lpszHelpDir) override;
    STDMETHODIMP TranslateAccelerator(LPMSG lpMsg) override;

    virtual ~CBasePropertyPage();

    // Called by SetObjects with one object, and with none (also once more at the final
    // release, so it must tolerate a page that is already disconnected).
    virtual HRESULT OnConnect(IUnknown* pUnknown);
    virtual HRESULT OnDisconnect();
    // After the dialog exists, and before it is destroyed.
    virtual HRESULT OnActivate();
    virtual HRESULT OnDeactivate();
    // By Apply, only when the page is dirty.
    virtual HRESULT OnApplyChanges();
    // Every message of the page's dialog once the page is known to it.
    virtual INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    // The final release disconnects the page (SetPageSite and SetObjects with nothing)
    // before destroying it.
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;

protected:
    IPropertyPageSite* m_pPageSite = nullptr;
    HWND m_hwnd = nullptr;  // the dialog made by Activate; null while inactive
    HWND m_Dlg = nullptr;   // the dialog that last reported WM_INITDIALOG for this page
    BOOL m_bDirty = FALSE;
    int m_TitleId;
    int m_DialogId;
    BOOL m_bObjectSet = FALSE;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    // The title string as UTF-16, by the wide or the narrow loader as the platform suits.
    void LoadWideResourceString(int id, WCHAR* buffer, int capacity);
    // The pixel size of the page's dialog; false when it cannot be made.
    bool MeasureDialog(SIZE& size);

    LONG volatile m_cPageRef = 0;
};
