// Kernel services of the native platform.
#include "platform/text.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {
thread_local DWORD t_lastError = 0;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&cs->Mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(&cs->Mutex); }
void EnterCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_lock(&cs->Mutex); }
void LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(&cs->Mutex); }

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

void Sleep(DWORD milliseconds)
{
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

DWORD GetTickCount(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(ts.tv_sec * 1000u + ts.tv_nsec / 1000000);
}

DWORD GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }

// The ANSI code page is UTF-8. Lengths of -1 include the terminator, as on Windows; a
// destination length of 0 asks for the size needed.
int MultiByteToWideChar(UINT, DWORD, LPCSTR src, int srcLength, LPWSTR dst, int dstLength)
{
    if (!src) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = srcLength < 0 ? std::strlen(src) + 1 : static_cast<size_t>(srcLength);
    int written = 0;
    auto put = [&](char16_t unit) {
        if (dstLength > 0) {
            if (written >= dstLength) return false;
            dst[written] = unit;
        }
        ++written;
        return true;
    };
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    for (size_t i = 0; i < n;) {
        uint32_t cp = s[i];
        size_t extra = cp < 0x80 ? 0 : (cp >> 5) == 0x6 ? 1 : (cp >> 4) == 0xE ? 2 : (cp >> 3) == 0x1E ? 3 : 99;
        if (extra == 99 || i + extra >= n) {
            cp = 0xFFFD;
            extra = 0;
        } else if (extra) {
            cp &= (0x3F >> extra);
            for (size_t k = 1; k <= extra; ++k) {
                if ((s[i + k] & 0xC0) != 0x80) {
                    cp = 0xFFFD;
                    extra = k - 1;
                    break;
                }
                cp = (cp << 6) | (s[i + k] & 0x3F);
            }
        }
        i += extra + 1;
        bool ok = cp >= 0x10000 ? put(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10))) &&
                                      put(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)))
                                : put(static_cast<char16_t>(cp));
        if (!ok) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
    }
    return written;
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR src, int srcLength, LPSTR dst, int dstLength, LPCSTR, LPBOOL usedDefault)
{
    if (!src) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (usedDefault) *usedDefault = FALSE;
    size_t n = 0;
    if (srcLength < 0) {
        while (src[n]) ++n;
        ++n;
    } else {
        n = static_cast<size_t>(srcLength);
    }
    int written = 0;
    auto put = [&](unsigned char byte) {
        if (dstLength > 0) {
            if (written >= dstLength) return false;
            dst[written] = static_cast<char>(byte);
        }
        ++written;
        return true;
    };
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = src[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < n && src[i + 1] >= 0xDC00 && src[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        bool ok;
        if (cp < 0x80) ok = put(static_cast<unsigned char>(cp));
        else if (cp < 0x800) ok = put(0xC0 | (cp >> 6)) && put(0x80 | (cp & 0x3F));
        else if (cp < 0x10000) ok = put(0xE0 | (cp >> 12)) && put(0x80 | ((cp >> 6) & 0x3F)) && put(0x80 | (cp & 0x3F));
        else ok = put(0xF0 | (cp >> 18)) && put(0x80 | ((cp >> 12) & 0x3F)) && put(0x80 | ((cp >> 6) & 0x3F)) && put(0x80 | (cp & 0x3F));
        if (!ok) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
    }
    return written;
}

namespace platform {

std::u16string Widen(const char* text, int length)
{
    int n = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    if (n <= 0) return std::u16string();
    std::u16string wide(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text, length, &wide[0], n);
    if (length < 0) wide.pop_back();  // the terminator
    return wide;
}

std::string Narrow(const WCHAR* text, int length)
{
    int n = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, length, &narrow[0], n, nullptr, nullptr);
    if (length < 0) narrow.pop_back();  // the terminator
    return narrow;
}

}  // namespace platform
