// Internal to the native window services (windows, message queues): the one table of
// windows behind one lock, and the calling thread's message queue.
//
// The table lock is never held while a window procedure runs, so procedures may create,
// destroy and message windows freely.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::windowing {

struct WindowClass {
    std::u16string name;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int wndExtra = 0;
    HINSTANCE instance = nullptr;
    HBRUSH background = nullptr;
    HICON icon = nullptr;
    HCURSOR cursor = nullptr;
    bool system = false;
};

struct Window {
    HWND handle = nullptr;
    std::shared_ptr<WindowClass> cls;
    DWORD thread = 0;
    HWND parent = nullptr;  // for child windows
    HWND owner = nullptr;   // for top-level windows
    std::vector<HWND> children;
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT rect{};  // in the parent's client coordinates (the desktop's for top-level windows)
    std::u16string text;
    WNDPROC proc = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR id = 0;
    HINSTANCE instance = nullptr;
    std::vector<uint8_t> extra;
    RECT update{};
    bool erase = false;
    bool destroying = false;
};

// The table of windows, the desktop's handle among them, and the lock over both.
extern std::mutex g_lock;
extern std::map<HWND, std::shared_ptr<Window>> g_windows;
extern HWND g_desktop;

// The window of `hwnd`, or null. Called with g_lock held.
std::shared_ptr<Window> Find(HWND hwnd);
// Find, with ERROR_INVALID_WINDOW_HANDLE as the thread's last error when there is no such
// window. Called with g_lock held.
std::shared_ptr<Window> FindOrFail(HWND hwnd);
// FindOrFail under g_lock.
std::shared_ptr<Window> Lookup(HWND hwnd);
// The window and every parent up to a top-level window are visible. Called with g_lock held.
bool VisibleChain(std::shared_ptr<Window> w);
bool IsEmpty(const RECT& r);
// Runs the window procedure of `hwnd` on the calling thread; 0 when there is no window.
LRESULT CallProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Gives the calling thread its message queue if it has none yet.
void EnsureThreadQueue();
// Wakes a thread waiting for messages, so that it looks for a window to paint.
void Wake(DWORD thread);

}  // namespace platform::windowing
