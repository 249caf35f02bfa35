// Files from the fuzzer into the SOFA reader of bformat-decode's headphone decode (libmysofa,
// then the reader's own checks), at the stream rate of the file and at another.
//
// A file the reader refuses must come with one line that names it and leave no responses. A
// file it takes must give one response pair per direction asked for (the octagon's eight), each labelled with a finite
// direction, of equal lengths within the decoder's limit, every value a number.
#include <cmath>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "decoder/binaural.h"
#include "tools/bformat-decode/sofa_responses.h"

namespace {

const std::string& InputPath()
{
    static const std::string path = fuzz::MakeTemporaryDirectory("sofa-fuzz") + "/input.sofa";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& path = InputPath();
    fuzz::WriteFile(path, data, size);
    const std::vector<decoder::Direction> directions =
        decoder::SpeakerDirections(decoder::BuiltInRig(decoder::LayoutId::Octagon));
    for (double rate : {48000.0, 44100.0}) {
        std::vector<decoder::DirectionalResponse> out;
        std::string error;
        bformat::SofaSummary summary;
        if (!bformat::LoadSofaResponses(path, rate, directions, out, error, &summary)) {
            FUZZ_CHECK(out.empty(), "refused with %zu responses", out.size());
            FUZZ_CHECK(error.rfind(path + ": ", 0) == 0 && error.find('\n') == std::string::npos,
                       "refused with \"%s\"", error.c_str());
            continue;
        }
        FUZZ_CHECK(out.size() == directions.size(), "%zu responses for %zu directions", out.size(), directions.size());
        for (const decoder::DirectionalResponse& r : out) {
            FUZZ_CHECK(std::isfinite(r.azimuthDeg) && std::isfinite(r.elevationDeg), "a direction not a number");
            FUZZ_CHECK(r.left.size() == r.right.size() && !r.left.empty() &&
                           r.left.size() <= decoder::kMaxResponseFrames && r.left.size() <= summary.frames,
                       "responses of %zu and %zu frames", r.left.size(), r.right.size());
            for (const std::vector<double>* ear : {&r.left, &r.right})
                for (double v : *ear) FUZZ_CHECK(std::isfinite(v), "a response value not a number");
        }
    }
    return 0;
}
