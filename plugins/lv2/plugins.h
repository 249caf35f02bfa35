// The bundle's plugins and their ports, as one table: the plugin code connects ports by it
// and the Turtle generator describes them from it, so the two cannot disagree. A new output
// shape is one more row of Plugins(); a new control is one more Role and a line in PortsOf().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/lv2/engine.h"

namespace durazodo_lv2 {

// The URI every plugin URI starts with.
constexpr const char* kUriBase = "http://durazodo.example/lv2/";

// What a port is for in run().
enum class Role {
    Input,        // audio in, `channel` 0..3 of the B-Format signal as the host sends it
    Output,       // audio out, `channel` 0..Outputs()-1
    Convention,   // control in: 0 FuMa (W, X, Y, Z), 1 ambiX (ACN order, SN3D)
    Layout,       // control in: the decode type of the speaker layout
    Responses,    // control in: 0 built-in head, 1 installed response set
    Latency,      // control out: frames the output lags the input
    Rotation,     // control in: `channel` 0 yaw, 1 pitch, 2 roll of the scene, in degrees
};

// One labelled value of an enumerated control.
struct ScalePoint {
    int value;
    std::string label;
};

struct PortInfo {
    Role role = Role::Input;
    uint32_t channel = 0;      // Input and Output
    std::string symbol;
    std::string name;
    // Controls: default, range and, for a choice, its labelled values.
    float defaultValue = 0.0f, minimum = 0.0f, maximum = 0.0f;
    std::vector<ScalePoint> choices;
    // Outputs of a preset rig: the LV2 port-groups designation of the channel (as
    // "left", "lowFrequencyEffects"), empty where LV2 names none.
    std::string designation;
};

struct PluginInfo {
    std::string uri;
    std::string name;
    std::string comment;
    Shape shape;
    uint32_t outputs;          // audio outputs
    std::vector<PortInfo> ports;  // in port index order
    // Speakers: the rigs the layout control chooses from (one, and no control, for a preset).
    std::vector<LayoutChoice> rigs;
    // The LV2 port-groups class of the outputs of a preset rig (as "FivePointOneGroup"), empty
    // for none.
    std::string outputGroup;
};

// Every plugin of the bundle, in the order lv2_descriptor() hands them out. Built once, on
// first use (allocates; never on the audio thread).
const std::vector<PluginInfo>& Plugins();

}  // namespace durazodo_lv2
