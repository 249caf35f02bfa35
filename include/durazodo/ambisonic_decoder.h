// IAmbisonicDecoderLayout: how a host chooses what the DUrazOdo B-Format decoder filter puts
// out. Reached through the filter's QueryInterface with IID_IAmbisonicDecoderLayout.
//
// A host that never asks for it gets the filter as it always was: decode type 0 (the
// square), four speaker feeds with channel mask 0x33, the same persisted stream, property
// page and registration. A host that asks can choose another speaker layout, or two channels:
// UHJ stereo or headphones.
//
// Include it from C++ (C++17). On Windows it needs only the system headers; elsewhere it
// builds on DUrazOdo's platform header, which native hosts use anyway.
//
// Settings are taken only while neither of the filter's pins is connected: they decide the
// output type the filter proposes. They are not persisted: IPersistStream saves and loads
// none of them, so a host that wants a layout sets it again on every filter it creates.
// Every method may be called from any thread; settings change under the filter's lock.
#pragma once

#if defined(_WIN32)
#  include <windows.h>
#  include <objbase.h>
#  include <unknwn.h>
#  include <vfwmsgs.h>
#else
#  include "platform/platform.h"
#endif

// {CCA567FC-7CFE-45E7-96A7-32FDC6158EB3}
inline constexpr IID IID_IAmbisonicDecoderLayout = {
    0xCCA567FC, 0x7CFE, 0x45E7, {0x96, 0xA7, 0x32, 0xFD, 0xC6, 0x15, 0x8E, 0xB3}};

// Decode types: the speaker layouts the decoder knows. Azimuths are measured from straight
// ahead towards the left; the output channels come in the order given.
enum AMBISONIC_LAYOUT : LONG {
    // 4 speakers: front left 45, front right -45, back left 135, back right -135.
    AMBISONIC_LAYOUT_SQUARE = 0,
    // 4 speakers with tabulated gains and no shelf filtering: front left 35.3, front right
    // -35.3, back left 122.7, back right -122.7.
    AMBISONIC_LAYOUT_IRREGULAR_QUAD = 1,
    // 6 speakers at 0, 60, 120, 180, -120, -60.
    AMBISONIC_LAYOUT_HEXAGON = 2,
    // 6 speakers at 30, 90, 150, -150, -90, -30.
    AMBISONIC_LAYOUT_HEXAGON_ROTATED = 3,
    // 8 speakers at 0, 45, 90, 135, 180, -135, -90, -45.
    AMBISONIC_LAYOUT_OCTAGON = 4,
    // 8 speakers at 22.5, 67.5, 112.5, 157.5, -157.5, -112.5, -67.5, -22.5.
    AMBISONIC_LAYOUT_OCTAGON_ROTATED = 5,
    // 8 speakers in two rings of four at 0, 90, 180, -90: the upper ring (elevation 45)
    // first, then the lower ring (elevation -45). Z feeds this layout alone.
    AMBISONIC_LAYOUT_TWO_LAYER = 6,
};

// What the filter puts out.
enum AMBISONIC_OUTPUT : LONG {
    // Speaker feeds for the decode type in force (the default): 4, 6 or 8 channels, channel
    // mask 0x33 for the two four-speaker layouts and 0 for the others.
    AMBISONIC_OUTPUT_SPEAKERS = 0,
    // Two-channel UHJ stereo (left, right) from W, X and Y, channel mask 0x3 (front left,
    // front right). Z is ignored.
    AMBISONIC_OUTPUT_UHJ_STEREO = 1,
    // Headphones, rendered with the filter's built-in spherical-head model; two channels
    // (left ear, right ear), channel mask 0x3.
    AMBISONIC_OUTPUT_HEADPHONES_HEAD_MODEL = 2,
    // Headphones, rendered with the head-related impulse responses the host handed in with
    // SetHeadphoneResponses; two channels, channel mask 0x3.
    AMBISONIC_OUTPUT_HEADPHONES_RESPONSES = 3,
};
// The two-channel outputs keep the input's sample format and rate. Headphones decode in three
// dimensions, whatever the decode type: one filter per input channel and ear, designed when the
// output buffers are decided from the responses (the built-in head's, or every measurement a
// host handed in), so that Z reaches the ears. The ears lag the input by a fixed 256 frames (the
// block convolution's partition): sample times are passed on unchanged, and at the end of the
// stream the filter delivers those last 256 frames in one more sample (or more, for small
// buffers), timed on from the last one, before it passes the end-of-stream on. A stream whose
// rate the headphone decode cannot take (below 1000 Hz or above 768 kHz) is refused at
// connection.

// The lag of the headphone outputs, in frames at the stream's rate: a host that wants the ears
// aligned with the input drops this many frames from the start of the output.
enum : ULONG { AMBISONIC_HEADPHONE_LATENCY_FRAMES = 256 };

// Bounds on the responses a host may hand in. The filter keeps a copy of the whole set (in double
// precision) while it may be chosen, so the set is bounded as a whole as well: directions times
// length at most AMBISONIC_MAX_RESPONSE_SAMPLES (64 MiB of copy for both ears), room for the
// dense measured sets people exchange (11950 directions of 256 frames, 2048 of 2048).
enum : ULONG {
    AMBISONIC_MAX_RESPONSE_DIRECTIONS = 16384,
    AMBISONIC_MAX_RESPONSE_LENGTH = 16384,
    AMBISONIC_MAX_RESPONSE_SAMPLES = 1u << 22,
    AMBISONIC_MIN_RESPONSE_RATE = 8000,
    AMBISONIC_MAX_RESPONSE_RATE = 384000,
};

struct IAmbisonicDecoderLayout : public IUnknown {
    // The decode type in force, one of AMBISONIC_LAYOUT. E_POINTER for null.
    STDMETHOD(GetDecodeType)(LONG* decodeType) PURE;
    // Chooses the speaker layout; the filter then proposes that many speaker feeds with the
    // layout's channel mask. E_INVALIDARG for a value outside 0..6 and
    // VFW_E_ALREADY_CONNECTED while a pin is connected; either way nothing changes. With
    // UHJ or headphone output the decode type keeps its value and applies again once
    // speakers are chosen.
    STDMETHOD(SetDecodeType)(LONG decodeType) PURE;

    // The output in force, one of AMBISONIC_OUTPUT. E_POINTER for null.
    STDMETHOD(GetOutput)(LONG* output) PURE;
    // Chooses the output; the filter then proposes its channel count and mask. Responses
    // handed in earlier are kept while another output is in force, so a host may switch back
    // to AMBISONIC_OUTPUT_HEADPHONES_RESPONSES without handing them in again. E_INVALIDARG
    // for a value that is not an AMBISONIC_OUTPUT, and for
    // AMBISONIC_OUTPUT_HEADPHONES_RESPONSES before any responses were handed in;
    // VFW_E_ALREADY_CONNECTED while a pin is connected. Nothing changes on failure.
    STDMETHOD(SetOutput)(LONG output) PURE;
    // Hands the filter measured head-related impulse responses and chooses
    // AMBISONIC_OUTPUT_HEADPHONES_RESPONSES. `directions` measurements, measurement d taken
    // from azimuth azimuthDegrees[d] (from straight ahead towards the left, -360..360) and
    // elevation elevationDegrees[d] (up positive, -90..90); its left-ear response is
    // left[d * length .. d * length + length - 1], its right-ear response likewise in
    // `right`, sampled at sampleRate Hz. At least 4 directions: the headphone decode is
    // designed from all of them, spread over the sphere as evenly as the host has them. The
    // filter copies them before returning: the host may free the arrays. Responses are not resampled:
    // sampleRate must be the stream's, and an input at another rate is refused at connection
    // (VFW_E_TYPE_NOT_ACCEPTED) while these responses are the output in force; a host with
    // measurements at another rate resamples them first. Not persisted.
    // E_POINTER for a null array; E_INVALIDARG for fewer than 4 directions, for a count,
    // length, directions x length or rate outside the bounds above, an angle that is not finite or out of range, or a sample that is not
    // finite; E_OUTOFMEMORY when the copy cannot be made; VFW_E_ALREADY_CONNECTED while a pin
    // is connected. Nothing changes on failure.
    STDMETHOD(SetHeadphoneResponses)(ULONG directions, const float* azimuthDegrees, const float* elevationDegrees,
                                     ULONG length, ULONG sampleRate, const float* left, const float* right) PURE;
};

// ---- Speaker rigs beyond the seven layouts ------------------------------------------------

// IAmbisonicDecoderRig: speaker sets people own (stereo, 5.1, 7.1, 5.1.4, 7.1.4) or any rig of
// positions, each with a decoder designed for it when it is chosen. Reached through the
// filter's QueryInterface. The same rules as IAmbisonicDecoderLayout: taken only while no pin
// is connected, validated before anything changes, not persisted. A host that never asks gets
// the seven layouts as before; SetDecodeType goes back to them.
//
// {2595B69C-F848-4E1C-8351-1AA92243B41F}
inline constexpr IID IID_IAmbisonicDecoderRig = {
    0x2595B69C, 0xF848, 0x4E1C, {0x83, 0x51, 0x1A, 0xA9, 0x22, 0x43, 0xB4, 0x1F}};

// The preset rigs. Output channels follow the order of their WAVE channel-mask bits, so that
// players route them; the LFE channel carries W low-passed at 120 Hz (24 dB per octave).
enum AMBISONIC_RIG : LONG {
    AMBISONIC_RIG_STEREO = 0,  // front left 30, front right -30; mask 0x3
    AMBISONIC_RIG_5_0 = 1,     // FL FR FC BL BR at 30, -30, 0, 110, -110; mask 0x37
    AMBISONIC_RIG_5_1 = 2,     // FL FR FC LFE BL BR; mask 0x3F
    AMBISONIC_RIG_7_1 = 3,     // FL FR FC LFE BL BR SL SR at 30, -30, 0, -, 135, -135, 90, -90; mask 0x63F
    AMBISONIC_RIG_5_1_4 = 4,   // 5.1, then upper FL FR BL BR at 30, -30, 110, -110, elevation 45; mask 0x2D03F
    AMBISONIC_RIG_7_1_4 = 5,   // 7.1, then upper FL FR BL BR at 45, -45, 135, -135, elevation 45; mask 0x2D63F
};

// What IAmbisonicDecoderRig::GetRig reports as the rig in force.
enum AMBISONIC_RIG_KIND : LONG {
    AMBISONIC_RIG_KIND_LAYOUT = 0,  // one of the seven layouts (GetDecodeType says which)
    AMBISONIC_RIG_KIND_PRESET = 1,  // a preset rig, one of AMBISONIC_RIG
    AMBISONIC_RIG_KIND_CUSTOM = 2,  // speakers a host handed in
};

// Bounds on the speakers a host may hand in.
enum : ULONG { AMBISONIC_MIN_SPEAKERS = 2, AMBISONIC_MAX_SPEAKERS = 64 };
#define AMBISONIC_MAX_SPEAKER_DISTANCE 1000.0f

struct IAmbisonicDecoderRig : public IUnknown {
    // Chooses a preset rig (one of AMBISONIC_RIG); speaker output then proposes its channels
    // and mask. E_INVALIDARG for another value, VFW_E_ALREADY_CONNECTED while a pin is
    // connected; nothing changes on failure. With UHJ or headphone output the rig is kept and
    // applies once speakers are chosen again.
    STDMETHOD(SetPresetRig)(LONG preset) PURE;
    // Hands in a rig of `count` speakers (AMBISONIC_MIN_SPEAKERS..AMBISONIC_MAX_SPEAKERS), in
    // output channel order: speaker s at azimuthDegrees[s] (from straight ahead towards the
    // left, -360..360), elevationDegrees[s] (up positive, -90..90) and distanceMetres[s]
    // (0 for unknown, else up to AMBISONIC_MAX_SPEAKER_DISTANCE; a null array for none known).
    // Nearer speakers are delayed and attenuated to match the farthest; the delayed sound still
    // owed when the input ends is delivered before the end of the stream is passed on, so the
    // output is longer than the input by the longest delay. With `lfe` an LFE channel follows
    // them (so at most AMBISONIC_MAX_SPEAKERS - 1 speakers with it). Channel mask 0. The decoder is designed before returning; the
    // arrays are not kept. E_POINTER for a null angle array; E_INVALIDARG for a count out of
    // bounds, an angle or distance that is not finite or out of range, two speakers in the
    // same place, or a rig whose decoder cannot be designed (a 3D rig whose hull cannot be
    // built); E_OUTOFMEMORY; VFW_E_ALREADY_CONNECTED while a pin is connected. Nothing
    // changes on failure.
    STDMETHOD(SetSpeakers)(ULONG count, const float* azimuthDegrees, const float* elevationDegrees,
                           const float* distanceMetres, BOOL lfe) PURE;
    // The rig in force: its kind (AMBISONIC_RIG_KIND), for a preset which one (else -1), and
    // its output channels as speaker output (the LFE channel included). Any pointer may be null
    // (that value is not reported). While a preset or handed-in rig is in force,
    // IAmbisonicDecoderLayout::GetDecodeType reports AMBISONIC_LAYOUT_SQUARE.
    STDMETHOD(GetRig)(LONG* kind, LONG* preset, ULONG* channels) PURE;
    // Whether the LFE channel of the rig in force (if it has one) is left silent instead of
    // carrying W low-passed. Default FALSE; kept across rig changes. VFW_E_ALREADY_CONNECTED
    // while a pin is connected.
    STDMETHOD(SetLfeSilent)(BOOL silent) PURE;
    STDMETHOD(GetLfeSilent)(BOOL* silent) PURE;
};

// ---- Rotation of the sound field ----------------------------------------------------------

// IAmbisonicDecoderRotation: turns the whole scene before it is decoded, for every output
// (speakers, UHJ, headphones): a head tracker, or the view of a 360-degree video. Reached
// through the filter's QueryInterface.
//
// Angles in degrees. Yaw turns the scene towards the left (a source straight ahead moves to
// azimuth +yaw); pitch raises the front (a source straight ahead moves to elevation +pitch);
// roll lowers the right side. The scene is rolled first, then pitched, then yawed.
//
// Unlike the other settings, the rotation may change at any time, also while streaming, from
// any thread: the streaming thread picks it up at the start of the next input sample, which
// moves from the rotation in force to the new one frame by frame across its first frames (at
// most 1024), so a change does not click, and nothing is allocated. Changes made while one
// sample is being decoded take effect together at the next. It survives changes of rig and
// output. A three-channel stream has no Z: pitch and roll turn it as if Z were 0. Not
// persisted.
//
// {F48A43E1-A33C-44B7-9A3B-4E1B6FF529F0}
inline constexpr IID IID_IAmbisonicDecoderRotation = {
    0xF48A43E1, 0xA33C, 0x44B7, {0x9A, 0x3B, 0x4E, 0x1B, 0x6F, 0xF5, 0x29, 0xF0}};

struct IAmbisonicDecoderRotation : public IUnknown {
    // E_INVALIDARG for an angle that is not finite or outside -360..360; nothing changes then.
    STDMETHOD(SetRotation)(float yawDegrees, float pitchDegrees, float rollDegrees) PURE;
    // The rotation last set (0, 0, 0 until then). E_POINTER for a null pointer.
    STDMETHOD(GetRotation)(float* yawDegrees, float* pitchDegrees, float* rollDegrees) PURE;
};

// ---- Higher-order input --------------------------------------------------------------------

// IAmbisonicDecoderInput: B-Format of orders above the first, or in the ACN conventions.
// Reached through the filter's QueryInterface. A host that never asks gets today's input:
// FuMa first order, 3 or 4 channels, the B-Format subtypes. The same rules as
// IAmbisonicDecoderLayout: only while no pin is connected, validated first, not persisted.
//
// {1E0DF383-0CC8-480E-B10E-7E7B8E2166AC}
inline constexpr IID IID_IAmbisonicDecoderInput = {
    0x1E0DF383, 0x0CC8, 0x480E, {0xB1, 0x0E, 0x7E, 0x7B, 0x8E, 0x21, 0x66, 0xAC}};

// Channel orders and weights of the input.
enum AMBISONIC_CONVENTION : LONG {
    // FuMa (Furse-Malham): W X Y Z R S T U V K L M N O P Q, W at -3 dB; orders 1 to 3 with the
    // mixed-order sets: 3, 4, 5, 6, 7, 8, 9, 11 or 16 channels.
    AMBISONIC_CONVENTION_FUMA = 0,
    // ambiX: ACN channel order, SN3D weights; (N+1)^2 channels for order N = 1..7.
    AMBISONIC_CONVENTION_AMBIX = 1,
    // ACN channel order, N3D weights; (N+1)^2 channels for order N = 1..7.
    AMBISONIC_CONVENTION_N3D = 2,
};

enum : ULONG { AMBISONIC_MAX_INPUT_ORDER = 7 };

struct IAmbisonicDecoderInput : public IUnknown {
    // Chooses the input the filter accepts: `channels` channels in `convention`. Afterwards
    // the filter accepts that channel count alone, with the B-Format subtypes or the plain PCM
    // and IEEE float subtypes, and decodes it at its order, capped by what the rig in force
    // can carry (GetDecodedOrder). The conversion to the decoder's own convention happens in
    // double precision as samples are read. E_INVALIDARG for a convention or count not listed
    // above; VFW_E_ALREADY_CONNECTED while a pin is connected; nothing changes on failure.
    STDMETHOD(SetInputFormat)(LONG convention, ULONG channels) PURE;
    // The input chosen: convention and channels (0 channels: never asked, FuMa 3 or 4).
    // E_POINTER when either pointer is null.
    STDMETHOD(GetInputFormat)(LONG* convention, ULONG* channels) PURE;
    // The Ambisonic order the output decodes the chosen input at, for the rig and output in
    // force: the seven layouts and UHJ decode the first-order part (1); headphones the input's
    // order (with handed-in responses at most the order N whose (N+1)^2 channels the
    // directions outnumber); a rig with a designed decoder the input's order, at most N with
    // 2N+1 <= S for a horizontal rig of S speakers and (N+1)^2 <= S for a 3D one. Mixed-order
    // FuMa counts its horizontal order. E_POINTER for null.
    STDMETHOD(GetDecodedOrder)(ULONG* order) PURE;
};
