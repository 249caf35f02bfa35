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
// The two-channel outputs keep the input's sample format and rate. Headphones decode to the
// eight virtual speakers of the octagon (AMBISONIC_LAYOUT_OCTAGON), whatever the decode type:
// it images equally well in every direction and, folded into the ear filters, costs no more
// than fewer speakers. The ears lag the input by a fixed 256 frames (the block convolution's
// partition): sample times are passed on unchanged, and at the end of the stream the filter
// delivers those last 256 frames in one more sample (or more, for small buffers), timed on
// from the last one, before it passes the end-of-stream on. A stream whose rate the headphone
// decode cannot take (below 1000 Hz or above 768 kHz) is refused at connection.

// The lag of the headphone outputs, in frames at the stream's rate: a host that wants the ears
// aligned with the input drops this many frames from the start of the output.
enum : ULONG { AMBISONIC_HEADPHONE_LATENCY_FRAMES = 256 };

// Bounds on the responses a host may hand in.
enum : ULONG {
    AMBISONIC_MAX_RESPONSE_DIRECTIONS = 65536,
    AMBISONIC_MAX_RESPONSE_LENGTH = 16384,
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
    // `right`, sampled at sampleRate Hz. For each virtual speaker the filter uses the
    // measurement nearest it on the sphere (the first of equally near ones) and copies what
    // it uses before returning: the host may free the arrays. Responses are not resampled:
    // sampleRate must be the stream's, and an input at another rate is refused at connection
    // (VFW_E_TYPE_NOT_ACCEPTED) while these responses are the output in force; a host with
    // measurements at another rate resamples them first. Not persisted.
    // E_POINTER for a null array; E_INVALIDARG for a count, length or rate outside the
    // bounds above, an angle that is not finite or out of range, or a sample that is not
    // finite; E_OUTOFMEMORY when the copy cannot be made; VFW_E_ALREADY_CONNECTED while a pin
    // is connected. Nothing changes on failure.
    STDMETHOD(SetHeadphoneResponses)(ULONG directions, const float* azimuthDegrees, const float* elevationDegrees,
                                     ULONG length, ULONG sampleRate, const float* left, const float* right) PURE;
};
