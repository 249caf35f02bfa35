#include "tools/bformat-decode/decoder_module.h"

#include <dlfcn.h>

#include <cstdio>

namespace bformat {

const CLSID kDecoderClsid = {0xA4BFE317, 0xD4A4, 0x41BC, {0x99, 0x26, 0x20, 0xC0, 0x43, 0x2A, 0xA2, 0xCF}};

namespace {

using GetClassObjectFunction = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowFunction = HRESULT (*)();

}  // namespace

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

DecoderModule::~DecoderModule()
{
    if (!m_handle) return;
    auto canUnload = reinterpret_cast<CanUnloadNowFunction>(::dlsym(m_handle, "DllCanUnloadNow"));
    // A module with live objects stays loaded until the process ends.
    if (canUnload && canUnload() == S_OK) ::dlclose(m_handle);
}

bool DecoderModule::FromFile(const std::string& path, IBaseFilter** filter, std::string& error)
{
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        error = "cannot load the decoder module: " + std::string(why ? why : path);
        return false;
    }
    auto getClassObject = reinterpret_cast<GetClassObjectFunction>(::dlsym(handle, "DllGetClassObject"));
    if (!getClassObject) {
        error = path + " is not the decoder module (it has no DllGetClassObject)";
        ::dlclose(handle);
        return false;
    }
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(kDecoderClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || !factory) {
        error = path + " does not make the decoder filter (DllGetClassObject: " + Hex(hr) + ")";
        ::dlclose(handle);
        return false;
    }
    hr = factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(filter));
    factory->Release();
    if (FAILED(hr) || !*filter) {
        *filter = nullptr;
        error = "the decoder module could not create its filter (" + Hex(hr) + ")";
        ::dlclose(handle);
        return false;
    }
    m_handle = handle;
    return true;
}

bool DecoderModule::CreateFilter(const std::string& modulePath, IBaseFilter** filter, std::string& source,
                                 std::string& error)
{
    *filter = nullptr;
    if (!modulePath.empty()) {
        if (!FromFile(modulePath, filter, error)) return false;
        source = modulePath;
        return true;
    }
    HRESULT hr = CoCreateInstance(kDecoderClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(filter));
    if (SUCCEEDED(hr) && *filter) {
        source = "the registered decoder filter";
        return true;
    }
    *filter = nullptr;
    const std::string found = durazodo::FindModuleFile();
    if (found.empty()) {
        error = std::string("the decoder filter is not registered (") + Hex(hr) + ") and there is no " +
                durazodo::kModuleFileName +
                " beside this program or in its installed folder; name the module with --module";
        return false;
    }
    if (!FromFile(found, filter, error)) return false;
    source = found;
    return true;
}

}  // namespace bformat
