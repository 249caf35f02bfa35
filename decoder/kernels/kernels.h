// The decode kernels: the block decode, the whole interleaved path and the headphone decode's
// shelves as plain functions over plain state, one set per instruction set (scalar.cpp,
// sse2.cpp, avx2.cpp). Internal to decoder/: DecoderState picks one decode kernel when it is
// prepared and BinauralDecoder the fastest shelf kernel; tests and benchmarks reach the others
// through decoder/decoder_testing.h and ShelfKernelFor().
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/coefficients.h"
#include "decoder/sample_format.h"

namespace decoder {

class AllPass;

namespace kernels {

// The shelves, W, X and Y in that order, as plain numbers: the all-pass coefficient, the low-
// and high-band gains and the one-sample memory of each. A decode with a folded turn
// (KernelState::foldedTurn) also shelves Z, like X and Y, at index 3; elsewhere index 3 is
// zero and unused. A kernel copies them into locals, runs its loop and writes the memory back
// once per call.
struct ShelfBank {
    double coefficient[4];
    double lowGain[4];
    double highGain[4];
    double prevIn[4];
    double prevOut[4];
};

// The bank of the three filters w, x, y: their coefficients and memory, W with (lowW, highW),
// X and Y with (lowXY, highXY); and the bank's memory written back to them.
ShelfBank ShelfBankOf(const AllPass& w, const AllPass& x, const AllPass& y, double lowW, double highW, double lowXY,
                      double highXY);
void StoreShelfMemory(const ShelfBank& bank, AllPass& w, AllPass& x, AllPass& y);

// Everything a kernel reads and writes besides its input and output. The gain table is read
// in rows 0..inChannels-1 and columns 0..speakers-1. The planes (`capacity` frames each,
// inChannels and speakers of them) are scratch for the frame kernels that pass through planes.
// `foldedTurn` (four input channels only): the gain table has a steady scene turn of X, Y and
// Z folded into its four rows,
// and all four channels are shelved (Z like X and Y, bank index 3), each in the form
// x + p * tilt of its all-pass output p, the tilt held as the bank's high gain (its low gain
// unused): the shelf's (high - low) / (high + low), its (low + high) / 2 being folded into the
// table's rows (FoldedBlockPlain).
// A folded turn of a table that gives Z to speakers also has `turnedZ`, the turn's Z row: the
// unshelved turned Z of each frame, (0 * W + m6 * X) + (m7 * Y + m8 * Z), reaches speaker s
// through zGains[s] (the unfolded table's Z gains), added after the four shelved channels.
// `foldedPairs`: a folded table of 6 or 8 speakers whose speakers s and s + h (h half of them)
// mirror each other, so each pair is decoded from the first half's sums a and b as a + b and
// a - b (FoldedPairs).
enum class FoldedPairs : uint8_t {
    None,
    // Speakers s + h opposite speakers s (same W gains, X, Y and Z gains negated): a is the W
    // product, b = (X product + Y product) + Z product.
    Antipodal,
    // Two rings at one azimuth, s + h below s (same gains, the turned Z's gain negated): a is
    // the four channels' sum, b the turned Z's product.
    Rings,
};

struct KernelState {
    ShelfBank shelves;
    const DecoderCoefficients* coefficients;
    uint32_t inChannels;
    uint32_t speakers;
    double* const* inPlanes;
    double* const* outPlanes;
    int32_t capacity;
    bool foldedTurn;
    const double* turnedZ;
    const double* zGains;
    FoldedPairs foldedPairs;
};

// The block decode of a state with a folded turn: the four shelves, then the mix of all four
// rows. The plain loop the vector kernels are held to. Its parts, for kernels that vectorise
// some of them: the turned Z (turnedZ) of frames 0..n-1 into out[0], where the mix reads it
// before writing that frame; and the mix of shelved planes for frames first..n-1.
void FoldedBlockPlain(KernelState& state, double* const* in, double* const* out, int32_t n);
void TurnedZIntoFirstOutput(const KernelState& state, double* const* in, double* const* out, int32_t n);
void FoldedMixPlain(const KernelState& state, double* const* in, double* const* out, int32_t first, int32_t n);

// Frames 0..n-1 of x, y and z turned in place by the 3x3 row-major m: x' = m0 x + m1 y + m2 z
// and so on, summed left to right.
void TurnPlanes(const double* m, double* x, double* y, double* z, int32_t n);

// The block decode of DecoderState::DecodeBlock, for n >= 1.
using BlockKernel = void (*)(KernelState& state, double* const* in, double* const* out, int32_t n);

// The whole interleaved path of DecoderState::DecodeFrames, for frames >= 1 and a format other
// than None.
using FramesKernel = void (*)(KernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst,
                              size_t frames);

enum class InstructionSet { Scalar, Sse2, Avx2, Avx512 };

// One entry of the kernel table: the two loops of one instruction set for one layout.
struct DecodeKernel {
    InstructionSet set;
    BlockKernel block;
    FramesKernel frames;
};

// The kernel of each instruction set for `inChannels` (3 or 4) inputs and `speakers` (1..8)
// outputs, or null when the set has no loop for that layout or this build or processor cannot
// run it. The scalar set has one for every valid layout; the 256-bit set only for 4, 6 and 8
// speakers, on x86-64 builds other than Windows (whose compiler cannot keep 32-byte stack
// slots aligned), on processors that have AVX2. The 512-bit set is the 256-bit one whose
// whole path mixes two frames at a time into four 16-bit speakers, on processors that also
// have AVX-512F.
const DecodeKernel* ScalarKernel(uint32_t inChannels, uint32_t speakers);
const DecodeKernel* Sse2Kernel(uint32_t inChannels, uint32_t speakers);
const DecodeKernel* Avx2Kernel(uint32_t inChannels, uint32_t speakers);
const DecodeKernel* Avx512Kernel(uint32_t inChannels, uint32_t speakers);

// The three shelves of `bank` over pw, px and py (count >= 1 frames each, in place); the
// memory in `bank` is advanced. For decodes that shelve without the gain table's mix (the
// headphone decode).
using ShelfKernel = void (*)(ShelfBank& bank, double* pw, double* px, double* py, int32_t count);

// The plain loop: one channel at a time, AllPass::Shelf's operations in its order.
void ScalarShelfThree(ShelfBank& bank, double* pw, double* px, double* py, int32_t count);
// The three shelves in one 128-bit pass, bit for bit the plain loop.
void Sse2ShelfThree(ShelfBank& bank, double* pw, double* px, double* py, int32_t count);

// The shelf kernel of `set`, or null when this build or processor cannot run it. The wider
// sets use the 128-bit pass: three channels fill no wider register.
ShelfKernel ShelfKernelFor(InstructionSet set);
// The fastest shelf kernel this build and processor have.
ShelfKernel FastestShelfKernel();

// The 128-bit conversions with the bits of DeinterleaveBlock and InterleaveBlock: vectorised for
// 3 and 4 channels in and 4, 6 and 8 out; other counts, and builds without SSE2, run the plain
// loops.
void Sse2Deinterleave(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels, double* const* planes);
void Sse2Interleave(double* const* planes, uint32_t channels, int32_t n, SampleFormat format, uint8_t* dst);

// Frames first..n-1 of the gain matrix, each output accumulated from 0.0 in channel order. The
// plain loop, which the vector kernels also run for frames left over from their width.
void MixPlain(const KernelState& state, double* const* in, double* const* out, int32_t first, int32_t n);

// True when decoding integer samples with this state cannot give NaN, so that integer stores
// may skip mapping NaN to 0: the shelf coefficients are within [-1, 1] and the shelf gains,
// the gains in use and the shelf memory are finite and of sensible size. (Float input can
// leave NaN or infinity in the shelf memory; the decode types' gains are all below 2.)
bool IntegerDecodeStaysFinite(const KernelState& state);

// True when, besides staying finite, decoding 16-bit samples with this state keeps every sum
// v and v + 0.5 well inside the 32-bit integer range, so that a truncating conversion to 32
// bits is exact and saturating to 16 bits afterwards equals the plain loop's clamp.
bool Pcm16DecodeStaysInInt32(const KernelState& state);

// True when a speaker in use takes Z: the state has four input channels and a Z gain other
// than 0 among its speakers' columns.
bool UsesZ(const KernelState& state);

// The whole path through the state's planes: runs of at most `run` frames (and the planes'
// capacity) are deinterleaved, decoded by `block` and interleaved. Runs split anywhere
// decode the same.
using DeinterleaveFn = void (*)(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                                double* const* planes);
using InterleaveFn = void (*)(double* const* planes, uint32_t channels, int32_t n, SampleFormat format,
                              uint8_t* dst);
void FramesThroughPlanes(KernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames,
                         size_t run, BlockKernel block, DeinterleaveFn deinterleave, InterleaveFn interleave);

}  // namespace kernels
}  // namespace decoder
