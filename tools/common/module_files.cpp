#include "tools/common/module_files.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "project_version.h"

#ifndef DURAZODO_MODULE_DIR_FROM_BIN
#error "DURAZODO_MODULE_DIR_FROM_BIN names the installed module folder relative to the tools' folder"
#endif

namespace durazodo {

const char* const kModuleFileName = "DUrazOdo.so";

namespace {

constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr size_t kFixedInfoSize = 52;
constexpr WORD kVersionType = 16;  // RT_VERSION
constexpr WORD kVersionName = 1;   // VS_VERSION_INFO

uint32_t Read16(const unsigned char* p)
{
    return p[0] | (p[1] << 8);
}

uint32_t Read32(const unsigned char* p)
{
    return Read16(p) | (Read16(p + 2) << 16);
}

}  // namespace

const char* ProjectVersion()
{
    return DURAZODO_VERSION;
}

std::string ProgramFolder()
{
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return {};
    std::string path(buffer.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::vector<std::string> ModuleCandidates()
{
    const std::string folder = ProgramFolder();
    if (folder.empty()) return {};
    return {folder + kModuleFileName, folder + DURAZODO_MODULE_DIR_FROM_BIN "/" + kModuleFileName};
}

std::string FindModuleFile()
{
    for (const std::string& path : ModuleCandidates())
        if (::access(path.c_str(), F_OK) == 0) return path;
    return {};
}

std::string RegisteredModuleFile(const CLSID& clsid)
{
    WCHAR text[39];
    if (StringFromGUID2(clsid, text, 39) != 39) return {};
    std::string key = "CLSID\\";
    for (int i = 0; i < 38; ++i) key += static_cast<char>(text[i]);  // hex digits, braces and dashes
    key += "\\InprocServer32";
    HKEY server = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &server) != ERROR_SUCCESS) return {};
    char path[4096];
    DWORD size = sizeof path - 1;
    DWORD type = 0;
    const LSTATUS status =
        RegQueryValueExA(server, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(server);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
    path[size] = '\0';
    return path;
}

bool ParseFileVersion(const unsigned char* data, size_t size, unsigned parts[4])
{
    // wLength, wValueLength, wType, then the key "VS_VERSION_INFO" in UTF-16 with its
    // terminator, padded to 32 bits, then VS_FIXEDFILEINFO.
    if (size < 6 || Read16(data + 2) != kFixedInfoSize) return false;
    size_t at = 6;
    while (at + 1 < size && Read16(data + at) != 0) at += 2;
    at = (at + 2 + 3) & ~size_t{3};
    if (at > size || size - at < kFixedInfoSize || Read32(data + at) != kFixedInfoSignature) return false;
    const uint32_t high = Read32(data + at + 8), low = Read32(data + at + 12);
    parts[0] = high >> 16;
    parts[1] = high & 0xFFFF;
    parts[2] = low >> 16;
    parts[3] = low & 0xFFFF;
    return true;
}

bool ReadModuleFileVersion(const std::string& path, std::string& version, std::string& error)
{
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    // The platform knows a module's resources by its base address.
    Dl_info info{};
    void* entry = ::dlsym(handle, "DllGetClassObject");
    HMODULE module = entry && ::dladdr(entry, &info) ? static_cast<HMODULE>(info.dli_fbase) : nullptr;
    HRSRC resource = module ? FindResourceW(module, MAKEINTRESOURCEW(kVersionName), MAKEINTRESOURCEW(kVersionType))
                            : nullptr;
    unsigned parts[4];
    bool ok = false;
    if (resource) {
        const void* data = LockResource(LoadResource(module, resource));
        ok = data && ParseFileVersion(static_cast<const unsigned char*>(data), SizeofResource(module, resource), parts);
    }
    ::dlclose(handle);
    if (!ok) {
        error = path + " carries no version resource";
        return false;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);
    version = text;
    return true;
}

}  // namespace durazodo
