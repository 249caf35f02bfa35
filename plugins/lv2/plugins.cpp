#include "plugins/lv2/plugins.h"

namespace durazodo_lv2 {
namespace {

PortInfo Port(Role role, uint32_t channel, std::string symbol, std::string name)
{
    PortInfo p;
    p.role = role;
    p.channel = channel;
    p.symbol = std::move(symbol);
    p.name = std::move(name);
    return p;
}

PortInfo Choice(Role role, std::string symbol, std::string name, std::vector<ScalePoint> choices)
{
    PortInfo p = Port(role, 0, std::move(symbol), std::move(name));
    p.defaultValue = static_cast<float>(choices.front().value);
    p.minimum = p.defaultValue;
    p.maximum = static_cast<float>(choices.back().value);
    p.choices = std::move(choices);
    return p;
}

// The ports every plugin starts with: four B-Format inputs in the order the host's channels
// come (FuMa W, X, Y, Z; ambiX's ACN order W, Y, Z, X), then `outputs` named outputs, then
// the convention control.
std::vector<PortInfo> CommonPorts(const std::vector<std::pair<std::string, std::string>>& outputs)
{
    std::vector<PortInfo> ports = {
        Port(Role::Input, 0, "in_1", "Input 1 (W)"),
        Port(Role::Input, 1, "in_2", "Input 2 (FuMa X, ambiX Y)"),
        Port(Role::Input, 2, "in_3", "Input 3 (FuMa Y, ambiX Z)"),
        Port(Role::Input, 3, "in_4", "Input 4 (FuMa Z, ambiX X)"),
    };
    for (uint32_t i = 0; i < outputs.size(); ++i) ports.push_back(Port(Role::Output, i, outputs[i].first, outputs[i].second));
    ports.push_back(Choice(Role::Convention, "convention", "Input convention", {{0, "FuMa"}, {1, "ambiX"}}));
    return ports;
}

// The scene's rotation, the last ports of every plugin (added after the others, so that the
// port indices hosts saved sessions by stay as they were).
void AddRotationPorts(std::vector<PortInfo>& ports)
{
    const char* const names[3][2] = {{"yaw", "Yaw (turns the scene left)"},
                                     {"pitch", "Pitch (raises the front)"},
                                     {"roll", "Roll (lowers the right side)"}};
    for (uint32_t axis = 0; axis < 3; ++axis) {
        PortInfo p = Port(Role::Rotation, axis, names[axis][0], names[axis][1]);
        p.minimum = -180.0f;
        p.maximum = 180.0f;
        ports.push_back(p);
    }
}

PluginInfo SpeakerPlugin(uint32_t speakers)
{
    const std::string count = std::to_string(speakers);
    std::vector<std::pair<std::string, std::string>> outputs;
    for (uint32_t i = 1; i <= speakers; ++i) outputs.push_back({"out_" + std::to_string(i), "Speaker " + std::to_string(i)});
    PluginInfo p{kUriBase + std::string("speakers-") + count, "DUrazOdo B-Format to " + count + " speakers",
                 "Decodes first-order B-Format into the feeds of " + count +
                     " speakers; the layout control chooses where they stand (outputs in the order "
                     "bformat-decode --layout list gives).",
                 Shape::Speakers, speakers, CommonPorts(outputs), LayoutsOf(speakers), ""};
    std::vector<ScalePoint> layouts;
    for (const LayoutChoice& l : p.rigs) layouts.push_back({l.decodeType, l.name + " (" + l.summary + ")"});
    p.ports.push_back(Choice(Role::Layout, "layout", "Layout", layouts));
    AddRotationPorts(p.ports);
    return p;
}

// A speaker of a preset rig by its WAVE channel-mask bit: port symbol, name and LV2 designation.
struct ChannelName {
    uint32_t bit;
    const char* symbol;
    const char* name;
    const char* designation;
};
constexpr ChannelName kChannelNames[] = {
    {0x1, "out_fl", "Front left", "left"},
    {0x2, "out_fr", "Front right", "right"},
    {0x4, "out_fc", "Centre", "center"},
    {0x8, "out_lfe", "LFE", "lowFrequencyEffects"},
    {0x10, "out_bl", "Back left", "rearLeft"},
    {0x20, "out_br", "Back right", "rearRight"},
    {0x200, "out_sl", "Side left", "sideLeft"},
    {0x400, "out_sr", "Side right", "sideRight"},
    {0x1000, "out_tfl", "Top front left", ""},
    {0x4000, "out_tfr", "Top front right", ""},
    {0x8000, "out_tbl", "Top back left", ""},
    {0x20000, "out_tbr", "Top back right", ""},
};

// The LV2 port-groups class of a preset's channel set, where LV2 has one.
std::string GroupOf(const std::vector<uint32_t>& bits)
{
    uint32_t mask = 0;
    for (uint32_t b : bits) mask |= b;
    switch (mask) {
    case 0x3: return "StereoGroup";
    case 0x37: return "FivePointZeroGroup";
    case 0x3f: return "FivePointOneGroup";
    case 0x63f: return "SevenPointOneGroup";
    default: return "DiscreteGroup";
    }
}

// One plugin per preset rig, its outputs named by speaker. A preset without a channel name
// for one of its bits is left out (the table above covers every preset's bits).
bool PresetPlugin(const PresetChoice& preset, PluginInfo& p)
{
    std::vector<std::pair<std::string, std::string>> outputs;
    std::vector<std::string> designations;
    for (uint32_t bit : preset.channelBits) {
        const ChannelName* found = nullptr;
        for (const ChannelName& c : kChannelNames)
            if (c.bit == bit) found = &c;
        if (!found) return false;
        outputs.push_back({found->symbol, found->name});
        designations.push_back(found->designation);
    }
    const std::string& name = preset.rig.name;
    p = PluginInfo{kUriBase + std::string("speakers-") + name, "DUrazOdo B-Format to " + name + " speakers",
                   "Decodes first-order B-Format into the feeds of a " + name + " speaker set (" + preset.rig.summary +
                       ") through a decoder designed for it, outputs in the order of the WAVE channel mask "
                       "(as bformat-decode --layout " + name + " writes them).",
                   Shape::Speakers, static_cast<uint32_t>(outputs.size()), CommonPorts(outputs), {preset.rig},
                   GroupOf(preset.channelBits)};
    for (PortInfo& port : p.ports)
        if (port.role == Role::Output) port.designation = designations[port.channel];
    AddRotationPorts(p.ports);
    return true;
}

std::vector<PluginInfo> Build()
{
    std::vector<PluginInfo> plugins;
    PluginInfo phones{kUriBase + std::string("headphones"), "DUrazOdo B-Format to headphones",
                      "Decodes first-order B-Format for headphones in three dimensions, through filters "
                      "designed from head-related responses: of a built-in head or the whole set installed "
                      "with libmysofa.",
                      Shape::Headphones, 2, CommonPorts({{"left", "Left ear"}, {"right", "Right ear"}}), {}, ""};
    phones.ports.push_back(Choice(Role::Responses, "responses", "Head responses",
                                  {{static_cast<int>(Responses::BuiltInHead), "built-in head"},
                                   {static_cast<int>(Responses::InstalledSet), "installed default set"}}));
    PortInfo latency = Port(Role::Latency, 0, "latency", "Latency");
    latency.maximum = 65536.0f;
    phones.ports.push_back(latency);
    AddRotationPorts(phones.ports);
    plugins.push_back(std::move(phones));

    PluginInfo uhj{kUriBase + std::string("uhj"), "DUrazOdo B-Format to UHJ stereo",
                   "Encodes first-order B-Format (W, X, Y) into two-channel UHJ stereo.", Shape::Uhj, 2,
                   CommonPorts({{"left", "Left"}, {"right", "Right"}}), {}, ""};
    AddRotationPorts(uhj.ports);
    plugins.push_back(std::move(uhj));
    for (uint32_t speakers : {4u, 6u, 8u}) plugins.push_back(SpeakerPlugin(speakers));
    for (const PresetChoice& preset : Presets()) {
        PluginInfo p{};
        if (PresetPlugin(preset, p)) plugins.push_back(std::move(p));
    }
    return plugins;
}

}  // namespace

const std::vector<PluginInfo>& Plugins()
{
    static const std::vector<PluginInfo> plugins = Build();
    return plugins;
}

}  // namespace durazodo_lv2
