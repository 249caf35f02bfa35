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

// One choice of a speaker shape's layout control: the engine's decode type (also the number
// bformat-decode's --layout takes), its name and a few words.
struct LayoutChoice {
    int decodeType;
    std::string name;
    std::string summary;
};

// The engine's layouts of `speakers` speakers, in decode type order; empty for a count it has
// no layout of.
std::vector<LayoutChoice> LayoutsOf(uint32_t speakers);

// The weight that takes an ambiX W sample to the FuMa W the engine renders, as the engine's
// input stage applies it (so that the plugins decode ambiX exactly as bformat-decode does).
double AmbixWToFuma();

// Headphone responses: the built-in head, or the measured set installed with libmysofa.
enum class Responses { BuiltInHead = 0, InstalledSet = 1 };

// The engine for one plugin instance: the speaker decode, the UHJ encoder or the headphone
// decode, built by Prepare() (allocates; may read a SOFA file) and run by Render() (allocates
// nothing, takes no lock, calls no system function). The plugin instance owns it; the host's
// instantiation thread calls Prepare(), its audio thread Render() and the Choose*() calls.
class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Builds the renderer of `shape` (`speakers` outputs for Speakers, else 2) at `rate`
    // (kMinRate..kMaxRate) for blocks of up to kEngineBlockFrames, its memory cleared. For
    // headphones it also reads the installed response set at `sofaPath`; when that fails the
    // built-in head stands in for it and `note` says why. False when the rate or speaker count
    // is refused or memory runs out. Never throws.
    bool Prepare(Shape shape, uint32_t speakers, double rate, const char* sofaPath, std::string& note);

    // Speakers: decodes to layout `decodeType` from the next block on (shelves keep their
    // memory); a type of another speaker count is ignored. Real-time safe.
    void ChooseLayout(int decodeType);
    // Headphones: renders through `responses` from the next block on; switching clears the
    // decode's memory (the ears restart from silence). Real-time safe.
    void ChooseResponses(Responses responses);

    // Renders n (1..kEngineBlockFrames) frames of the planes in[0..3] (W, X, Y, Z, FuMa; the
    // planes may be overwritten) into out[0..Outputs()-1]. Memory carries over calls, so the
    // result does not depend on how a stream is split.
    void Render(double* const* in, double* const* out, int32_t n);

    // Clears every filter's memory, as after Prepare().
    void Reset();

    uint32_t Outputs() const;
    // Frames the output lags the input (the headphone decode's convolution), else 0.
    uint32_t LatencyFrames() const;

private:
    struct State;
    std::unique_ptr<State> m_State;
};

}  // namespace durazodo_lv2
