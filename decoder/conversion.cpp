#include "decoder/sample_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace decoder {

uint32_t BytesPerSample(SampleFormat format)
{
    uint32_t bytes = 0;
    WithFormat(format, [&](auto traits) { bytes = decltype(traits)::kBytes; });
    return bytes;
}

namespace {

// ---- The plain loops -------------------------------------------------------------------

template <class F>
void DeinterleaveFrames(const uint8_t* src, int32_t first, int32_t n, uint32_t channels, double* const* planes)
{
    for (int32_t f = first; f < n; ++f)
        for (uint32_t c = 0; c < channels; ++c)
            planes[c][f] = F::ToDouble(src + (static_cast<size_t>(f) * channels + c) * F::kBytes);
}

template <class F>
void InterleaveFrames(double* const* planes, uint32_t channels, int32_t first, int32_t n, uint8_t* dst)
{
    for (int32_t f = first; f < n; ++f)
        for (uint32_t c = 0; c < channels; ++c)
            F::FromDouble(planes[c][f], dst + (static_cast<size_t>(f) * channels + c) * F::kBytes);
}

#if defined(__SSE2__)

// ---- Vector helpers per format ---------------------------------------------------------
//
// Load2/Load4/Load8 read 2, 4 or 8 consecutive samples (exactly their bytes, never more) into
// vectors of two doubles, samples 0,1 in the first. Store4/Store8 write 4 or 8 samples from
// such vectors. Integer stores convert with the 32-bit truncating conversion, which equals
// the low 32 bits of RoundHalfUp(v) whenever the result fits in 32 bits; any lane where it
// does not (the conversion's out-of-range value 0x80000000) sends its group through the
// scalar FromDouble, so every bit matches the plain loop.

inline __m128i LoadBytes4(const uint8_t* p)
{
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

inline __m128i LoadBytes8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline __m128i LoadBytes16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// The low 32 bits of T for both lanes, in the low half of the result.
inline __m128i Truncate2(__m128d v) { return _mm_cvttpd_epi32(_mm_add_pd(v, _mm_set1_pd(0.5))); }

// Four lanes of T's low 32 bits, samples 0..3.
inline __m128i Truncate4(__m128d a, __m128d b) { return _mm_unpacklo_epi64(Truncate2(a), Truncate2(b)); }

inline __m128i OutOfRange(__m128i t) { return _mm_cmpeq_epi32(t, _mm_set1_epi32(INT32_MIN)); }
inline bool NeedsExact(__m128i t) { return _mm_movemask_epi8(OutOfRange(t)) != 0; }
inline bool NeedsExact(__m128i t0, __m128i t1)
{
    return _mm_movemask_epi8(_mm_or_si128(OutOfRange(t0), OutOfRange(t1))) != 0;
}

template <class F>
void StoreScalar4(uint8_t* p, __m128d a, __m128d b)
{
    alignas(16) double v[4];
    _mm_store_pd(v, a);
    _mm_store_pd(v + 2, b);
    for (int i = 0; i < 4; ++i) F::FromDouble(v[i], p + i * F::kBytes);
}

// Sign-extends the low 16 bits of each 32-bit lane, so that the saturating pack wraps.
inline __m128i Low16(__m128i t) { return _mm_srai_epi32(_mm_slli_epi32(t, 16), 16); }

// Sign-extends the low (high) four 16-bit lanes of x to 32 bits.
inline __m128i WidenLow16(__m128i x) { return _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16); }
inline __m128i WidenHigh16(__m128i x) { return _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16); }

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
    static void Store4(uint8_t* p, __m128d a, __m128d b)
    {
        const __m128i t = Truncate4(a, b);
        if (NeedsExact(t)) return StoreScalar4<F>(p, a, b);
        const __m128i w = Low16(t);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(w, w));
    }
    static void Store8(uint8_t* p, __m128d a, __m128d b, __m128d c, __m128d d)
    {
        const __m128i t0 = Truncate4(a, b);
        const __m128i t1 = Truncate4(c, d);
        if (NeedsExact(t0, t1)) {
            StoreScalar4<F>(p, a, b);
            StoreScalar4<F>(p + 8, c, d);
            return;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(Low16(t0), Low16(t1)));
    }
};

struct Pcm24Vec {
    using F = Pcm24Format;
    static __m128d Load2(const uint8_t* p) { return _mm_cvtepi32_pd(_mm_setr_epi32(F::Word(p), F::Word(p + 3), 0, 0)); }
    static void Load4(const uint8_t* p, __m128d& a, __m128d& b)
    {
        const __m128i w = _mm_setr_epi32(F::Word(p), F::Word(p + 3), F::Word(p + 6), F::Word(p + 9));
        a = _mm_cvtepi32_pd(w);
        b = _mm_cvtepi32_pd(_mm_shuffle_epi32(w, 0xEE));
    }
    static void Load8(const uint8_t* p, __m128d& a, __m128d& b, __m128d& c, __m128d& d)
    {
        Load4(p, a, b);
        Load4(p + 12, c, d);
    }
    static void Store4(uint8_t* p, __m128d a, __m128d b)
    {
        const __m128i t = Truncate4(a, b);
        if (NeedsExact(t)) return StoreScalar4<F>(p, a, b);
        alignas(16) uint32_t w[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(w), _mm_srli_epi32(t, 8));
        // Each 4-byte store spills one byte into the next sample, which the next store
        // overwrites; the last sample is written with exactly its three bytes.
        std::memcpy(p, &w[0], 4);
        std::memcpy(p + 3, &w[1], 4);
        std::memcpy(p + 6, &w[2], 4);
        std::memcpy(p + 9, &w[3], 3);
    }
    static void Store8(uint8_t* p, __m128d a, __m128d b, __m128d c, __m128d d)
    {
        Store4(p, a, b);
        Store4(p + 12, c, d);
    }
};

struct Pcm32Vec {
    using F = Pcm32Format;
    static __m128d Load2(const uint8_t* p) { return _mm_cvtepi32_pd(LoadBytes8(p)); }
    static void Load4(const uint8_t* p, __m128d& a, __m128d& b)
    {
        const __m128i w = LoadBytes16(p);
        a = _mm_cvtepi32_pd(w);
        b = _mm_cvtepi32_pd(_mm_shuffle_epi32(w, 0xEE));
    }
    static void Load8(const uint8_t* p, __m128d& a, __m128d& b, __m128d& c, __m128d& d)
    {
        Load4(p, a, b);
        Load4(p + 16, c, d);
    }
    static void Store4(uint8_t* p, __m128d a, __m128d b)
    {
        const __m128i t = Truncate4(a, b);
        if (NeedsExact(t)) return StoreScalar4<F>(p, a, b);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), t);
    }
    static void Store8(uint8_t* p, __m128d a, __m128d b, __m128d c, __m128d d)
    {
        Store4(p, a, b);
        Store4(p + 16, c, d);
    }
};

struct Float32Vec {
    using F = Float32Format;
    static __m128d Load2(const uint8_t* p) { return _mm_cvtps_pd(_mm_castsi128_ps(LoadBytes8(p))); }
    static void Load4(const uint8_t* p, __m128d& a, __m128d& b)
    {
        const __m128 x = _mm_castsi128_ps(LoadBytes16(p));
        a = _mm_cvtps_pd(x);
        b = _mm_cvtps_pd(_mm_movehl_ps(x, x));
    }
    static void Load8(const uint8_t* p, __m128d& a, __m128d& b, __m128d& c, __m128d& d)
    {
        Load4(p, a, b);
        Load4(p + 16, c, d);
    }
    static void Store4(uint8_t* p, __m128d a, __m128d b)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                         _mm_castps_si128(_mm_movelh_ps(_mm_cvtpd_ps(a), _mm_cvtpd_ps(b))));
    }
    static void Store8(uint8_t* p, __m128d a, __m128d b, __m128d c, __m128d d)
    {
        Store4(p, a, b);
        Store4(p + 16, c, d);
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

template <class F, uint32_t N>
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
            V::Store8(p, v[0], v[1], v[2], v[3]);
        } else if constexpr (N == 6) {
            V::Store8(p, v[0], v[1], v[2], v[3]);
            V::Store4(p + 8 * F::kBytes, v[4], v[5]);
        } else {
            V::Store8(p, v[0], v[1], v[2], v[3]);
            V::Store8(p + 8 * F::kBytes, v[4], v[5], v[6], v[7]);
        }
    }
    InterleaveFrames<F>(planes, N, f, n, dst);
}

#endif  // __SSE2__

}  // namespace

void DeinterleaveBlockScalar(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                             double* const* planes)
{
    WithFormat(format, [&](auto traits) {
        DeinterleaveFrames<decltype(traits)>(src, 0, n, channels, planes);
    });
}

void InterleaveBlockScalar(double* const* planes, uint32_t channels, int32_t n, SampleFormat format,
                           uint8_t* dst)
{
    WithFormat(format, [&](auto traits) {
        InterleaveFrames<decltype(traits)>(planes, channels, 0, n, dst);
    });
}

void DeinterleaveBlock(const uint8_t* src, int32_t n, SampleFormat format, uint32_t channels,
                       double* const* planes)
{
    WithFormat(format, [&](auto traits) {
        using F = decltype(traits);
#if defined(__SSE2__)
        if (channels == 4) return Deinterleave4<F>(src, n, planes);
        if (channels == 3) return Deinterleave3<F>(src, n, planes);
#endif
        DeinterleaveFrames<F>(src, 0, n, channels, planes);
    });
}

void InterleaveBlock(double* const* planes, uint32_t channels, int32_t n, SampleFormat format,
                     uint8_t* dst)
{
    WithFormat(format, [&](auto traits) {
        using F = decltype(traits);
#if defined(__SSE2__)
        if (channels == 4) return InterleaveEven<F, 4>(planes, n, dst);
        if (channels == 6) return InterleaveEven<F, 6>(planes, n, dst);
        if (channels == 8) return InterleaveEven<F, 8>(planes, n, dst);
#endif
        InterleaveFrames<F>(planes, channels, 0, n, dst);
    });
}

}  // namespace decoder
