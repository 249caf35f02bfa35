// A small LV2 host over lilv for the plugin tests: finds a plugin on LV2_PATH, instantiates
// it, connects every port and runs audio through it in blocks of chosen lengths.
#pragma once

#include <lilv/lilv.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lv2_test {

using Planes = std::vector<std::vector<float>>;  // [channel][frame]

// One instance of one plugin. Control inputs start at their defaults. One thread.
class HostedPlugin {
public:
    // Loads the bundles on LV2_PATH and instantiates `uri` at `rate`. IsLoaded() says whether
    // the plugin was found and instantiate succeeded.
    HostedPlugin(const std::string& uri, double rate);
    ~HostedPlugin();
    HostedPlugin(const HostedPlugin&) = delete;
    HostedPlugin& operator=(const HostedPlugin&) = delete;

    bool Found() const { return m_Plugin != nullptr; }
    bool IsLoaded() const { return m_Instance != nullptr; }
    uint32_t AudioInputs() const { return static_cast<uint32_t>(m_AudioIn.size()); }
    uint32_t AudioOutputs() const { return static_cast<uint32_t>(m_AudioOut.size()); }
    uint32_t Ports() const { return static_cast<uint32_t>(m_Symbols.size()); }

    // Sets the control input `symbol`; false when there is none.
    bool SetControl(const std::string& symbol, float value);
    // The value of control port `symbol` (input or output) after the last run.
    float Control(const std::string& symbol) const;

    // Runs `in` (AudioInputs() planes of equal length) through the plugin in blocks of the
    // lengths in `blocks`, taken in turn and repeated, and returns AudioOutputs() planes.
    Planes Process(const Planes& in, const std::vector<uint32_t>& blocks);

    // The raw pieces, for tests that drive the plugin by hand.
    LilvInstance* Instance() const { return m_Instance; }
    uint32_t AudioInputPort(uint32_t i) const { return m_AudioIn[i]; }
    uint32_t AudioOutputPort(uint32_t i) const { return m_AudioOut[i]; }

private:
    LilvWorld* m_World = nullptr;
    const LilvPlugin* m_Plugin = nullptr;
    LilvInstance* m_Instance = nullptr;
    std::vector<uint32_t> m_AudioIn, m_AudioOut;
    std::vector<float> m_Controls;           // one slot per port, connected for control ports
    std::vector<std::string> m_Symbols;      // per port
};

// Reads a float file with libsndfile into planes; false when it cannot be read.
bool ReadPlanes(const std::string& path, Planes& planes, int& rate);
// Writes planes as a 32-bit float WAV file; false on failure.
bool WritePlanes(const std::string& path, const Planes& planes, int rate);

}  // namespace lv2_test
