// The registry for the native build: the HKEY_CLASSES_ROOT calls the module and the tools
// make, kept in a store file, and the platform's own entry points into the filter database.
//
// The store is one file. Its location is the environment variable DURAZODO_REGISTRY when it
// is set and not empty, else $XDG_DATA_HOME/DUrazOdo/registry, else
// ~/.local/share/DUrazOdo/registry. A missing file is an empty registry. Every change
// rewrites the whole file atomically (temporary file, fsync, rename) while holding an
// exclusive flock on "<store>.lock", and readers take the same lock shared, so processes and
// threads see each change whole; a crash leaves either the old or the new store. A store
// file that cannot be parsed (or whose checksum does not match) is reported as ERROR_BADDB
// by every call, and is never overwritten.
//
// Key and value names compare without regard to ASCII case, as on Windows; subkeys are
// enumerated in that case-folded order. Values are stored as the wide (UTF-16) calls see
// them; the narrow calls convert string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) between
// the ANSI code page (UTF-8) and UTF-16, as on Windows.
//
// An open key remembers its path: a key deleted while open answers ERROR_KEY_DELETED.
#pragma once

#include "platform/native/base.h"
#include "platform/native/com.h"
#include "platform/native/media.h"

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Predefined keys. HKEY_CLASSES_ROOT and HKEY_CURRENT_USER are kept, each in a store file of
// its own; HKEY_LOCAL_MACHINE answers ERROR_INVALID_HANDLE.
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)

// Value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// Access rights are accepted and not checked: the store has no access control.
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define MAXIMUM_ALLOWED 0x02000000

#define REG_OPTION_NON_VOLATILE 0x0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#ifndef ERROR_BAD_PATHNAME
#define ERROR_BAD_PATHNAME 161L
#endif

PLATFORM_API LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     PHKEY phkResult, LPDWORD lpdwDisposition);
PLATFORM_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     PHKEY phkResult, LPDWORD lpdwDisposition);
PLATFORM_API LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
PLATFORM_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
PLATFORM_API LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                    DWORD cbData);
PLATFORM_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                    DWORD cbData);
PLATFORM_API LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                      LPBYTE lpData, LPDWORD lpcbData);
PLATFORM_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                      LPBYTE lpData, LPDWORD lpcbData);
PLATFORM_API LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                   LPSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);
PLATFORM_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                   LPWSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED when it has some).
PLATFORM_API LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
PLATFORM_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
PLATFORM_API LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
PLATFORM_API LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
PLATFORM_API LSTATUS RegCloseKey(HKEY hKey);

// ---- Native platform extras (no Windows counterpart) ----------------------------------

// The path of HKEY_CLASSES_ROOT's store file as a UTF-8 string (HKEY_CURRENT_USER's is this path
// with ".user" added): the number of bytes written without the
// terminator, or the size needed (terminator included) when `size` is too small; 0 when
// there is no memory to work it out.
PLATFORM_API DWORD RegistryStoreLocation(LPSTR buffer, DWORD size);

// A test hook on every store change. It is called after the new store has been written to
// its temporary file and synced, before that file replaces the store, with what the change
// does ("create", "set", "delete" or "delete-value"), the path of the key it acts on from
// the root (for "delete", the key removed) and the temporary file's path. Answering anything
// but ERROR_SUCCESS abandons the change: the temporary file is removed, the store keeps its
// old contents and the registry call returns that code. Null removes the hook.
typedef LONG (*REGISTRY_WRITE_HOOK)(LPCSTR operation, LPCWSTR keyPath, LPCSTR tempPath);
PLATFORM_API void RegistrySetWriteHook(REGISTRY_WRITE_HOOK hook);

// The description of a filter that the filter mapper holds, by class id, from either
// mapper's entries: a REGFILTER2 of version 1 whose pins, names and media types all live in
// the one block returned, for the caller to free with CoTaskMemFree. The filter's name comes
// through `name` (task memory, may be null if not wanted). HRESULT_FROM_WIN32(
// ERROR_FILE_NOT_FOUND) when the filter is not registered.
PLATFORM_API HRESULT FilterMapperDescribeFilter(REFCLSID clsid, REGFILTER2** description, LPWSTR* name);

// A test hook: makes CLSID_FilterMapper2 unavailable to CoCreateInstance (REGDB_E_CLASSNOTREG)
// while `available` is FALSE, so callers fall back to the first-generation mapper.
PLATFORM_API void FilterMapperSetMapper2Available(BOOL available);
