#include "ui/VEvavaForm.h"

#include <new>

#include "com/unknown.h"
#include "ui/resource_ids.h"

const WCHAR kMakerWebAddress[] = WIDE("http://durazodo.example/");

void OpenMakerWebAddress()
{
    HINSTANCE result = ShellExecuteW(nullptr, WIDE("open"), kMakerWebAddress, nullptr, nullptr, SW_SHOWDEFAULT);
    if (reinterpret_cast<INT_PTR>(result) <= 32)
        MessageBoxW(nullptr, WIDE("Unable to connect to Internet"), nullptr, MB_OK);
}

namespace {
constexpr UINT kRefreshPeriodMs = 66;
constexpr UINT kRefreshResolutionMs = 1;
}  // namespace

TForm1::TForm1(HINSTANCE instance) : forms::Form(instance, IDR_ABOUT_FORM)
{
    Bind("FormClose", [this] { FormClose(); });
    Bind("FormDestroy", [this] { FormDestroy(); });
    Bind("Label1Click", [this] { Label1Click(); });
    Loaded();
}

TForm1* TForm1::CreateParented(HWND parent)
{
    auto* form = new (std::nothrow) TForm1(ModuleInstance);
    if (!form) return nullptr;
    form->SetParentWindow(parent);
    if (!form->Handle()) {
        form->Free();
        return nullptr;
    }
    PostMessageW(parent, WM_ABOUT_CREATED, 0, 0);
    return form;
}

void TForm1::StartRefreshTimer()
{
    StopRefreshTimer();
    // Killing the timer waits for a callback in progress, so the window may be freed as
    // soon as StopRefreshTimer returns.
    m_TimerId = timeSetEvent(kRefreshPeriodMs, kRefreshResolutionMs, RefreshTimerProc, reinterpret_cast<DWORD_PTR>(this),
                             TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    MoveTo(0, 0);
}

void TForm1::StopRefreshTimer()
{
    if (m_TimerId == 0) return;
    timeKillEvent(m_TimerId);
    m_TimerId = 0;
}

void CALLBACK TForm1::RefreshTimerProc(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR)
{
    // Runs on the timer thread: reads the parent handle and posts, nothing else.
    auto* form = reinterpret_cast<TForm1*>(user);
    HWND parent = form->ParentWindow();
    if (parent) PostMessageW(parent, WM_ABOUT_REFRESH, 0, 0);
}

void TForm1::FormClose()
{
    StopRefreshTimer();
    Hide();
}

void TForm1::FormDestroy() { StopRefreshTimer(); }

void TForm1::Label1Click() { OpenMakerWebAddress(); }
