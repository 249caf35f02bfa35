#include "tools/bformat-decode/sofa_responses.h"

#include <mysofa.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// libmysofa leaks part of what it read when it gives up on some damaged files. Builds with
// LeakSanitizer (the sanitizer tests, the fuzz targets) leave those leaks of the library out
// of their report; other builds never call this.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libmysofa.so\n";
}

namespace bformat {
namespace {

struct HrtfDeleter {
    void operator()(MYSOFA_HRTF* h) const { mysofa_free(h); }
};
using HrtfPtr = std::unique_ptr<MYSOFA_HRTF, HrtfDeleter>;

// Whether the file holds an HDF5 signature where HDF5 puts one (byte 0, 512, 1024, ...):
// netCDF-4, and so SOFA, is HDF5.
bool LooksLikeHdf5(const std::string& path)
{
    static const unsigned char kSignature[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1A, '\n'};
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bool found = false;
    for (long at = 0; !found && at <= 65536; at = at ? at * 2 : 512) {
        unsigned char head[8];
        found = std::fseek(f, at, SEEK_SET) == 0 && std::fread(head, 1, 8, f) == 8 &&
                std::memcmp(head, kSignature, 8) == 0;
    }
    std::fclose(f);
    return found;
}

// Why libmysofa could not load the file, in words: not a SOFA file at all, or an HDF5
// (netCDF-4) file it cannot read, telling a file that cannot be opened from one it cannot parse.
std::string LoadError(const std::string& path, int err)
{
    if (err == MYSOFA_NO_MEMORY) return "does not fit in memory";
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::string("cannot be opened: ") + std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "is a directory, not a SOFA file";
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) std::fclose(f);
    else return std::string("cannot be opened: ") + std::strerror(errno);
    if (!LooksLikeHdf5(path)) return "is not a SOFA file: SOFA files are netCDF-4 (HDF5), and this one is not";
    std::string why = "is a netCDF-4 (HDF5) file that libmysofa cannot read as SOFA: ";
    switch (err) {
    case MYSOFA_UNSUPPORTED_FORMAT: return why + "it is stored in a way libmysofa does not read";
    case MYSOFA_INVALID_FORMAT: return why + "damaged, truncated, or stored in a way libmysofa does not read";
    case MYSOFA_READ_ERROR: return why + "damaged or truncated";
    default:
        // A system error from inside the parser: the file opened, so its contents misled it.
        if (err > 0 && err < MYSOFA_INVALID_FORMAT)
            return why + "damaged or truncated (libmysofa: " + std::strerror(err) + ")";
        return why + "damaged or truncated (libmysofa's error " + std::to_string(err) + ")";
    }
}

// What mysofa_check found wrong with a loaded file, in words.
std::string CheckError(int err)
{
    switch (err) {
    case MYSOFA_INVALID_ATTRIBUTES:
        return "lacks the attributes of one (its conventions, SOFAConventions SimpleFreeFieldHRIR, DataType FIR)";
    case MYSOFA_INVALID_DIMENSIONS: return "has dimensions that do not fit one";
    case MYSOFA_INVALID_DIMENSION_LIST: return "has variables whose dimensions do not fit the SOFA conventions";
    case MYSOFA_INVALID_COORDINATE_TYPE: return "has positions that are neither cartesian nor spherical";
    case MYSOFA_ONLY_EMITTER_WITH_ECI_SUPPORTED: return "has emitter positions that change with each measurement";
    case MYSOFA_ONLY_DELAYS_WITH_IR_OR_MR_SUPPORTED: return "has delays that are neither one pair nor one pair per measurement";
    case MYSOFA_ONLY_THE_SAME_SAMPLING_RATE_SUPPORTED: return "has more than one sample rate";
    case MYSOFA_RECEIVERS_WITH_RCI_SUPPORTED: return "has receiver positions that change with each measurement";
    case MYSOFA_RECEIVERS_WITH_CARTESIAN_SUPPORTED: return "has receiver positions that are not cartesian";
    case MYSOFA_INVALID_RECEIVER_POSITIONS: return "has receiver positions that are not one ear on each side";
    case MYSOFA_ONLY_SOURCES_WITH_MC_SUPPORTED: return "has source positions that are not one per measurement";
    default: return "fails libmysofa's check of one (its error " + std::to_string(err) + ")";
    }
}

// How a trial load of a file in a child process ended.
enum class Trial { Loaded, Refused, Hung, Crashed };

// libmysofa loops for ever on some damaged files (seeking past their end) and may crash on
// others. The file is loaded first in a child process with a time limit (two seconds and one
// more per 10 MB), so such a file is refused rather than hanging or ending the decode;
// libmysofa is deterministic, so a file the child loaded loads again in this process.
Trial TrialLoad(const std::string& path)
{
    struct stat st;
    const double limit = 2.0 + (::stat(path.c_str(), &st) == 0 ? double(st.st_size) / 10e6 : 0.0);
    const pid_t child = ::fork();
    if (child < 0) return Trial::Loaded;  // no trial: load directly
    if (child == 0) {
        int err = 0;
        MYSOFA_HRTF* h = mysofa_load(path.c_str(), &err);
        ::_exit(h && err == MYSOFA_OK ? 0 : 1);
    }
    int status = 0;
    for (double waited = 0;; waited += 0.005) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0 && errno != EINTR) return Trial::Loaded;
        if (waited > limit) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
            return Trial::Hung;
        }
        ::usleep(5000);
    }
    if (WIFSIGNALED(status)) return Trial::Crashed;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Trial::Loaded : Trial::Refused;
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
    switch (TrialLoad(path)) {
    case Trial::Hung: return fail(LoadError(path, MYSOFA_READ_ERROR) + "; libmysofa did not finish reading it");
    case Trial::Crashed: return fail(LoadError(path, MYSOFA_READ_ERROR) + "; libmysofa failed reading it");
    default: break;
    }
    int err = 0;
    HrtfPtr hrtf(mysofa_load(path.c_str(), &err));
    if (!hrtf || err != MYSOFA_OK) return fail(LoadError(path, err));
    MYSOFA_HRTF& h = *hrtf;
    if (h.R != 2) return fail("has " + std::to_string(h.R) + " receivers; a head-related set needs 2");
    if ((err = mysofa_check(&h)) != MYSOFA_OK)
        return fail("is not a SimpleFreeFieldHRIR set libmysofa can use: it " + CheckError(err));
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

std::string HeadphoneSofaPath(const std::string& installed)
{
    const char* named = std::getenv("DURAZODO_HEADPHONES_SOFA");
    const std::string path = named ? named : installed;
    return !path.empty() && ::access(path.c_str(), R_OK) == 0 ? path : std::string();
}

}  // namespace bformat
