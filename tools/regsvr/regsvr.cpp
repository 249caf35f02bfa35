// durazodo-regsvr [-u] MODULE   registers (or with -u unregisters) a COM in-process server
//                               module by calling its DllRegisterServer (DllUnregisterServer)
// durazodo-regsvr --list        prints the filters the filter mapper knows, with their pins
//                               and media types
// durazodo-regsvr --version [MODULE]
//                               prints the tool's version and the file version of MODULE
//                               (default: the decoder module beside the tool or installed
//                               with it)
//
// The build tree also links it as regsvr.
// Both work on the registry store that DURAZODO_REGISTRY names (or the per-user default).
// Failures are reported on stderr with a non-zero exit status.
#include "platform/platform.h"
#include "tools/common/module_files.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kProgram[] = "durazodo-regsvr";

const char kUsage[] =
    "usage: durazodo-regsvr [-u] MODULE\n"
    "       durazodo-regsvr --list\n"
    "       durazodo-regsvr --version [MODULE]\n"
    "Registers MODULE (a COM in-process server) with the registry store, or with -u\n"
    "unregisters it; --list prints the filters that the filter mapper knows; --version\n"
    "prints this tool's version and MODULE's file version (default: the decoder module\n"
    "beside this tool or installed with it); -h, --help prints this text.\n";

std::string StoreLocation()
{
    char path[4096];
    DWORD n = RegistryStoreLocation(path, sizeof path);
    return n < sizeof path ? std::string(path) : std::string("(unknown)");
}

std::string Describe(HRESULT hr)
{
    switch (static_cast<uint32_t>(hr)) {
    case 0x800703F1u: return "the registry store is damaged";      // ERROR_BADDB
    case 0x800703F3u: return "the registry store cannot be opened";  // ERROR_CANTOPEN
    case 0x800703F4u: return "the registry store cannot be read";    // ERROR_CANTREAD
    case 0x800703F5u: return "the registry store cannot be written"; // ERROR_CANTWRITE
    case 0x80070002u: return "not found";
    case 0x80070005u: return "access denied";
    case 0x8007000Eu: return "out of memory";
    case 0x8007007Au: return "the module's path is too long";
    case 0x80040154u: return "class not registered";
    case 0x80004005u: return "unspecified failure";
    default: return std::string();
    }
}

std::string HresultText(HRESULT hr)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    std::string text = Describe(hr);
    return text.empty() ? std::string(code) : std::string(code) + " (" + text + ")";
}

std::string Narrow(LPCWSTR text)
{
    if (!text) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, &s[0], n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

std::string GuidString(const GUID& guid)
{
    WCHAR text[39];
    StringFromGUID2(guid, text, 39);
    return Narrow(text);
}

// Names of the media types a listing is likely to show.
std::string TypeName(const GUID& guid)
{
    struct Known {
        GUID guid;
        const char* name;
    };
    static const Known known[] = {
        {{0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}, "Audio"},
        {{0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}, "Video"},
        {{0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}}, "Stream"},
        {{0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}, "PCM"},
        {{0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}, "IEEE float"},
        {{0x00000001, 0x0721, 0x11D3, {0x86, 0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00}}, "B-Format PCM"},
        {{0x00000003, 0x0721, 0x11D3, {0x86, 0x44, 0xC8, 0xC1, 0xCA, 0x00, 0x00, 0x00}}, "B-Format IEEE float"},
    };
    if (IsEqualGUID(guid, GUID_NULL)) return "any";
    for (const auto& k : known)
        if (IsEqualGUID(k.guid, guid)) return std::string(k.name) + " " + GuidString(guid);
    return GuidString(guid);
}

int Register(const char* module, bool unregister)
{
    const char* entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    char* path = realpath(module, nullptr);
    if (!path) {
        std::fprintf(stderr, "%s: cannot find %s: %s\n", kProgram, module, std::strerror(errno));
        return 1;
    }
    std::string fullPath = path;
    std::free(path);

    void* handle = dlopen(fullPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "%s: cannot load %s: %s\n", kProgram, fullPath.c_str(), dlerror());
        return 1;
    }
    auto entry = reinterpret_cast<HRESULT (*)()>(dlsym(handle, entryName));
    if (!entry) {
        std::fprintf(stderr, "%s: %s has no %s entry point; it is not a self-registering module\n",
                     kProgram, fullPath.c_str(), entryName);
        dlclose(handle);
        return 1;
    }
    HRESULT hr = entry();
    dlclose(handle);
    if (FAILED(hr)) {
        std::fprintf(stderr, "%s: %s in %s failed: %s\n", kProgram, entryName, fullPath.c_str(),
                     HresultText(hr).c_str());
        std::fprintf(stderr, "%s: registry store: %s\n", kProgram, StoreLocation().c_str());
        return 1;
    }
    std::printf("%s %s\n", unregister ? "unregistered" : "registered", fullPath.c_str());
    return 0;
}

int List()
{
    CoInitialize(nullptr);
    IFilterMapper* mapper = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                  reinterpret_cast<void**>(&mapper));
    IEnumRegFilters* filters = nullptr;
    if (SUCCEEDED(hr))
        hr = mapper->EnumMatchingFilters(&filters, 0, FALSE, GUID_NULL, GUID_NULL, FALSE, FALSE, GUID_NULL, GUID_NULL);
    if (FAILED(hr)) {
        std::fprintf(stderr, "%s: cannot read the filter database in %s: %s\n", kProgram, StoreLocation().c_str(),
                     HresultText(hr).c_str());
        if (mapper) mapper->Release();
        CoUninitialize();
        return 1;
    }

    int count = 0, failures = 0;
    REGFILTER* entry = nullptr;
    ULONG fetched = 0;
    while (filters->Next(1, &entry, &fetched) == S_OK && fetched == 1) {
        ++count;
        REGFILTER2* description = nullptr;
        HRESULT described = FilterMapperDescribeFilter(entry->Clsid, &description, nullptr);
        if (FAILED(described)) {
            std::printf("%s %s\n  (cannot read its description: %s)\n", Narrow(entry->Name).c_str(),
                        GuidString(entry->Clsid).c_str(), HresultText(described).c_str());
            ++failures;
        } else {
            std::printf("%s %s merit 0x%08X\n", Narrow(entry->Name).c_str(), GuidString(entry->Clsid).c_str(),
                        static_cast<unsigned>(description->dwMerit));
            for (ULONG p = 0; p < description->cPins; ++p) {
                const REGFILTERPINS& pin = description->rgPins[p];
                std::string flags;
                if (pin.bRendered) flags += " rendered";
                if (pin.bZero) flags += " zero";
                if (pin.bMany) flags += " many";
                std::printf("  %s pin \"%s\"%s\n", pin.bOutput ? "output" : "input", Narrow(pin.strName).c_str(),
                            flags.c_str());
                for (UINT t = 0; t < pin.nMediaTypes; ++t)
                    std::printf("    %s / %s\n", TypeName(*pin.lpMediaType[t].clsMajorType).c_str(),
                                TypeName(*pin.lpMediaType[t].clsMinorType).c_str());
            }
            CoTaskMemFree(description);
        }
        CoTaskMemFree(entry);
    }
    filters->Release();
    mapper->Release();
    CoUninitialize();
    if (count == 0) std::printf("no filters registered in %s\n", StoreLocation().c_str());
    return failures ? 1 : 0;
}

int Version(const char* module)
{
    std::printf("%s %s\n", kProgram, durazodo::ProjectVersion());
    const std::string path = module ? std::string(module) : durazodo::FindModuleFile();
    if (path.empty()) {
        std::printf("module: no %s beside this tool or installed with it\n", durazodo::kModuleFileName);
        return 0;
    }
    std::string version, error;
    if (!durazodo::ReadModuleFileVersion(path, version, error)) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
        return 1;
    }
    std::printf("module: %s, file version %s\n", path.c_str(), version.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && !std::strcmp(argv[1], "--list")) return List();
    if ((argc == 2 || argc == 3) && !std::strcmp(argv[1], "--version")) return Version(argc == 3 ? argv[2] : nullptr);
    if (argc == 2 && argv[1][0] != '-') return Register(argv[1], false);
    if (argc == 3 && !std::strcmp(argv[1], "-u")) return Register(argv[2], true);
    std::fputs(kUsage, stderr);
    return 2;
}
