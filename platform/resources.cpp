// Module resources of the native platform: each loaded module makes its compiled-in table
// known, and the resource and string look-ups find entries there by handle, name and type.
#include "platform/resources.h"
#include "platform/text.h"

#include <sys/auxv.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

struct ResourceTable {
    const PLATFORM_RESOURCE* entries;
    UINT count;
};

std::mutex g_resourceLock;
std::map<HMODULE, ResourceTable>& Resources()
{
    static auto* table = new std::map<HMODULE, ResourceTable>;
    return *table;
}

// The executable's handle: the base of the module that holds its program headers.
HMODULE ExecutableModule()
{
    static HMODULE module = [] {
        Dl_info info;
        auto phdr = reinterpret_cast<const void*>(getauxval(AT_PHDR));
        if (phdr && dladdr(phdr, &info)) return reinterpret_cast<HMODULE>(info.dli_fbase);
        return HMODULE(nullptr);
    }();
    return module;
}

const PLATFORM_RESOURCE* FindEntry(HMODULE module, ULONG_PTR name, ULONG_PTR type)
{
    if (!module) module = ExecutableModule();
    std::lock_guard<std::mutex> lock(g_resourceLock);
    auto it = Resources().find(module);
    if (it == Resources().end()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    bool typeSeen = false;
    for (UINT i = 0; i < it->second.count; ++i) {
        const PLATFORM_RESOURCE& entry = it->second.entries[i];
        if (entry.type != type) continue;
        typeSeen = true;
        if (entry.name == name) return &entry;
    }
    SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
}

// The counted UTF-16 string `id` in the module's string table; null when there is none.
const WCHAR* FindString(HINSTANCE instance, UINT id, int& length)
{
    const PLATFORM_RESOURCE* block = FindEntry(instance, (id >> 4) + 1, 6);
    if (!block) return nullptr;
    const auto* p = static_cast<const uint8_t*>(block->data);
    const uint8_t* end = p + block->size;
    for (UINT index = 0;; ++index) {
        if (end - p < 2) return nullptr;
        WORD count;
        std::memcpy(&count, p, 2);
        p += 2;
        if (static_cast<size_t>(end - p) < count * 2u) return nullptr;
        if (index == (id & 15)) {
            length = count;
            return count ? reinterpret_cast<const WCHAR*>(p) : nullptr;
        }
        p += count * 2u;
    }
}

}  // namespace

namespace platform {

const void* FindModuleResource(HMODULE module, LPCWSTR name, LPCWSTR type, DWORD& size)
{
    HRSRC found = FindResourceW(module, name, type);
    if (!found) return nullptr;
    size = SizeofResource(module, found);
    return LockResource(LoadResource(module, found));
}

}  // namespace platform

BOOL PlatformRegisterModuleResources(HMODULE module, const PLATFORM_RESOURCE* resources, UINT count)
{
    if (!resources && count) return FALSE;
    std::lock_guard<std::mutex> lock(g_resourceLock);
    Resources()[module] = ResourceTable{resources, count};
    return TRUE;
}

void PlatformUnregisterModuleResources(HMODULE module)
{
    std::lock_guard<std::mutex> lock(g_resourceLock);
    Resources().erase(module);
}

HRSRC FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType)
{
    if (!IS_INTRESOURCE(lpName) || !IS_INTRESOURCE(lpType)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    auto entry = FindEntry(hModule, reinterpret_cast<ULONG_PTR>(lpName), reinterpret_cast<ULONG_PTR>(lpType));
    return reinterpret_cast<HRSRC>(const_cast<PLATFORM_RESOURCE*>(entry));
}

HGLOBAL LoadResource(HMODULE, HRSRC hResInfo)
{
    if (!hResInfo) return nullptr;
    return reinterpret_cast<HGLOBAL>(const_cast<void*>(reinterpret_cast<const PLATFORM_RESOURCE*>(hResInfo)->data));
}

LPVOID LockResource(HGLOBAL hResData) { return hResData; }

DWORD SizeofResource(HMODULE, HRSRC hResInfo)
{
    return hResInfo ? reinterpret_cast<const PLATFORM_RESOURCE*>(hResInfo)->size : 0;
}

int LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    if (!lpBuffer) return 0;
    int length = 0;
    const WCHAR* text = FindString(hInstance, uID, length);
    if (cchBufferMax == 0) {
        *reinterpret_cast<const WCHAR**>(lpBuffer) = text;
        return text ? length : 0;
    }
    if (cchBufferMax < 0) return 0;
    int n = text ? std::min(length, cchBufferMax - 1) : 0;
    if (n > 0) std::memcpy(lpBuffer, text, static_cast<size_t>(n) * sizeof(WCHAR));
    lpBuffer[n] = 0;
    return n;
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    if (!lpBuffer || cchBufferMax <= 0) return 0;
    lpBuffer[0] = 0;
    int length = 0;
    const WCHAR* text = FindString(hInstance, uID, length);
    if (!text) return 0;
    std::string narrow = platform::Narrow(text, length);
    // Cut at the buffer's size, never inside a multi-byte character.
    size_t n = std::min(narrow.size(), static_cast<size_t>(cchBufferMax - 1));
    while (n > 0 && n < narrow.size() && (static_cast<unsigned char>(narrow[n]) & 0xC0) == 0x80) --n;
    std::memcpy(lpBuffer, narrow.data(), n);
    lpBuffer[n] = 0;
    return static_cast<int>(n);
}
