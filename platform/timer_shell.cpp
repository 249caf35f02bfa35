// Multimedia timers, the shell's "open" verb and message boxes of the native platform.
#include "platform/text.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

extern char** environ;

// ---- Multimedia timers ---------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    UINT period;
    bool periodic;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    Clock::time_point due;
};

// One timer thread for the process, started with the first timer and kept for its life.
class TimerThread {
public:
    static TimerThread& Instance()
    {
        static auto* instance = new TimerThread;
        return *instance;
    }

    UINT Start(UINT delay, LPTIMECALLBACK callback, DWORD_PTR user, bool periodic)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (!m_started) {
            try {
                std::thread([this] { Run(); }).detach();
            } catch (const std::system_error&) {
                return 0;
            }
            m_started = true;
        }
        UINT id = m_nextId++;
        if (m_nextId == 0) m_nextId = 1;
        m_timers[id] = Timer{delay, periodic, callback, user, Clock::now() + std::chrono::milliseconds(delay)};
        m_wake.notify_all();
        return id;
    }

    MMRESULT Kill(UINT id)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        auto it = m_timers.find(id);
        if (it == m_timers.end()) return MMSYSERR_INVALPARAM;
        m_timers.erase(it);
        // A callback of this timer that is running now finishes before the caller goes on,
        // unless the caller is that callback.
        if (std::this_thread::get_id() != m_threadId)
            m_idle.wait(lock, [&] { return m_running != id; });
        return TIMERR_NOERROR;
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_threadId = std::this_thread::get_id();
        for (;;) {
            if (m_timers.empty()) {
                m_wake.wait(lock);
                continue;
            }
            auto next = std::min_element(m_timers.begin(), m_timers.end(),
                                         [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
            auto now = Clock::now();
            if (next->second.due > now) {
                // A copy: the timer may be killed, and its entry erased, while this waits.
                Clock::time_point due = next->second.due;
                m_wake.wait_until(lock, due);
                continue;
            }
            UINT id = next->first;
            Timer timer = next->second;
            if (timer.periodic) {
                // Keep the period's phase; after a long stall start again from now.
                next->second.due += std::chrono::milliseconds(timer.period ? timer.period : 1);
                if (next->second.due < now) next->second.due = now + std::chrono::milliseconds(timer.period);
            } else {
                m_timers.erase(next);
            }
            m_running = id;
            lock.unlock();
            timer.callback(id, 0, timer.user, 0, 0);
            lock.lock();
            m_running = 0;
            m_idle.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::map<UINT, Timer> m_timers;
    UINT m_nextId = 1;
    UINT m_running = 0;
    bool m_started = false;
    std::thread::id m_threadId;
};

}  // namespace

MMRESULT timeSetEvent(UINT uDelay, UINT, LPTIMECALLBACK fptc, DWORD_PTR dwUser, UINT fuEvent)
{
    // Only function callbacks; a delay outside what the system timer offers fails.
    if (!fptc || (fuEvent & (TIME_CALLBACK_EVENT_SET | TIME_CALLBACK_EVENT_PULSE)) || uDelay == 0 ||
        uDelay > 1000000)
        return 0;
    return TimerThread::Instance().Start(uDelay, fptc, dwUser, (fuEvent & TIME_PERIODIC) != 0);
}

MMRESULT timeKillEvent(UINT uTimerID) { return TimerThread::Instance().Kill(uTimerID); }

// ---- Shell ---------------------------------------------------------------------------------

namespace {

bool IsOpenVerb(LPCWSTR verb)
{
    if (!verb || !*verb) return true;
    const char16_t open[] = u"open";
    for (int i = 0; i < 5; ++i) {
        char16_t c = verb[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        if (c != open[i]) return false;
        if (!c) return true;
    }
    return false;
}

}  // namespace

HINSTANCE ShellExecuteW(HWND, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR, LPCWSTR, INT)
{
    if (!IsOpenVerb(lpOperation)) return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(SE_ERR_NOASSOC));
    if (!lpFile || !*lpFile) return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(SE_ERR_FNF));
    std::string target = platform::Narrow(lpFile, -1);
    char program[] = "xdg-open";
    char* argv[] = {program, &target[0], nullptr};
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program, nullptr, nullptr, argv, environ);
    if (rc != 0) {
        int code = rc == ENOENT ? SE_ERR_FNF : rc == EACCES ? SE_ERR_ACCESSDENIED : SE_ERR_OOM;
        return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(code));
    }
    // The opener is not waited for; it is reaped in the background when it ends.
    try {
        std::thread([pid] {
            int status;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
    }
    return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(42));
}

// ---- Message boxes -------------------------------------------------------------------------

namespace {
std::atomic<PLATFORM_MESSAGEBOX_HOOK> g_messageBoxHook{nullptr};
}

PLATFORM_MESSAGEBOX_HOOK PlatformSetMessageBoxHook(PLATFORM_MESSAGEBOX_HOOK hook) { return g_messageBoxHook.exchange(hook); }

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    if (PLATFORM_MESSAGEBOX_HOOK hook = g_messageBoxHook.load()) return hook(hWnd, lpText, lpCaption, uType);
    std::string caption = lpCaption ? platform::Narrow(lpCaption, -1) : std::string("Error");
    std::string text = lpText ? platform::Narrow(lpText, -1) : std::string();
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    switch (uType & 0xF) {
    case MB_YESNO:
    case 3:  // MB_YESNOCANCEL
        return IDYES;
    default:
        return IDOK;
    }
}
