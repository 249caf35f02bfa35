// CVEvavaProp, the decoder filter's property page. It has no controls: it connects to the
// filter through IIPEffect and fills its area with the about window.
#pragma once

#include "filter/iipeffect.h"
#include "framework/com_ref.h"
#include "platform/platform.h"
#include "ui/property_page.h"
#include "ui/VEvavaForm.h"

class CVEvavaProp : public CBasePropertyPage {
public:
    // The page's creation function for the factory template table. Stores E_OUTOFMEMORY
    // through `phr` and returns null when the page cannot be allocated.
    static CUnknown* CreateInstance(LPUNKNOWN pUnk, HRESULT* phr);

    HRESULT OnConnect(IUnknown* pUnknown) override;
    HRESULT OnDisconnect() override;
    HRESULT OnActivate() override;
    HRESULT OnDeactivate() override;
    HRESULT OnApplyChanges() override;
    INT_PTR OnReceiveMessage(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) override;

    // The about window of the current activation, null before the first.
    TForm1* AboutForm() const { return m_AboutForm; }

private:
    explicit CVEvavaProp(LPUNKNOWN pUnk);
    ~CVEvavaProp() override;

    // Stops the about window's timer, detaches it from the page and releases it.
    void TearDownAboutForm();

    TForm1* m_AboutForm = nullptr;
    // The connected filter's parameter interface, released when the page disconnects or goes.
    ComRef<IIPEffect> m_EffectInterface;
};
