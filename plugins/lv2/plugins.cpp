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

PluginInfo SpeakerPlugin(uint32_t speakers)
{
    const std::string count = std::to_string(speakers);
    std::vector<std::pair<std::string, std::string>> outputs;
    for (uint32_t i = 1; i <= speakers; ++i) outputs.push_back({"out_" + std::to_string(i), "Speaker " + std::to_string(i)});
    PluginInfo p{kUriBase + std::string("speakers-") + count, "DUrazOdo B-Format to " + count + " speakers",
                 "Decodes first-order B-Format into the feeds of " + count +
                     " speakers; the layout control chooses where they stand (outputs in the order "
                     "bformat-decode --layout list gives).",
                 Shape::Speakers, speakers, CommonPorts(outputs)};
    std::vector<ScalePoint> layouts;
    for (const LayoutChoice& l : LayoutsOf(speakers)) layouts.push_back({l.decodeType, l.name + " (" + l.summary + ")"});
    p.ports.push_back(Choice(Role::Layout, "layout", "Layout", layouts));
    return p;
}

std::vector<PluginInfo> Build()
{
    std::vector<PluginInfo> plugins;
    PluginInfo phones{kUriBase + std::string("headphones"), "DUrazOdo B-Format to headphones",
                      "Decodes first-order B-Format for headphones: virtual speakers heard through "
                      "head-related responses, of a built-in head or the set installed with libmysofa.",
                      Shape::Headphones, 2, CommonPorts({{"left", "Left ear"}, {"right", "Right ear"}})};
    phones.ports.push_back(Choice(Role::Responses, "responses", "Head responses",
                                  {{static_cast<int>(Responses::BuiltInHead), "built-in head"},
                                   {static_cast<int>(Responses::InstalledSet), "installed default set"}}));
    PortInfo latency = Port(Role::Latency, 0, "latency", "Latency");
    latency.maximum = 65536.0f;
    phones.ports.push_back(latency);
    plugins.push_back(std::move(phones));

    plugins.push_back({kUriBase + std::string("uhj"), "DUrazOdo B-Format to UHJ stereo",
                       "Encodes first-order B-Format (W, X, Y) into two-channel UHJ stereo.", Shape::Uhj, 2,
                       CommonPorts({{"left", "Left"}, {"right", "Right"}})});
    for (uint32_t speakers : {4u, 6u, 8u}) plugins.push_back(SpeakerPlugin(speakers));
    return plugins;
}

}  // namespace

const std::vector<PluginInfo>& Plugins()
{
    static const std::vector<PluginInfo> plugins = Build();
    return plugins;
}

}  // namespace durazodo_lv2
