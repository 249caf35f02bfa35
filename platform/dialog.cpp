// Dialogs of the native platform: dialog windows made from module templates (the dialog box
// alone: there are no control classes), the default dialog procedure and dialog units.
#include "platform/platform.h"
#include "platform/resources.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The system font's base units.
constexpr int kBaseUnitX = 8;
constexpr int kBaseUnitY = 16;

// value * numerator / denominator, rounded half away from zero (as MulDiv).
LONG DialogUnitsToPixels(LONG value, LONG numerator, LONG denominator)
{
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    return static_cast<LONG>(product >= 0 ? (product + half) / denominator : -((-product + half) / denominator));
}

// Reads a resource string or ordinal of a dialog template; advances `p`.
bool SkipSzOrOrd(const uint8_t*& p, const uint8_t* end, std::u16string* text)
{
    if (end - p < 2) return false;
    WORD first;
    std::memcpy(&first, p, 2);
    if (first == 0xFFFF) {
        if (end - p < 4) return false;
        p += 4;
        return true;
    }
    for (;;) {
        if (end - p < 2) return false;
        WORD unit;
        std::memcpy(&unit, p, 2);
        p += 2;
        if (!unit) return true;
        if (text) text->push_back(static_cast<char16_t>(unit));
    }
}

// Dialog units to pixels with the system font's base units, rounded as MulDiv rounds.
void MapDialogUnits(RECT& r)
{
    r.left = DialogUnitsToPixels(r.left, kBaseUnitX, 4);
    r.right = DialogUnitsToPixels(r.right, kBaseUnitX, 4);
    r.top = DialogUnitsToPixels(r.top, kBaseUnitY, 8);
    r.bottom = DialogUnitsToPixels(r.bottom, kBaseUnitY, 8);
}

// A dialog from a template of `size` bytes: the window, then WM_INITDIALOG with `param`.
HWND CreateDialogFromTemplate(HINSTANCE instance, const DLGTEMPLATE* tmpl, DWORD size, HWND parent, DLGPROC proc,
                              LPARAM param)
{
    if (!tmpl || size < 18) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(tmpl);
    const uint8_t* end = p + size;
    DWORD style, exStyle;
    short x, y, cx, cy;
    WORD version, signature;
    std::memcpy(&version, p, 2);
    std::memcpy(&signature, p + 2, 2);
    if (version == 1 && signature == 0xFFFF) {
        // Extended template: version, signature, help id, extended style, style, items, box.
        if (size < 26) return nullptr;
        std::memcpy(&exStyle, p + 8, 4);
        std::memcpy(&style, p + 12, 4);
        std::memcpy(&x, p + 18, 2);
        std::memcpy(&y, p + 20, 2);
        std::memcpy(&cx, p + 22, 2);
        std::memcpy(&cy, p + 24, 2);
        p += 26;
    } else {
        std::memcpy(&style, p, 4);
        std::memcpy(&exStyle, p + 4, 4);
        std::memcpy(&x, p + 10, 2);
        std::memcpy(&y, p + 12, 2);
        std::memcpy(&cx, p + 14, 2);
        std::memcpy(&cy, p + 16, 2);
        p += 18;
    }
    std::u16string caption;
    // Menu and class are not used: every dialog is of the dialog class, without a menu.
    if (!SkipSzOrOrd(p, end, nullptr) || !SkipSzOrOrd(p, end, nullptr) || !SkipSzOrOrd(p, end, &caption)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    // Dialog units to pixels with the system font's base units. Controls of the template
    // are not created: there are no control classes here.
    RECT r{x, y, x + cx, y + cy};
    MapDialogUnits(r);
    AdjustWindowRectEx(&r, style, FALSE, exStyle);
    if (!(style & WS_CHILD)) {
        // A top-level dialog's position is its client origin on the screen.
        r.right -= r.left;
        r.bottom -= r.top;
        r.left = r.top = 0;
    }
    HWND hwnd = CreateWindowExW(exStyle, u"#32770", caption.c_str(), style & ~static_cast<DWORD>(WS_VISIBLE), r.left,
                                r.top, r.right - r.left, r.bottom - r.top, parent, nullptr, instance, nullptr);
    if (!hwnd) return nullptr;
    SetWindowLongPtrW(hwnd, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
    SendMessageW(hwnd, WM_INITDIALOG, 0, param);
    if (!IsWindow(hwnd)) return nullptr;
    if (style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOWNORMAL);
    return hwnd;
}

}  // namespace

HWND CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                        LPARAM dwInitParam)
{
    DWORD size = 0;
    auto data = static_cast<const DLGTEMPLATE*>(platform::FindModuleResource(hInstance, lpTemplateName, RT_DIALOG, size));
    if (!data) return nullptr;
    return CreateDialogFromTemplate(hInstance, data, size, hWndParent, lpDialogFunc, dwInitParam);
}

LRESULT DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(hDlg, DWLP_DLGPROC));
    if (proc) {
        INT_PTR handled = proc(hDlg, Msg, wParam, lParam);
        if (Msg == WM_INITDIALOG) return handled;
        if (handled) return IsWindow(hDlg) ? GetWindowLongPtrW(hDlg, DWLP_MSGRESULT) : 0;
    }
    if (!IsWindow(hDlg)) return 0;
    switch (Msg) {
    case WM_CLOSE:
        PostMessageW(hDlg, WM_COMMAND, IDCANCEL, 0);
        return 0;
    case WM_ERASEBKGND: {
        RECT client;
        GetClientRect(hDlg, &client);
        FillRect(reinterpret_cast<HDC>(wParam), &client, GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    default:
        return DefWindowProcW(hDlg, Msg, wParam, lParam);
    }
}

LONG GetDialogBaseUnits(void) { return MAKELONG(kBaseUnitX, kBaseUnitY); }
