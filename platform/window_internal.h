// Internal to the native platform: what the window services share with drawing and timers.
#pragma once

#include "platform/platform.h"

namespace platform {

// The screen of the headless window system.
constexpr LONG kDesktopWidth = 1280;
constexpr LONG kDesktopHeight = 1024;

// The size of a window's client area; false when the handle names no window.
bool WindowClientSize(HWND hwnd, SIZE& size);

// A dialog from a template of `size` bytes: the window, then WM_INITDIALOG with `param`.
HWND CreateDialogFromTemplate(HINSTANCE instance, const DLGTEMPLATE* tmpl, DWORD size, HWND parent, DLGPROC proc,
                              LPARAM param);

// value * numerator / denominator, rounded half away from zero (as MulDiv).
inline LONG DialogUnitsToPixels(LONG value, LONG numerator, LONG denominator)
{
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    return static_cast<LONG>(product >= 0 ? (product + half) / denominator : -((-product + half) / denominator));
}

}  // namespace platform
