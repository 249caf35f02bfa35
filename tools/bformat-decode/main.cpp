// bformat-decode [INPUT...] [-o OUTPUT|DIR/] [-i fuma|ambix] [-f FORMAT] [-l LAYOUT]
//                [--speakers AZ[/EL[/DIST]],... | --rig FILE] [--lfe] [--no-lfe]
//                [--stereo uhj | --headphones [FILE.sofa]] [--rotate YAW[,PITCH[,ROLL]]]
//                [--module PATH] [--quiet]
// bformat-decode --layout list
// bformat-decode --version [--module PATH]
//
// Decodes Ambisonic files into files of speaker feeds, UHJ stereo or headphone signals
// through the DUrazOdo decoder filter. Without INPUT it writes a demonstration B-Format file
// (a sound circling the listener) beside the output and decodes that.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tools/bformat-decode/batch_plan.h"
#include "tools/bformat-decode/decode_job.h"
#include "tools/bformat-decode/decoder_module.h"
#include "tools/bformat-decode/demo.h"
#include "tools/bformat-decode/output_choice.h"
#include "tools/bformat-decode/output_file.h"

namespace {

constexpr const char* kProgram = "bformat-decode";
constexpr const char* kDemoInput = "demo-bformat.amb";
constexpr const char* kDemoOutput = "demo-speakers.wav";

std::atomic<bool> g_interrupted{false};

extern "C" void OnSignal(int)
{
    g_interrupted = true;
}

// What the command line asked for.
struct Settings {
    std::vector<std::string> inputs;
    std::string output;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool listLayouts = false;
    std::string preset;    // --layout naming a preset
    std::string speakers;  // --speakers
    std::string rigFile;   // --rig
    bool lfe = false;      // --lfe
    bformat::DecodeRequest request;  // everything but the input and output names
};

// Makes the rig the command line describes (a preset, --speakers or --rig) into the output
// choice; the usage error, or an empty string.
std::string ResolveRig(Settings& s)
{
    const int given = !s.preset.empty() + !s.speakers.empty() + !s.rigFile.empty();
    if (given > 1 || (given == 1 && s.request.outputChoice.layout >= 0))
        return "--layout, --speakers and --rig each choose the speakers: give one";
    if (s.lfe && s.speakers.empty() && s.rigFile.empty())
        return "--lfe adds an LFE channel to --speakers or --rig (the presets have theirs)";
    bformat::RigChoice& choice = s.request.outputChoice.rig;
    std::string error;
    if (!s.preset.empty()) bformat::PresetChoice(s.preset, choice);
    if (!s.speakers.empty() && !bformat::SpeakersChoice(s.speakers, s.lfe, choice, error)) return error;
    if (!s.rigFile.empty() && !bformat::RigFileChoice(s.rigFile, s.lfe, choice, error)) return error;
    return {};
}

// One option: its names, the name of its value (null for a switch), its help text (which
// says its default) and what it does to the settings; `apply` returns why a value is wrong,
// or an empty string. An optional value is given as --name=VALUE, or as the next argument
// when that ends in `optionalSuffix`; without one, `apply` gets an empty value.
struct Option {
    const char* shortName;  // "-o", or null
    const char* longName;   // "--output"
    const char* valueName;
    const char* help;
    std::function<std::string(const std::string& value, Settings& settings)> apply;
    const char* optionalSuffix = nullptr;  // set: the value is optional
};

bool EndsWithNoCase(const std::string& text, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return text.size() > n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

const std::vector<Option>& Options()
{
    static const std::vector<Option> options = {
        {"-o", "--output", "OUTPUT",
         "the output file (default: INPUT's name with -speakers.wav, or demo-speakers.wav);\n"
         "a name ending in / is a folder for every input's output;\n"
         "the name's ending chooses the file: .wav (WAVE_FORMAT_EXTENSIBLE, RF64 past 4 GiB),\n"
         ".rf64, .w64, .caf or .flac",
         [](const std::string& v, Settings& s) {
             s.output = v;
             return std::string();
         }},
        {"-i", "--input", "fuma|ambix|n3d",
         "the channel convention of inputs not flagged as B-Format: FuMa, ambiX (ACN, SN3D) or\n"
         "ACN with N3D weights (default: none, and such inputs are refused); files flagged as\n"
         "B-Format (.amb) are always FuMa",
         [](const std::string& v, Settings& s) {
             if (v == "fuma") s.request.convention = bformat::Convention::FuMa;
             else if (v == "ambix") s.request.convention = bformat::Convention::AmbiX;
             else if (v == "n3d") s.request.convention = bformat::Convention::N3d;
             else return "--input takes fuma, ambix or n3d, not " + v;
             return std::string();
         }},
        {"-f", "--format", "pcm16|pcm24|pcm32|float",
         "the output's sample format; float keeps what lies above full scale, integers\n"
         "saturate (default: the input's; 8-bit input gives pcm16, 64-bit float and compressed\n"
         "float input gives float)",
         [](const std::string& v, Settings& s) {
             using decoder::SampleFormat;
             if (v == "pcm16") s.request.outputFormat = SampleFormat::Pcm16;
             else if (v == "pcm24") s.request.outputFormat = SampleFormat::Pcm24;
             else if (v == "pcm32") s.request.outputFormat = SampleFormat::Pcm32;
             else if (v == "float") s.request.outputFormat = SampleFormat::Float32;
             else return "--format takes pcm16, pcm24, pcm32 or float, not " + v;
             return std::string();
         }},
        {"-l", "--layout", "NAME|NUMBER",
         "the speaker layout: a name or number that --layout list shows, with each layout's\n"
         "speakers in output channel order: one of the seven built-in layouts, or a preset\n"
         "with a decoder designed for it (stereo, 5.0, 5.1, 7.1, 5.1.4, 7.1.4; channels in\n"
         "WAVE channel-mask order) (default: square, four speakers: front left, front right,\n"
         "back left, back right)",
         [](const std::string& v, Settings& s) {
             if (v == "list") {
                 s.listLayouts = true;
                 return std::string();
             }
             bformat::RigChoice preset;
             if (bformat::PresetChoice(v, preset)) {
                 s.preset = v;
                 return std::string();
             }
             s.request.outputChoice.layout = bformat::LayoutFromText(v);
             if (s.request.outputChoice.layout < 0)
                 return "--layout takes list or one of " + bformat::LayoutChoices() + ", not " + v;
             return std::string();
         }},
        {nullptr, "--speakers", "AZ[/EL[/DIST]],...",
         "your own speakers, output channels in the order given: azimuth in degrees from\n"
         "straight ahead, positive to the left, elevation in degrees up (default 0), distance\n"
         "in metres (default: unknown; given for every speaker, the nearer ones are delayed\n"
         "and lowered to match the farthest); 2 to 64 speakers, decoded by an all-round\n"
         "decoder designed for them (default: none, the square layout)",
         [](const std::string& v, Settings& s) {
             s.speakers = v;
             return std::string();
         }},
        {nullptr, "--rig", "FILE",
         "the speakers of a rig file: an AmbDec preset (.ambdec, version 3), whose decoder\n"
         "matrices and crossover are used as given, or a JSON loudspeaker layout, whose\n"
         "speakers get a decoder designed as for --speakers (default: none)",
         [](const std::string& v, Settings& s) {
             s.rigFile = v;
             return std::string();
         }},
        {nullptr, "--lfe", nullptr,
         "add an LFE channel after the speakers of --speakers or --rig, carrying W low-passed\n"
         "at 120 Hz, 24 dB per octave (default: off; the presets with .1 have theirs)",
         [](const std::string&, Settings& s) {
             s.lfe = true;
             return std::string();
         }},
        {nullptr, "--no-lfe", nullptr, "leave the LFE channel silent (default: off, the LFE channel carries W low-passed)",
         [](const std::string&, Settings& s) {
             s.request.outputChoice.silentLfe = true;
             return std::string();
         }},
        {nullptr, "--stereo", "uhj",
         "two-channel UHJ stereo (left, right; channel mask 0x3) instead of speaker feeds\n"
         "(default: speaker feeds)",
         [](const std::string& v, Settings& s) {
             if (v != "uhj") return "--stereo takes uhj, not " + v;
             if (s.request.outputChoice.Headphones()) return std::string("--stereo and --headphones: choose one");
             s.request.outputChoice.mode = bformat::OutputMode::UhjStereo;
             return std::string();
         }},
        {nullptr, "--headphones", "[FILE.sofa]",
         "two ear signals for headphones (left ear, right ear; channel mask 0x3), decoded in\n"
         "three dimensions with the head-related responses of a SOFA file (--headphones\n"
         "FILE.sofa, or --headphones=FILE for any name); without a file, libmysofa's default\n"
         "set (" BFORMAT_DEFAULT_SOFA ") when it is installed, else the built-in\n"
         "spherical head; the summary says which (default: speaker feeds)",
         [](const std::string& v, Settings& s) {
             if (s.request.outputChoice.mode == bformat::OutputMode::UhjStereo)
                 return std::string("--stereo and --headphones: choose one");
             bformat::OutputChoice& choice = s.request.outputChoice;
             choice.sofaPath = v.empty() ? bformat::DefaultSofaPath() : v;
             choice.defaultSofa = v.empty() && !choice.sofaPath.empty();
             choice.mode = choice.sofaPath.empty() ? bformat::OutputMode::HeadphonesHeadModel
                                                   : bformat::OutputMode::HeadphonesSofa;
             return std::string();
         },
         ".sofa"},
        {nullptr, "--rotate", "YAW[,PITCH[,ROLL]]",
         "turn the scene before decoding, in degrees: yaw turns it towards the left (a source\n"
         "in front moves to the left), pitch raises the front, roll lowers the right side;\n"
         "rolled first, then pitched, then yawed; a file without height is turned as if it had\n"
         "none and loses the height the turn gives (default: 0,0,0, no turn)",
         [](const std::string& v, Settings& s) {
             double angles[3] = {0.0, 0.0, 0.0};
             if (!bformat::ParseRotation(v, angles))
                 return "--rotate takes YAW[,PITCH[,ROLL]] in degrees (finite numbers), not " + v;
             s.request.rotation = {angles[0], angles[1], angles[2]};
             return std::string();
         }},
        {nullptr, "--module", "PATH",
         "the decoder module to use (default: the registered decoder filter, else the module\n"
         "beside this program, else the one installed with it)",
         [](const std::string& v, Settings& s) {
             s.request.modulePath = v;
             return std::string();
         }},
        {"-q", "--quiet", nullptr, "no progress and no summary; errors only (default: off)",
         [](const std::string&, Settings& s) {
             s.quiet = true;
             return std::string();
         }},
        {nullptr, "--version", nullptr, "print this program's version and the decoder module's file version",
         [](const std::string&, Settings& s) {
             s.version = true;
             return std::string();
         }},
        {"-h", "--help", nullptr, "this text",
         [](const std::string&, Settings& s) {
             s.help = true;
             return std::string();
         }},
    };
    return options;
}

void Usage(std::FILE* to)
{
    std::fprintf(to,
                 "usage: %s [INPUT...] [options]\n"
                 "\n"
                 "Decodes Ambisonic files into speaker feeds (a square of four loudspeakers unless\n"
                 "--layout names another), UHJ stereo or headphone signals.\n"
                 "Reads any file libsndfile reads (WAV, WAVE_FORMAT_EXTENSIBLE, RF64, W64, AIFF, CAF,\n"
                 "FLAC, Ogg): FuMa B-Format of 3 to 16 channels (first to third order; .amb files\n"
                 "are FuMa) or ambiX or N3D of 4, 9, ... 64 channels (orders 1 to 7), decoded at their\n"
                 "order as far as the output carries it (the summary says which and why). Each INPUT\n"
                 "gets its own output; a file that fails is named\n"
                 "with the reason and the others go on. Without INPUT a demonstration file (a sound\n"
                 "circling the listener) is written beside the output as %s and decoded.\n"
                 "\n",
                 kProgram, kDemoInput);
    for (const Option& o : Options()) {
        std::string names = o.shortName ? std::string(o.shortName) + ", " + o.longName : std::string("    ") + o.longName;
        if (o.valueName) names += std::string(" ") + o.valueName;
        std::string help = o.help;
        size_t at = 0;
        while ((at = help.find('\n', at)) != std::string::npos) help.replace(at, 1, "\n" + std::string(8, ' ')), at += 9;
        std::fprintf(to, "  %s\n        %s\n", names.c_str(), help.c_str());
    }
    std::fprintf(to,
                 "\nExit status: 0 every file decoded, 1 a file failed, 2 a usage error (among them\n"
                 "outputs that would collide with each other or with an input), with nothing written.\n");
}

int Fail(const std::string& message, int code = 1)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return code;
}

// Parses the command line into `settings`; an empty result, or the usage error.
std::string Parse(int argc, char** argv, Settings& settings)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            settings.inputs.push_back(arg);
            continue;
        }
        const Option* option = nullptr;
        std::string value;
        bool hasValue = false;
        for (const Option& o : Options()) {
            if ((o.shortName && arg == o.shortName) || arg == o.longName) {
                option = &o;
            } else if (o.valueName && arg.rfind(std::string(o.longName) + "=", 0) == 0) {
                option = &o;
                value = arg.substr(std::strlen(o.longName) + 1);
                hasValue = true;
            }
            if (option) break;
        }
        if (!option) return "unknown option " + arg + " (see --help)";
        if (option->optionalSuffix) {
            if (!hasValue && i + 1 < argc && EndsWithNoCase(argv[i + 1], option->optionalSuffix)) value = argv[++i];
            if (hasValue && value.empty()) return arg + " needs a value after =";
        } else if (option->valueName) {
            if (!hasValue) {
                if (i + 1 >= argc) return arg + " needs " + option->valueName;
                value = argv[++i];
            }
            if (value.empty()) return arg + " needs " + option->valueName;
        }
        const std::string error = option->apply(value, settings);
        if (!error.empty()) return error;
    }
    return {};
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

// A folder for outputs is named with a trailing slash, so that a mistyped file name never
// turns into a folder.
bool IsFolder(const std::string& path)
{
    return !path.empty() && path.back() == '/';
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

// Why the output decodes the input at the order it does.
std::string OrderRule(const bformat::OutputChoice& choice)
{
    if (choice.rig.rig && choice.rig.rig->givenDecoder)
        return "the rig file's decoder is of order " + std::to_string(choice.rig.rig->designed->order);
    if (choice.rig.rig && choice.rig.rig->designed) {
        const size_t speakers = choice.rig.rig->designed->speakers;
        const std::string s = std::to_string(speakers);
        return choice.rig.rig->designed->shape == decoder::DesignShape::Horizontal
                   ? "a horizontal rig of " + s + " speakers carries the orders N with 2N+1 <= " + s
                   : "a 3D rig of " + s + " speakers carries the orders N with (N+1)\xC2\xB2 <= " + s;
    }
    if (choice.Headphones())
        return choice.mode == bformat::OutputMode::HeadphonesSofa
                   ? "headphones decode every order whose (N+1)\xC2\xB2 channels the measured directions outnumber"
                   : "headphones decode every order to the seventh";
    return "the built-in layouts and UHJ decode the first-order part";
}

void PrintSummary(const std::string& input, const std::string& output, const bformat::OutputChoice& choice,
                  const decoder::SceneRotation& rotation, const bformat::DecodeResult& r)
{
    using bformat::SampleFormatName;
    const auto& in = r.input;
    const bool fuma = in.convention != bformat::Convention::AmbiX && in.convention != bformat::Convention::N3d;
    std::printf("Decoded %s\n     to %s\n", input.c_str(), output.c_str());
    std::printf("  input     %u-channel %s, %s, %s, %u Hz\n", in.channels,
                fuma ? "FuMa B-Format" : bformat::ConventionName(in.convention), in.container.c_str(),
                in.encoding.c_str(), in.sampleRate);
    if (in.order > 1)
        std::printf("  order     %s-order input decoded at %s order: %s\n", bformat::OrderName(in.order),
                    bformat::OrderName(r.decodedOrder), OrderRule(choice).c_str());
    const char* kind = choice.mode == bformat::OutputMode::UhjStereo ? "UHJ stereo, "
                       : choice.Headphones()                           ? "headphones, "
                                                                         : "";
    std::printf("  output    %s%u %s, %s, %u Hz, channel mask 0x%X\n", kind, r.output.channels,
                *kind ? "channels" : "speakers", SampleFormatName(r.outputFormat), r.output.sampleRate,
                r.output.channelMask);
    if (choice.rig.rig) {
        std::printf("  layout    %s\n", bformat::LayoutLine(*choice.rig.rig).c_str());
        std::printf("  design    %s\n", choice.rig.design.c_str());
        if (choice.silentLfe) std::printf("  lfe       silent (--no-lfe)\n");
    } else if (choice.mode == bformat::OutputMode::Speakers && choice.layout >= 0)
        std::printf("  layout    %s\n",
                    bformat::LayoutLine(decoder::BuiltInRig(static_cast<decoder::LayoutId>(choice.layout))).c_str());
    if (!r.responses.empty()) std::printf("  responses %s\n", r.responses.c_str());
    if (!decoder::IsIdentity(rotation))
        std::printf("  rotate    yaw %g, pitch %g, roll %g degrees\n", rotation.yawDeg, rotation.pitchDeg,
                    rotation.rollDeg);
    std::printf("  decoder   %s\n", r.decoderSource.c_str());
    std::printf("  frames    %llu (%s)\n", static_cast<unsigned long long>(r.frames), Minutes(r.seconds).c_str());
    const double speed = r.wallSeconds > 0 ? r.seconds / r.wallSeconds : 0;
    std::printf("  time      %.3f s, %.1fx real time\n", r.wallSeconds, speed);
    const auto names =
        bformat::ChannelNames(choice, std::max(choice.layout, 0), r.output.channelMask, r.output.channels);
    int width = 12;
    for (const std::string& name : names) width = std::max(width, static_cast<int>(name.size()) + 1);
    for (size_t i = 0; i < r.peaks.size() && i < names.size(); ++i) {
        std::printf("  peak      %-*s %s\n", width, names[i].c_str(), Level(r.peaks[i]).c_str());
    }
    for (size_t i = 0; i < r.clipped.size() && i < names.size(); ++i) {
        if (r.clipped[i] == 0) continue;
        std::printf("  clipped   %-*s %llu samples at full scale\n", width, names[i].c_str(),
                    static_cast<unsigned long long>(r.clipped[i]));
    }
}

// What an interrupted batch keeps: the outputs of the decodes that finished before it.
std::string Kept(size_t decoded)
{
    if (decoded == 0) return "no output written";
    return decoded == 1 ? "the 1 output decoded before it is kept"
                        : "the " + std::to_string(decoded) + " outputs decoded before it are kept";
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
    Settings settings;
    const std::string usageError = Parse(argc, argv, settings);
    if (!usageError.empty()) return Fail(usageError, 2);
    if (settings.help) {
        Usage(stdout);
        return 0;
    }
    if (settings.listLayouts) {
        std::fputs(bformat::LayoutListing().c_str(), stdout);
        return 0;
    }
    if (settings.version) return PrintVersion(settings.request.modulePath);
    const std::string rigError = ResolveRig(settings);
    if (!rigError.empty()) return Fail(rigError, 2);
    const std::string combination = bformat::CheckCombination(settings.request.outputChoice);
    if (!combination.empty()) return Fail(combination, 2);
    const bool toFolder = IsFolder(settings.output);
    if (settings.inputs.size() > 1 && !settings.output.empty() && !toFolder) {
        return Fail("-o " + settings.output + " names one file for " + std::to_string(settings.inputs.size()) +
                        " inputs: give a folder, ending in /",
                    2);
    }

    // A sample format the named output's container cannot hold is a usage error, whatever
    // the input.
    bformat::Container container;
    std::string formatError;
    if (!settings.output.empty() && !toFolder && settings.request.outputFormat != decoder::SampleFormat::None &&
        bformat::ContainerForName(settings.output, container, formatError) &&
        !bformat::ContainerTakes(container, settings.request.outputFormat, formatError)) {
        return Fail(settings.output + ": " + formatError, 2);
    }

    // A SOFA file that cannot be used fails every decode alike: refuse it once, before the
    // demonstration or any output is written.
    std::string sofaError;
    if (!bformat::CheckSofaFile(settings.request.outputChoice, 48000, sofaError)) return Fail(sofaError);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    // The jobs: each input with its output, or the demonstration.
    std::vector<bformat::DecodeRequest> jobs;
    if (settings.inputs.empty()) {
        bformat::DecodeRequest request = settings.request;
        request.output = settings.output.empty() ? kDemoOutput : settings.output;
        if (toFolder) request.output = settings.output + kDemoOutput;
        request.input = FolderOf(request.output) + kDemoInput;
        if (request.input == request.output) return Fail(request.output + ": the demonstration's own name", 2);
        jobs.push_back(request);
    }
    for (const std::string& input : settings.inputs) {
        bformat::DecodeRequest request = settings.request;
        request.input = input;
        if (settings.output.empty()) {
            request.output = DefaultOutput(input);
        } else if (toFolder) {
            const std::string name = DefaultOutput(input).substr(FolderOf(input).size());
            request.output = settings.output + name;
        } else {
            request.output = settings.output;
        }
        jobs.push_back(request);
    }

    // Every output is known before any is written: a batch that would lose a file is
    // refused whole.
    const std::string planError = bformat::CheckBatchPlan(jobs);
    if (!planError.empty()) return Fail(planError, 2);
    if (settings.inputs.empty()) {
        std::string error;
        if (!bformat::WriteDemoFile(jobs[0].input, bformat::DemoSettings{}, error)) return Fail(error);
    }

    const bool showProgress = !settings.quiet && ::isatty(STDERR_FILENO);
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

    size_t decoded = 0, failed = 0;
    for (const bformat::DecodeRequest& request : jobs) {
        if (g_interrupted) {
            Fail("interrupted before " + request.input + "; " + Kept(decoded));
            break;
        }
        bformat::DecodeResult result;
        std::string error;
        const bool ok = bformat::RunDecode(request, result, error, progress, &g_interrupted);
        if (progressShown) std::fprintf(stderr, "\r\033[K");
        progressShown = false;
        if (!ok) {
            if (g_interrupted) {
                Fail(error + "; " + Kept(decoded));
                break;
            }
            Fail(error);
            ++failed;
            continue;
        }
        ++decoded;
        if (!settings.quiet) {
            if (settings.inputs.empty()) std::printf("Demonstration B-Format file: %s\n", request.input.c_str());
            PrintSummary(request.input, request.output, request.outputChoice, request.rotation, result);
        }
    }
    if (g_interrupted) return 130;
    if (jobs.size() > 1 && !settings.quiet) {
        std::printf("%zu of %zu files decoded, %zu failed\n", decoded, jobs.size(), failed);
    }
    return failed ? 1 : 0;
}
