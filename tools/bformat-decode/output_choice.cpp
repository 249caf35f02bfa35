#include "tools/bformat-decode/output_choice.h"


#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "decoder/binaural.h"
#include "durazodo/ambisonic_decoder.h"
#include "framework/com_ref.h"
#include "filter/rig_matrices.h"
#include "tools/bformat-decode/decoder_module.h"
#include "tools/bformat-decode/sofa_responses.h"

namespace bformat {

namespace {

// Degrees with at most one decimal and no trailing ".0": "45", "-157.5", "35.3".
std::string Degrees(double degrees)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", degrees);
    std::string s = text;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s == "-0" ? "0" : s;
}

bool HasHeight(const decoder::Rig& rig)
{
    for (const decoder::Speaker& s : rig.speakers)
        if (s.elevation != 0) return true;
    return false;
}

// Into (-180, 180], as the filter's interface takes azimuths and the listing shows them.
double WrappedAzimuth(double degrees)
{
    double a = std::fmod(degrees, 360.0);
    if (a > 180.0) a -= 360.0;
    if (a <= -180.0) a += 360.0;
    return a;
}

// "60", or "0 up 45" / "0 down 45" in a rig with height.
std::string Position(const decoder::Speaker& p, bool height)
{
    std::string s = Degrees(WrappedAzimuth(p.azimuth));
    if (height) s += (p.elevation >= 0 ? " up " : " down ") + Degrees(std::fabs(p.elevation));
    return s;
}

// "45, -45, 135, -135": the rig's speakers in output channel order, "LFE" for its LFE channel.
std::string Positions(const decoder::Rig& rig)
{
    const bool height = HasHeight(rig);
    std::string s;
    for (size_t i = 0; i < rig.speakers.size(); ++i) {
        s += i ? ", " : "";
        s += static_cast<int32_t>(i) == rig.lfeChannel ? "LFE" : Position(rig.speakers[i], height);
        if (rig.speakers[i].distance > 0) s += " at " + Degrees(rig.speakers[i].distance) + " m";
    }
    return s;
}

// The built-in rig of a decode-type number the command line or the filter gave.
const decoder::Rig& RigOf(int decodeType)
{
    return decoder::BuiltInRig(decoder::LayoutIdOf(decodeType).value_or(decoder::LayoutId::Square));
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Every measurement of a SOFA file at one sample rate, as one array of each kind for
// SetHeadphoneResponses, all of one length; or why the file cannot be used.
struct ResponseArrays {
    bool loaded = false;
    std::string error;
    SofaSummary summary;
    std::vector<float> azimuths, elevations, left, right;
    ULONG length = 0;
};

// The responses of `path` at `sampleRate`, read from the file once for each rate a run asks
// for: a batch of inputs at one rate reads it once. Kept for the run; any thread.
const ResponseArrays& ResponsesAt(const std::string& path, uint32_t sampleRate)
{
    static std::mutex lock;
    static std::map<std::pair<std::string, uint32_t>, ResponseArrays> kept;
    std::lock_guard<std::mutex> hold(lock);
    const auto key = std::make_pair(path, sampleRate);
    const auto found = kept.find(key);
    if (found != kept.end()) return found->second;
    ResponseArrays& arrays = kept[key];
    std::vector<decoder::DirectionalResponse> chosen;
    arrays.loaded = LoadSofaSet(path, sampleRate, chosen, arrays.error, &arrays.summary);
    if (!arrays.loaded) return arrays;
    arrays.length = arrays.summary.frames;
    // The filter keeps a copy of the whole set: it bounds its size.
    if (chosen.size() > AMBISONIC_MAX_RESPONSE_DIRECTIONS ||
        uint64_t{chosen.size()} * arrays.length > AMBISONIC_MAX_RESPONSE_SAMPLES) {
        arrays.loaded = false;
        arrays.error = path + ": " + std::to_string(chosen.size()) + " measurements of " +
                       std::to_string(arrays.length) + " frames are more than the decoder takes (at most " +
                       std::to_string(AMBISONIC_MAX_RESPONSE_DIRECTIONS) + " measurements and " +
                       std::to_string(AMBISONIC_MAX_RESPONSE_SAMPLES) + " frames in all)";
        return arrays;
    }
    for (const decoder::DirectionalResponse& r : chosen) {
        arrays.azimuths.push_back(static_cast<float>(WrappedAzimuth(r.azimuthDeg)));
        arrays.elevations.push_back(static_cast<float>(r.elevationDeg));
        for (auto [from, to] : {std::make_pair(&r.left, &arrays.left), std::make_pair(&r.right, &arrays.right)}) {
            for (double v : *from) to->push_back(static_cast<float>(v));
            to->resize(to->size() + (arrays.length - from->size()), 0.0f);
        }
    }
    return arrays;
}

// Why the filter refused a setting, in words.
std::string Refusal(HRESULT hr, const char* what)
{
    std::string why;
    if (hr == E_NOTIMPL) why = "this decoder module cannot render ";
    else if (hr == E_INVALIDARG) why = "the decoder filter refuses ";
    else why = "the decoder filter failed to set ";
    return why + what + " (" + Hex(hr) + ")";
}

// Hands the rig of `choice` to the filter: a preset by its number, designed speakers by their
// positions (the filter designs the same decoder from them), a rig file's matrices as given;
// then the LFE setting.
bool ApplyRig(IBaseFilter* decoderFilter, const OutputChoice& choice, std::string& error)
{
    const RigChoice& rc = choice.rig;
    const decoder::Rig& rig = *rc.rig;
    ComRef<IAmbisonicDecoderRig> rigs;
    HRESULT hr = decoderFilter->QueryInterface(IID_IAmbisonicDecoderRig, rigs.put_void());
    if (FAILED(hr) || !rigs) {
        error = "this decoder module has no rig interface: it decodes to the seven layouts only (" + Hex(hr) + ")";
        return false;
    }
    if (rc.preset >= 0) {
        hr = rigs->SetPresetRig(rc.preset);
    } else {
        // Positions without the LFE channel, which follows them.
        std::vector<double> az, el, dist, gain;
        bool trimmed = false;
        for (size_t i = 0; i < rig.speakers.size(); ++i) {
            if (static_cast<int32_t>(i) == rig.lfeChannel) continue;
            az.push_back(WrappedAzimuth(rig.speakers[i].azimuth));
            el.push_back(rig.speakers[i].elevation);
            dist.push_back(rig.speakers[i].distance);
            gain.push_back(rig.speakers[i].gain);
            trimmed = trimmed || rig.speakers[i].gain != 1.0;
        }
        const bool lfe = rig.lfeChannel >= 0;
        if (lfe && static_cast<size_t>(rig.lfeChannel) != az.size()) {
            error = "the decoder filter takes an LFE channel only after the speakers";
            return false;
        }
        const auto count = static_cast<ULONG>(az.size());
        // Gains and imaginary speakers reach the filter only through its module-internal rig
        // interface; a plain rig of positions goes through the public one.
        const bool fileSpeakers = !rc.matricesGiven && (trimmed || !rig.imaginary.empty());
        ComRef<IAmbisonicDecoderRigMatrices> matrices;
        if (rc.matricesGiven || fileSpeakers) {
            hr = decoderFilter->QueryInterface(IID_IAmbisonicDecoderRigMatrices, matrices.put_void());
            if (FAILED(hr) || !matrices) {
                error = "this decoder module cannot run a rig file's own matrices, gains or imaginary speakers (" +
                        Hex(hr) + ")";
                return false;
            }
        }
        if (fileSpeakers) {
            std::vector<double> imAz, imEl;
            for (const decoder::SpeakerDirection& d : rig.imaginary) {
                imAz.push_back(WrappedAzimuth(d.azimuthDeg));
                imEl.push_back(d.elevationDeg);
            }
            hr = matrices->SetRigSpeakers(count, az.data(), el.data(), dist.data(), gain.data(), lfe,
                                          static_cast<ULONG>(imAz.size()), imAz.data(), imEl.data());
        } else if (rc.matricesGiven) {
            const decoder::DesignedDecoder& d = *rig.designed;
            hr = matrices->SetRigMatrices(count, az.data(), el.data(), dist.data(), lfe, static_cast<ULONG>(d.order),
                                          static_cast<ULONG>(d.channels), d.low.data(), d.high.data(),
                                          rig.crossoverHz);
        } else {
            std::vector<float> azf(az.begin(), az.end()), elf(el.begin(), el.end()), distf(dist.begin(), dist.end());
            hr = rigs->SetSpeakers(count, azf.data(), elf.data(), distf.data(), lfe);
        }
    }
    if (SUCCEEDED(hr) && choice.silentLfe) hr = rigs->SetLfeSilent(TRUE);
    if (FAILED(hr)) {
        error = Refusal(hr, ("the rig of " + rc.source).c_str());
        return false;
    }
    return true;
}

}  // namespace

int LayoutFromText(const std::string& text)
{
    const decoder::Rig* rig = decoder::RigNamed(text);
    if (rig && rig->layout) return decoder::DecodeTypeOf(*rig->layout);
    if (text.size() == 1 && text[0] >= '0' && text[0] < '0' + decoder::kLayoutCount) return text[0] - '0';
    return -1;
}

std::string LayoutChoices()
{
    std::string s;
    for (int type = 0; type < decoder::kLayoutCount; ++type)
        s += (type ? ", " : "") + std::to_string(type) + " " + RigOf(type).name;
    for (const decoder::Rig& rig : decoder::PresetRigs()) s += ", " + rig.name;
    return s;
}

std::string LayoutLine(const decoder::Rig& rig)
{
    if (!rig.layout) return rig.name + ", " + std::to_string(rig.Channels()) + " channels: " + Positions(rig);
    return std::to_string(decoder::DecodeTypeOf(rig.layout.value_or(decoder::LayoutId::Square))) + " " + rig.name +
           ", " + std::to_string(rig.Channels()) + " speakers: " + Positions(rig);
}

std::string LayoutListing()
{
    std::string s =
        "Speaker layouts for --layout NUMBER or --layout NAME, with each speaker's azimuth in\n"
        "degrees from straight ahead, positive to the left (and its elevation, up or down), in\n"
        "output channel order:\n";
    for (int type = 0; type < decoder::kLayoutCount; ++type) {
        const decoder::Rig& rig = RigOf(type);
        char head[64];
        std::snprintf(head, sizeof head, "%d  %-17s%u speakers: ", type, rig.name.c_str(), rig.Channels());
        s += head + Positions(rig);
        s += std::string("\n") + std::string(20, ' ') + rig.summary + (type == 0 ? " (the default)" : "") + "\n";
    }
    s += "\nPresets for --layout NAME, each with an all-round decoder designed for it, its channels in\n"
         "the order of their WAVE channel-mask bits:\n";
    for (const decoder::Rig& rig : decoder::PresetRigs()) {
        char head[64];
        std::snprintf(head, sizeof head, "   %-17s%u channels: ", rig.name.c_str(), rig.Channels());
        s += head + Positions(rig) + "\n";
        std::snprintf(head, sizeof head, " (channel mask 0x%X)\n", static_cast<unsigned>(rig.channelMask));
        s += std::string(20, ' ') + rig.summary + head;
    }
    s += "--headphones and --stereo uhj use no layout: headphones decode in three dimensions at the\n"
         "input's order through filters designed from head-related responses.\n";
    return s;
}

std::string CheckCombination(const OutputChoice& choice)
{
    if (choice.rig.rig && choice.mode != OutputMode::Speakers)
        return (choice.mode == OutputMode::UhjStereo ? "--stereo uhj" : "--headphones") +
               std::string(" uses no speaker rig: drop ") + (choice.rig.source == "--speakers" ? "--speakers"
                                                             : decoder::RigNamed(choice.rig.source) ? "--layout " + choice.rig.source
                                                                                                  : "--rig " + choice.rig.source);
    if (choice.silentLfe && !(choice.rig.rig && choice.rig.rig->lfeChannel >= 0))
        return "--no-lfe: the output has no LFE channel";
    if (choice.layout < 0 || choice.mode == OutputMode::Speakers) return {};
    const std::string layout = RigOf(choice.layout).name;
    if (choice.mode == OutputMode::UhjStereo)
        return "--stereo uhj encodes W, X and Y into two channels and uses no speaker layout: drop --layout " + layout;
    return "--headphones and --layout " + layout +
           ": choose one output (headphones decode from head-related responses, with no speaker layout)";
}

std::vector<std::string> ChannelNames(const OutputChoice& choice, int decodeType, uint32_t channelMask,
                                      unsigned channels)
{
    if (channels == 2 && choice.mode == OutputMode::UhjStereo) return {"left", "right"};
    if (channels == 2 && choice.Headphones()) return {"left ear", "right ear"};
    if (choice.rig.rig && choice.rig.rig->Channels() == channels && channelMask == 0) {
        const decoder::Rig& rig = *choice.rig.rig;
        const bool height = HasHeight(rig);
        std::vector<std::string> names;
        for (size_t i = 0; i < rig.speakers.size(); ++i)
            names.push_back(static_cast<int32_t>(i) == rig.lfeChannel ? "LFE" : "az " + Position(rig.speakers[i], height));
        return names;
    }
    const std::optional<decoder::LayoutId> layout = decoder::LayoutIdOf(decodeType);
    if (channelMask != 0 || !layout) return SpeakerNames(channelMask, channels);
    const decoder::Rig& rig = decoder::BuiltInRig(*layout);
    if (rig.Channels() != channels) return SpeakerNames(channelMask, channels);
    std::vector<std::string> names;
    const bool height = HasHeight(rig);
    for (const decoder::Speaker& speaker : rig.speakers) names.push_back("az " + Position(speaker, height));
    return names;
}

std::string DefaultSofaPath() { return HeadphoneSofaPath(BFORMAT_DEFAULT_SOFA); }

bool ParseRotation(const std::string& text, double angles[3])
{
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        const size_t comma = text.find(',', start);
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        char* end = nullptr;
        angles[i] = std::strtod(part.c_str(), &end);
        if (part.empty() || *end != '\0' || !std::isfinite(angles[i])) return false;
        if (comma == std::string::npos) {
            for (int k = i + 1; k < 3; ++k) angles[k] = 0.0;
            return true;
        }
        start = comma + 1;
    }
    return false;  // more than three angles
}

bool CheckSofaFile(const OutputChoice& choice, uint32_t sampleRate, std::string& error)
{
    if (choice.mode != OutputMode::HeadphonesSofa) return true;
    const ResponseArrays& arrays = ResponsesAt(choice.sofaPath, sampleRate);
    error = arrays.error;
    return arrays.loaded;
}

bool OutputTakesRate(const OutputChoice& choice, uint32_t sampleRate, std::string& error)
{
    double lowest = decoder::kMinBinauralRate, highest = decoder::kMaxBinauralRate;
    const char* what = "the headphone decode";
    if (choice.mode == OutputMode::HeadphonesSofa) {
        // The responses are resampled to the stream's rate, which the filter then takes.
        lowest = std::max<double>(lowest, AMBISONIC_MIN_RESPONSE_RATE);
        highest = std::min<double>(highest, AMBISONIC_MAX_RESPONSE_RATE);
        what = "headphones with a SOFA file";
    } else if (!choice.Headphones()) {
        return true;
    }
    if (sampleRate >= lowest && sampleRate <= highest) return true;
    error = "sample rate of " + std::to_string(sampleRate) + " Hz is outside the range of " + what + " (" +
            Degrees(lowest) + " to " + Degrees(highest) + " Hz)";
    return false;
}

bool ApplyOutputChoice(IBaseFilter* decoderFilter, const OutputChoice& choice, uint32_t sampleRate,
                       std::string& responses, std::string& error)
{
    responses.clear();
    if (!choice.Asked()) return true;
    ComRef<IAmbisonicDecoderLayout> layout;
    HRESULT hr = decoderFilter->QueryInterface(IID_IAmbisonicDecoderLayout, layout.put_void());
    if (FAILED(hr) || !layout) {
        error = "this decoder module has no layout interface: it decodes to the square only (" + Hex(hr) + ")";
        return false;
    }
    if (choice.layout >= 0 && FAILED(hr = layout->SetDecodeType(choice.layout))) {
        error = Refusal(hr, "the layout");
        return false;
    }
    if (choice.rig.rig && !ApplyRig(decoderFilter, choice, error)) return false;
    switch (choice.mode) {
    case OutputMode::Speakers:
        return true;
    case OutputMode::UhjStereo:
        if (FAILED(hr = layout->SetOutput(AMBISONIC_OUTPUT_UHJ_STEREO))) {
            error = Refusal(hr, "UHJ stereo");
            return false;
        }
        return true;
    case OutputMode::HeadphonesHeadModel:
        if (FAILED(hr = layout->SetOutput(AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL))) {
            error = Refusal(hr, "headphones");
            return false;
        }
        responses = "built-in spherical head, decoded in three dimensions";
        return true;
    case OutputMode::HeadphonesSofa: {
        const ResponseArrays& arrays = ResponsesAt(choice.sofaPath, sampleRate);
        const SofaSummary& summary = arrays.summary;
        if (!arrays.loaded) {
            error = arrays.error;
            return false;
        }
        hr = layout->SetHeadphoneResponses(static_cast<ULONG>(arrays.azimuths.size()), arrays.azimuths.data(),
                                           arrays.elevations.data(), arrays.length, sampleRate, arrays.left.data(),
                                           arrays.right.data());
        if (FAILED(hr)) {
            error = Refusal(hr, hr == E_NOTIMPL ? "headphones" : ("the responses of " + choice.sofaPath).c_str());
            return false;
        }
        responses = (choice.defaultSofa ? "the default set " + choice.sofaPath : BaseName(choice.sofaPath)) + ": " +
                    std::to_string(summary.measurements) + " measurements at " +
                    Degrees(summary.fileRate) + " Hz";
        if (summary.fileRate != sampleRate) responses += ", resampled to " + std::to_string(sampleRate) + " Hz";
        responses += "; all of them, decoded in three dimensions";
        return true;
    }
    }
    return true;
}

bool ApplyRotation(IBaseFilter* decoderFilter, const decoder::SceneRotation& rotation, std::string& error)
{
    if (decoder::IsIdentity(rotation)) return true;
    ComRef<IAmbisonicDecoderRotation> turn;
    HRESULT hr = decoderFilter->QueryInterface(IID_IAmbisonicDecoderRotation, turn.put_void());
    if (FAILED(hr) || !turn) {
        error = "this decoder module cannot turn the scene (" + Hex(hr) + ")";
        return false;
    }
    // A whole turn more or less is the same rotation.
    auto within = [](double degrees) { return static_cast<float>(std::fmod(degrees, 360.0)); };
    hr = turn->SetRotation(within(rotation.yawDeg), within(rotation.pitchDeg), within(rotation.rollDeg));
    if (FAILED(hr)) {
        error = Refusal(hr, "the rotation");
        return false;
    }
    return true;
}

}  // namespace bformat
