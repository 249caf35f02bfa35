// The plugin's one door into the engine (decoder/): the rigs it offers, the channel sets it
// reads, and a renderer that turns interleaved B-Format into speaker feeds, UHJ or headphone
// signals. Every call the plugin makes into decoder/ is in engine.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoder/sample_format.h"

namespace gstbformat {

using SampleFormat = decoder::SampleFormat;

// Bytes one sample of `format` occupies; 0 for None.
unsigned SampleBytes(SampleFormat format);

// One speaker of a rig, in degrees: azimuth from straight ahead towards the left, elevation up.
struct SpeakerDirection {
    double azimuth;
    double elevation;
};

// A speaker rig the decoder can feed, in output channel order.
struct RigInfo {
    std::string name;      // a word: usable as a property value
    std::string summary;
    std::vector<SpeakerDirection> speakers;
    // The WAVE channel-mask bit of each output channel of a preset rig (0x8 the LFE channel);
    // empty for the built-in layouts, whose channels are named by where they stand.
    std::vector<uint32_t> channelBits;
};

// The rigs: the built-in layouts in decode type order, the default (the square) first, then the
// presets (stereo, 5.0, 5.1, 7.1, 5.1.4, 7.1.4).
const std::vector<RigInfo>& Rigs();
// Index in Rigs() of the rig named `name` or numbered by it ("0".."6"); -1 for none.
int FindRig(const std::string& name);

// A turn of the scene in degrees: yaw towards the left, pitch raising the front, roll lowering
// the right side (decoder/rotation.h).
struct Rotation {
    double yaw = 0.0, pitch = 0.0, roll = 0.0;
    bool operator==(const Rotation& o) const { return yaw == o.yaw && pitch == o.pitch && roll == o.roll; }
    bool operator!=(const Rotation& o) const { return !(*this == o); }
};

enum class Convention { FuMa, AmbiX };
enum class OutputKind { Speakers, Uhj, Headphones };

// The first-order part of a channel set: its order and how many of W, X, Y, Z it holds (3 or
// 4). False for a channel count that is no B-Format set of that convention (FuMa: 3, 4, 5, 6,
// 7, 8, 9, 11, 16; ambiX: (n+1)^2 up to order 7).
bool FirstOrderPart(Convention convention, unsigned channels, unsigned& order, unsigned& firstOrder);

// The sample format the renderer reads and writes for input of `format` in `convention`: the
// input's own for FuMa, whose first-order channels pass unchanged; for ambiX, whose W is
// rescaled, 32-bit PCM for integer input and float for float input, which hold the converted
// values without losing precision.
SampleFormat RenderFormat(SampleFormat input, Convention convention);

// Head-related responses read from a SOFA file, every measurement of it, at one sample rate:
// the set the headphone decode is designed from.
struct HeadphoneResponses;
// Reads `path` for `sampleRate`; null with `error` set to one line on failure.
std::shared_ptr<const HeadphoneResponses> LoadHeadphoneResponses(const std::string& path, double sampleRate,
                                                                 std::string& error);

// Everything a renderer is prepared from.
struct StreamSetup {
    SampleFormat format = SampleFormat::None;  // of the input
    double sampleRate = 0.0;
    unsigned channels = 0;                     // in the input stream
    Convention convention = Convention::FuMa;
    OutputKind output = OutputKind::Speakers;
    int rig = 0;                               // index in Rigs(), for speakers
    std::shared_ptr<const HeadphoneResponses> responses;  // headphones; null: the built-in head
    Rotation rotation;                         // in force from the first frame
};

// Runs one prepared decode on interleaved audio. The element owns it; Prepare() runs when caps
// are set (allocates), Render()/RenderTail() on the streaming thread (allocate nothing).
// No locking of its own.
class Renderer {
public:
    Renderer();
    ~Renderer();

    // Builds the decode for `setup`. All or nothing: on failure returns false with `error`
    // set to one line and the previous preparation stays in force.
    bool Prepare(const StreamSetup& setup, std::string& error);
    // Clears the filters' memory (as after Prepare), for a new stretch of the stream (after a
    // flush), with the rotation set last in force at once. Allocates nothing.
    void Reset();
    // Turns the scene from the next Render() on, moving across its first frames (up to 1024) so
    // that the change does not click. Allocates nothing; ignored before Prepare() and for
    // angles that are not finite.
    void SetRotation(const Rotation& rotation);

    bool IsReady() const;
    unsigned OutChannels() const;
    SampleFormat Format() const;   // of the output, RenderFormat() of the input
    // Output frames that lag the input (the headphone decode's), dropped at the start and
    // brought out by RenderTail() at the end; 0 for the others.
    size_t LatencyFrames() const;

    // `frames` frames of the input stream (the setup's channels and format) from src into
    // `frames` frames of OutChannels() channels of Format() in dst. Memory carries over calls.
    // Does nothing before a successful Prepare().
    void Render(const uint8_t* src, uint8_t* dst, size_t frames);
    // `frames` frames of what the decode still holds once the input has ended.
    void RenderTail(uint8_t* dst, size_t frames);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace gstbformat
