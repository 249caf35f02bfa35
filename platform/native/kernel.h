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

// ---- Modules --------------------------------------------------------------------------
// A module's HINSTANCE (HMODULE) is the base address at which the module is mapped, as on
// Windows: PlatformModuleFromAddress finds it for any address inside the module, which is
// how a module's load hook learns its own handle (the dlopen handle does not exist yet while
// the module's constructors run). A null HMODULE stands for the executable.

// Reasons passed to a module's entry routine.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// The module that holds `address`; null when no loaded module does.
PLATFORM_API HMODULE PlatformModuleFromAddress(const void* address);

// The module file's absolute path. Returns the characters written without the terminator;
// when the buffer is too small the path is cut to size - 1 characters and terminated, the
// result is `size` and the last error is ERROR_INSUFFICIENT_BUFFER; 0 with the last error set
// (ERROR_MOD_NOT_FOUND) when the handle names no loaded module.
PLATFORM_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
PLATFORM_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

// Thread notifications do not exist natively: always succeeds.
PLATFORM_API BOOL DisableThreadLibraryCalls(HMODULE hLibModule);

// ---- OS version -----------------------------------------------------------------------

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

// Reports the NT family (version 6.2, build 9200, no service pack). The caller sets
// dwOSVersionInfoSize to sizeof(OSVERSIONINFOA), 148 (or 156, the extended record, whose
// leading fields these are); any other size fails with ERROR_INSUFFICIENT_BUFFER.
PLATFORM_API BOOL GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);
