// The plugins' one door into the engine (decoder/): what a plugin instance renders, chosen
// once at instantiate, and the engine facts the plugin descriptions are built from.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace durazodo_lv2 {

// What a plugin puts out.
enum class Shape { Speakers, Uhj, Headphones };

// Frames the engine renders in one call; run() takes longer host blocks in pieces of this.
constexpr int32_t kEngineBlockFrames = 512;

// Sample rates an instance accepts, in Hz; instantiate refuses any other.
constexpr double kMinRate = 8000.0;
constexpr double kMaxRate = 384000.0;

// Most outputs of any plugin (the 7.1.4 rig).
constexpr uint32_t kMaxOutputs = 12;

// One rig a speaker plugin can decode to: the value of its layout control (the engine's decode
// type, also the number bformat-decode's --layout takes; 0 for a preset rig, which has no
// control), the rig's name (bformat-decode's --layout word) and a few words.
struct LayoutChoice {
    int decodeType;
    std::string name;
    std::string summary;
};

// The engine's built-in layouts of `speakers` speakers, in decode type order; empty for a
// count it has no layout of.
std::vector<LayoutChoice> LayoutsOf(uint32_t speakers);

// A preset rig of a common speaker set (stereo, 5.1, 7.1.4, ...): its choice, and the WAVE
// channel-mask bit of each output channel, in output order (0x8 is the LFE channel).
struct PresetChoice {
    LayoutChoice rig;
    std::vector<uint32_t> channelBits;
};
std::vector<PresetChoice> Presets();

// The weight that takes an ambiX W sample to the FuMa W the engine renders, as the engine's
// input stage applies it (so that the plugins decode ambiX exactly as bformat-decode does).
double AmbixWToFuma();

// Headphone responses: the built-in head, or the measured set installed with libmysofa.
enum class Responses { BuiltInHead = 0, InstalledSet = 1 };

// The engine for one plugin instance: a renderer for each choice the plugin's control offers
// (the speaker layouts; the built-in head and the installed set; the one UHJ encoder), built by
// Prepare() (allocates; may read a SOFA file), of which Render() runs the chosen one (allocates
// nothing, takes no lock, calls no system function). The plugin instance owns it; the host's
// instantiation thread calls Prepare() and Reset(), its audio thread Render(), Restart() and
// the Choose*() and SetRotation() calls.
class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Builds the renderers of `shape` at `rate` (kMinRate..kMaxRate) for blocks of up to
    // kEngineBlockFrames, their memory cleared: for Speakers one per rig of `rigs` (by name,
    // the first chosen); for Headphones the built-in head and the whole measured set read from
    // the file DURAZODO_HEADPHONES_SOFA names, else `sofaPath` (the installed set; when neither
    // can be used the built-in head stands in for it and `note` says why).
    // False when the rate or a rig is refused or memory runs out. Never throws.
    bool Prepare(Shape shape, const std::vector<LayoutChoice>& rigs, double rate, const char* sofaPath,
                 std::string& note);

    // Speakers: decodes to the rig whose decodeType is `decodeType` from the next block on, its
    // memory cleared and the rotation in force at once; a value no rig has is ignored.
    // Real-time safe.
    void ChooseLayout(int decodeType);
    // Headphones: renders through `responses` from the next block on; switching clears the
    // decode's memory (the ears restart from silence). Real-time safe.
    void ChooseResponses(Responses responses);

    // Turns the scene (degrees: yaw towards the left, pitch raising the front, roll lowering the
    // right side) from the next block on, moving there across kEngineBlockFrames frames however
    // the host splits them, so that the change does not click. Angles that are not finite are
    // ignored. Real-time safe.
    void SetRotation(double yaw, double pitch, double roll);

    // Renders n (1..kEngineBlockFrames) frames of the planes in[0..3] (W, X, Y, Z, FuMa; the
    // planes may be overwritten) into out[0..Outputs()-1]. Memory carries over calls, so the
    // result does not depend on how a stream is split.
    void Render(double* const* in, double* const* out, int32_t n);

    // Clears the chosen renderer's memory and puts the rotation set last in force at once, as at
    // the start of a stream. Real-time safe.
    void Restart();

    uint32_t Outputs() const;
    // Frames the output lags the input (the headphone decode's convolution), else 0.
    uint32_t LatencyFrames() const;

private:
    struct State;
    std::unique_ptr<State> m_State;
};

}  // namespace durazodo_lv2
