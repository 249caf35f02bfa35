// The 256-bit loops: shelf, matrix and conversions fused into one pass per frame, W, X, Y and
// Z of a frame in one register and the speakers across the lanes. Every lane performs the
// plain loops' operations in their order, so the bits are theirs. Integer output may take the
// shortcuts Shortcuts names, which change no integer sample. The 512-bit kernel is these
// loops with the matrix of four 16-bit speakers applied to two frames at once.
#include "decoder/kernels/kernels.h"

#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
#define DECODER_WITH_AVX2 1
#include <immintrin.h>
#endif

namespace decoder {
namespace kernels {

#if defined(DECODER_WITH_AVX2)

#define AVX2_FN __attribute__((target("avx2")))
#define AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#define AVX2_LAMBDA __attribute__((target("avx2"), always_inline))

namespace {

// ---- Shelves: W, X, Y in lanes 0..2 -------------------------------------------------------
//
// Lane k performs exactly the scalar shelf of its channel. Lane 3 has coefficient and gains 0;
// whatever it computes is replaced by the unfiltered Z of the frame, except in a decode with a
// folded turn, which shelves Z too.

struct Shelves {
    __m256d a, low, high, in, out;
};

AVX2_INLINE __m256d Lanes(const double (&v)[4]) { return _mm256_loadu_pd(v); }

AVX2_INLINE Shelves LoadShelves(const ShelfBank& bank)
{
    return Shelves{Lanes(bank.coefficient), Lanes(bank.lowGain), Lanes(bank.highGain), Lanes(bank.prevIn),
                   Lanes(bank.prevOut)};
}

// Saves the memory only (lane 3's too, which only a folded turn's decode reads back): the
// gains stay as the bank has them.
AVX2_INLINE void SaveShelves(const Shelves& sh, ShelfBank& bank)
{
    _mm256_storeu_pd(bank.prevIn, sh.in);
    _mm256_storeu_pd(bank.prevOut, sh.out);
}

// The band gains halved, for ShelfFrame<true>. Halving a gain is exact.
AVX2_INLINE void HalveGains(Shelves& sh)
{
    const __m256d half = _mm256_set1_pd(0.5);
    sh.low = _mm256_mul_pd(sh.low, half);
    sh.high = _mm256_mul_pd(sh.high, half);
}

// One frame (W X Y Z) through the shelves; returns (W' X' Y' Z). kHalvedGains (the gains
// halved by HalveGains): the bands are scaled by the halved gains, (s + p) * (high / 2), in
// place of ((s + p) / 2) * high. Halving s + p is exact unless it lies below 2^-1021, so the
// two differ only by amounts below 2^-1000, which no integer output can show: for integer
// sinks with finite sums only.
template <bool kHalvedGains>
AVX2_INLINE __m256d ShelfFrame(Shelves& sh, __m256d s)
{
    const __m256d p = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(sh.a, s), sh.in), _mm256_mul_pd(sh.a, sh.out));
    sh.in = s;
    sh.out = p;
    __m256d high = _mm256_add_pd(s, p);
    __m256d low = _mm256_sub_pd(s, p);
    if constexpr (!kHalvedGains) {
        const __m256d half = _mm256_set1_pd(0.5);
        high = _mm256_mul_pd(high, half);
        low = _mm256_mul_pd(low, half);
    }
    const __m256d r = _mm256_add_pd(_mm256_mul_pd(low, sh.low), _mm256_mul_pd(high, sh.high));
    return _mm256_blend_pd(r, s, 0x8);
}

// One frame (W X Y Z) through the four shelves of a folded turn: s + p * tilt, the tilt in the
// high-gain lanes.
AVX2_INLINE __m256d FoldedShelfFrame(Shelves& sh, __m256d s)
{
    const __m256d p = _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(sh.a, s), sh.in), _mm256_mul_pd(sh.a, sh.out));
    sh.in = s;
    sh.out = p;
    return _mm256_add_pd(s, _mm256_mul_pd(p, sh.high));
}

// ---- The way into the mix -----------------------------------------------------------------

// How a steady scene turn is decoded (KernelState): not at all, or folded into the gains with
// all four channels shelved; FoldedWithZ adds the unshelved turned Z the table gives to
// speakers (turnedZ); the last two decode 8 speakers by mirrored pairs (FoldedPairs).
enum class Turning { None, Folded, FoldedWithZ, FoldedAntipodal, FoldedRings };

// A frame from its input to what the mix reads: through the shelves (three and Z unfiltered,
// or all four of a folded turn). kHalvedGains: see ShelfFrame.
template <Turning kTurning, bool kHalvedGains>
struct FrameShelves {
    static constexpr bool kFolded = kTurning != Turning::None;
    static constexpr bool kTurnedZ = kTurning == Turning::FoldedWithZ || kTurning == Turning::FoldedRings;
    Shelves sh;
    __m256d zRow;  // FoldedWithZ: 0, m6, m7, m8

    AVX2_FN explicit FrameShelves(const KernelState& state)
        : sh(LoadShelves(state.shelves)),
          zRow(kTurnedZ
                   ? _mm256_setr_pd(0.0, state.turnedZ[0], state.turnedZ[1], state.turnedZ[2])
                   : _mm256_setzero_pd())
    {
        if constexpr (!kFolded && kHalvedGains) HalveGains(sh);
    }

    // kTurnedZ: the turned, unshelved Z of frame v in every lane, summed as
    // FoldedBlockPlain sums it: (lane 0 + lane 1) + (lane 2 + lane 3).
    AVX2_INLINE __m256d TurnedZ(__m256d v) const
    {
        const __m256d t = _mm256_mul_pd(v, zRow);
        const __m256d pairs = _mm256_add_pd(t, _mm256_permute_pd(t, 0x5));
        return _mm256_add_pd(pairs, _mm256_permute2f128_pd(pairs, pairs, 0x01));
    }

    AVX2_INLINE __m256d operator()(__m256d v)
    {
        if constexpr (kFolded) return FoldedShelfFrame(sh, v);
        return ShelfFrame<kHalvedGains>(sh, v);
    }
};

// ---- Gain matrix: speakers across the lanes ----------------------------------------------

template <uint32_t NIN, uint32_t NS>
struct Mixer {
    static constexpr uint32_t kVectors = (NS + 3) / 4;
    __m256d g[NIN][kVectors];

    AVX2_FN explicit Mixer(const DecoderCoefficients& c)
    {
        for (uint32_t ch = 0; ch < NIN; ++ch) {
            for (uint32_t v = 0; v < kVectors; ++v) {
                alignas(32) double lane[4];
                for (uint32_t k = 0; k < 4; ++k) lane[k] = 4 * v + k < NS ? c.Gains[ch][4 * v + k] : 0.0;
                g[ch][v] = _mm256_load_pd(lane);
            }
        }
    }

    // Each speaker accumulated from 0.0 in channel order, as in the plain loop. Adding the
    // first product to 0.0 only turns a -0.0 into +0.0, and the sums then differ at most in
    // the sign of a zero, so a sink that stores integers (kSignOfZero false) skips it. For the
    // same reason such a sink may leave out Z (kWithZ false) when its gains are all 0 and Z is
    // finite: each of its products is then a zero.
    template <bool kSignOfZero, bool kWithZ>
    AVX2_INLINE void Apply(__m256d r, __m256d (&acc)[kVectors]) const
    {
        const __m256d w = _mm256_permute4x64_pd(r, 0x00);
        const __m256d x = _mm256_permute4x64_pd(r, 0x55);
        const __m256d y = _mm256_permute4x64_pd(r, 0xAA);
        for (uint32_t v = 0; v < kVectors; ++v) {
            __m256d sum = _mm256_mul_pd(g[0][v], w);
            if constexpr (kSignOfZero) sum = _mm256_add_pd(sum, _mm256_setzero_pd());
            sum = _mm256_add_pd(_mm256_mul_pd(g[1][v], x), sum);
            sum = _mm256_add_pd(_mm256_mul_pd(g[2][v], y), sum);
            if constexpr (NIN == 4 && kWithZ) sum = _mm256_add_pd(_mm256_mul_pd(g[3][v], _mm256_permute4x64_pd(r, 0xFF)), sum);
            acc[v] = sum;
        }
    }
};

// The unshelved turned Z of a folded turn (FrameShelves::TurnedZ) into the speakers through
// the table's Z gains, added after the mix as FoldedBlockPlain adds it.
template <uint32_t NS>
struct TurnedZMixer {
    static constexpr uint32_t kVectors = (NS + 3) / 4;
    __m256d g[kVectors];

    // `gains`: NS gains, or null for none.
    AVX2_FN explicit TurnedZMixer(const double* gains)
    {
        for (uint32_t v = 0; v < kVectors; ++v) {
            alignas(32) double lane[4];
            for (uint32_t k = 0; k < 4; ++k) lane[k] = gains && 4 * v + k < NS ? gains[4 * v + k] : 0.0;
            g[v] = _mm256_load_pd(lane);
        }
    }

    AVX2_INLINE void Add(__m256d z, __m256d (&acc)[kVectors]) const
    {
        for (uint32_t v = 0; v < kVectors; ++v) acc[v] = _mm256_add_pd(_mm256_mul_pd(g[v], z), acc[v]);
    }
};

// Six or eight speakers of a folded turn by mirrored pairs (FoldedPairs): the sums of the
// first half in one register, a + b for them and a - b for the second half, as
// FoldedBlockPlain forms them.
template <Turning kTurning, uint32_t NS>
struct PairedMixer {
    static constexpr uint32_t kHalf = NS / 2;
    __m256d g[4], zg;

    AVX2_FN PairedMixer(const DecoderCoefficients& c, const double* zGains)
    {
        alignas(32) double lane[4];
        for (int ch = 0; ch < 5; ++ch) {
            const double* row = ch < 4 ? c.Gains[ch] : zGains;
            for (uint32_t k = 0; k < 4; ++k) lane[k] = row && k < kHalf ? row[k] : 0.0;
            (ch < 4 ? g[ch] : zg) = _mm256_load_pd(lane);
        }
    }

    AVX2_INLINE void Apply(__m256d r, __m256d turnedZ, __m256d (&acc)[2]) const
    {
        const __m256d w = _mm256_mul_pd(g[0], _mm256_permute4x64_pd(r, 0x00));
        __m256d xyz = _mm256_add_pd(_mm256_mul_pd(g[1], _mm256_permute4x64_pd(r, 0x55)),
                                    _mm256_mul_pd(g[2], _mm256_permute4x64_pd(r, 0xAA)));
        xyz = _mm256_add_pd(xyz, _mm256_mul_pd(g[3], _mm256_permute4x64_pd(r, 0xFF)));
        __m256d a = w, b = xyz;
        if constexpr (kTurning == Turning::FoldedRings) {
            a = _mm256_add_pd(w, xyz);
            b = _mm256_mul_pd(zg, turnedZ);
        }
        const __m256d first = _mm256_add_pd(a, b), second = _mm256_sub_pd(a, b);
        if constexpr (NS == 8) {
            acc[0] = first;
            acc[1] = second;
        } else {
            // Six: speakers 0..2 and 3 in the first register, 4 and 5 in the second.
            acc[0] = _mm256_blend_pd(first, _mm256_permute4x64_pd(second, 0x00), 0x8);
            acc[1] = _mm256_permute4x64_pd(second, 0xF9);
        }
    }
};

// ---- Interleaved input -------------------------------------------------------------------
//
// Load() may read up to 16 bytes from the frame's start, never more than one frame beyond
// it, so it serves every frame but the last; LoadExact() reads exactly one frame.

template <class F>
AVX2_INLINE __m256d LoadFrame(const uint8_t* p)
{
    if constexpr (F::kFormat == SampleFormat::Pcm16) {
        return _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    } else if constexpr (F::kFormat == SampleFormat::Pcm24) {
        // Three bytes per sample into the top of each 32-bit lane.
        const __m128i spread = _mm_setr_epi8(-128, 0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11);
        return _mm256_cvtepi32_pd(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), spread));
    } else if constexpr (F::kFormat == SampleFormat::Pcm32) {
        return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    } else {
        return _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(p)));
    }
}

template <class F, uint32_t NIN>
struct InterleavedSource {
    static constexpr size_t kFrameBytes = NIN * F::kBytes;
    const uint8_t* p;

    AVX2_INLINE __m256d Load(size_t f) const { return LoadFrame<F>(p + f * kFrameBytes); }
    AVX2_INLINE __m256d LoadExact(size_t f) const
    {
        alignas(16) uint8_t frame[16] = {};
        std::memcpy(frame, p + f * kFrameBytes, kFrameBytes);
        return LoadFrame<F>(frame);
    }
    AVX2_INLINE void WriteBack(size_t, __m256d) const {}
};

// ---- Interleaved output ------------------------------------------------------------------
//
// Store() may write past the frame's end, by less than one frame (the next frame's store
// overwrites it), so it serves every frame but the last; StoreExact() writes exactly one
// frame. Integer lanes clamp v + 0.5 to the format's range in doubles (NaN to 0 when the range
// is MayBeNaN) before the truncating conversion, which for whole-number bounds equals the plain
// loop's clamp-then-truncate. In the Int32 range 16-bit lanes skip the clamp: v + 0.5
// truncates exactly to a 32-bit integer, and the pack to 16 bits saturates that as the clamp
// would.

// What the sums of a decode can be: anything (float input can carry NaN and infinity),
// finite, or finite with v + 0.5 inside the 32-bit integer range.
enum class Range { MayBeNaN, Finite, Int32 };

template <class F, uint32_t NS, Range kRange>
AVX2_INLINE void Saturate(const __m256d (&acc)[(NS + 3) / 4], __m128i (&t)[(NS + 3) / 4])
{
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d lowest = _mm256_set1_pd(F::kLowest);
    const __m256d highest = _mm256_set1_pd(F::kHighest);
    for (uint32_t k = 0; k < (NS + 3) / 4; ++k) {
        __m256d v = _mm256_add_pd(acc[k], half);
        if constexpr (kRange == Range::MayBeNaN) v = _mm256_and_pd(v, _mm256_cmp_pd(v, v, _CMP_ORD_Q));
        v = _mm256_min_pd(_mm256_max_pd(v, lowest), highest);
        t[k] = _mm256_cvttpd_epi32(v);
    }
}

inline void Store16(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
inline void Store8(uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }

template <class F, uint32_t NS, Range kRange>
AVX2_INLINE void StoreFrame(uint8_t* p, const __m256d (&acc)[(NS + 3) / 4])
{
    static_assert(NS == 4 || NS == 6 || NS == 8, "speaker counts with a 256-bit loop");
    if constexpr (F::kFormat == SampleFormat::Float32) {
        const __m128 a = _mm256_cvtpd_ps(acc[0]);
        _mm_storeu_ps(reinterpret_cast<float*>(p), a);
        if constexpr (NS == 6) _mm_storel_pi(reinterpret_cast<__m64*>(p + 16), _mm256_cvtpd_ps(acc[1]));
        if constexpr (NS == 8) _mm_storeu_ps(reinterpret_cast<float*>(p + 16), _mm256_cvtpd_ps(acc[1]));
    } else if constexpr (F::kFormat == SampleFormat::Pcm16 && kRange == Range::Int32) {
        const __m256d half = _mm256_set1_pd(0.5);
        const __m128i a = _mm256_cvttpd_epi32(_mm256_add_pd(acc[0], half));
        if constexpr (NS == 4) {
            Store8(p, _mm_packs_epi32(a, a));
        } else {
            Store16(p, _mm_packs_epi32(a, _mm256_cvttpd_epi32(_mm256_add_pd(acc[1], half))));  // 6: 4 bytes over
        }
    } else {
        __m128i t[(NS + 3) / 4];
        Saturate<F, NS, kRange>(acc, t);
        if constexpr (F::kFormat == SampleFormat::Pcm16) {
            const __m128i low16 = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -128, -128, -128, -128, -128, -128, -128, -128);
            const __m128i a = _mm_shuffle_epi8(t[0], low16);
            if constexpr (NS == 4) {
                Store8(p, a);
            } else {
                Store16(p, _mm_unpacklo_epi64(a, _mm_shuffle_epi8(t[1], low16)));  // 6 speakers: 4 bytes over
            }
        } else if constexpr (F::kFormat == SampleFormat::Pcm24) {
            const __m128i top24 = _mm_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -128, -128, -128, -128);
            Store16(p, _mm_shuffle_epi8(t[0], top24));
            if constexpr (NS > 4) Store16(p + 12, _mm_shuffle_epi8(t[1], top24));
        } else {
            Store16(p, t[0]);
            if constexpr (NS == 6) Store8(p + 16, t[1]);
            if constexpr (NS == 8) Store16(p + 16, t[1]);
        }
    }
}

template <class F, uint32_t NS, Range kRange>
struct InterleavedSink {
    static constexpr bool kSignOfZero = F::kFormat == SampleFormat::Float32;
    // Four 16-bit speakers from sums in the 32-bit range: two frames take one pack and one
    // 16-byte store.
    static constexpr bool kStoresPairs = F::kFormat == SampleFormat::Pcm16 && NS == 4 && kRange == Range::Int32;
    static constexpr size_t kFrameBytes = NS * F::kBytes;
    uint8_t* p;

    // Frames f and f + 1, exactly; kStoresPairs only.
    AVX2_INLINE void StorePair(size_t f, const __m256d (&first)[1], const __m256d (&second)[1]) const
    {
        const __m256d half = _mm256_set1_pd(0.5);
        const __m128i a = _mm256_cvttpd_epi32(_mm256_add_pd(first[0], half));
        const __m128i b = _mm256_cvttpd_epi32(_mm256_add_pd(second[0], half));
        Store16(p + f * kFrameBytes, _mm_packs_epi32(a, b));
    }

    AVX2_INLINE void Store(size_t f, const __m256d (&acc)[(NS + 3) / 4]) const
    {
        StoreFrame<F, NS, kRange>(p + f * kFrameBytes, acc);
    }
    AVX2_INLINE void StoreExact(size_t f, const __m256d (&acc)[(NS + 3) / 4]) const
    {
        alignas(16) uint8_t frame[kFrameBytes + 16];
        StoreFrame<F, NS, kRange>(frame, acc);
        std::memcpy(p + f * kFrameBytes, frame, kFrameBytes);
    }
};

// ---- Planes ------------------------------------------------------------------------------

template <uint32_t NIN>
struct PlaneSource {
    double* const* in;

    AVX2_INLINE __m256d Load(size_t f) const
    {
        return _mm256_setr_pd(in[0][f], in[1][f], in[2][f], NIN == 4 ? in[3][f] : 0.0);
    }
    AVX2_INLINE __m256d LoadExact(size_t f) const { return Load(f); }
    AVX2_INLINE void WriteBack(size_t f, __m256d r) const
    {
        const __m128d wx = _mm256_castpd256_pd128(r);
        _mm_storel_pd(in[0] + f, wx);
        _mm_storeh_pd(in[1] + f, wx);
        _mm_storel_pd(in[2] + f, _mm256_extractf128_pd(r, 1));
    }
};

template <uint32_t NS>
struct PlaneSink {
    static constexpr bool kSignOfZero = true;
    static constexpr bool kStoresPairs = false;
    AVX2_INLINE void StorePair(size_t, const __m256d (&)[(NS + 3) / 4], const __m256d (&)[(NS + 3) / 4]) const {}
    double* const* out;

    AVX2_INLINE void Store(size_t f, const __m256d (&acc)[(NS + 3) / 4]) const
    {
        for (uint32_t k = 0; k < (NS + 3) / 4; ++k) {
            const __m128d lo = _mm256_castpd256_pd128(acc[k]);
            const __m128d hi = _mm256_extractf128_pd(acc[k], 1);
            _mm_storel_pd(out[4 * k] + f, lo);
            _mm_storeh_pd(out[4 * k + 1] + f, lo);
            if (4 * k + 2 < NS) {
                _mm_storel_pd(out[4 * k + 2] + f, hi);
                _mm_storeh_pd(out[4 * k + 3] + f, hi);
            }
        }
    }
    AVX2_INLINE void StoreExact(size_t f, const __m256d (&acc)[(NS + 3) / 4]) const { Store(f, acc); }
};

// ---- The loop ----------------------------------------------------------------------------

// How a loop may depart from the plain loops' operations: not at all (Exact), or, for an
// integer sink whose sums stay finite, where only the sign of a zero or an amount below
// 2^-1000 changes (IntegerOut: halved shelf gains; IntegerOutWithoutZ: also Z left out).
enum class Shortcuts { Exact, IntegerOut, IntegerOutWithoutZ };

// Source and sink are taken by value: as locals their pointers stay in registers, where
// through references every store to the output would make the loop reload them.
template <uint32_t NIN, uint32_t NS, Shortcuts kShortcuts = Shortcuts::Exact, Turning kTurning = Turning::None,
          class Source, class Sink>
AVX2_FN void Run(KernelState& state, const Source src, const Sink dst, size_t n)
{
    constexpr bool kHalvedGains = kShortcuts != Shortcuts::Exact;
    [[maybe_unused]] constexpr bool kWithZ = kShortcuts != Shortcuts::IntegerOutWithoutZ;
    FrameShelves<kTurning, kHalvedGains> shelf(state);
    const Mixer<NIN, NS> mix(*state.coefficients);
    const TurnedZMixer<NS> zMix(kTurning == Turning::FoldedWithZ ? state.zGains : nullptr);
    constexpr bool kPaired = kTurning == Turning::FoldedAntipodal || kTurning == Turning::FoldedRings;
    static_assert(!kPaired || NS == 6 || NS == 8, "mirrored pairs of six or eight speakers");
    const PairedMixer<kTurning, NS> pairs(*state.coefficients, kTurning == Turning::FoldedRings ? state.zGains : nullptr);
    // Frame v through the shelves into acc, writing the shelved channels back to a planar source.
    const auto decode = [&](size_t f, __m256d v, __m256d(&acc)[(NS + 3) / 4]) AVX2_LAMBDA {
        const __m256d r = shelf(v);
        src.WriteBack(f, r);
        if constexpr (kPaired) {
            const __m256d turnedZ = kTurning == Turning::FoldedRings ? shelf.TurnedZ(v) : _mm256_setzero_pd();
            pairs.Apply(r, turnedZ, acc);
        } else {
            mix.template Apply<Sink::kSignOfZero, kWithZ>(r, acc);
            if constexpr (kTurning == Turning::FoldedWithZ) zMix.Add(shelf.TurnedZ(v), acc);
        }
    };
    __m256d acc[(NS + 3) / 4];
    size_t f = 0;
    if constexpr (Sink::kStoresPairs) {
        __m256d next[(NS + 3) / 4];
        for (; f + 2 < n; f += 2) {
            decode(f, src.Load(f), acc);
            decode(f + 1, src.Load(f + 1), next);
            dst.StorePair(f, acc, next);
        }
    }
    for (; f + 1 < n; ++f) {
        decode(f, src.Load(f), acc);
        dst.Store(f, acc);
    }
    decode(f, src.LoadExact(f), acc);
    dst.StoreExact(f, acc);
    SaveShelves(shelf.sh, state.shelves);
}

// Integer samples into an integer sink whose sums stay finite.
template <uint32_t NIN, uint32_t NS, Turning kTurning, class Source, class Sink>
void RunFinite(KernelState& state, const Source& src, const Sink& dst, size_t n)
{
    static_assert(!Sink::kSignOfZero, "an integer sink");
    if (NIN == 3 || !UsesZ(state)) Run<NIN, NS, Shortcuts::IntegerOutWithoutZ, kTurning>(state, src, dst, n);
    else Run<NIN, NS, Shortcuts::IntegerOut, kTurning>(state, src, dst, n);
}

// The whole path from frames of F, into the sink the sums allow, with the state's turn decoded
// as kTurning says.
template <uint32_t NIN, uint32_t NS, Turning kTurning, class F>
void FramesOf(KernelState& state, const uint8_t* src, uint8_t* dst, size_t frames)
{
    constexpr Shortcuts kExact = Shortcuts::Exact;
    const InterleavedSource<F, NIN> in{src};
    if constexpr (F::kFormat == SampleFormat::Float32) {
        Run<NIN, NS, kExact, kTurning>(state, in, InterleavedSink<F, NS, Range::MayBeNaN>{dst}, frames);
    } else if (!IntegerDecodeStaysFinite(state)) {
        Run<NIN, NS, kExact, kTurning>(state, in, InterleavedSink<F, NS, Range::MayBeNaN>{dst}, frames);
    } else if constexpr (F::kFormat == SampleFormat::Pcm16) {
        if (Pcm16DecodeStaysInInt32(state))
            RunFinite<NIN, NS, kTurning>(state, in, InterleavedSink<F, NS, Range::Int32>{dst}, frames);
        else
            RunFinite<NIN, NS, kTurning>(state, in, InterleavedSink<F, NS, Range::Finite>{dst}, frames);
    } else {
        RunFinite<NIN, NS, kTurning>(state, in, InterleavedSink<F, NS, Range::Finite>{dst}, frames);
    }
}

template <uint32_t NIN, uint32_t NS>
void Frames(KernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    WithFormat(format, [&](auto traits) {
        using F = decltype(traits);
        constexpr bool kPairs = NS == 6 || NS == 8;
        const FoldedPairs pairs = kPairs ? state.foldedPairs : FoldedPairs::None;
        if (NIN == 4 && state.foldedTurn && pairs == FoldedPairs::Rings)
            FramesOf<NIN, NS, kPairs ? Turning::FoldedRings : Turning::Folded, F>(state, src, dst, frames);
        else if (NIN == 4 && state.foldedTurn && pairs == FoldedPairs::Antipodal)
            FramesOf<NIN, NS, kPairs ? Turning::FoldedAntipodal : Turning::Folded, F>(state, src, dst, frames);
        else if (NIN == 4 && state.foldedTurn && state.turnedZ)
            FramesOf<NIN, NS, Turning::FoldedWithZ, F>(state, src, dst, frames);
        else if (NIN == 4 && state.foldedTurn) FramesOf<NIN, NS, Turning::Folded, F>(state, src, dst, frames);
        else FramesOf<NIN, NS, Turning::None, F>(state, src, dst, frames);
    });
}

template <uint32_t NIN, uint32_t NS>
void Block(KernelState& state, double* const* in, double* const* out, int32_t n)
{
    if (state.foldedTurn) {
        FoldedBlockPlain(state, in, out, n);
        return;
    }
    Run<NIN, NS>(state, PlaneSource<NIN>{in}, PlaneSink<NS>{out}, static_cast<size_t>(n));
}

template <uint32_t NIN, uint32_t NS>
const DecodeKernel kAvx2 = {InstructionSet::Avx2, Block<NIN, NS>, Frames<NIN, NS>};

// ---- 512-bit mixing of frame pairs -------------------------------------------------------
//
// Four 16-bit speakers from sums in the 32-bit range, as RunFinite with the Int32 sink, but
// the gain matrix of two frames in one 512-bit register: W, X, Y (and Z) of frame f spread
// over lanes 0..3 and those of frame f + 1 over lanes 4..7. Every lane performs the 256-bit
// loop's operations in their order.

#define AVX512_FN __attribute__((target("avx2,avx512f")))

template <uint32_t NIN, bool kWithZ, Turning kTurning>
AVX512_FN void RunPairs512(KernelState& state, const InterleavedSource<Pcm16Format, NIN> src, uint8_t* dst, size_t n)
{
    const InterleavedSink<Pcm16Format, 4, Range::Int32> sink{dst};
    FrameShelves<kTurning, true> shelf(state);
    const Mixer<NIN, 4> mix(*state.coefficients);
    __m512d g[NIN];
    for (uint32_t ch = 0; ch < NIN; ++ch) {
        alignas(64) double lanes[8];
        for (uint32_t k = 0; k < 8; ++k) lanes[k] = state.coefficients->Gains[ch][k % 4];
        g[ch] = _mm512_load_pd(lanes);
    }
    // Lane k of the first frame's register (0..3) or of the second's (8..11), four times each.
    const __m512i w = _mm512_setr_epi64(0, 0, 0, 0, 8, 8, 8, 8), x = _mm512_setr_epi64(1, 1, 1, 1, 9, 9, 9, 9),
                  y = _mm512_setr_epi64(2, 2, 2, 2, 10, 10, 10, 10), z = _mm512_setr_epi64(3, 3, 3, 3, 11, 11, 11, 11);
    const __m512d half = _mm512_set1_pd(0.5);
    size_t f = 0;
    for (; f + 2 < n; f += 2) {
        const __m512d a = _mm512_castpd256_pd512(shelf(src.Load(f)));
        const __m512d b = _mm512_castpd256_pd512(shelf(src.Load(f + 1)));
        __m512d sum = _mm512_mul_pd(g[0], _mm512_permutex2var_pd(a, w, b));
        sum = _mm512_add_pd(_mm512_mul_pd(g[1], _mm512_permutex2var_pd(a, x, b)), sum);
        sum = _mm512_add_pd(_mm512_mul_pd(g[2], _mm512_permutex2var_pd(a, y, b)), sum);
        if constexpr (NIN == 4 && kWithZ) sum = _mm512_add_pd(_mm512_mul_pd(g[NIN - 1], _mm512_permutex2var_pd(a, z, b)), sum);
        // The masked form of the conversion: the plain one trips GCC 12's uninitialised-value
        // warning inside its header.
        const __m256i t = _mm512_maskz_cvttpd_epi32(0xFF, _mm512_add_pd(sum, half));
        Store16(dst + f * decltype(sink)::kFrameBytes,
                _mm_packs_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1)));
    }
    __m256d acc[1];
    for (; f + 1 < n; ++f) {
        mix.template Apply<false, kWithZ>(shelf(src.Load(f)), acc);
        sink.Store(f, acc);
    }
    mix.template Apply<false, kWithZ>(shelf(src.LoadExact(f)), acc);
    sink.StoreExact(f, acc);
    SaveShelves(shelf.sh, state.shelves);
}

// The 256-bit whole path, but four 16-bit speakers from sums in the 32-bit range by pairs.
template <uint32_t NIN, uint32_t NS>
void Frames512(KernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    if (NS == 4 && format == SampleFormat::Pcm16 && !state.turnedZ && IntegerDecodeStaysFinite(state) &&
        Pcm16DecodeStaysInInt32(state)) {
        const InterleavedSource<Pcm16Format, NIN> in{src};
        const bool withZ = NIN == 4 && UsesZ(state);
        if (NIN == 4 && state.foldedTurn) {
            if (withZ) RunPairs512<NIN, true, Turning::Folded>(state, in, dst, frames);
            else RunPairs512<NIN, false, Turning::Folded>(state, in, dst, frames);
        } else {
            if (withZ) RunPairs512<NIN, true, Turning::None>(state, in, dst, frames);
            else RunPairs512<NIN, false, Turning::None>(state, in, dst, frames);
        }
        return;
    }
    Frames<NIN, NS>(state, format, src, dst, frames);
}

template <uint32_t NIN, uint32_t NS>
const DecodeKernel kAvx512 = {InstructionSet::Avx512, Block<NIN, NS>, Frames512<NIN, NS>};

template <uint32_t NIN>
const DecodeKernel* Kernel512For(uint32_t speakers)
{
    switch (speakers) {
    case 4: return &kAvx512<NIN, 4>;
    case 6: return &kAvx512<NIN, 6>;
    case 8: return &kAvx512<NIN, 8>;
    default: return nullptr;
    }
}

template <uint32_t NIN>
const DecodeKernel* KernelFor(uint32_t speakers)
{
    switch (speakers) {
    case 4: return &kAvx2<NIN, 4>;
    case 6: return &kAvx2<NIN, 6>;
    case 8: return &kAvx2<NIN, 8>;
    default: return nullptr;
    }
}

// The processor (and operating system) runs 256-bit instructions.
bool Supported()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
}

// The processor (and operating system) also runs 512-bit instructions.
bool Supported512()
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return Supported() && __builtin_cpu_supports("avx512f") != 0;
    }();
    return supported;
}

}  // namespace

const DecodeKernel* Avx512Kernel(uint32_t inChannels, uint32_t speakers)
{
    if (!Supported512()) return nullptr;
    if (inChannels == 4) return Kernel512For<4>(speakers);
    if (inChannels == 3) return Kernel512For<3>(speakers);
    return nullptr;
}

const DecodeKernel* Avx2Kernel(uint32_t inChannels, uint32_t speakers)
{
    if (!Supported()) return nullptr;
    if (inChannels == 4) return KernelFor<4>(speakers);
    if (inChannels == 3) return KernelFor<3>(speakers);
    return nullptr;
}

#else  // no 256-bit loops in this build

const DecodeKernel* Avx2Kernel(uint32_t, uint32_t) { return nullptr; }
const DecodeKernel* Avx512Kernel(uint32_t, uint32_t) { return nullptr; }

#endif

}  // namespace kernels
}  // namespace decoder
