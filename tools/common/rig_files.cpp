#include "tools/common/rig_files.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "decoder/spherical_harmonics.h"

namespace rigfiles {

namespace {

// Largest file read: rig files are a few kilobytes.
constexpr std::streamsize kMaxFileBytes = 1 << 20;

bool Number(const std::string& token, double& value)
{
    if (token.empty()) return false;
    char* end = nullptr;
    value = std::strtod(token.c_str(), &end);
    return end && *end == '\0' && std::isfinite(value);
}

// FuMa's channel weights against SN3D, by ACN channel, for orders 0 to 3: a FuMa signal is the
// SN3D one times this.
double FumaFromSn3d(size_t acn)
{
    static const double kWeights[16] = {
        0.7071067811865476,                                         // W
        1.0, 1.0, 1.0,                                              // Y Z X
        1.1547005383792515, 1.1547005383792515, 1.0, 1.1547005383792515, 1.1547005383792515,  // V T R S U
        1.2649110640673518, 1.3416407864998738, 1.1858541225631423, 1.0, 1.1858541225631423,
        1.3416407864998738, 1.2649110640673518};                    // Q O M K L N P
    return kWeights[acn];
}

// The AmbDec text being read: settings, speakers and the rows of each matrix as they come.
struct AmbDecReader {
    struct Matrix {
        bool present = false;
        std::vector<double> orderGain;
        std::vector<std::vector<double>> rows;
        std::vector<int> rowLines;  // where each row stands
        int openedAt = 0;
    };
    int version = 0;
    unsigned long long mask = 0;
    int bands = 0;
    int speakerCount = -1;
    std::string scale;
    double crossover = 400.0, ratioDb = 0.0;
    bool delay = false, level = false;
    Matrix single, lowBand, highBand;
    Matrix* open = nullptr;  // the matrix section being read
    bool inSpeakers = false;
    RigFile& out;
    std::string& error;
    int line = 0;

    AmbDecReader(RigFile& o, std::string& e) : out(o), error(e) {}

    bool Fail(const std::string& reason) { return FailAt(line, reason); }
    bool FailAt(int at, const std::string& reason)
    {
        error = "line " + std::to_string(at) + ": " + reason;
        return false;
    }

    bool OnOff(const std::vector<std::string>& t, bool& value)
    {
        if (t.size() != 2 || (t[1] != "on" && t[1] != "off")) return Fail(t[0] + " takes on or off");
        value = t[1] == "on";
        return true;
    }

    bool Setting(const std::vector<std::string>& t, const std::string& rest)
    {
        const std::string& key = t[0];
        double v = 0;
        if (key == "/description") {
            out.name = rest;
        } else if (key == "/version") {
            if (t.size() != 2 || !Number(t[1], v) || v != 3) return Fail("only version 3 presets are read");
            version = 3;
        } else if (key == "/dec/chan_mask") {
            char* end = nullptr;
            if (t.size() != 2) return Fail("/dec/chan_mask takes one hexadecimal number");
            mask = std::strtoull(t[1].c_str(), &end, 16);
            if (*end != '\0' || mask == 0) return Fail("/dec/chan_mask takes one hexadecimal number");
        } else if (key == "/dec/freq_bands") {
            if (t.size() != 2 || !Number(t[1], v) || (v != 1 && v != 2)) return Fail("/dec/freq_bands is 1 or 2");
            bands = static_cast<int>(v);
        } else if (key == "/dec/speakers") {
            if (t.size() != 2 || !Number(t[1], v) || v < 1 || v > kMaxFileSpeakers || v != std::floor(v))
                return Fail("/dec/speakers is a count from 1 to 64");
            speakerCount = static_cast<int>(v);
        } else if (key == "/dec/coeff_scale") {
            if (t.size() != 2 || (t[1] != "n3d" && t[1] != "sn3d" && t[1] != "fuma"))
                return Fail("/dec/coeff_scale is n3d, sn3d or fuma");
            scale = t[1];
        } else if (key == "/opt/xover_freq") {
            if (t.size() != 2 || !Number(t[1], v) || v <= 0) return Fail("/opt/xover_freq is a frequency in Hz above 0");
            crossover = v;
        } else if (key == "/opt/xover_ratio") {
            if (t.size() != 2 || !Number(t[1], v) || std::fabs(v) > 60) return Fail("/opt/xover_ratio is a level in dB");
            ratioDb = v;
        } else if (key == "/opt/delay_comp") {
            return OnOff(t, delay);
        } else if (key == "/opt/level_comp") {
            return OnOff(t, level);
        } else if (key.rfind("/opt/", 0) == 0) {
            // Options of other players (input scale, near-field compensation): the input's own
            // convention and the decoder's settings decide those here.
        } else if (key == "/speakers/{") {
            inSpeakers = true;
        } else if (key == "/matrix/{" || key == "/lfmatrix/{" || key == "/hfmatrix/{") {
            open = key == "/matrix/{" ? &single : key == "/lfmatrix/{" ? &lowBand : &highBand;
            if (open->present) return Fail(key.substr(0, key.size() - 2) + " appears twice");
            open->present = true;
            open->openedAt = line;
        } else {
            return Fail("unknown setting " + key);
        }
        return true;
    }

    bool Speaker(const std::vector<std::string>& t)
    {
        if (t[0] != "add_spkr") return Fail("expected add_spkr or /}");
        FileSpeaker s;
        if (t.size() < 5 || !Number(t[2], s.distanceM) || !Number(t[3], s.azimuthDeg) || !Number(t[4], s.elevationDeg))
            return Fail("add_spkr takes a label, a distance in metres, an azimuth and an elevation in degrees");
        if (s.distanceM <= 0 || s.distanceM > 1000) return Fail("speaker distance must be above 0 and at most 1000 m");
        if (std::fabs(s.elevationDeg) > 90) return Fail("speaker elevation must be from -90 to 90 degrees");
        if (out.speakers.size() >= kMaxFileSpeakers) return Fail("more than 64 speakers");
        s.name = t[1];
        s.channel = static_cast<int>(out.speakers.size());
        out.speakers.push_back(s);
        return true;
    }

    bool MatrixLine(const std::vector<std::string>& t)
    {
        std::vector<double> values;
        for (size_t i = 1; i < t.size(); ++i) {
            double v;
            if (!Number(t[i], v)) return Fail("\"" + t[i] + "\" is not a number");
            values.push_back(v);
        }
        if (t[0] == "order_gain") {
            open->orderGain = values;
        } else if (t[0] == "add_row") {
            if (open->rows.size() >= kMaxFileSpeakers) return Fail("more than 64 matrix rows");
            open->rows.push_back(values);
            open->rowLines.push_back(line);
        } else {
            return Fail("expected order_gain, add_row or /}");
        }
        return true;
    }

    bool Line(const std::string& raw)
    {
        const std::string text = raw.substr(0, raw.find('#'));
        std::istringstream in(text);
        std::vector<std::string> t{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
        if (t.empty()) return true;
        if (t[0] == "/}") {
            if (!inSpeakers && !open) return Fail("/} closes nothing");
            inSpeakers = false;
            open = nullptr;
            return true;
        }
        if (inSpeakers) return Speaker(t);
        if (open) return MatrixLine(t);
        std::string rest = text.substr(text.find(t[0]) + t[0].size());
        rest.erase(0, rest.find_first_not_of(" \t\r"));
        rest.erase(rest.find_last_not_of(" \t\r") + 1);
        return Setting(t, rest);
    }

    // Converts one matrix to ambiX input: row s, the j-th channel of the mask.
    bool Convert(const Matrix& m, const char* name, std::vector<double>& gains, size_t channels)
    {
        if (!m.present) return Fail(std::string("the preset has no ") + name);
        if (m.rows.size() != out.speakers.size())
            return FailAt(m.openedAt, std::string(name) + " has " + std::to_string(m.rows.size()) + " rows for " +
                        std::to_string(out.speakers.size()) + " speakers");
        std::vector<size_t> used;
        for (size_t c = 0; c < channels; ++c)
            if (mask >> c & 1) used.push_back(c);
        gains.assign(out.speakers.size() * channels, 0.0);
        for (size_t s = 0; s < m.rows.size(); ++s) {
            if (m.rows[s].size() != used.size())
                return FailAt(m.rowLines[s], std::string(name) + " row " + std::to_string(s + 1) + " has " +
                            std::to_string(m.rows[s].size()) + " gains for " + std::to_string(used.size()) +
                            " channels in the mask");
            for (size_t j = 0; j < used.size(); ++j) {
                const size_t c = used[j];
                const int n = decoder::OrderOfChannel(c);
                const double orderGain = static_cast<size_t>(n) < m.orderGain.size() ? m.orderGain[n] : 1.0;
                const double weight = scale == "n3d" ? std::sqrt(2.0 * n + 1.0) : scale == "fuma" ? FumaFromSn3d(c) : 1.0;
                gains[s * channels + c] = m.rows[s][j] * orderGain * weight;
            }
        }
        return true;
    }

    bool Finish()
    {
        ++line;
        if (inSpeakers || open) return Fail("a section is not closed with /}");
        if (version != 3) return Fail("no /version 3: not an AmbDec preset");
        if (mask == 0) return Fail("no /dec/chan_mask");
        if (bands == 0) return Fail("no /dec/freq_bands");
        if (scale.empty()) return Fail("no /dec/coeff_scale");
        if (speakerCount < 0) return Fail("no /dec/speakers");
        if (static_cast<int>(out.speakers.size()) != speakerCount)
            return Fail("/dec/speakers says " + std::to_string(speakerCount) + " but " +
                        std::to_string(out.speakers.size()) + " are listed");
        int highest = 63;
        while (!(mask >> highest & 1)) --highest;
        const int order = decoder::OrderOfChannel(static_cast<size_t>(highest));
        if (scale == "fuma" && order > 3) return Fail("FuMa scaling is defined up to third order");
        FileDecoder& d = out.decoder;
        d.order = order;
        d.channels = decoder::AmbisonicChannels(order);
        d.dualBand = bands == 2;
        d.crossoverHz = crossover;
        d.delayCompensation = delay;
        d.levelCompensation = level;
        if (bands == 1) {
            if (!Convert(single, "/matrix/", d.high, d.channels)) return false;
            d.low = d.high;
        } else {
            if (!Convert(lowBand, "/lfmatrix/", d.low, d.channels)) return false;
            if (!Convert(highBand, "/hfmatrix/", d.high, d.channels)) return false;
            // The ratio raises the high band and lowers the low band by half of it each.
            const double half = std::pow(10.0, ratioDb / 40.0);
            for (double& g : d.high) g *= half;
            for (double& g : d.low) g /= half;
        }
        out.hasDecoder = true;
        return true;
    }
};

bool Fail(std::string& error, const std::string& where, const std::string& reason)
{
    error = where + ": " + reason;
    return false;
}

// A finite number at key `name` of `object`; absent keys keep `value` unless required.
bool JsonNumber(const nlohmann::json& object, const char* name, const std::string& where, bool required, double& value,
                std::string& error)
{
    const auto it = object.find(name);
    if (it == object.end()) return required ? Fail(error, where + "." + name, "missing") : true;
    if (!it->is_number() || !std::isfinite(it->get<double>())) return Fail(error, where + "." + name, "not a number");
    value = it->get<double>();
    return true;
}

}  // namespace

bool ParseAmbDec(const std::string& text, RigFile& out, std::string& error)
{
    out = RigFile{};
    AmbDecReader reader(out, error);
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        ++reader.line;
        std::istringstream first(raw);
        std::string head;
        first >> head;
        if (head == "/end") return reader.Finish();
        if (!reader.Line(raw)) return false;
    }
    return reader.Finish();
}

bool ParseLayoutJson(const std::string& text, RigFile& out, std::string& error)
{
    out = RigFile{};
    const nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) return Fail(error, "JSON", "not a JSON object");
    // The layout may stand at the top or under "LoudspeakerLayout".
    const auto nested = root.find("LoudspeakerLayout");
    const bool isNested = nested != root.end();
    if (isNested && !nested->is_object()) return Fail(error, "LoudspeakerLayout", "not an object");
    const nlohmann::json& layout = isNested ? *nested : root;
    const std::string prefix = isNested ? "LoudspeakerLayout.Loudspeakers" : "Loudspeakers";
    const auto name = layout.find("Name");
    if (name != layout.end() && name->is_string()) out.name = name->get<std::string>();
    const auto list = layout.find("Loudspeakers");
    if (list == layout.end()) return Fail(error, prefix, "missing");
    if (!list->is_array()) return Fail(error, prefix, "not an array");
    std::vector<bool> channelUsed(kMaxFileSpeakers, false);
    size_t real = 0;
    for (size_t i = 0; i < list->size(); ++i) {
        const nlohmann::json& item = (*list)[i];
        const std::string where = prefix + "[" + std::to_string(i) + "]";
        if (!item.is_object()) return Fail(error, where, "not an object");
        FileSpeaker s;
        double radius = 1.0;
        if (!JsonNumber(item, "Azimuth", where, true, s.azimuthDeg, error) ||
            !JsonNumber(item, "Elevation", where, true, s.elevationDeg, error) ||
            !JsonNumber(item, "Radius", where, false, radius, error) || !JsonNumber(item, "Gain", where, false, s.gain, error))
            return false;
        if (std::fabs(s.elevationDeg) > 90) return Fail(error, where + ".Elevation", "outside -90 to 90 degrees");
        if (radius <= 0 || radius > 1000) return Fail(error, where + ".Radius", "must be above 0 and at most 1000 m");
        s.distanceM = item.contains("Radius") ? radius : 0.0;
        const auto imaginary = item.find("IsImaginary");
        if (imaginary != item.end()) {
            if (!imaginary->is_boolean()) return Fail(error, where + ".IsImaginary", "not true or false");
            s.imaginary = imaginary->get<bool>();
        }
        if (!s.imaginary && !(s.gain >= 0.0 && s.gain <= kMaxFileGain))
            return Fail(error, where + ".Gain", "outside 0 to 10 (linear)");
        if (!s.imaginary) {
            const auto channel = item.find("Channel");
            if (channel == item.end()) return Fail(error, where + ".Channel", "missing");
            if (!channel->is_number_integer() || channel->get<long long>() < 1 || channel->get<long long>() > 64)
                return Fail(error, where + ".Channel", "not a channel number from 1 to 64");
            s.channel = static_cast<int>(channel->get<long long>()) - 1;
            if (channelUsed[s.channel]) return Fail(error, where + ".Channel", "channel " + std::to_string(s.channel + 1) + " is used twice");
            channelUsed[s.channel] = true;
            ++real;
        }
        if (out.speakers.size() >= 2 * kMaxFileSpeakers) return Fail(error, prefix, "more than 128 entries");
        out.speakers.push_back(s);
    }
    if (real == 0) return Fail(error, prefix, "no real speakers");
    return true;
}

bool ReadRigFile(const std::string& path, RigFile& out, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot be opened";
        return false;
    }
    std::string text;
    text.resize(static_cast<size_t>(kMaxFileBytes) + 1);
    file.read(&text[0], kMaxFileBytes + 1);
    if (file.bad()) {
        error = "cannot be read";
        return false;
    }
    text.resize(static_cast<size_t>(file.gcount()));
    if (text.size() > static_cast<size_t>(kMaxFileBytes)) {
        error = "is larger than a rig file can be (1 MiB)";
        return false;
    }
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && text[first] == '{') return ParseLayoutJson(text, out, error);
    return ParseAmbDec(text, out, error);
}

}  // namespace rigfiles
