#include "com/setup.h"

#include <new>
#include <string>

namespace {

HRESULT FromStatus(LONG rc) { return HRESULT_FROM_WIN32(static_cast<unsigned long>(rc)); }

// The failure the last system call left; never a success, even when it left no code.
HRESULT LastError()
{
    DWORD code = GetLastError();
    return code ? HRESULT_FROM_WIN32(code) : E_FAIL;
}

// Wide text in the system code page, for the narrow registry calls.
bool ToNarrow(LPCWSTR text, std::string& narrow)
{
    narrow.clear();
    if (!text) return true;
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return false;
    narrow.resize(static_cast<size_t>(size));
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], size, nullptr, nullptr) != size) return false;
    narrow.resize(static_cast<size_t>(size - 1));
    return true;
}

// "CLSID\{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
std::string ClassKeyPath(REFCLSID clsid)
{
    WCHAR text[39];
    StringFromGUID2(clsid, text, 39);
    std::string path = "CLSID\\";
    for (int i = 0; i < 38; ++i) path += static_cast<char>(text[i]);
    return path;
}

LONG SetStringValue(HKEY key, LPCSTR name, const std::string& text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

}  // namespace

HRESULT WriteServerKey(CLSID clsid, LPCWSTR description, LPCWSTR serverPath, LPCWSTR threadingModel,
                       LPCWSTR serverType)
{
    // Every string is made before any key is opened: running out of memory here leaves
    // nothing open and no exception crosses the module's entry points.
    std::string name, path, model, type, classPath;
    try {
        if (!ToNarrow(description, name) || !ToNarrow(serverPath, path) || !ToNarrow(threadingModel, model) ||
            !ToNarrow(serverType, type))
            return LastError();
        classPath = ClassKeyPath(clsid);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    HKEY classKey = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_CLASSES_ROOT, classPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &classKey, nullptr);
    if (rc != ERROR_SUCCESS) return FromStatus(rc);
    rc = SetStringValue(classKey, nullptr, name);
    if (rc != ERROR_SUCCESS) {
        RegCloseKey(classKey);
        return FromStatus(rc);
    }
    HKEY serverKey = nullptr;
    rc = RegCreateKeyExA(classKey, type.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                         &serverKey, nullptr);
    if (rc != ERROR_SUCCESS) {
        RegCloseKey(classKey);
        return FromStatus(rc);
    }
    rc = SetStringValue(serverKey, nullptr, path);
    if (rc == ERROR_SUCCESS) rc = SetStringValue(serverKey, "ThreadingModel", model);
    RegCloseKey(serverKey);
    RegCloseKey(classKey);
    return rc == ERROR_SUCCESS ? S_OK : FromStatus(rc);
}

HRESULT DeleteKeyTree(HKEY parent, LPCSTR subKey)
{
    if (!subKey || !*subKey) return E_FAIL;
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExA(parent, subKey, 0, MAXIMUM_ALLOWED, &key);
    if (rc == ERROR_FILE_NOT_FOUND) return S_OK;
    if (rc != ERROR_SUCCESS) return FromStatus(rc);

    // Remove the children one by one. A child that survives its removal stays at the index
    // it was found at, so step past it rather than finding it again for ever. The first
    // child's failure is what the removal reports: the key itself cannot go while that child
    // stays, and "access denied" for it would hide why.
    HRESULT childFailure = S_OK;
    for (DWORD index = 0;;) {
        char name[MAX_PATH];
        DWORD length = MAX_PATH;
        rc = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) {
            ++index;
            continue;
        }
        if (rc != ERROR_SUCCESS) {
            // The end of the list, or a list that could not be read (which is reported).
            if (rc != ERROR_NO_MORE_ITEMS && SUCCEEDED(childFailure)) childFailure = FromStatus(rc);
            break;
        }
        HRESULT hr = DeleteKeyTree(key, name);
        if (FAILED(hr)) {
            if (SUCCEEDED(childFailure)) childFailure = hr;
            ++index;
        }
    }
    RegCloseKey(key);
    if (FAILED(childFailure)) return childFailure;

    rc = RegDeleteKeyA(parent, subKey);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : FromStatus(rc);
}

HRESULT RemoveServerKey(CLSID clsid)
{
    std::string path;
    try {
        path = ClassKeyPath(clsid);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return DeleteKeyTree(HKEY_CLASSES_ROOT, path.c_str());
}

HRESULT RegisterServerEntries(const CFactoryTemplate* templates, int count, LPCWSTR szFileName, BOOL bRegister)
{
    for (int i = 0; i < count; ++i) {
        const CFactoryTemplate& t = templates[i];
        HRESULT hr = bRegister ? WriteServerKey(*t.m_ClsID, t.m_Name, szFileName, WIDE("Both"), WIDE("InprocServer32"))
                               : RemoveServerKey(*t.m_ClsID);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT AMovieDllRegisterServer2(const CFactoryTemplate* templates, int count, BOOL bRegister)
{
    // The module's own file, as a narrow path. A path cut short by the buffer would register
    // a server that does not exist, so that is a failure too.
    char narrowPath[MAX_PATH];
    DWORD length = GetModuleFileNameA(ModuleInstance, narrowPath, MAX_PATH);
    if (length == 0) return LastError();
    if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    WCHAR path[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, narrowPath, -1, path, MAX_PATH) == 0) return LastError();

    HRESULT hr = bRegister ? RegisterServerEntries(templates, count, path, TRUE) : S_OK;

    if (SUCCEEDED(hr)) {
        // Leave a caller's own COM initialisation alone: only an initialisation made (or
        // counted) here is undone here.
        HRESULT init = CoInitialize(nullptr);

        IFilterMapper2* mapper2 = nullptr;
        IFilterMapper* mapper = nullptr;
        hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                              reinterpret_cast<void**>(&mapper2));
        // Only a system without the newer mapper falls back to the first-generation one. Any
        // other failure (no memory, say) is the caller's to see: the older mapper keeps its
        // filters elsewhere, so unregistering through it would leave the newer entry behind
        // and report success.
        if (hr == REGDB_E_CLASSNOTREG || hr == E_NOINTERFACE || hr == CLASS_E_CLASSNOTAVAILABLE)
            hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                  reinterpret_cast<void**>(&mapper));
        if (SUCCEEDED(hr)) {
            for (int i = 0; i < count; ++i) {
                const AMOVIESETUP_FILTER* setup = templates[i].m_pAMovieSetup_Filter;
                if (!setup) continue;
                hr = mapper2 ? AMovieSetupRegisterFilter2(setup, mapper2, bRegister)
                             : AMovieSetupRegisterFilter(setup, mapper, bRegister);
                if (FAILED(hr)) break;
            }
            if (mapper2) mapper2->Release();
            if (mapper) mapper->Release();
        }

        CoFreeUnusedLibraries();
        if (SUCCEEDED(init)) CoUninitialize();
    }

    if (!bRegister && SUCCEEDED(hr)) hr = RegisterServerEntries(templates, count, path, FALSE);
    return hr;
}
