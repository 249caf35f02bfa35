// Message queues of the native platform: one per thread, with posted messages, messages
// sent from other threads (run when the receiving thread next looks for messages) and the
// quit flag; WM_PAINT is made when nothing else is waiting.
#include "platform/platform.h"
#include "platform/window_table.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

using namespace platform::windowing;

namespace {

struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0;
    bool done = false;
    std::shared_ptr<struct Queue> sender;
};

struct Queue {
    DWORD thread = 0;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<MSG> posted;
    std::deque<SentMessage*> sent;
    bool quit = false;
    int quitCode = 0;
};

// Every thread's queue by thread id, under g_lock.
std::map<DWORD, std::shared_ptr<Queue>> g_queues;

std::shared_ptr<Queue> QueueOf(DWORD thread, bool create)
{
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_queues.find(thread);
    if (it != g_queues.end()) return it->second;
    if (!create) return nullptr;
    auto queue = std::make_shared<Queue>();
    queue->thread = thread;
    g_queues[thread] = queue;
    return queue;
}

// The calling thread's queue, forgotten when the thread ends.
struct ThreadQueue {
    std::shared_ptr<Queue> queue;
    ~ThreadQueue()
    {
        if (!queue) return;
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_queues.find(queue->thread);
        if (it != g_queues.end() && it->second == queue) g_queues.erase(it);
    }
};
thread_local ThreadQueue t_queue;

std::shared_ptr<Queue> MyQueue()
{
    if (!t_queue.queue) t_queue.queue = QueueOf(GetCurrentThreadId(), true);
    return t_queue.queue;
}

// Runs the messages other threads sent to the calling thread's windows.
void RunSentMessages(const std::shared_ptr<Queue>& queue)
{
    for (;;) {
        SentMessage* sent;
        {
            std::lock_guard<std::mutex> lock(queue->lock);
            if (queue->sent.empty()) return;
            sent = queue->sent.front();
            queue->sent.pop_front();
        }
        LRESULT result = CallProc(sent->hwnd, sent->message, sent->wParam, sent->lParam);
        auto sender = sent->sender;
        std::lock_guard<std::mutex> lock(sender->lock);
        sent->result = result;
        sent->done = true;
        sender->wake.notify_all();
    }
}

bool Matches(HWND filter, UINT low, UINT high, const MSG& msg)
{
    if (filter && msg.hwnd != filter && !IsChild(filter, msg.hwnd)) return false;
    if (low == 0 && high == 0) return true;
    return msg.message >= low && msg.message <= high;
}

// A window of the calling thread that needs painting. Called with g_lock held.
HWND PaintCandidate(DWORD thread, HWND filter)
{
    for (auto& [handle, w] : g_windows) {
        if (w->thread != thread || w->destroying || IsEmpty(w->update)) continue;
        if (!VisibleChain(w)) continue;
        if (filter && handle != filter) continue;
        return handle;
    }
    return nullptr;
}

// Takes the next message of the calling thread; false when there is none and `wait` is off.
bool NextMessage(MSG* msg, HWND filter, UINT low, UINT high, bool remove, bool wait)
{
    auto queue = MyQueue();
    DWORD thread = GetCurrentThreadId();
    for (;;) {
        RunSentMessages(queue);
        {
            std::unique_lock<std::mutex> lock(queue->lock);
            for (auto it = queue->posted.begin(); it != queue->posted.end(); ++it) {
                if (!Matches(filter, low, high, *it)) continue;
                *msg = *it;
                if (remove) queue->posted.erase(it);
                return true;
            }
            if (queue->quit) {
                *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue->quitCode), 0, GetTickCount(), {0, 0}};
                if (remove) queue->quit = false;
                return true;
            }
        }
        HWND paint;
        {
            std::lock_guard<std::mutex> lock(g_lock);
            paint = (low == 0 && high == 0) || (WM_PAINT >= low && WM_PAINT <= high) ? PaintCandidate(thread, filter)
                                                                                      : nullptr;
        }
        if (paint) {
            *msg = MSG{paint, WM_PAINT, 0, 0, GetTickCount(), {0, 0}};
            return true;
        }
        if (!wait) return false;
        std::unique_lock<std::mutex> lock(queue->lock);
        if (queue->posted.empty() && queue->sent.empty() && !queue->quit)
            queue->wake.wait_for(lock, std::chrono::milliseconds(50));
    }
}

}  // namespace

namespace platform::windowing {

void EnsureThreadQueue() { MyQueue(); }

void Wake(DWORD thread)
{
    auto queue = QueueOf(thread, false);
    if (!queue) return;
    std::lock_guard<std::mutex> lock(queue->lock);
    queue->wake.notify_all();
}

}  // namespace platform::windowing

namespace {

// Queues `msg` for `thread`; a thread without a queue fails with `noQueueError`.
BOOL PostToThread(DWORD thread, const MSG& msg, DWORD noQueueError)
{
    auto queue = thread == GetCurrentThreadId() ? MyQueue() : QueueOf(thread, false);
    if (!queue) {
        SetLastError(noQueueError);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(queue->lock);
    queue->posted.push_back(msg);
    queue->wake.notify_all();
    return TRUE;
}

}  // namespace

BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    DWORD thread;
    if (!hWnd) {
        thread = GetCurrentThreadId();
    } else {
        auto w = Lookup(hWnd);
        if (!w || w->handle == g_desktop) return FALSE;
        thread = w->thread;
    }
    return PostToThread(thread, MSG{hWnd, Msg, wParam, lParam, GetTickCount(), {0, 0}}, ERROR_INVALID_WINDOW_HANDLE);
}

LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto w = Lookup(hWnd);
    if (!w) return 0;
    if (w->thread == GetCurrentThreadId() || w->handle == g_desktop) return CallProc(hWnd, Msg, wParam, lParam);
    auto target = QueueOf(w->thread, false);
    if (!target) return 0;
    auto self = MyQueue();
    SentMessage sent{hWnd, Msg, wParam, lParam, 0, false, self};
    {
        std::lock_guard<std::mutex> lock(target->lock);
        target->sent.push_back(&sent);
        target->wake.notify_all();
    }
    for (;;) {
        // Messages sent to this thread meanwhile run here, so two threads sending to each
        // other do not wait forever.
        RunSentMessages(self);
        std::unique_lock<std::mutex> lock(self->lock);
        if (sent.done) return sent.result;
        if (self->sent.empty()) self->wake.wait_for(lock, std::chrono::milliseconds(50));
        if (sent.done) return sent.result;
    }
}

BOOL GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (!lpMsg) return -1;
    if (hWnd && !IsWindow(hWnd)) return -1;
    NextMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    if (!lpMsg) return FALSE;
    return NextMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false);
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageW(const MSG* lpMsg)
{
    if (!lpMsg || !lpMsg->hwnd) return 0;
    if (!IsWindow(lpMsg->hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return CallProc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

void PostQuitMessage(int nExitCode)
{
    auto queue = MyQueue();
    std::lock_guard<std::mutex> lock(queue->lock);
    queue->quit = true;
    queue->quitCode = nExitCode;
    queue->wake.notify_all();
}
