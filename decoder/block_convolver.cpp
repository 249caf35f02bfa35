#include "decoder/block_convolver.h"

#include <algorithm>
#include <cstring>
#include <new>

#if defined(DURAZODO_FFTW)
#include <fftw3.h>

#include <mutex>
#else
#include <unsupported/Eigen/FFT>
#endif

namespace decoder {

// The real transform of 2 * partition points, half spectra, no scaling either way: the 1/N of
// the inverse is folded into the filter spectra once at set-up. It works on buffers of its
// own (Time(): 2 * partition points, Spectrum(): partition + 1 bins), which callers fill and
// read. Made at set-up (throws std::bad_alloc), then used without allocating.
#if defined(DURAZODO_FFTW)
// FFTW's double-precision transforms (vector code for the processor it runs on), planned
// once for their own aligned buffers. Plans are made with FFTW_ESTIMATE, which picks the same
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
    explicit Fft(size_t size)
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

    double* Time() { return m_pTime; }
    std::complex<double>* Spectrum() { return reinterpret_cast<std::complex<double>*>(m_pSpectrum); }
    // Time() into Spectrum().
    void Forward() { fftw_execute(m_Forward); }
    // Spectrum() into Time(); Spectrum() is left undefined.
    void Inverse() { fftw_execute(m_Inverse); }

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

    double* m_pTime = nullptr;
    fftw_complex* m_pSpectrum = nullptr;
    fftw_plan m_Forward = nullptr, m_Inverse = nullptr;
};
#else
// Eigen's FFT (kissfft underneath); it sizes its scratch on first use, which set-up does.
struct BlockConvolver::Fft {
    explicit Fft(size_t size) : m_Size(static_cast<Eigen::Index>(size)), m_Time(size, 0.0), m_Spectrum(size / 2 + 1)
    {
        m_Fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
        m_Fft.SetFlag(Eigen::FFT<double>::Unscaled);
        Forward();
        Inverse();
    }
    double* Time() { return m_Time.data(); }
    std::complex<double>* Spectrum() { return m_Spectrum.data(); }
    void Forward() { m_Fft.fwd(m_Spectrum.data(), m_Time.data(), m_Size); }
    void Inverse() { m_Fft.inv(m_Time.data(), m_Spectrum.data(), m_Size); }

private:
    Eigen::FFT<double> m_Fft;
    Eigen::Index m_Size;
    std::vector<double> m_Time;
    std::vector<std::complex<double>> m_Spectrum;
};
#endif

namespace {

// The bins of `spectrum` into the chunked layout: chunk q at dst + q * chunkStride (bins past
// `bins` in the last chunk are left as they are).
void ToChunks(const std::complex<double>* spectrum, size_t bins, std::complex<double>* dst, size_t chunkStride)
{
    for (size_t q = 0; q * kernels::kSpectrumChunk < bins; ++q) {
        const size_t first = q * kernels::kSpectrumChunk;
        std::copy(spectrum + first, spectrum + std::min(bins, first + kernels::kSpectrumChunk), dst + q * chunkStride);
    }
}

}  // namespace

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
    const size_t chunks = (bins + kernels::kSpectrumChunk - 1) / kernels::kSpectrumChunk;
    const size_t partitions = (longest + partition - 1) / partition;

    auto fft = std::make_unique<Fft>(fftSize);
    // Zeros in the last chunk's padding stay there: products with them are zero and their
    // sums are never transformed back.
    const size_t filterChunk = inputs * partitions * outputs * kernels::kSpectrumChunk;
    std::vector<std::complex<double>> filterSpectra(chunks * filterChunk);
    const double scale = 1.0 / static_cast<double>(fftSize);
    double* time = fft->Time();
    for (size_t i = 0; i < inputs; ++i) {
        for (size_t o = 0; o < outputs; ++o) {
            const std::vector<double>& f = filters[i][o];
            for (size_t p = 0; p < partitions; ++p) {
                std::fill(time, time + fftSize, 0.0);
                for (size_t k = 0; k < partition && p * partition + k < f.size(); ++k)
                    time[k] = f[p * partition + k] * scale;
                fft->Forward();
                ToChunks(fft->Spectrum(), bins, &filterSpectra[((i * partitions + p) * outputs + o) * kernels::kSpectrumChunk],
                         filterChunk);
            }
        }
    }
    std::vector<std::complex<double>> inputSpectra(chunks * inputs * partitions * kernels::kSpectrumChunk);
    std::vector<std::complex<double>> sum(outputs * chunks * kernels::kSpectrumChunk);
    std::vector<double> window(inputs * fftSize);
    std::vector<double> outputBlock(outputs * partition);

    m_pFft = std::move(fft);
    m_FilterSpectra.swap(filterSpectra);
    m_InputSpectra.swap(inputSpectra);
    m_Sum.swap(sum);
    m_InputWindow.swap(window);
    m_OutputBlock.swap(outputBlock);
    m_Inputs = inputs;
    m_Outputs = outputs;
    m_Partition = partition;
    m_Partitions = partitions;
    m_Bins = bins;
    m_Chunks = chunks;
    m_SumSpectra = kernels::FastestSumSpectra();
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
    const size_t chunk = kernels::kSpectrumChunk;
    m_Newest = (m_Newest + m_Partitions - 1) % m_Partitions;
    for (size_t i = 0; i < m_Inputs; ++i) {
        double* window = &m_InputWindow[i * fftSize];
        std::memcpy(m_pFft->Time(), window, fftSize * sizeof(double));
        m_pFft->Forward();
        ToChunks(m_pFft->Spectrum(), m_Bins, &m_InputSpectra[(i * m_Partitions + m_Newest) * chunk],
                 m_Inputs * m_Partitions * chunk);
        std::memcpy(window, window + m_Partition, m_Partition * sizeof(double));
    }
    kernels::SpectrumSums sums;
    sums.inputs = m_Inputs;
    sums.outputs = m_Outputs;
    sums.partitions = m_Partitions;
    sums.chunks = m_Chunks;
    sums.newest = m_Newest;
    sums.x = m_InputSpectra.data();
    sums.h = m_FilterSpectra.data();
    sums.sum = m_Sum.data();
    m_SumSpectra(sums);
    for (size_t o = 0; o < m_Outputs; ++o) {
        const std::complex<double>* sum = &m_Sum[o * m_Chunks * chunk];
        std::copy(sum, sum + m_Bins, m_pFft->Spectrum());
        m_pFft->Inverse();
        std::memcpy(&m_OutputBlock[o * m_Partition], m_pFft->Time() + m_Partition, m_Partition * sizeof(double));
    }
}

}  // namespace decoder
