// Modules on the native platform: module handles and file names, the OS version query, and
// the in-process servers that COM loads from the registry store.
//
// A module's HINSTANCE is its base address (what dladdr reports as dli_fbase). That is what
// a module's load hook can find for itself while its constructors run, it is the same value
// for every thread and every dlopen of the module, and it is what HINSTANCE is on Windows.
#include "platform/inproc.h"
#include "platform/text.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

// The module's file as an absolute path, when the module is loaded.
bool ModulePath(HMODULE module, std::string& path)
{
    if (!module) {
        char buffer[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) return false;
        path.assign(buffer, static_cast<size_t>(n));
        return true;
    }
    Dl_info info;
    if (!dladdr(reinterpret_cast<const void*>(module), &info) || info.dli_fbase != reinterpret_cast<void*>(module) ||
        !info.dli_fname || !*info.dli_fname)
        return false;
    // dladdr names a module by the path it was loaded with, which may be relative. The
    // resolved path is freed however the copy ends (it throws when memory runs out).
    std::unique_ptr<char, void (*)(void*)> resolved(realpath(info.dli_fname, nullptr), std::free);
    path = resolved ? resolved.get() : info.dli_fname;
    return true;
}

template <typename Char>
DWORD DeliverFileName(const std::basic_string<Char>& name, Char* buffer, DWORD size)
{
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (name.size() >= size) {
        std::memcpy(buffer, name.data(), (size - 1) * sizeof(Char));
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(Char));
    return static_cast<DWORD>(name.size());
}

// GetModuleFileName: the module's path, in the caller's characters by `convert`.
template <typename Char, typename Convert>
DWORD ModuleFileName(HMODULE module, Char* buffer, DWORD size, Convert convert)
{
    try {
        std::string path;
        if (!ModulePath(module, path)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        return DeliverFileName(convert(path), buffer, size);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

// ---- In-process servers ------------------------------------------------------------------

using GetClassObjectFunction = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFunction = HRESULT (*)();

struct LoadedModule {
    std::string path;
    void* handle;
    GetClassObjectFunction getClassObject;
    CanUnloadNowFunction canUnloadNow;
};

// Recursive: a module's DllGetClassObject may itself create registered classes.
std::recursive_mutex g_modulesLock;
std::vector<LoadedModule> g_modules;

HRESULT ServerPath(REFCLSID clsid, std::string& path)
{
    WCHAR clsidText[39];
    if (!StringFromGUID2(clsid, clsidText, 39)) return E_INVALIDARG;
    std::u16string keyPath = u"CLSID\\";
    keyPath += clsidText;
    keyPath += u"\\InprocServer32";
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return REGDB_E_CLASSNOTREG;
    if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<unsigned long>(rc));
    DWORD type = REG_NONE, size = 0;
    rc = RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
        path.assign(size, '\0');
        rc = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(&path[0]), &size);
        path.resize(rc == ERROR_SUCCESS ? std::strlen(path.c_str()) : 0);
    } else if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
        path.clear();
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(static_cast<unsigned long>(rc));
    return path.empty() ? REGDB_E_CLASSNOTREG : S_OK;
}

}  // namespace

HMODULE PlatformModuleFromAddress(const void* address)
{
    Dl_info info;
    if (!address || !dladdr(address, &info)) return nullptr;
    return reinterpret_cast<HMODULE>(info.dli_fbase);
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    return ModuleFileName(hModule, lpFilename, nSize,
                          [](const std::string& path) -> const std::string& { return path; });
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    return ModuleFileName(hModule, lpFilename, nSize, [](const std::string& path) {
        return platform::Widen(path.c_str(), static_cast<int>(path.size()));
    });
}

BOOL DisableThreadLibraryCalls(HMODULE) { return TRUE; }

BOOL GetVersionExA(LPOSVERSIONINFOA info)
{
    // 156 is the extended record, whose leading fields are these.
    if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && info->dwOSVersionInfoSize != 156)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    return TRUE;
}

namespace platform {

HRESULT GetRegisteredClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    std::string path;
    HRESULT hr = ServerPath(clsid, path);
    if (FAILED(hr)) return hr;

    std::lock_guard<std::recursive_mutex> lock(g_modulesLock);
    GetClassObjectFunction getClassObject = nullptr;
    for (const auto& loaded : g_modules)
        if (loaded.path == path) getClassObject = loaded.getClassObject;
    if (!getClassObject) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
        getClassObject = reinterpret_cast<GetClassObjectFunction>(dlsym(handle, "DllGetClassObject"));
        auto canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(dlsym(handle, "DllCanUnloadNow"));
        if (!getClassObject) {
            dlclose(handle);
            return CO_E_ERRORINDLL;
        }
        try {
            g_modules.push_back({path, handle, getClassObject, canUnloadNow});
        } catch (const std::bad_alloc&) {
            dlclose(handle);
            return E_OUTOFMEMORY;
        }
    }
    // Called under the lock, so that CoFreeUnusedLibraries cannot unload the module meanwhile.
    return getClassObject(clsid, riid, ppv);
}

void FreeUnusedModules()
{
    std::lock_guard<std::recursive_mutex> lock(g_modulesLock);
    for (auto it = g_modules.begin(); it != g_modules.end();) {
        // A module without DllCanUnloadNow stays loaded, as on Windows.
        if (it->canUnloadNow && it->canUnloadNow() == S_OK) {
            dlclose(it->handle);
            it = g_modules.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace platform
