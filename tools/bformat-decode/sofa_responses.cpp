#include "tools/bformat-decode/sofa_responses.h"

#include <mysofa.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

namespace bformat {
namespace {

struct HrtfDeleter {
    void operator()(MYSOFA_HRTF* h) const { mysofa_free(h); }
};
using HrtfPtr = std::unique_ptr<MYSOFA_HRTF, HrtfDeleter>;

std::string LoadError(int err)
{
    switch (err) {
    case MYSOFA_READ_ERROR: return "cannot be read";
    case MYSOFA_NO_MEMORY: return "does not fit in memory";
    case MYSOFA_INVALID_FORMAT: return "is not a SOFA (netCDF-4) file";
    case MYSOFA_UNSUPPORTED_FORMAT: return "uses a SOFA layout that cannot be read";
    default:
        // libmysofa hands on the system's error when the file cannot be opened.
        if (err > 0) return std::strerror(err);
        return "cannot be opened as a SOFA file (error " + std::to_string(err) + ")";
    }
}

// Delay of receiver r of measurement m, in the file's frames: Data.Delay holds either one
// pair for all measurements or one pair per measurement.
double DelayOf(const MYSOFA_HRTF& h, unsigned m, unsigned r)
{
    if (h.DataDelay.elements == h.R * h.M) return h.DataDelay.values[m * h.R + r];
    if (h.DataDelay.elements >= h.R) return h.DataDelay.values[r];
    return 0.0;
}

// Loads the file; `directions` null takes every measurement in file order, else the nearest
// to each direction.
bool Load(const std::string& path, double sampleRate, const std::vector<decoder::Direction>* directions,
          std::vector<decoder::DirectionalResponse>& out, std::string& error, SofaSummary* summary)
{
    out.clear();
    auto fail = [&](const std::string& why) {
        error = path + ": " + why;
        out.clear();
        return false;
    };
    if (!std::isfinite(sampleRate) || sampleRate < 1000.0) return fail("no usable stream sample rate");
    int err = 0;
    HrtfPtr hrtf(mysofa_load(path.c_str(), &err));
    if (!hrtf || err != MYSOFA_OK) return fail(LoadError(err));
    MYSOFA_HRTF& h = *hrtf;
    if (h.R != 2) return fail("has " + std::to_string(h.R) + " receivers; a head-related set needs 2");
    if ((err = mysofa_check(&h)) != MYSOFA_OK)
        return fail("is not a usable SimpleFreeFieldHRIR set (libmysofa check error " + std::to_string(err) + ")");
    if (h.M == 0 || h.N == 0 || h.DataIR.elements != h.M * h.R * h.N || h.SourcePosition.elements != h.M * h.C ||
        h.C != 3 || h.ReceiverPosition.elements < 6)
        return fail("has inconsistent dimensions");
    if (h.DataSamplingRate.elements < 1) return fail("has no sample rate");
    const double fileRate = h.DataSamplingRate.values[0];
    if (!std::isfinite(fileRate) || fileRate < 1000.0 || fileRate > 768000.0)
        return fail("has an unusable sample rate");

    SofaSummary s;
    s.measurements = h.M;
    s.fileFrames = h.N;
    s.fileRate = fileRate;
    // Which receiver is the left ear: the one on the +Y side.
    mysofa_tocartesian(&h);
    const bool swapEars = h.ReceiverPosition.values[1] < h.ReceiverPosition.values[4];
    // Delays are in the file's frames; read them before resampling changes the data.
    std::vector<double> delays(static_cast<size_t>(h.M) * 2);
    for (unsigned m = 0; m < h.M; ++m)
        for (unsigned r = 0; r < 2; ++r) delays[m * 2 + r] = DelayOf(h, m, r) * sampleRate / fileRate;
    if (fileRate != sampleRate) {
        if (mysofa_resample(&h, static_cast<float>(sampleRate)) != MYSOFA_OK || h.DataIR.elements != h.M * h.R * h.N)
            return fail("cannot be resampled to " + std::to_string(static_cast<long>(sampleRate)) + " Hz");
    }
    mysofa_tospherical(&h);

    std::vector<decoder::Direction> measured(h.M);
    for (unsigned m = 0; m < h.M; ++m) {
        const float* p = &h.SourcePosition.values[m * 3];
        if (!std::isfinite(p[0]) || !std::isfinite(p[1])) return fail("has a source position that is not a number");
        measured[m] = {p[0], p[1]};
    }
    std::vector<size_t> chosen;
    if (directions == nullptr) {
        for (size_t m = 0; m < measured.size(); ++m) chosen.push_back(m);
    } else {
        for (const decoder::Direction& d : *directions)
            chosen.push_back(decoder::NearestDirection(d, measured.data(), measured.size()));
    }
    for (const size_t m : chosen) {
        decoder::DirectionalResponse r;
        r.azimuthDeg = measured[m].azimuthDeg;
        r.elevationDeg = measured[m].elevationDeg;
        for (unsigned receiver = 0; receiver < 2; ++receiver) {
            const unsigned from = swapEars ? 1 - receiver : receiver;
            const double delay = delays[m * 2 + from];
            if (!std::isfinite(delay) || delay < 0.0 || delay > static_cast<double>(decoder::kMaxResponseFrames))
                return fail("has an unusable delay");
            const auto lead = static_cast<size_t>(std::lround(delay));
            if (lead + h.N > decoder::kMaxResponseFrames)
                return fail("has responses longer than " + std::to_string(decoder::kMaxResponseFrames) + " frames");
            std::vector<double>& ear = receiver == 0 ? r.left : r.right;
            ear.assign(lead, 0.0);
            const float* ir = &h.DataIR.values[(static_cast<size_t>(m) * h.R + from) * h.N];
            for (unsigned i = 0; i < h.N; ++i) {
                if (!std::isfinite(ir[i])) return fail("has responses that are not numbers");
                ear.push_back(ir[i]);
            }
        }
        const size_t frames = std::max(r.left.size(), r.right.size());
        r.left.resize(frames, 0.0);
        r.right.resize(frames, 0.0);
        s.frames = static_cast<unsigned>(std::max<size_t>(s.frames, frames));
        out.push_back(std::move(r));
    }
    if (summary) *summary = s;
    error.clear();
    return true;
}

}  // namespace

bool LoadSofaResponses(const std::string& path, double sampleRate, const std::vector<decoder::Direction>& directions,
                       std::vector<decoder::DirectionalResponse>& out, std::string& error, SofaSummary* summary)
{
    return Load(path, sampleRate, &directions, out, error, summary);
}

bool LoadSofaSet(const std::string& path, double sampleRate, std::vector<decoder::DirectionalResponse>& out,
                 std::string& error, SofaSummary* summary)
{
    return Load(path, sampleRate, nullptr, out, error, summary);
}

}  // namespace bformat
