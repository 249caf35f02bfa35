// TForm1, the about window: a borderless panel with the product title, a status line, the
// product picture, the copyright notice and the web address. Clicking the title opens the
// web address. While its refresh timer runs it posts WM_USER + 11 to its parent window
// about 15 times a second.
#pragma once

#include "platform/platform.h"
#include "ui/forms/form.h"

// The window's notifications to its parent window.
#define WM_ABOUT_REFRESH (WM_USER + 11)  // from the refresh timer
#define WM_ABOUT_CREATED (WM_USER + 12)  // once, when the window has been created

// The maker's web address, shown on the window and opened by a click on the title.
extern const WCHAR kMakerWebAddress[];

// Opens the maker's web address in the desktop's browser; says so in a message box when it
// cannot. The about and debug windows' titles do this when clicked.
void OpenMakerWebAddress();

class TForm1 : public forms::Form {
public:
    // Creates the window as a child of `parent` (no owning component) and posts
    // WM_ABOUT_CREATED to `parent`. Release it with Release() or Free().
    static TForm1* CreateParented(HWND parent);

    // Starts the periodic refresh timer (66 ms) and moves the window to 0, 0 of its parent.
    // A timer already running is stopped first, so the window never has two.
    void StartRefreshTimer();
    // Stops the timer if it runs; when this returns no timer callback is running or will run.
    void StopRefreshTimer();
    UINT TimerId() const { return m_TimerId; }

    // Event handlers named in the description.
    void FormClose();
    void FormDestroy();
    void Label1Click();

private:
    explicit TForm1(HINSTANCE instance);
    ~TForm1() override = default;

    static void CALLBACK RefreshTimerProc(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR, DWORD_PTR);

    UINT m_TimerId = 0;
};
