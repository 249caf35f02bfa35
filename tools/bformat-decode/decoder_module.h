// Getting the decoder filter: through COM when its class is registered, else straight from
// the module file, named on the command line or found where the tools look for it
// (tools/common/module_files.h).
#pragma once

#include <string>

#include "platform/platform.h"
#include "tools/common/module_files.h"

namespace bformat {

// The decoder filter's class, {A4BFE317-D4A4-41BC-9926-20C0432AA2CF}.
extern const CLSID kDecoderClsid;

class DecoderModule {
public:
    DecoderModule() = default;
    // Unloads a module loaded here once it says it can go; release every object it made
    // first.
    ~DecoderModule();
    DecoderModule(const DecoderModule&) = delete;
    DecoderModule& operator=(const DecoderModule&) = delete;

    // Creates a decoder filter. With `modulePath` set, only from that module file. Otherwise
    // through CoCreateInstance, and when the class is not registered (or its registered
    // module cannot be loaded), from the module file beside this program or installed with it. `source` says
    // which way it came; `error` why there is none, in one line.
    bool CreateFilter(const std::string& modulePath, IBaseFilter** filter, std::string& source, std::string& error);

private:
    bool FromFile(const std::string& path, IBaseFilter** filter, std::string& error);

    void* m_handle = nullptr;
};

// An HRESULT as "0x" and eight hex digits, for messages.
std::string Hex(HRESULT hr);

}  // namespace bformat
