// Kernel services for the native build: critical sections, interlocked arithmetic,
// module names, OS version, ANSI/UTF-16 conversion, last-error code.
#pragma once

#include <pthread.h>
#include "platform/native/base.h"

// A recursive lock, as the Windows critical section: a thread that holds it may enter again
// and must leave as many times as it entered.
typedef struct _RTL_CRITICAL_SECTION {
    pthread_mutex_t Mutex;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

PLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);

inline LONG InterlockedIncrement(LONG volatile* value) { return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* value) { return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* target, LONG value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

PLATFORM_API DWORD GetLastError(void);
PLATFORM_API void SetLastError(DWORD code);
PLATFORM_API void Sleep(DWORD milliseconds);
PLATFORM_API DWORD GetTickCount(void);
PLATFORM_API DWORD GetCurrentThreadId(void);

// Conversion between the ANSI code page (UTF-8 here) and UTF-16.
#define CP_ACP 0
#define CP_UTF8 65001
PLATFORM_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLength, LPWSTR dst, int dstLength);
PLATFORM_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLength, LPSTR dst, int dstLength,
                                     LPCSTR defaultChar, LPBOOL usedDefault);
