// Windows of the native platform: a headless window system of window classes and windows
// with parent, owner, style, rectangle, text, user slots and a window procedure.
//
// Every window lives in one handle table behind one lock (platform/window_table.h). The
// lock is never held while a window procedure runs, so procedures may create, destroy and
// message windows freely.
#include "platform/platform.h"
#include "platform/window_table.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::windowing {

std::mutex g_lock;
std::map<HWND, std::shared_ptr<Window>> g_windows;
HWND g_desktop = nullptr;

}  // namespace platform::windowing

using namespace platform::windowing;

namespace {

// The screen of the headless window system.
constexpr LONG kDesktopWidth = 1280;
constexpr LONG kDesktopHeight = 1024;

std::vector<std::shared_ptr<WindowClass>> g_classes;
uintptr_t g_nextHandle = 0x10010;

thread_local HWND t_capture = nullptr;

LRESULT CALLBACK DesktopProc(HWND, UINT, WPARAM, LPARAM) { return 0; }
LRESULT CALLBACK DialogClassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefDlgProcW(hwnd, msg, wParam, lParam);
}

// Called with g_lock held.
void EnsureDesktop()
{
    if (g_desktop) return;
    auto dialogClass = std::make_shared<WindowClass>();
    dialogClass->name = u"#32770";
    dialogClass->proc = DialogClassProc;
    dialogClass->wndExtra = DLGWINDOWEXTRA;
    dialogClass->system = true;
    g_classes.push_back(dialogClass);

    auto desktopClass = std::make_shared<WindowClass>();
    desktopClass->name = u"#32769";
    desktopClass->proc = DesktopProc;
    desktopClass->system = true;
    g_classes.push_back(desktopClass);

    auto desktop = std::make_shared<Window>();
    desktop->handle = reinterpret_cast<HWND>(g_nextHandle);
    g_nextHandle += 4;
    desktop->cls = desktopClass;
    desktop->proc = DesktopProc;
    desktop->style = WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN;
    desktop->rect = {0, 0, kDesktopWidth, kDesktopHeight};
    g_desktop = desktop->handle;
    g_windows[g_desktop] = desktop;
}

// The frame thickness of a window's style on each side, and the caption height.
void FrameOf(DWORD style, DWORD exStyle, RECT& frame)
{
    LONG edge = 0;
    if (style & WS_THICKFRAME)
        edge = 4;
    else if ((style & WS_CAPTION) == WS_CAPTION || (style & WS_DLGFRAME) || (exStyle & WS_EX_DLGMODALFRAME))
        edge = 3;
    else if (style & WS_BORDER)
        edge = 1;
    if (exStyle & WS_EX_CLIENTEDGE) edge += 2;
    frame = {edge, edge, edge, edge};
    if ((style & WS_CAPTION) == WS_CAPTION) frame.top += (exStyle & WS_EX_TOOLWINDOW) ? 16 : 19;
}

// A window's client origin in screen coordinates. Called with g_lock held.
POINT ClientOrigin(const std::shared_ptr<Window>& w)
{
    POINT origin{0, 0};
    for (auto cur = w; cur && cur->handle != g_desktop;) {
        RECT frame;
        FrameOf(cur->style, cur->exStyle, frame);
        origin.x += cur->rect.left + frame.left;
        origin.y += cur->rect.top + frame.top;
        if (!(cur->style & WS_CHILD) || !cur->parent) break;
        cur = Find(cur->parent);
    }
    return origin;
}

SIZE ClientSize(const Window& w)
{
    RECT frame;
    FrameOf(w.style, w.exStyle, frame);
    LONG cx = (w.rect.right - w.rect.left) - frame.left - frame.right;
    LONG cy = (w.rect.bottom - w.rect.top) - frame.top - frame.bottom;
    return {cx > 0 ? cx : 0, cy > 0 ? cy : 0};
}

void SendPosChanged(HWND hwnd, const WINDOWPOS& pos)
{
    WINDOWPOS copy = pos;
    SendMessageW(hwnd, WM_WINDOWPOSCHANGED, 0, reinterpret_cast<LPARAM>(&copy));
}

}  // namespace

namespace platform::windowing {

std::shared_ptr<Window> Find(HWND hwnd)
{
    EnsureDesktop();
    auto it = g_windows.find(hwnd);
    if (it == g_windows.end()) return nullptr;
    return it->second;
}

std::shared_ptr<Window> FindOrFail(HWND hwnd)
{
    auto w = Find(hwnd);
    if (!w) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return w;
}

std::shared_ptr<Window> Lookup(HWND hwnd)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return FindOrFail(hwnd);
}

bool VisibleChain(std::shared_ptr<Window> w)
{
    while (w) {
        if (!(w->style & WS_VISIBLE)) return false;
        if (!(w->style & WS_CHILD) || !w->parent) return true;
        w = Find(w->parent);
    }
    return false;
}

bool IsEmpty(const RECT& r) { return r.right <= r.left || r.bottom <= r.top; }

LRESULT CallProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WNDPROC proc;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hwnd);
        if (!w) return 0;
        proc = w->proc;
    }
    return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

}  // namespace platform::windowing

// ---- Classes -------------------------------------------------------------------------------

namespace {

bool SameName(const std::u16string& a, LPCWSTR b)
{
    if (IS_INTRESOURCE(b)) return false;
    size_t n = 0;
    for (; b[n]; ++n) {
        if (n >= a.size()) return false;
        auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
        if (lower(a[n]) != lower(b[n])) return false;
    }
    return n == a.size();
}

// Called with g_lock held.
std::shared_ptr<WindowClass> FindClass(LPCWSTR name, HINSTANCE instance, bool exact)
{
    EnsureDesktop();
    for (auto& c : g_classes)
        if (!c->system && c->instance == instance && SameName(c->name, name)) return c;
    if (exact) return nullptr;
    for (auto& c : g_classes)
        if (c->system && SameName(c->name, name)) return c;
    for (auto& c : g_classes)
        if (SameName(c->name, name)) return c;
    return nullptr;
}

}  // namespace

ATOM RegisterClassExW(const WNDCLASSEXW* wc)
{
    if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName) ||
        !wc->lpfnWndProc || wc->cbWndExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    if (FindClass(wc->lpszClassName, wc->hInstance, true)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto c = std::make_shared<WindowClass>();
    c->name = wc->lpszClassName;
    c->style = wc->style;
    c->proc = wc->lpfnWndProc;
    c->wndExtra = wc->cbWndExtra;
    c->instance = wc->hInstance;
    c->background = wc->hbrBackground;
    c->icon = wc->hIcon;
    c->cursor = wc->hCursor;
    g_classes.push_back(c);
    return static_cast<ATOM>(0xC000 + g_classes.size());
}

BOOL GetClassInfoExW(HINSTANCE hInstance, LPCWSTR lpszClass, LPWNDCLASSEXW wc)
{
    if (!wc) return FALSE;
    std::lock_guard<std::mutex> lock(g_lock);
    auto c = FindClass(lpszClass, hInstance, false);
    if (!c) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    wc->style = c->style;
    wc->lpfnWndProc = c->proc;
    wc->cbClsExtra = 0;
    wc->cbWndExtra = c->wndExtra;
    wc->hInstance = c->instance;
    wc->hIcon = c->icon;
    wc->hCursor = c->cursor;
    wc->hbrBackground = c->background;
    wc->lpszMenuName = nullptr;
    wc->lpszClassName = lpszClass;
    wc->hIconSm = nullptr;
    return TRUE;
}

ULONG_PTR GetClassLongPtrW(HWND hWnd, int nIndex)
{
    auto w = Lookup(hWnd);
    if (!w) return 0;
    switch (nIndex) {
    case GCLP_HBRBACKGROUND: return reinterpret_cast<ULONG_PTR>(w->cls->background);
    case GCLP_HCURSOR: return reinterpret_cast<ULONG_PTR>(w->cls->cursor);
    case GCLP_HICON: return reinterpret_cast<ULONG_PTR>(w->cls->icon);
    case GCLP_WNDPROC: return reinterpret_cast<ULONG_PTR>(w->cls->proc);
    default: return 0;
    }
}

int GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount)
{
    if (!lpClassName || nMaxCount <= 0) return 0;
    auto w = Lookup(hWnd);
    if (!w) return 0;
    size_t n = std::min(w->cls->name.size(), static_cast<size_t>(nMaxCount - 1));
    std::memcpy(lpClassName, w->cls->name.data(), n * sizeof(WCHAR));
    lpClassName[n] = 0;
    return static_cast<int>(n);
}

// ---- Windows -------------------------------------------------------------------------------

HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam)
{
    // As on Windows, a thread that creates a window has a message queue from then on, so
    // other threads can post to the window before its owner first reads messages.
    EnsureThreadQueue();
    auto w = std::make_shared<Window>();
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto cls = FindClass(lpClassName, hInstance, false);
        if (!cls) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        std::shared_ptr<Window> parent;
        if (hWndParent) {
            parent = FindOrFail(hWndParent);
            if (!parent) return nullptr;
        }
        if ((dwStyle & WS_CHILD) && !parent) {
            SetLastError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        if (X == CW_USEDEFAULT) X = Y = 0;
        if (nWidth == CW_USEDEFAULT) {
            nWidth = 640;
            nHeight = 480;
        }
        w->handle = reinterpret_cast<HWND>(g_nextHandle);
        g_nextHandle += 4;
        w->cls = cls;
        w->thread = GetCurrentThreadId();
        if (dwStyle & WS_CHILD) {
            w->parent = hWndParent;
            w->id = reinterpret_cast<LONG_PTR>(hMenu);
            parent->children.insert(parent->children.begin(), w->handle);
        } else {
            w->owner = hWndParent;
        }
        w->style = dwStyle & ~static_cast<DWORD>(WS_VISIBLE);
        w->exStyle = dwExStyle;
        w->rect = {X, Y, X + std::max(nWidth, 0), Y + std::max(nHeight, 0)};
        w->proc = cls->proc;
        w->instance = hInstance;
        w->extra.assign(static_cast<size_t>(cls->wndExtra), 0);
        g_windows[w->handle] = w;
    }
    HWND hwnd = w->handle;
    CREATESTRUCTW cs{lpParam, hInstance, hMenu, hWndParent, nHeight, nWidth, Y, X, static_cast<LONG>(dwStyle),
                     lpWindowName, lpClassName, dwExStyle};
    if (!SendMessageW(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (SendMessageW(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (!IsWindow(hwnd)) return nullptr;
    RECT client;
    GetClientRect(hwnd, &client);
    SendMessageW(hwnd, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
    SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(X, Y));
    if (dwStyle & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
    return hwnd;
}

BOOL DestroyWindow(HWND hWnd)
{
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hWnd);
        if (!w || hWnd == g_desktop) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->thread != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (w->destroying) return TRUE;
        w->destroying = true;
        w->style &= ~static_cast<DWORD>(WS_VISIBLE);
        children = w->children;
    }
    SendMessageW(hWnd, WM_DESTROY, 0, 0);
    for (HWND child : children) DestroyWindow(child);
    // Top-level windows that this one owns go with it.
    std::vector<HWND> owned;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (auto& [handle, other] : g_windows)
            if (other->owner == hWnd && !other->destroying) owned.push_back(handle);
    }
    for (HWND o : owned) DestroyWindow(o);
    SendMessageW(hWnd, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_windows.find(hWnd);
    if (it != g_windows.end()) {
        if (it->second->parent) {
            if (auto parent = Find(it->second->parent)) {
                auto& list = parent->children;
                list.erase(std::remove(list.begin(), list.end(), hWnd), list.end());
            }
        }
        g_windows.erase(it);
    }
    if (t_capture == hWnd) t_capture = nullptr;
    return TRUE;
}

LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_NCCREATE: {
        auto cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        if (cs && cs->lpszName && !IS_INTRESOURCE(cs->lpszName)) {
            std::lock_guard<std::mutex> lock(g_lock);
            if (auto w = Find(hWnd)) w->text = cs->lpszName;
        }
        return TRUE;
    }
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(hWnd, &ps);
        EndPaint(hWnd, &ps);
        return 0;
    }
    case WM_ERASEBKGND: {
        HBRUSH brush = reinterpret_cast<HBRUSH>(GetClassLongPtrW(hWnd, GCLP_HBRBACKGROUND));
        if (!brush) return 0;
        RECT client;
        GetClientRect(hWnd, &client);
        FillRect(reinterpret_cast<HDC>(wParam), &client, brush);
        return 1;
    }
    case WM_SETTEXT: {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hWnd);
        if (!w) return FALSE;
        auto text = reinterpret_cast<LPCWSTR>(lParam);
        w->text = text ? text : u"";
        return TRUE;
    }
    case WM_GETTEXT: {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hWnd);
        auto buffer = reinterpret_cast<LPWSTR>(lParam);
        if (!w || !buffer || wParam == 0) return 0;
        size_t n = std::min(w->text.size(), static_cast<size_t>(wParam - 1));
        std::memcpy(buffer, w->text.data(), n * sizeof(WCHAR));
        buffer[n] = 0;
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hWnd);
        return w ? static_cast<LRESULT>(w->text.size()) : 0;
    }
    case WM_WINDOWPOSCHANGED: {
        auto pos = reinterpret_cast<const WINDOWPOS*>(lParam);
        if (!pos) return 0;
        if (!(pos->flags & SWP_NOMOVE)) SendMessageW(hWnd, WM_MOVE, 0, MAKELPARAM(pos->x, pos->y));
        if (!(pos->flags & SWP_NOSIZE)) {
            RECT client;
            GetClientRect(hWnd, &client);
            SendMessageW(hWnd, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
        }
        return 0;
    }
    default:
        return 0;
    }
}

BOOL IsWindow(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return Find(hWnd) != nullptr;
}

BOOL IsWindowVisible(HWND hWnd)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = Find(hWnd);
    return w && VisibleChain(w);
}

BOOL IsChild(HWND hWndParent, HWND hWnd)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = Find(hWnd);
    while (w && (w->style & WS_CHILD) && w->parent) {
        if (w->parent == hWndParent) return TRUE;
        w = Find(w->parent);
    }
    return FALSE;
}

HWND GetParent(HWND hWnd)
{
    auto w = Lookup(hWnd);
    if (!w) return nullptr;
    if (w->style & WS_CHILD) return w->parent;
    if (w->style & WS_POPUP) return w->owner;
    return nullptr;
}

HWND SetParent(HWND hWndChild, HWND hWndNewParent)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = Find(hWndChild);
    if (!w || hWndChild == g_desktop) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    std::shared_ptr<Window> newParent = FindOrFail(hWndNewParent ? hWndNewParent : g_desktop);
    if (!newParent) return nullptr;
    // A window cannot become a child of itself or of one of its descendants.
    for (auto cur = newParent; cur;) {
        if (cur == w) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!cur->parent) break;
        cur = Find(cur->parent);
    }
    HWND old = w->parent ? w->parent : g_desktop;
    if (auto oldParent = Find(old)) {
        auto& list = oldParent->children;
        list.erase(std::remove(list.begin(), list.end(), hWndChild), list.end());
    }
    w->parent = newParent->handle;
    newParent->children.insert(newParent->children.begin(), hWndChild);
    return old;
}

HWND GetDesktopWindow(void)
{
    std::lock_guard<std::mutex> lock(g_lock);
    EnsureDesktop();
    return g_desktop;
}

HWND GetWindow(HWND hWnd, UINT uCmd)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = FindOrFail(hWnd);
    if (!w) return nullptr;
    if (uCmd == GW_CHILD) return w->children.empty() ? nullptr : w->children.front();
    if (uCmd == GW_OWNER) return w->owner;
    auto parent = Find(w->parent ? w->parent : g_desktop);
    if (!parent) return nullptr;
    const auto& list = parent->children;
    auto it = std::find(list.begin(), list.end(), hWnd);
    switch (uCmd) {
    case GW_HWNDFIRST: return list.empty() ? nullptr : list.front();
    case GW_HWNDLAST: return list.empty() ? nullptr : list.back();
    case GW_HWNDNEXT: return it == list.end() || it + 1 == list.end() ? nullptr : *(it + 1);
    case GW_HWNDPREV: return it == list.end() || it == list.begin() ? nullptr : *(it - 1);
    default: return nullptr;
    }
}

namespace {

bool ExtraSlot(Window& w, int index, size_t size)
{
    return index >= 0 && static_cast<size_t>(index) + size <= w.extra.size();
}

}  // namespace

LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = FindOrFail(hWnd);
    if (!w) return 0;
    switch (nIndex) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>((w->style & WS_CHILD) ? w->parent : w->owner);
    case GWLP_ID: return w->id;
    case GWL_STYLE: return static_cast<LONG_PTR>(static_cast<LONG>(w->style));
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(static_cast<LONG>(w->exStyle));
    case GWLP_USERDATA: return w->userData;
    default:
        if (!ExtraSlot(*w, nIndex, sizeof(LONG_PTR))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        LONG_PTR value;
        std::memcpy(&value, w->extra.data() + nIndex, sizeof value);
        return value;
    }
}

LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    if (nIndex == GWL_STYLE || nIndex == GWL_EXSTYLE) {
        STYLESTRUCT change;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            auto w = FindOrFail(hWnd);
            if (!w) return 0;
            change.styleOld = nIndex == GWL_STYLE ? w->style : w->exStyle;
        }
        change.styleNew = static_cast<DWORD>(dwNewLong);
        SendMessageW(hWnd, WM_STYLECHANGING, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(&change));
        {
            std::lock_guard<std::mutex> lock(g_lock);
            auto w = Find(hWnd);
            if (!w) return 0;
            (nIndex == GWL_STYLE ? w->style : w->exStyle) = change.styleNew;
        }
        SendMessageW(hWnd, WM_STYLECHANGED, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(&change));
        return static_cast<LONG_PTR>(static_cast<LONG>(change.styleOld));
    }
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = FindOrFail(hWnd);
    if (!w) return 0;
    LONG_PTR old = 0;
    switch (nIndex) {
    case GWLP_WNDPROC:
        old = reinterpret_cast<LONG_PTR>(w->proc);
        w->proc = reinterpret_cast<WNDPROC>(dwNewLong);
        return old;
    case GWLP_HINSTANCE:
        old = reinterpret_cast<LONG_PTR>(w->instance);
        w->instance = reinterpret_cast<HINSTANCE>(dwNewLong);
        return old;
    case GWLP_HWNDPARENT:
        old = reinterpret_cast<LONG_PTR>(w->owner);
        w->owner = reinterpret_cast<HWND>(dwNewLong);
        return old;
    case GWLP_ID:
        old = w->id;
        w->id = dwNewLong;
        return old;
    case GWLP_USERDATA:
        old = w->userData;
        w->userData = dwNewLong;
        return old;
    default:
        if (!ExtraSlot(*w, nIndex, sizeof(LONG_PTR))) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::memcpy(&old, w->extra.data() + nIndex, sizeof old);
        std::memcpy(w->extra.data() + nIndex, &dwNewLong, sizeof dwNewLong);
        return old;
    }
}

int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount)
{
    if (!lpString || nMaxCount <= 0) return 0;
    lpString[0] = 0;
    return static_cast<int>(SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

BOOL ShowWindow(HWND hWnd, int nCmdShow)
{
    bool wasVisible;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hWnd);
        if (!w || hWnd == g_desktop) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        wasVisible = (w->style & WS_VISIBLE) != 0;
    }
    bool show = nCmdShow != SW_HIDE;
    if (show == wasVisible) return wasVisible;
    SendMessageW(hWnd, WM_SHOWWINDOW, show, 0);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hWnd);
        if (!w) return wasVisible;
        if (show)
            w->style |= WS_VISIBLE;
        else
            w->style &= ~static_cast<DWORD>(WS_VISIBLE);
    }
    if (show) InvalidateRect(hWnd, nullptr, TRUE);
    return wasVisible;
}

BOOL SetWindowPos(HWND hWnd, HWND, int X, int Y, int cx, int cy, UINT uFlags)
{
    WINDOWPOS pos{hWnd, nullptr, X, Y, cx, cy, uFlags};
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hWnd);
        if (!w || hWnd == g_desktop) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (uFlags & SWP_NOMOVE) {
            pos.x = w->rect.left;
            pos.y = w->rect.top;
        }
        if (uFlags & SWP_NOSIZE) {
            pos.cx = w->rect.right - w->rect.left;
            pos.cy = w->rect.bottom - w->rect.top;
        }
    }
    SendMessageW(hWnd, WM_WINDOWPOSCHANGING, 0, reinterpret_cast<LPARAM>(&pos));
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = Find(hWnd);
        if (!w) return FALSE;
        w->rect = {pos.x, pos.y, pos.x + std::max(pos.cx, 0), pos.y + std::max(pos.cy, 0)};
    }
    if (uFlags & SWP_SHOWWINDOW) ShowWindow(hWnd, SW_SHOWNA);
    if (uFlags & SWP_HIDEWINDOW) ShowWindow(hWnd, SW_HIDE);
    SendPosChanged(hWnd, pos);
    if (!(uFlags & SWP_NOREDRAW)) InvalidateRect(hWnd, nullptr, TRUE);
    return TRUE;
}

BOOL MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint)
{
    return SetWindowPos(hWnd, nullptr, X, Y, nWidth, nHeight,
                        SWP_NOZORDER | SWP_NOACTIVATE | (bRepaint ? 0u : static_cast<UINT>(SWP_NOREDRAW)));
}

BOOL GetWindowRect(HWND hWnd, LPRECT lpRect)
{
    if (!lpRect) return FALSE;
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = FindOrFail(hWnd);
    if (!w) return FALSE;
    POINT origin{0, 0};
    if ((w->style & WS_CHILD) && w->parent)
        if (auto parent = Find(w->parent)) origin = ClientOrigin(parent);
    *lpRect = {origin.x + w->rect.left, origin.y + w->rect.top, origin.x + w->rect.right, origin.y + w->rect.bottom};
    return TRUE;
}

BOOL GetClientRect(HWND hWnd, LPRECT lpRect)
{
    if (!lpRect) return FALSE;
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = FindOrFail(hWnd);
    if (!w) return FALSE;
    SIZE size = ClientSize(*w);
    *lpRect = {0, 0, size.cx, size.cy};
    return TRUE;
}

namespace {

// Moves a point from the window's client coordinates to the screen's, or back.
BOOL MapClientPoint(HWND hWnd, LPPOINT lpPoint, bool toScreen)
{
    if (!lpPoint) return FALSE;
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = Find(hWnd);
    if (!w) return FALSE;
    POINT origin = ClientOrigin(w);
    if (toScreen) {
        lpPoint->x += origin.x;
        lpPoint->y += origin.y;
    } else {
        lpPoint->x -= origin.x;
        lpPoint->y -= origin.y;
    }
    return TRUE;
}

}  // namespace

BOOL ScreenToClient(HWND hWnd, LPPOINT lpPoint) { return MapClientPoint(hWnd, lpPoint, false); }

BOOL AdjustWindowRectEx(LPRECT lpRect, DWORD dwStyle, BOOL, DWORD dwExStyle)
{
    if (!lpRect) return FALSE;
    RECT frame;
    FrameOf(dwStyle, dwExStyle, frame);
    lpRect->left -= frame.left;
    lpRect->top -= frame.top;
    lpRect->right += frame.right;
    lpRect->bottom += frame.bottom;
    return TRUE;
}

BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase)
{
    if (!hWnd) return TRUE;
    DWORD thread;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = FindOrFail(hWnd);
        if (!w) return FALSE;
        SIZE size = ClientSize(*w);
        RECT r = lpRect ? *lpRect : RECT{0, 0, size.cx, size.cy};
        r.left = std::max<LONG>(r.left, 0);
        r.top = std::max<LONG>(r.top, 0);
        r.right = std::min<LONG>(r.right, size.cx);
        r.bottom = std::min<LONG>(r.bottom, size.cy);
        if (IsEmpty(r)) return TRUE;
        if (IsEmpty(w->update)) {
            w->update = r;
        } else {
            w->update.left = std::min(w->update.left, r.left);
            w->update.top = std::min(w->update.top, r.top);
            w->update.right = std::max(w->update.right, r.right);
            w->update.bottom = std::max(w->update.bottom, r.bottom);
        }
        if (bErase) w->erase = true;
        thread = w->thread;
    }
    Wake(thread);
    return TRUE;
}

BOOL ValidateRect(HWND hWnd, const RECT* lpRect)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto w = FindOrFail(hWnd);
    if (!w) return FALSE;
    const RECT& u = w->update;
    if (!lpRect || (lpRect->left <= u.left && lpRect->top <= u.top && lpRect->right >= u.right &&
                    lpRect->bottom >= u.bottom)) {
        w->update = RECT{};
        w->erase = false;
    }
    return TRUE;
}

BOOL GetUpdateRect(HWND hWnd, LPRECT lpRect, BOOL bErase)
{
    RECT update;
    bool erase;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto w = FindOrFail(hWnd);
        if (!w) return FALSE;
        update = w->update;
        erase = w->erase && bErase;
        if (erase) w->erase = false;
    }
    if (lpRect) *lpRect = update;
    if (erase) {
        HDC dc = GetDC(hWnd);
        SendMessageW(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        ReleaseDC(hWnd, dc);
    }
    return !IsEmpty(update);
}

HWND SetCapture(HWND hWnd)
{
    HWND old = t_capture;
    t_capture = hWnd;
    return old;
}

BOOL ReleaseCapture(void)
{
    t_capture = nullptr;
    return TRUE;
}

HWND GetCapture(void) { return t_capture; }
