#include "decoder/block_convolver.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
#include <immintrin.h>
#endif

#if defined(DURAZODO_FFTW)
#include <fftw3.h>

#include <mutex>
#else
#include <unsupported/Eigen/FFT>
#endif

namespace decoder {

// The real transform of 2 * partition points, half spectra, no scaling either way: the 1/N of
// the inverse is folded into the filter spectra once at set-up. Made at set-up (throws
// std::bad_alloc), then used without allocating.
#if defined(DURAZODO_FFTW)
// FFTW's double-precision transforms (vector code for the processor it runs on), planned
// once for aligned scratch buffers that each transform copies through, so any plane of the
// delay lines can be transformed. Plans are made with FFTW_ESTIMATE, which picks the same
// algorithm on every run, so the output does not change from one set-up to the next; FFTW's
// planner is not thread-safe, so making and destroying plans is serialised.
namespace {
std::mutex& PlannerLock()
{
    static std::mutex lock;
    return lock;
}
}  // namespace

struct BlockConvolver::Fft {
    explicit Fft(size_t size) : m_Size(size)
    {
        m_pTime = static_cast<double*>(fftw_malloc(sizeof(double) * size));
        m_pSpectrum = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * (size / 2 + 1)));
        if (m_pTime && m_pSpectrum) {
            std::lock_guard<std::mutex> hold(PlannerLock());
            const int n = static_cast<int>(size);
            m_Forward = fftw_plan_dft_r2c_1d(n, m_pTime, m_pSpectrum, FFTW_ESTIMATE);
            m_Inverse = fftw_plan_dft_c2r_1d(n, m_pSpectrum, m_pTime, FFTW_ESTIMATE);
        }
        if (!m_Forward || !m_Inverse) {
            Release();
            throw std::bad_alloc();
        }
    }
    ~Fft() { Release(); }
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;

    void Forward(const double* time, std::complex<double>* spectrum)
    {
        std::memcpy(m_pTime, time, m_Size * sizeof(double));
        fftw_execute(m_Forward);
        std::memcpy(static_cast<void*>(spectrum), m_pSpectrum, (m_Size / 2 + 1) * sizeof(fftw_complex));
    }
    void Inverse(const std::complex<double>* spectrum, double* time)
    {
        std::memcpy(m_pSpectrum, static_cast<const void*>(spectrum), (m_Size / 2 + 1) * sizeof(fftw_complex));
        fftw_execute(m_Inverse);
        std::memcpy(time, m_pTime, m_Size * sizeof(double));
    }

private:
    void Release()
    {
        {
            std::lock_guard<std::mutex> hold(PlannerLock());
            if (m_Forward) fftw_destroy_plan(m_Forward);
            if (m_Inverse) fftw_destroy_plan(m_Inverse);
        }
        fftw_free(m_pTime);
        fftw_free(m_pSpectrum);
    }

    size_t m_Size;
    double* m_pTime = nullptr;
    fftw_complex* m_pSpectrum = nullptr;
    fftw_plan m_Forward = nullptr, m_Inverse = nullptr;
};
#else
// Eigen's FFT (kissfft underneath); it sizes its scratch on first use, which set-up does.
struct BlockConvolver::Fft {
    explicit Fft(size_t size) : m_Size(static_cast<Eigen::Index>(size))
    {
        m_Fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
        m_Fft.SetFlag(Eigen::FFT<double>::Unscaled);
        std::vector<double> time(size, 0.0);
        std::vector<std::complex<double>> spectrum(size / 2 + 1);
        Forward(time.data(), spectrum.data());
        Inverse(spectrum.data(), time.data());
    }
    void Forward(const double* time, std::complex<double>* spectrum) { m_Fft.fwd(spectrum, time, m_Size); }
    void Inverse(const std::complex<double>* spectrum, double* time) { m_Fft.inv(time, spectrum, m_Size); }

private:
    Eigen::FFT<double> m_Fft;
    Eigen::Index m_Size;
};
#endif

void MultiplyAccumulatePlain(const std::complex<double>* x, const std::complex<double>* h, std::complex<double>* sum,
                             size_t bins)
{
    // Written out in real arithmetic: std::complex's operator* takes a slow path for
    // infinities that these finite spectra never need.
    const auto* xv = reinterpret_cast<const double*>(x);
    const auto* hv = reinterpret_cast<const double*>(h);
    auto* sv = reinterpret_cast<double*>(sum);
    for (size_t k = 0; k < 2 * bins; k += 2) {
        sv[k] += xv[k] * hv[k] - xv[k + 1] * hv[k + 1];
        sv[k + 1] += xv[k] * hv[k + 1] + xv[k + 1] * hv[k];
    }
}

namespace {

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32) && !defined(DURAZODO_NO_X86_VECTOR)
// Two bins at a time in 256-bit registers: (xr·hr) − (xi·hi) and (xr·hi) + (xi·hr), each
// product and sum rounded as the plain loop rounds it, so the bits are the same.
__attribute__((target("avx"))) void MultiplyAccumulateAvx(const std::complex<double>* x,
                                                          const std::complex<double>* h,
                                                          std::complex<double>* sum, size_t bins)
{
    const auto* xv = reinterpret_cast<const double*>(x);
    const auto* hv = reinterpret_cast<const double*>(h);
    auto* sv = reinterpret_cast<double*>(sum);
    size_t k = 0;
    for (; k + 2 <= bins; k += 2) {
        const __m256d xs = _mm256_loadu_pd(xv + 2 * k);
        const __m256d hs = _mm256_loadu_pd(hv + 2 * k);
        const __m256d re = _mm256_movedup_pd(xs);           // xr xr
        const __m256d im = _mm256_permute_pd(xs, 0xF);      // xi xi
        const __m256d swapped = _mm256_permute_pd(hs, 0x5); // hi hr
        const __m256d product = _mm256_addsub_pd(_mm256_mul_pd(re, hs), _mm256_mul_pd(im, swapped));
        _mm256_storeu_pd(sv + 2 * k, _mm256_add_pd(_mm256_loadu_pd(sv + 2 * k), product));
    }
    MultiplyAccumulatePlain(x + k, h + k, sum + k, bins - k);
}

using MultiplyAccumulateFn = void (*)(const std::complex<double>*, const std::complex<double>*,
                                      std::complex<double>*, size_t);
MultiplyAccumulateFn PickMultiplyAccumulate()
{
    return __builtin_cpu_supports("avx") ? MultiplyAccumulateAvx : MultiplyAccumulatePlain;
}
#else
using MultiplyAccumulateFn = void (*)(const std::complex<double>*, const std::complex<double>*,
                                      std::complex<double>*, size_t);
MultiplyAccumulateFn PickMultiplyAccumulate() { return MultiplyAccumulatePlain; }
#endif

}  // namespace

void MultiplyAccumulate(const std::complex<double>* x, const std::complex<double>* h, std::complex<double>* sum,
                        size_t bins)
{
    static const MultiplyAccumulateFn picked = PickMultiplyAccumulate();
    picked(x, h, sum, bins);
}

BlockConvolver::BlockConvolver() = default;
BlockConvolver::~BlockConvolver() = default;

bool BlockConvolver::Setup(const std::vector<std::vector<std::vector<double>>>& filters, size_t partition)
{
    if (partition < 16 || partition > 65536 || (partition & (partition - 1)) != 0) return false;
    const size_t inputs = filters.size();
    if (inputs == 0) return false;
    const size_t outputs = filters[0].size();
    if (outputs == 0) return false;
    size_t longest = 0;
    for (const auto& row : filters) {
        if (row.size() != outputs) return false;
        for (const auto& f : row) longest = std::max(longest, f.size());
    }
    if (longest == 0) return false;

    const size_t fftSize = 2 * partition;
    const size_t bins = partition + 1;
    const size_t partitions = (longest + partition - 1) / partition;

    auto fft = std::make_unique<Fft>(fftSize);
    std::vector<std::complex<double>> filterSpectra(inputs * outputs * partitions * bins);
    std::vector<double> time(fftSize);
    const double scale = 1.0 / static_cast<double>(fftSize);
    for (size_t i = 0; i < inputs; ++i) {
        for (size_t o = 0; o < outputs; ++o) {
            const std::vector<double>& f = filters[i][o];
            for (size_t p = 0; p < partitions; ++p) {
                std::fill(time.begin(), time.end(), 0.0);
                for (size_t k = 0; k < partition && p * partition + k < f.size(); ++k)
                    time[k] = f[p * partition + k] * scale;
                fft->Forward(time.data(), &filterSpectra[((i * outputs + o) * partitions + p) * bins]);
            }
        }
    }
    std::vector<std::complex<double>> inputSpectra(inputs * partitions * bins);
    std::vector<std::complex<double>> sum(outputs * bins);
    std::vector<double> window(inputs * fftSize);
    std::vector<double> outputBlock(outputs * partition);

    m_pFft = std::move(fft);
    m_FilterSpectra.swap(filterSpectra);
    m_InputSpectra.swap(inputSpectra);
    m_Sum.swap(sum);
    m_InputWindow.swap(window);
    m_OutputBlock.swap(outputBlock);
    m_Time.swap(time);
    m_Inputs = inputs;
    m_Outputs = outputs;
    m_Partition = partition;
    m_Partitions = partitions;
    m_Bins = bins;
    Reset();
    return true;
}

void BlockConvolver::Reset()
{
    std::fill(m_InputSpectra.begin(), m_InputSpectra.end(), std::complex<double>());
    std::fill(m_InputWindow.begin(), m_InputWindow.end(), 0.0);
    std::fill(m_OutputBlock.begin(), m_OutputBlock.end(), 0.0);
    m_Fill = 0;
    m_Newest = 0;
}

void BlockConvolver::Process(const double* const* in, double* const* out, size_t n)
{
    if (!m_pFft) return;
    const size_t fftSize = 2 * m_Partition;
    size_t done = 0;
    while (done < n) {
        const size_t take = std::min(m_Partition - m_Fill, n - done);
        for (size_t i = 0; i < m_Inputs; ++i)
            std::memcpy(&m_InputWindow[i * fftSize + m_Partition + m_Fill], in[i] + done, take * sizeof(double));
        for (size_t o = 0; o < m_Outputs; ++o)
            std::memcpy(out[o] + done, &m_OutputBlock[o * m_Partition + m_Fill], take * sizeof(double));
        m_Fill += take;
        done += take;
        if (m_Fill == m_Partition) {
            ConvolvePartition();
            m_Fill = 0;
        }
    }
}

// One full partition of input is in the upper half of each input window: transform the
// windows into the newest delay-line slot, multiply-accumulate every slot with its filter
// partition, and keep the upper (alias-free) half of each inverse transform.
void BlockConvolver::ConvolvePartition()
{
    const size_t fftSize = 2 * m_Partition;
    m_Newest = (m_Newest + m_Partitions - 1) % m_Partitions;
    for (size_t i = 0; i < m_Inputs; ++i) {
        double* window = &m_InputWindow[i * fftSize];
        m_pFft->Forward(window, &m_InputSpectra[(i * m_Partitions + m_Newest) * m_Bins]);
        std::memmove(window, window + m_Partition, m_Partition * sizeof(double));
    }
    // Each input slot is read once for all outputs.
    std::fill(m_Sum.begin(), m_Sum.end(), std::complex<double>());
    for (size_t i = 0; i < m_Inputs; ++i) {
        for (size_t p = 0; p < m_Partitions; ++p) {
            const size_t slot = (m_Newest + p) % m_Partitions;
            const std::complex<double>* x = &m_InputSpectra[(i * m_Partitions + slot) * m_Bins];
            for (size_t o = 0; o < m_Outputs; ++o)
                MultiplyAccumulate(x, &m_FilterSpectra[((i * m_Outputs + o) * m_Partitions + p) * m_Bins],
                                   &m_Sum[o * m_Bins], m_Bins);
        }
    }
    for (size_t o = 0; o < m_Outputs; ++o) {
        m_pFft->Inverse(&m_Sum[o * m_Bins], m_Time.data());
        std::memcpy(&m_OutputBlock[o * m_Partition], m_Time.data() + m_Partition, m_Partition * sizeof(double));
    }
}

}  // namespace decoder
