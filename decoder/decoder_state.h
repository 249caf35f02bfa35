// The decoder's per-stream state and the block decode that runs on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "decoder/allpass.h"
#include "decoder/coefficients.h"
#include "decoder/planes.h"
#include "decoder/rig.h"
#include "decoder/sample_format.h"
#include "decoder/stream.h"

namespace decoder {

namespace kernels {
struct DecodeKernel;
struct KernelState;
struct ShelfBank;
enum class FoldedPairs : uint8_t;
}

// Everything the block decode reads and writes: the gain table in force, the channel counts,
// the three shelf filters (W, X, Y; Z is not shelved) and the two plane sets.
//
// The speaker renderer owns one of these, made from its rig (gain table and speaker count),
// and calls Prepare() when the stream is known; the streaming thread then only runs
// DecodeBlock()/DecodeFrames(), which allocate nothing. Prepare() also picks the loops that
// decode: the fastest kernel this build and processor have for the channel and speaker
// counts (decoder/kernels/); every kernel gives the plain loops' bits. No locking of its
// own: the owner keeps Prepare() and the decode from running at the same time.
struct DecoderState {
    DecoderState() = default;
    // A state that decodes through `rig`'s gain table to its speakers.
    explicit DecoderState(const Rig& rig) : m_Coefficients(rig.table), m_nSpeakers(rig.Channels()) {}

    DecoderCoefficients m_Coefficients{};
    uint32_t m_nInChannels = 0;   // 3 (W, X, Y) or 4 (W, X, Y, Z), once prepared
    uint32_t m_nSpeakers = 0;     // output planes, 1..8 for a state that can be prepared
    std::unique_ptr<AllPass> m_pShelfW;
    std::unique_ptr<AllPass> m_pShelfX;
    std::unique_ptr<AllPass> m_pShelfY;
    SamplePlanes m_InPlanes;      // m_nInChannels planes
    SamplePlanes m_OutPlanes;     // m_nSpeakers planes

    // Builds fresh shelf filters (cleared memory, tuned to kCrossoverHz at the stream's rate)
    // and plane sets for blocks of up to stream.maxBlockFrames frames, for stream.inChannels
    // (3 or 4) inputs and m_nSpeakers (1..8) outputs. All or nothing: everything is built first
    // and swapped in at the end, so on any failure the state is exactly as before. Chooses the
    // kernel for the layout. Never throws.
    PrepareResult Prepare(const StreamDescription& stream);

    // Folds a steady turn of X, Y and Z (the 3x3 row-major m and its inverse) into the gain
    // table: X and Y are shelved alike, so with Z shelved like them (its own memory) the turn
    // moves into the gains and the decode costs about what an unturned one does; a table that
    // gives Z to speakers adds the turned Z, unshelved, as a fifth term. The output differs
    // from turning the input only by round-off. The shelves' memory is carried over, turned
    // back by `inverse`, so the decode goes on without a seam; null undoes the fold the same
    // way. False (and nothing changes) for a state that is not ready or has three input
    // channels. Prepare() leaves the state unfolded. Allocates nothing.
    bool FoldTurn(const double* m, const double* inverse);
    bool IsFolded() const { return m_Folded; }

    // Clears the shelves' memory (the next decode is as from a fresh preparation).
    void ClearMemory();

    // True once Prepare() has succeeded: shelves and planes match the channel counts.
    bool IsReady() const;

    // Frames one block may hold (the planes' capacity); 0 before Prepare().
    int32_t Capacity() const { return IsReady() ? m_InPlanes.Capacity() : 0; }

    // Shelves frames 0..n-1 of in[0..2] in place (W with 2 - LowGain / 2 - HighGain, X and Y
    // with LowGain / HighGain), then mixes in[0..m_nInChannels-1] through the gain table into
    // frames 0..n-1 of out[0..m_nSpeakers-1]. Z (in[3]) is not modified. Shelf memory carries
    // over, so two blocks of n equal one of 2n. Needs planes of at least n frames, in and out
    // distinct; n <= 0, or a state that is not ready, changes nothing.
    void DecodeBlock(double* const* in, double* const* out, int32_t n);

    // The whole path for interleaved audio: `frames` frames of m_nInChannels samples from src
    // are deinterleaved into m_InPlanes, decoded and interleaved as `frames` frames of
    // m_nSpeakers samples into dst, in blocks of at most Capacity() frames (a kernel that
    // keeps each frame in registers leaves the planes alone). src holds
    // frames * m_nInChannels and dst frames * m_nSpeakers samples of `format`; nothing
    // outside those is read or written. Integer samples saturate (see sample_format.h).
    // Format None, frames 0 or a state that is not ready does nothing.
    void DecodeFrames(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames);

private:
    // The kernels' view of a ready state, and the memory they advanced stored back.
    kernels::KernelState KernelView() const;
    void StoreMemory(const kernels::ShelfBank& bank);

    friend const kernels::DecodeKernel* KernelOf(const DecoderState& state);
    friend void SetKernelForTesting(DecoderState& state, const kernels::DecodeKernel* kernel);

    const kernels::DecodeKernel* m_pKernel = nullptr;  // chosen by Prepare()
    // A folded turn: the table with the turn in it, the turn, and Z's shelf memory.
    DecoderCoefficients m_FoldedCoefficients{};
    double m_FoldedTurn[9] = {};
    double m_FoldedTilt[4] = {};  // each shelf's (high - low) / (high + low)
    double m_ZPrevIn = 0.0, m_ZPrevOut = 0.0;
    bool m_Folded = false;
    bool m_FoldedZ = false;  // the table gives Z to speakers: the turned Z is added unshelved
    kernels::FoldedPairs m_FoldedPairs{};
};

}  // namespace decoder
