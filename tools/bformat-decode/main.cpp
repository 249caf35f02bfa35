// bformat-decode [INPUT] [-o OUTPUT] [--module PATH] [--quiet]
// bformat-decode --version [--module PATH]
//
// Decodes a B-Format file into a WAVE file of speaker feeds through the DUrazOdo decoder
// filter. Without INPUT it writes a demonstration B-Format file (a sound circling the
// listener) beside the output and decodes that.
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/bformat-decode/decode_job.h"
#include "tools/bformat-decode/decoder_module.h"
#include "tools/bformat-decode/demo.h"

namespace {

constexpr const char* kProgram = "bformat-decode";
constexpr const char* kDemoInput = "demo-bformat.amb";
constexpr const char* kDemoOutput = "demo-speakers.wav";

std::atomic<bool> g_interrupted{false};

extern "C" void OnSignal(int)
{
    g_interrupted = true;
}

void Usage(std::FILE* to)
{
    std::fprintf(to,
                 "usage: %s [INPUT] [-o OUTPUT] [--module PATH] [--quiet]\n"
                 "\n"
                 "Decodes a B-Format file (.amb, or WAVE_FORMAT_EXTENSIBLE with a B-Format subformat;\n"
                 "3 or 4 channels; 16, 24 or 32-bit integer or 32-bit float samples) into speaker feeds\n"
                 "for a square of four loudspeakers, written as a WAVE file.\n"
                 "\n"
                 "  INPUT          the B-Format file; without it a demonstration file (a sound circling\n"
                 "                 the listener) is written beside the output as %s and decoded\n"
                 "  -o, --output OUTPUT\n"
                 "                 the speaker-feed file (default: INPUT's name with -speakers.wav,\n"
                 "                 or %s for the demonstration)\n"
                 "  --module PATH  the decoder module to use (default: the registered decoder filter,\n"
                 "                 else the module beside this program, else the installed one)\n"
                 "  -q, --quiet    no progress and no summary; errors only\n"
                 "  --version      print this program's version and the decoder module's file version\n"
                 "  -h, --help     print this help\n",
                 kProgram, kDemoInput, kDemoOutput);
}

int Fail(const std::string& message, int code = 1)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return code;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// "dir/name.amb" -> "dir/name-speakers.wav"
std::string DefaultOutput(const std::string& input)
{
    const size_t slash = input.rfind('/');
    const size_t dot = input.rfind('.');
    const std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
                                 ? input.substr(0, dot)
                                 : input;
    return stem + "-speakers.wav";
}

std::string Level(double peak)
{
    char text[64];
    if (peak <= 0) std::snprintf(text, sizeof text, "silent");
    else std::snprintf(text, sizeof text, "%6.1f dBFS (%.3f)", 20 * std::log10(peak), peak);
    return text;
}

std::string Minutes(double seconds)
{
    char text[32];
    const long whole = static_cast<long>(seconds);
    std::snprintf(text, sizeof text, "%ld:%06.3f", whole / 60, seconds - 60.0 * (whole / 60));
    return text;
}

void PrintSummary(const std::string& input, const std::string& output, const bformat::DecodeResult& r)
{
    using bformat::SampleTypeName;
    const auto& in = r.input.format;
    std::printf("Decoded %s\n     to %s\n", input.c_str(), output.c_str());
    std::printf("  input     %u-channel B-Format, %s, %u Hz\n", in.channels, SampleTypeName(r.input.sampleType),
                in.sampleRate);
    std::printf("  output    %u speakers, %s, %u Hz, channel mask 0x%X\n", r.output.channels,
                SampleTypeName(r.input.sampleType), r.output.sampleRate, r.output.channelMask);
    std::printf("  decoder   %s\n", r.decoderSource.c_str());
    std::printf("  frames    %llu (%s)\n", static_cast<unsigned long long>(r.frames), Minutes(r.seconds).c_str());
    const double speed = r.wallSeconds > 0 ? r.seconds / r.wallSeconds : 0;
    std::printf("  time      %.3f s, %.1fx real time\n", r.wallSeconds, speed);
    const auto names = bformat::SpeakerNames(r.output.channelMask, r.output.channels);
    for (size_t i = 0; i < r.peaks.size() && i < names.size(); ++i) {
        std::printf("  peak      %-12s %s\n", names[i].c_str(), Level(r.peaks[i]).c_str());
    }
}

// The program's version, then the file version of the module a decode would use.
int PrintVersion(const std::string& modulePath)
{
    std::printf("%s %s\n", kProgram, durazodo::ProjectVersion());
    std::string module = modulePath;
    if (module.empty()) module = durazodo::RegisteredModuleFile(bformat::kDecoderClsid);
    if (module.empty()) module = durazodo::FindModuleFile();
    if (module.empty()) {
        std::printf("decoder module: none registered, beside this program or installed with it\n");
        return 0;
    }
    std::string version, error;
    if (!durazodo::ReadModuleFileVersion(module, version, error)) return Fail(error);
    std::printf("decoder module: %s, file version %s\n", module.c_str(), version.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string input, output, modulePath;
    bool quiet = false, version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name, std::string& into) {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) == 0) {
                into = arg.substr(prefix.size());
                return true;
            }
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if (arg == "--version") {
            version = true;
        } else if (arg == "-q" || arg == "--quiet") {
            quiet = true;
        } else if (arg == "-o" || arg == "--output" || arg.rfind("--output=", 0) == 0) {
            if (!value("--output", output) || output.empty()) return Fail(arg + " needs a file name", 2);
        } else if (arg == "--module" || arg.rfind("--module=", 0) == 0) {
            if (!value("--module", modulePath) || modulePath.empty()) return Fail("--module needs a file name", 2);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Fail("unknown option " + arg + " (see --help)", 2);
        } else if (!input.empty()) {
            return Fail("one input file at a time (" + input + " and " + arg + ")", 2);
        } else {
            input = arg;
        }
    }

    if (version) return PrintVersion(modulePath);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    bformat::DecodeRequest request;
    if (input.empty()) {
        request.output = output.empty() ? kDemoOutput : output;
        request.input = FolderOf(request.output) + kDemoInput;
        if (request.input == request.output) return Fail(request.output + ": the demonstration's own name", 2);
        std::string error;
        if (!bformat::WriteDemoFile(request.input, bformat::DemoSettings{}, error)) return Fail(error);
    } else {
        request.input = input;
        request.output = output.empty() ? DefaultOutput(input) : output;
    }
    request.modulePath = modulePath;

    const bool showProgress = !quiet && ::isatty(STDERR_FILENO);
    bool progressShown = false;
    auto progress = [&](uint64_t done, uint64_t total, uint32_t rate, double wall) {
        if (!showProgress) return;
        const double percent = total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0;
        const double speed = wall > 0 && rate ? static_cast<double>(done) / rate / wall : 0;
        std::fprintf(stderr, "\r%5.1f%%  %llu / %llu frames  %.1fx real time ", percent,
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(total), speed);
        std::fflush(stderr);
        progressShown = true;
    };

    bformat::DecodeResult result;
    std::string error;
    const bool ok = bformat::RunDecode(request, result, error, progress, &g_interrupted);
    if (progressShown) std::fprintf(stderr, "\r\033[K");
    if (!ok) return Fail(error, g_interrupted ? 130 : 1);
    if (!quiet) {
        if (input.empty()) std::printf("Demonstration B-Format file: %s\n", request.input.c_str());
        PrintSummary(request.input, request.output, result);
    }
    return 0;
}
