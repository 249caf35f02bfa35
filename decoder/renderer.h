// The engine's one output seam: a renderer turns B-Format into the output channels of one
// kind of output (speaker feeds, UHJ stereo, headphones). Hosts (the COM filter, the plugin
// hosts) make one when the output or rig is chosen and never look at its kind again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/input_stage.h"
#include "decoder/matrix_decoder.h"
#include "decoder/planes.h"
#include "decoder/rig.h"
#include "decoder/rotation.h"
#include "decoder/sample_format.h"
#include "decoder/stream.h"

namespace decoder {

// The kinds of output a renderer can be made for.
enum class OutputKind { Speakers, Uhj, Headphones };

// Measured head-related responses for the headphone output, at the rate they were measured
// at (the stream must run at that rate). An empty set means the built-in head.
struct MeasuredResponses {
    std::vector<DirectionalResponse> responses;
    double sampleRate = 0.0;
};

// One output. Prepare() runs at format negotiation and allocates; Render(), RenderPlanes() and
// RenderTail() run on the streaming thread and allocate nothing. No locking of its own: the
// owner keeps preparation and rendering from running at the same time.
//
// Input: first-order FuMa (3 or 4 channels) runs as it always has; any other stream the input
// stage describes (input_stage.h: FuMa to third order and its mixed-order sets, ambiX and N3D
// to seventh) is decoded at DecodedOrder(): speaker rigs with a designed decoder and headphones
// at the input's order, capped by what they can carry; the seven layouts and UHJ its first-order
// part.
//
// Interleaved audio: Render() takes frames of Stream().inChannels samples and writes frames of
// OutputChannels() samples in any SampleFormat (SampleFormat::Float32 is interleaved 32-bit
// float). Planar audio: RenderPlanes() takes and writes planes of doubles. Memory carries over
// calls of both, so the result does not depend on how the stream is split.
//
// The tail: a renderer that lags its input (the headphone decode) still holds TailFrames()
// frames once the input ends; RenderTail() brings them out, as if silence followed.
class Renderer {
public:
    virtual ~Renderer() = default;

    // The order this output decodes `stream`'s input at (1 for the first-order outputs); 0 for
    // an input the input stage does not describe.
    int DecodedOrder(const StreamDescription& stream) const;

    // The output's channel count and WAVE channel mask, fixed when the renderer is made.
    virtual uint32_t OutputChannels() const = 0;
    virtual uint32_t ChannelMask() const = 0;

    // Whether a stream at `sampleRate` can be rendered: checked before a format is accepted,
    // so that Prepare() does not fail on the rate later.
    virtual bool AcceptsRate(double sampleRate) const = 0;

    // Builds everything the stream needs, with memory cleared and no tail owed. All or
    // nothing: on any result but Ok the previous preparation stays in force. Never throws.
    PrepareResult Prepare(const StreamDescription& stream);

    bool IsReady() const { return m_Ready; }
    // The stream prepared for; all zero before a successful Prepare().
    const StreamDescription& Stream() const { return m_Stream; }

    // `frames` frames of Stream().inChannels samples of `format` from src into `frames` frames
    // of OutputChannels() samples at dst. Integer samples saturate (sample_format.h). Format
    // None, frames 0 or a renderer that is not ready does nothing.
    void Render(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames);

    // n frames (1..Stream().maxBlockFrames) of the planes in[0..inChannels-1] into
    // out[0..OutputChannels()-1]. The input planes may be overwritten (the speaker decode
    // shelves them in place). n <= 0 or a renderer that is not ready does nothing.
    void RenderPlanes(double* const* in, double* const* out, int32_t n);

    // Frames still owed after the input so far: the renderer's lag once audio has gone in
    // since the last preparation or the last full tail, else 0.
    size_t TailFrames() const { return m_TailOwed; }
    // Renders up to `frames` of the owed tail (no more than TailFrames()) as `format` into dst
    // and counts them off.
    void RenderTail(SampleFormat format, uint8_t* dst, size_t frames);
    // Forgets the tail owed (one that cannot be delivered).
    void DropTail() { m_TailOwed = 0; }

    // Clears every filter's memory and the tail owed, and puts the rotation set in force at
    // once, as a new preparation does, but allocating nothing: for a host that starts a new
    // stretch of audio or switches between renderers on the streaming thread. Does nothing
    // before a successful Prepare().
    void Reset();

    // Frames the output lags the input by, once prepared (the headphone decode's convolution;
    // 0 for the others): a host that wants the output aligned with the input drops this many
    // frames from its start.
    virtual size_t LagFrames() const { return 0; }

    // Turns the scene (rotation.h: yaw towards the left, pitch raising the front, roll lowering
    // the right side) before it is decoded, for every output. May be called at any time, also
    // while streaming, from the thread that renders (or one the owner keeps from rendering at
    // the same time); allocates nothing. The next block moves from the rotation in force to this
    // one sample by sample across its frames (the first Stream().maxBlockFrames or 1024 of an
    // interleaved call, whichever are fewer), so a change does not click; a new preparation
    // takes it at once. The first-order rotation turns X, Y and Z and leaves W: a 3-channel
    // stream has no Z, so pitch and roll turn it as if Z were 0 and drop the height they would
    // give. Higher orders turn every order's channels among themselves (a mixed-order set drops
    // what a turn would give the channels it does not carry). Refuses (false, rotation
    // unchanged) angles that are not finite. While no rotation is in force or on its way the
    // input passes untouched, through exactly the path and bits of a renderer never turned.
    // Once a turn stops moving, a kind that can (the speaker decodes) folds it into its own
    // decode at the next block (the seven layouts shelving Z too for a turn that tilts it), so
    // a steady turn costs what no turn costs; the output then differs from turning the input
    // only by round-off.
    bool SetRotation(const SceneRotation& rotation);
    const SceneRotation& Rotation() const { return m_Rotation; }

    // Whether a steady turn may be folded into the decode (the default), for tests and
    // benchmarks that compare the fold with turning the input; takes effect at the next block.
    void AllowFold(bool allow) { m_FoldAllowed = allow; }

protected:
    // The order of DecodedOrder() for an input `input` describes (its order, at least 1).
    virtual int OrderFor(const InputLayout&) const { return 1; }

    // Frames owed after the input once audio has gone in: the lag, unless the output keeps
    // sound for longer than it lags (distance compensation delays the nearer speakers, whose
    // last samples come after the farthest one's).
    virtual size_t TailLength() const { return LagFrames(); }

    // The kind-specific halves of the steps above, called only with valid arguments: DoPrepare
    // with the stream as given, the rest only when ready, with frames/n >= 1 and a format other
    // than None. DoRenderSilence renders `frames` frames of silent input.
    virtual PrepareResult DoPrepare(const StreamDescription& stream) = 0;
    virtual void DoRender(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames) = 0;
    virtual void DoRenderPlanes(double* const* in, double* const* out, int32_t n) = 0;
    virtual void DoRenderSilence(SampleFormat format, uint8_t* dst, size_t frames) = 0;
    // Clears the kind's filter memory; allocates nothing.
    virtual void DoReset() = 0;

    // Folds a steady turn of the input into the kind's own decode, so that DoRender() and
    // DoRenderPlanes() on unturned input give what they give on turned input (round-off
    // apart), and carries the filter memory over; a null turn undoes the fold. `turn` is
    // y = turn * x over the stream's input channels (row-major, W's row and column the
    // identity) and `inverse` its inverse. Returns false where the kind cannot fold exactly:
    // the input is then turned through the planes. Allocates nothing.
    virtual bool FoldTurn(const double* /*turn*/, const double* /*inverse*/) { return false; }

private:
    // Turns X, Y[, Z] of in[] in place over n frames, from m_Turn towards m_TurnTarget (a
    // first-order FuMa stream), or every order's channels from m_Now towards m_To.
    void Turn(double* const* in, int32_t n);
    void TurnOrders(double* const* in, int32_t n);
    // m_To for m_Rotation: the ambiX rotation taken into the input's channels and weights.
    void BuildTurnTarget();
    // Whether the turn in force has stopped moving (it may be the identity).
    bool TurnSteady() const;
    // Brings the kind's fold in line with the turn in force: folds a steady turn that is not
    // the identity (once), undoes the fold while the turn moves or is gone. True when the
    // input is to go to the kind unturned (no turn, or one folded).
    bool SettleFold();
    // Undoes a fold in force.
    void Unfold();

    StreamDescription m_Stream;
    size_t m_TailOwed = 0;
    bool m_Ready = false;

    SceneRotation m_Rotation;
    // 3x3 rotations of FuMa X, Y, Z, row-major: the one in force and the one set.
    double m_Turn[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    double m_TurnTarget[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    bool m_Turning = false;  // either of them is not the identity
    SamplePlanes m_TurnIn, m_TurnOut;

    // The turn of any other input: channels x channels, row-major, over the input's channels;
    // the one in force, the one set, and the ambiX rotation it is made from. Sized at Prepare.
    bool m_Orders = false;  // the stream is not first-order FuMa
    InputLayout m_Input;
    std::vector<double> m_Now, m_To, m_AmbixTurn;
    bool m_NowIdentity = true, m_ToIdentity = true;

    // The steady turn over all the stream's input channels, its inverse and scratch to invert
    // it, sized at Prepare; whether the kind holds it folded, or refused it (until it changes).
    std::vector<double> m_FoldTurn, m_FoldInverse, m_FoldWork;
    bool m_Folded = false, m_FoldRefused = false, m_FoldAllowed = true;
};

// A renderer for `kind`: speaker feeds for `rig` (through its gain table, or its designed
// decoder with LFE and distance compensation when it has one); UHJ stereo; or headphones
// decoded in three dimensions through filters of the input's order designed from `measured`
// responses (at least 4 directions), or from the built-in head when `measured` is null or
// empty. Null when `rig` has no speakers or more than a speaker decode can mix (a designed
// decoder whose rows do not match the rig's speakers included), or (headphones) `measured`
// responses are unusable. Throws std::bad_alloc.
std::unique_ptr<Renderer> MakeRenderer(OutputKind kind, const Rig& rig, const MeasuredResponses* measured);

// What a designed speaker decode asks of the speaker renderer beyond its rig.
struct SpeakerOptions {
    bool silentLfe = false;  // write silence to the LFE channel instead of W low-passed
};

// MakeRenderer() for speakers with `options` (which matter only to rigs with a designed decoder).
std::unique_ptr<Renderer> MakeSpeakerRenderer(const Rig& rig, const SpeakerOptions& options);

// The gains a decode through `designed` (a design of `rig`'s speakers) runs for input `input`:
// one row per output channel (the LFE row zero), one column per input channel (those of orders
// above the design's zero), each speaker's row scaled by `rowGains` (distance compensation;
// empty for none) and by the speaker's own gain.
MatrixDecoderGains DesignedGainsFor(const Rig& rig, const DesignedDecoder& designed, const InputLayout& input,
                                    const std::vector<double>& rowGains);

// The highest order a designed rig carries: a horizontal rig of S speakers the largest N with
// 2N + 1 <= S, a 3D rig the largest N with (N + 1)^2 <= S; at least 1, at most
// kMaxAmbisonicOrder. 1 for a rig without a designed decoder; a decoder's own order for one
// given as it is (Rig::givenDecoder).
int RigOrder(const Rig& rig);

}  // namespace decoder
