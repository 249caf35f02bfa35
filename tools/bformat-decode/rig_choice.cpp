#include "tools/bformat-decode/rig_choice.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "decoder/kernels/matrix.h"
#include "tools/common/rig_files.h"

namespace bformat {

namespace {

std::string Count(size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

// A rig too wide for the matrix decode once its LFE channel is counted.
bool TooManyChannels(size_t speakers, bool lfe, std::string& error)
{
    if (speakers + (lfe ? 1 : 0) <= decoder::kernels::kMaxMatrixOutputs) return false;
    error = "a rig has at most " + std::to_string(decoder::kernels::kMaxMatrixOutputs) + " output channels, LFE included";
    return true;
}

// The design of `speakers` (and `imaginary` directions) as a choice, or the refusal in words,
// speakers counted from 1 ("imaginary speaker 2" for imaginary[1]).
bool Designed(const std::vector<decoder::Speaker>& speakers, bool lfe,
              const std::vector<decoder::SpeakerDirection>& imaginary, RigChoice& out, std::string& error)
{
    if (TooManyChannels(speakers.size(), lfe, error)) return false;
    decoder::Rig rig;
    size_t which[2] = {0, 0};
    const decoder::DesignResult result = decoder::MakeRig(speakers, lfe, rig, which, imaginary);
    const auto name = [&](size_t i) {
        return i < speakers.size() ? "speaker " + std::to_string(i + 1)
                                   : "imaginary speaker " + std::to_string(i - speakers.size() + 1);
    };
    if (result != decoder::DesignResult::Ok) {
        error = decoder::DescribeDesignResult(result);
        if (result == decoder::DesignResult::SameDirection)
            error += which[1] < speakers.size()
                         ? " (speakers " + std::to_string(which[0] + 1) + " and " + std::to_string(which[1] + 1) + ")"
                         : " (" + name(which[0]) + " and " + name(which[1]) + ")";
        else if (result == decoder::DesignResult::BadDirection)
            error = name(which[0]) + ": an azimuth, elevation (-90 to 90) or distance (0 or more metres) out of range";
        return false;
    }
    out.rig = std::make_shared<decoder::Rig>(std::move(rig));
    out.design = DesignSentence(*out.rig);
    return true;
}

}  // namespace

std::string DesignSentence(const decoder::Rig& rig)
{
    const size_t speakers = rig.Channels() - (rig.lfeChannel >= 0 ? 1 : 0);
    return "all-round decoder designed for " + Count(speakers, "speaker") + (rig.lfeChannel >= 0 ? " + LFE" : "");
}

bool PresetChoice(const std::string& name, RigChoice& out)
{
    const std::vector<decoder::Rig>& presets = decoder::PresetRigs();
    for (size_t i = 0; i < presets.size(); ++i) {
        const decoder::Rig& rig = presets[i];
        if (rig.name != name) continue;
        out.rig = std::shared_ptr<const decoder::Rig>(&rig, [](const decoder::Rig*) {});
        out.design = DesignSentence(rig);
        out.source = rig.name;
        out.preset = static_cast<int>(i);
        return true;
    }
    return false;
}

bool SpeakersChoice(const std::string& text, bool lfe, RigChoice& out, std::string& error)
{
    std::vector<decoder::Speaker> speakers;
    size_t bad = 0;
    if (!decoder::ParseSpeakerList(text, speakers, bad)) {
        size_t start = 0;
        for (size_t i = 0; i < bad; ++i) start = text.find(',', start) + 1;
        const size_t comma = text.find(',', start);
        const std::string entry = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        error = "--speakers: speaker " + std::to_string(bad + 1) + " is \"" + entry +
                "\", not AZ[/EL[/DIST]] (degrees, degrees, metres)";
        return false;
    }
    if (!Designed(speakers, lfe, {}, out, error)) {
        error = "--speakers: " + error;
        return false;
    }
    out.source = "--speakers";
    return true;
}

bool RigFileChoice(const std::string& path, bool lfe, RigChoice& out, std::string& error)
{
    rigfiles::RigFile file;
    if (!rigfiles::ReadRigFile(path, file, error)) {
        error = path + ": " + error;
        return false;
    }
    std::vector<rigfiles::FileSpeaker> real;
    std::vector<decoder::SpeakerDirection> imaginary;
    for (const rigfiles::FileSpeaker& s : file.speakers) {
        if (!s.imaginary)
            real.push_back(s);
        else
            imaginary.push_back({s.azimuthDeg, s.elevationDeg});
    }
    std::stable_sort(real.begin(), real.end(),
                     [](const rigfiles::FileSpeaker& a, const rigfiles::FileSpeaker& b) { return a.channel < b.channel; });
    std::vector<decoder::Speaker> speakers;
    for (const rigfiles::FileSpeaker& s : real) speakers.push_back({s.azimuthDeg, s.elevationDeg, s.distanceM, s.gain});
    out.source = path;
    if (!file.hasDecoder) {
        if (!Designed(speakers, lfe, imaginary, out, error)) {
            error = path + ": " + error;
            return false;
        }
        return true;
    }
    // AmbDec: the file's own decoder, in the file's speaker order.
    const rigfiles::FileDecoder& d = file.decoder;
    if (TooManyChannels(file.speakers.size(), lfe, error) || d.channels < 4 ||
        d.low.size() != file.speakers.size() * d.channels || d.high.size() != d.low.size()) {
        if (error.empty()) error = "the decoder matrices do not cover the first-order channels of every speaker";
        error = path + ": " + error;
        return false;
    }
    auto rig = std::make_shared<decoder::Rig>();
    rig->name = "custom";
    for (const rigfiles::FileSpeaker& s : file.speakers)
        rig->speakers.push_back(
            {s.azimuthDeg, s.elevationDeg, d.delayCompensation || d.levelCompensation ? s.distanceM : 0.0});
    if (lfe) {
        rig->lfeChannel = static_cast<int32_t>(rig->speakers.size());
        rig->speakers.push_back({});
    }
    decoder::DesignedDecoder designed;
    designed.order = d.order;
    designed.shape = decoder::DesignShape::Sphere;
    designed.speakers = file.speakers.size();
    designed.channels = d.channels;
    designed.low = d.low;
    designed.high = d.high;
    rig->designed = std::move(designed);
    rig->givenDecoder = true;
    if (d.dualBand) rig->crossoverHz = d.crossoverHz;
    out.rig = rig;
    out.matricesGiven = true;
    out.design = "the decoder of " + path + " as given (order " + std::to_string(d.order) + ", " +
                 (d.dualBand ? "two bands split at " + std::to_string(static_cast<long>(std::lround(d.crossoverHz))) + " Hz"
                             : std::string("one band")) +
                 ") for " + Count(file.speakers.size(), "speaker") + (lfe ? " + LFE" : "");
    return true;
}

}  // namespace bformat
