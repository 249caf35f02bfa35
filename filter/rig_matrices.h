// IAmbisonicDecoderRigMatrices: hands the decoder filter a speaker rig together with decoder
// matrices made elsewhere (an AmbDec preset file's), which it runs as given instead of
// designing its own, or a rig file's speakers with their gains and imaginary speakers, for which
// it designs. Module-internal: bformat-decode uses it for rig files; hosts are not offered it in
// the host header, and it may change with the module.
//
// The same rules as IAmbisonicDecoderRig: taken only while no pin is connected, validated
// before anything changes, not persisted. GetRig then reports AMBISONIC_RIG_KIND_CUSTOM.
#pragma once

#include "durazodo/ambisonic_decoder.h"

// {6D0B1E5C-3F0A-4C43-9E57-52B1F0A7C2D4}
inline constexpr IID IID_IAmbisonicDecoderRigMatrices = {
    0x6D0B1E5C, 0x3F0A, 0x4C43, {0x9E, 0x57, 0x52, 0xB1, 0xF0, 0xA7, 0xC2, 0xD4}};

// Largest number of ambiX channels a matrix row may hold (order 7).
enum : ULONG { AMBISONIC_MAX_MATRIX_CHANNELS = 64 };

struct IAmbisonicDecoderRigMatrices : public IUnknown {
    // `speakers` speakers (1..AMBISONIC_MAX_SPEAKERS), in output channel order, at the angles
    // and distances given (as IAmbisonicDecoderRig::SetSpeakers takes them; null distances for
    // none), with an LFE channel after them when `lfe`. Their decoder: for ambiX input of
    // `order` (1..AMBISONIC_MAX_INPUT_ORDER) with `channels` channels per row
    // (4..AMBISONIC_MAX_MATRIX_CHANNELS), `low` and `high` each hold speakers x channels gains,
    // row-major, split at crossoverHz (low == high for one band). The first-order columns are
    // what a first-order stream decodes through. E_POINTER for a null array but distances;
    // E_INVALIDARG for counts, angles, distances, gains or a crossover that are out of range or
    // not finite, and a rig wider than the speaker decode mixes; E_OUTOFMEMORY;
    // VFW_E_ALREADY_CONNECTED while a pin is connected. Nothing changes on failure.
    STDMETHOD(SetRigMatrices)(ULONG speakers, const double* azimuthDegrees, const double* elevationDegrees,
                              const double* distanceMetres, BOOL lfe, ULONG order, ULONG channels,
                              const double* low, const double* high, double crossoverHz) PURE;
    // As IAmbisonicDecoderRig::SetSpeakers, in doubles, with each speaker's linear gain
    // (0..AMBISONIC_MAX_SPEAKER_GAIN; null for all 1) scaling its feed, and `imaginary`
    // directions without a speaker (0..AMBISONIC_MAX_SPEAKERS) that every design of the rig pans
    // over and drops. E_POINTER for a null angle array (the imaginary ones' only when
    // `imaginary` > 0); otherwise the same results as SetSpeakers.
    STDMETHOD(SetRigSpeakers)(ULONG speakers, const double* azimuthDegrees, const double* elevationDegrees,
                              const double* distanceMetres, const double* gains, BOOL lfe, ULONG imaginary,
                              const double* imaginaryAzimuthDegrees, const double* imaginaryElevationDegrees) PURE;
};

#define AMBISONIC_MAX_SPEAKER_GAIN 10.0
