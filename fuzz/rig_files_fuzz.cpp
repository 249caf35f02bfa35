// The two rig-file readers over arbitrary text: every input is either read into a rig whose
// sizes agree with each other or refused with a reason, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/common/rig_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (int format = 0; format < 2; ++format) {
        rigfiles::RigFile rig;
        std::string error;
        const bool ok = format == 0 ? rigfiles::ParseAmbDec(text, rig, error) : rigfiles::ParseLayoutJson(text, rig, error);
        if (ok != error.empty()) std::abort();
        if (ok && rig.hasDecoder) {
            const size_t cells = rig.speakers.size() * rig.decoder.channels;
            if (rig.decoder.low.size() != cells || rig.decoder.high.size() != cells) std::abort();
        }
    }
    return 0;
}
