// The 128-bit loops: the three shelves in one pass, the gain matrix two frames per vector and
// the conversions two frames at a time, over short runs that stay in the first-level cache
// from conversion to decode to conversion. Every lane performs the plain loops' operations in
// their order, so the bits are theirs.
#include "decoder/kernels/kernels.h"

#include <cstring>

#if defined(__SSE2__) && !defined(DURAZODO_NO_X86_VECTOR)
#include <emmintrin.h>
#endif

namespace decoder {
namespace kernels {

#if defined(__SSE2__) && !defined(DURAZODO_NO_X86_VECTOR)

namespace {

// ---- Conversions per format ------------------------------------------------------------
//
// Load2/Load4/Load8 read 2, 4 or 8 consecutive samples (exactly their bytes, never more) into
// vectors of two doubles, samples 0,1 in the first. Store4/Store8 write 4 or 8 samples from
// such vectors. Integer stores clamp v + 0.5 to the format's range in doubles (NaN to 0,
// unless kMayBeNaN is false) before the truncating conversion: for whole-number bounds,
// truncating the clamped value equals clamping the truncated one, so every lane matches the
// plain loop's FromDouble.

inline __m128i LoadBytes4(const uint8_t* p)
{
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

inline __m128i LoadBytes8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline __m128i LoadBytes16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// v + 0.5 truncated toward zero and limited to F's range, for both lanes, in the low half of
// the result; NaN gives 0.
template <class F, bool kMayBeNaN>
inline __m128i Saturate2(__m128d v)
{
    __m128d t = _mm_add_pd(v, _mm_set1_pd(0.5));
    if constexpr (kMayBeNaN) t = _mm_and_pd(t, _mm_cmpeq_pd(t, t));
    t = _mm_min_pd(_mm_max_pd(t, _mm_set1_pd(F::kLowest)), _mm_set1_pd(F::kHighest));
    return _mm_cvttpd_epi32(t);
}

// Samples 0..3 of Saturate2, in four lanes.
template <class F, bool kMayBeNaN>
inline __m128i Saturate4(__m128d a, __m128d b)
{
    return _mm_unpacklo_epi64(Saturate2<F, kMayBeNaN>(a), Saturate2<F, kMayBeNaN>(b));
}

// Sign-extends the low (high) four 16-bit lanes of x to 32 bits.
inline __m128i WidenLow16(__m128i x) { return _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16); }
inline __m128i WidenHigh16(__m128i x) { return _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16); }

// Load8 and Store8 as two groups of four, for formats whose vectors work four samples at a time.
template <class V>
struct InFours {
    static void Load8(const uint8_t* p, __m128d& a, __m128d& b, __m128d& c, __m128d& d)
    {
        V::Load4(p, a, b);
        V::Load4(p + 4 * V::F::kBytes, c, d);
    }
    template <bool kMayBeNaN>
    static void Store8(uint8_t* p, __m128d a, __m128d b, __m128d c, __m128d d)
    {
        V::template Store4<kMayBeNaN>(p, a, b);
        V::template Store4<kMayBeNaN>(p + 4 * V::F::kBytes, c, d);
    }
};

struct Pcm16Vec {
    using F = Pcm16Format;
    static __m128d Load2(const uint8_t* p) { return _mm_cvtepi32_pd(WidenLow16(LoadBytes4(p))); }
    static void Load4(const uint8_t* p, __m128d& a, __m128d& b)
    {
        const __m128i w = WidenLow16(LoadBytes8(p));
        a = _mm_cvtepi32_pd(w);
        b = _mm_cvtepi32_pd(_mm_shuffle_epi32(w, 0xEE));
    }
    static void Load8(const uint8_t* p, __m128d& a, __m128d& b, __m128d& c, __m128d& d)
    {
        const __m128i x = LoadBytes16(p);
        const __m128i lo = WidenLow16(x);
        const __m128i hi = WidenHigh16(x);
        a = _mm_cvtepi32_pd(lo);
        b = _mm_cvtepi32_pd(_mm_shuffle_epi32(lo, 0xEE));
        c = _mm_cvtepi32_pd(hi);
        d = _mm_cvtepi32_pd(_mm_shuffle_epi32(hi, 0xEE));
    }
    template <bool kMayBeNaN>
    static void Store4(uint8_t* p, __m128d a, __m128d b)
    {
        const __m128i t = Saturate4<F, kMayBeNaN>(a, b);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(t, t));
    }
    template <bool kMayBeNaN>
    static void Store8(uint8_t* p, __m128d a, __m128d b, __m128d c, __m128d d)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(Saturate4<F, kMayBeNaN>(a, b), Saturate4<F, kMayBeNaN>(c, d)));
    }
};

struct Pcm24Vec : InFours<Pcm24Vec> {
    using F = Pcm24Format;
    static __m128d Load2(const uint8_t* p) { return _mm_cvtepi32_pd(_mm_setr_epi32(F::Word(p), F::Word(p + 3), 0, 0)); }
    static void Load4(const uint8_t* p, __m128d& a, __m128d& b)
    {
        const __m128i w = _mm_setr_epi32(F::Word(p), F::Word(p + 3), F::Word(p + 6), F::Word(p + 9));
        a = _mm_cvtepi32_pd(w);
        b = _mm_cvtepi32_pd(_mm_shuffle_epi32(w, 0xEE));
    }
    template <bool kMayBeNaN>
    static void Store4(uint8_t* p, __m128d a, __m128d b)
    {
        const __m128i t = Saturate4<F, kMayBeNaN>(a, b);
        alignas(16) uint32_t w[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(w), _mm_srli_epi32(t, 8));
        // Each 4-byte store spills one byte into the next sample, which the next store
        // overwrites; the last sample is written with exactly its three bytes.
        std::memcpy(p, &w[0], 4);
        std::memcpy(p + 3, &w[1], 4);
        std::memcpy(p + 6, &w[2], 4);
        std::memcpy(p + 9, &w[3], 3);
    }
};

struct Pcm32Vec : InFours<Pcm32Vec> {
    using F = Pcm32Format;
    static __m128d Load2(const uint8_t* p) { return _mm_cvtepi32_pd(LoadBytes8(p)); }
    static void Load4(const uint8_t* p, __m128d& a, __m128d& b)
    {
        const __m128i w = LoadBytes16(p);
        a = _mm_cvtepi32_pd(w);
        b = _mm_cvtepi32_pd(_mm_shuffle_epi32(w, 0xEE));
    }
    template <bool kMayBeNaN>
    static void Store4(uint8_t* p, __m128d a, __m128d b)
    {
        const __m128i t = Saturate4<F, kMayBeNaN>(a, b);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), t);
    }
};

struct Float32Vec : InFours<Float32Vec> {
    using F = Float32Format;
    static __m128d Load2(const uint8_t* p) { return _mm_cvtps_pd(_mm_castsi128_ps(LoadBytes8(p))); }
    static void Load4(const uint8_t* p, __m128d& a, __m128d& b)
    {
        const __m128 x = _mm_castsi128_ps(LoadBytes16(p));
        a = _mm_cvtps_pd(x);
        b = _mm_cvtps_pd(_mm_movehl_ps(x, x));
    }
    template <bool kMayBeNaN>
    static void Store4(uint8_t* p, __m128d a, __m128d b)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                         _mm_castps_si128(_mm_movelh_ps(_mm_cvtpd_ps(a), _mm_cvtpd_ps(b))));
    }
};

template <class F> struct VecOf;
template <> struct VecOf<Pcm16Format> { using Type = Pcm16Vec; };
template <> struct VecOf<Pcm24Format> { using Type = Pcm24Vec; };
template <> struct VecOf<Pcm32Format> { using Type = Pcm32Vec; };
template <> struct VecOf<Float32Format> { using Type = Float32Vec; };

// ---- Deinterleave two frames at a time ---------------------------------------------------

template <class F>
void Deinterleave4(const uint8_t* src, int32_t n, double* const* planes)
{
    using V = typename VecOf<F>::Type;
    double* const w = planes[0];
    double* const x = planes[1];
    double* const y = planes[2];
    double* const z = planes[3];
    int32_t f = 0;
    for (; f + 2 <= n; f += 2) {
        // (W0 X0) (Y0 Z0) (W1 X1) (Y1 Z1)
        __m128d a, b, c, d;
        V::Load8(src + static_cast<size_t>(f) * 4 * F::kBytes, a, b, c, d);
        _mm_storeu_pd(w + f, _mm_unpacklo_pd(a, c));
        _mm_storeu_pd(x + f, _mm_unpackhi_pd(a, c));
        _mm_storeu_pd(y + f, _mm_unpacklo_pd(b, d));
        _mm_storeu_pd(z + f, _mm_unpackhi_pd(b, d));
    }
    DeinterleaveFrames<F>(src, f, n, 4, planes);
}

template <class F>
void Deinterleave3(const uint8_t* src, int32_t n, double* const* planes)
{
    using V = typename VecOf<F>::Type;
    double* const w = planes[0];
    double* const x = planes[1];
    double* const y = planes[2];
    int32_t f = 0;
    for (; f + 2 <= n; f += 2) {
        // (W0 X0) (Y0 W1) (X1 Y1)
        const uint8_t* p = src + static_cast<size_t>(f) * 3 * F::kBytes;
        __m128d a, b;
        V::Load4(p, a, b);
        const __m128d c = V::Load2(p + 4 * F::kBytes);
        _mm_storeu_pd(w + f, _mm_shuffle_pd(a, b, 2));
        _mm_storeu_pd(x + f, _mm_shuffle_pd(a, c, 1));
        _mm_storeu_pd(y + f, _mm_shuffle_pd(b, c, 2));
    }
    DeinterleaveFrames<F>(src, f, n, 3, planes);
}

// ---- Interleave two frames at a time -----------------------------------------------------
//
// With P[s] = frames (f, f+1) of speaker s, unpacklo(P[s], P[s+1]) is frame f's samples s and
// s+1, unpackhi the same for frame f+1.

template <class F, uint32_t N, bool kMayBeNaN>
void InterleaveEven(double* const* planes, int32_t n, uint8_t* dst)
{
    static_assert(N == 4 || N == 6 || N == 8, "speaker counts with a vector path");
    using V = typename VecOf<F>::Type;
    constexpr size_t frameBytes = N * F::kBytes;
    int32_t f = 0;
    for (; f + 2 <= n; f += 2) {
        __m128d v[N];
        for (uint32_t k = 0; k < N / 2; ++k) {
            const __m128d p0 = _mm_loadu_pd(planes[2 * k] + f);
            const __m128d p1 = _mm_loadu_pd(planes[2 * k + 1] + f);
            v[k] = _mm_unpacklo_pd(p0, p1);
            v[k + N / 2] = _mm_unpackhi_pd(p0, p1);
        }
        uint8_t* p = dst + static_cast<size_t>(f) * frameBytes;
        if constexpr (N == 4) {
            V::template Store8<kMayBeNaN>(p, v[0], v[1], v[2], v[3]);
        } else if constexpr (N == 6) {
            V::template Store8<kMayBeNaN>(p, v[0], v[1], v[2], v[3]);
            V::template Store4<kMayBeNaN>(p + 8 * F::kBytes, v[4], v[5]);
        } else {
            V::template Store8<kMayBeNaN>(p, v[0], v[1], v[2], v[3]);
            V::template Store8<kMayBeNaN>(p + 8 * F::kBytes, v[4], v[5], v[6], v[7]);
        }
    }
    InterleaveFrames<F>(planes, N, f, n, dst);
}

// ---- Shelves ----------------------------------------------------------------------------
//
// W and X share one register (W in the low lane, X in the high lane); Y runs in the low lane
// of a second. The three recurrences are independent, so their latency chains overlap.

void ShelfThree(ShelfBank& bank, double* pw, double* px, double* py, int32_t count)
{
    const __m128d aWX = _mm_set_pd(bank.coefficient[1], bank.coefficient[0]);
    const __m128d lowWX = _mm_set_pd(bank.lowGain[1], bank.lowGain[0]);
    const __m128d highWX = _mm_set_pd(bank.highGain[1], bank.highGain[0]);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d aY = _mm_set_sd(bank.coefficient[2]);
    const __m128d lowY = _mm_set_sd(bank.lowGain[2]);
    const __m128d highY = _mm_set_sd(bank.highGain[2]);
    __m128d inWX = _mm_set_pd(bank.prevIn[1], bank.prevIn[0]);
    __m128d outWX = _mm_set_pd(bank.prevOut[1], bank.prevOut[0]);
    __m128d inY = _mm_set_sd(bank.prevIn[2]);
    __m128d outY = _mm_set_sd(bank.prevOut[2]);

    for (int32_t i = 0; i < count; ++i) {
        const __m128d sWX = _mm_loadh_pd(_mm_load_sd(pw + i), px + i);
        const __m128d pWX = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(aWX, sWX), inWX), _mm_mul_pd(aWX, outWX));
        inWX = sWX;
        outWX = pWX;
        const __m128d highBandWX = _mm_mul_pd(_mm_add_pd(sWX, pWX), half);
        const __m128d lowBandWX = _mm_mul_pd(_mm_sub_pd(sWX, pWX), half);
        const __m128d rWX = _mm_add_pd(_mm_mul_pd(lowBandWX, lowWX), _mm_mul_pd(highBandWX, highWX));
        _mm_store_sd(pw + i, rWX);
        _mm_storeh_pd(px + i, rWX);

        const __m128d sY = _mm_load_sd(py + i);
        const __m128d pY = _mm_add_sd(_mm_sub_sd(_mm_mul_sd(aY, sY), inY), _mm_mul_sd(aY, outY));
        inY = sY;
        outY = pY;
        const __m128d highBandY = _mm_mul_sd(_mm_add_sd(sY, pY), half);
        const __m128d lowBandY = _mm_mul_sd(_mm_sub_sd(sY, pY), half);
        _mm_store_sd(py + i, _mm_add_sd(_mm_mul_sd(lowBandY, lowY), _mm_mul_sd(highBandY, highY)));
    }

    _mm_storel_pd(&bank.prevIn[0], inWX);
    _mm_storeh_pd(&bank.prevIn[1], inWX);
    _mm_storel_pd(&bank.prevOut[0], outWX);
    _mm_storeh_pd(&bank.prevOut[1], outWX);
    _mm_storel_pd(&bank.prevIn[2], inY);
    _mm_storel_pd(&bank.prevOut[2], outY);
}

// The four shelves of a folded turn (the plain folded shelf's operations): W and X in one register,
// Y and Z in another.
void FoldedShelfFour(ShelfBank& bank, double* const* in, int32_t count)
{
    __m128d a[2], tilt[2], prevIn[2], prevOut[2];
    for (int k = 0; k < 2; ++k) {
        a[k] = _mm_loadu_pd(bank.coefficient + 2 * k);
        tilt[k] = _mm_loadu_pd(bank.highGain + 2 * k);
        prevIn[k] = _mm_loadu_pd(bank.prevIn + 2 * k);
        prevOut[k] = _mm_loadu_pd(bank.prevOut + 2 * k);
    }
    for (int32_t i = 0; i < count; ++i) {
        for (int k = 0; k < 2; ++k) {
            double* lo = in[2 * k] + i;
            double* hi = in[2 * k + 1] + i;
            const __m128d s = _mm_loadh_pd(_mm_load_sd(lo), hi);
            const __m128d p = _mm_add_pd(_mm_sub_pd(_mm_mul_pd(a[k], s), prevIn[k]), _mm_mul_pd(a[k], prevOut[k]));
            prevIn[k] = s;
            prevOut[k] = p;
            const __m128d r = _mm_add_pd(s, _mm_mul_pd(p, tilt[k]));
            _mm_store_sd(lo, r);
            _mm_storeh_pd(hi, r);
        }
    }
    for (int k = 0; k < 2; ++k) {
        _mm_storeu_pd(bank.prevIn + 2 * k, prevIn[k]);
        _mm_storeu_pd(bank.prevOut + 2 * k, prevOut[k]);
    }
}

// ---- Gain matrix --------------------------------------------------------------------------

// Two frames per vector for NIN inputs and NS speakers known at compile time (NS 0: the
// plain loop for any count). Each output is accumulated from 0.0 in channel order.
template <uint32_t NIN, uint32_t NS>
void Mix(const KernelState& state, double* const* in, double* const* out, int32_t n)
{
    int32_t f = 0;
    if constexpr (NS != 0) {
        const DecoderCoefficients& c = *state.coefficients;
        __m128d g[NIN][NS];
        for (uint32_t ch = 0; ch < NIN; ++ch)
            for (uint32_t s = 0; s < NS; ++s) g[ch][s] = _mm_set1_pd(c.Gains[ch][s]);
        const __m128d zero = _mm_setzero_pd();
        for (; f + 2 <= n; f += 2) {
            __m128d x[NIN];
            for (uint32_t ch = 0; ch < NIN; ++ch) x[ch] = _mm_loadu_pd(in[ch] + f);
            for (uint32_t s = 0; s < NS; ++s) {
                __m128d sum = _mm_add_pd(_mm_mul_pd(g[0][s], x[0]), zero);
                for (uint32_t ch = 1; ch < NIN; ++ch) sum = _mm_add_pd(_mm_mul_pd(g[ch][s], x[ch]), sum);
                _mm_storeu_pd(out[s] + f, sum);
            }
        }
    }
    MixPlain(state, in, out, f, n);
}

// The mirrored pairs of a folded turn (FoldedMixPlain's operations), two frames per vector.
template <uint32_t NS>
void PairedMix(const KernelState& state, double* const* in, double* const* out, int32_t n)
{
    constexpr uint32_t kHalf = NS / 2;
    const DecoderCoefficients& c = *state.coefficients;
    const bool rings = state.foldedPairs == FoldedPairs::Rings;
    __m128d g[4][kHalf], zg[kHalf];
    for (uint32_t s = 0; s < kHalf; ++s) {
        for (int ch = 0; ch < 4; ++ch) g[ch][s] = _mm_set1_pd(c.Gains[ch][s]);
        zg[s] = _mm_set1_pd(rings ? state.zGains[s] : 0.0);
    }
    int32_t f = 0;
    for (; f + 2 <= n; f += 2) {
        const __m128d w = _mm_loadu_pd(in[0] + f), x = _mm_loadu_pd(in[1] + f), y = _mm_loadu_pd(in[2] + f),
                      z = _mm_loadu_pd(in[3] + f);
        const __m128d turnedZ = rings ? _mm_loadu_pd(out[0] + f) : _mm_setzero_pd();
        for (uint32_t s = 0; s < kHalf; ++s) {
            const __m128d xyz =
                _mm_add_pd(_mm_add_pd(_mm_mul_pd(g[1][s], x), _mm_mul_pd(g[2][s], y)), _mm_mul_pd(g[3][s], z));
            const __m128d a = rings ? _mm_add_pd(_mm_mul_pd(g[0][s], w), xyz) : _mm_mul_pd(g[0][s], w);
            const __m128d b = rings ? _mm_mul_pd(zg[s], turnedZ) : xyz;
            _mm_storeu_pd(out[s] + f, _mm_add_pd(a, b));
            _mm_storeu_pd(out[s + kHalf] + f, _mm_sub_pd(a, b));
        }
    }
    FoldedMixPlain(state, in, out, f, n);
}

// The block decode of a folded turn: the shelves two channels per vector, the mix two frames
// per vector where the table's form has a loop here.
template <uint32_t NS>
void FoldedBlock(KernelState& state, double* const* in, double* const* out, int32_t n)
{
    TurnedZIntoFirstOutput(state, in, out, n);
    FoldedShelfFour(state.shelves, in, n);
    if constexpr (NS == 6 || NS == 8) {
        if (state.foldedPairs != FoldedPairs::None) return PairedMix<NS>(state, in, out, n);
    }
    if (!state.turnedZ) return Mix<4, NS>(state, in, out, n);
    FoldedMixPlain(state, in, out, 0, n);
}

// ---- The kernels --------------------------------------------------------------------------

template <bool kMayBeNaN>
void Interleave(double* const* planes, uint32_t channels, int32_t n, SampleFormat format, uint8_t* dst)
{
    WithFormat(format, [&](auto traits) {
        using F = decltype(traits);
        if (channels == 4) return InterleaveEven<F, 4, kMayBeNaN>(planes, n, dst);
        if (channels == 6) return InterleaveEven<F, 6, kMayBeNaN>(planes, n, dst);
        if (channels == 8) return InterleaveEven<F, 8, kMayBeNaN>(planes, n, dst);
        InterleaveFrames<F>(planes, channels, 0, n, dst);
    });
}

template <uint32_t NIN, uint32_t NS>
void Block(KernelState& state, double* const* in, double* const* out, int32_t n)
{
    if constexpr (NIN == 4) {
        if (state.foldedTurn) return FoldedBlock<NS>(state, in, out, n);
    }
    ShelfThree(state.shelves, in[0], in[1], in[2], n);
    Mix<NIN, NS>(state, in, out, n);
}

template <uint32_t NIN, uint32_t NS>
void Frames(KernelState& state, SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    constexpr size_t kRun = 256;
    const bool mayBeNaN = format == SampleFormat::Float32 || !IntegerDecodeStaysFinite(state);
    FramesThroughPlanes(state, format, src, dst, frames, kRun, Block<NIN, NS>, Sse2Deinterleave,
                        mayBeNaN ? Interleave<true> : Interleave<false>);
}

template <uint32_t NIN, uint32_t NS>
const DecodeKernel kSse2 = {InstructionSet::Sse2, Block<NIN, NS>, Frames<NIN, NS>};

template <uint32_t NIN>
const DecodeKernel* KernelFor(uint32_t speakers)
{
    switch (speakers) {
    case 4: return &kSse2<NIN, 4>;
    case 6: return &kSse2<NIN, 6>;
    case 8: return &kSse2<NIN, 8>;
    default: return speakers >= 1 && speakers <= 8 ? &kSse2<NIN, 0> : nullptr;
    }
}

}  // namespace

void Sse2Deinterleave(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels, double* const* planes)
{
    WithFormat(format, [&](auto traits) {
        using F = decltype(traits);
        if (channels == 4) return Deinterleave4<F>(src, n, planes);
        if (channels == 3) return Deinterleave3<F>(src, n, planes);
        DeinterleaveFrames<F>(src, 0, n, channels, planes);
    });
}

void Sse2Interleave(double* const* planes, uint32_t channels, int32_t n, SampleFormat format, uint8_t* dst)
{
    Interleave<true>(planes, channels, n, format, dst);
}

const DecodeKernel* Sse2Kernel(uint32_t inChannels, uint32_t speakers)
{
    if (inChannels == 4) return KernelFor<4>(speakers);
    if (inChannels == 3) return KernelFor<3>(speakers);
    return nullptr;
}

#else  // no 128-bit loops in this build

void Sse2Deinterleave(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels, double* const* planes)
{
    DeinterleaveBlock(src, n, format, channels, planes);
}

void Sse2Interleave(double* const* planes, uint32_t channels, int32_t n, SampleFormat format, uint8_t* dst)
{
    InterleaveBlock(planes, channels, n, format, dst);
}

const DecodeKernel* Sse2Kernel(uint32_t, uint32_t) { return nullptr; }

#endif

void Sse2ShelfThree(ShelfBank& bank, double* pw, double* px, double* py, int32_t count)
{
#if defined(__SSE2__) && !defined(DURAZODO_NO_X86_VECTOR)
    ShelfThree(bank, pw, px, py, count);
#else
    ScalarShelfThree(bank, pw, px, py, count);
#endif
}

}  // namespace kernels
}  // namespace decoder
