#include "decoder/block_convolver.h"

#include <algorithm>
#include <cstdint>
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
// the inverse is folded into the filter spectra once at set-up. Single precision runs the
// signal; double precision makes the filter spectra at set-up, which are then rounded once. It
// runs straight between the convolver's arrays, which start on 64-byte boundaries. Made at
// set-up (throws std::bad_alloc), then used without allocating.
#if defined(DURAZODO_FFTW)
// FFTW's transforms (vector code for the processor it runs on), planned once on the
// convolver's first window and spectrum and run on any of its arrays (FFTW's new-array
// execution, which asks for arrays aligned alike: all start on 64-byte boundaries). Plans are
// made with FFTW_ESTIMATE, which picks the same algorithm on every run and does not touch the
// arrays, so the output does not change from one set-up to the next; FFTW's planner is not
// thread-safe, so making and destroying plans is serialised.
namespace {
std::mutex& PlannerLock()
{
    static std::mutex lock;
    return lock;
}

// FFTW's names for each precision.
template <class T>
struct Fftw;
template <>
struct Fftw<double> {
    using Plan = fftw_plan;
    using Complex = fftw_complex;
    static Plan Forward(int n, double* t, Complex* f) { return fftw_plan_dft_r2c_1d(n, t, f, FFTW_ESTIMATE); }
    static Plan Inverse(int n, Complex* f, double* t) { return fftw_plan_dft_c2r_1d(n, f, t, FFTW_ESTIMATE); }
    static void Run(Plan p, double* t, Complex* f) { fftw_execute_dft_r2c(p, t, f); }
    static void Run(Plan p, Complex* f, double* t) { fftw_execute_dft_c2r(p, f, t); }
    static void Destroy(Plan p) { fftw_destroy_plan(p); }
};
template <>
struct Fftw<float> {
    using Plan = fftwf_plan;
    using Complex = fftwf_complex;
    static Plan Forward(int n, float* t, Complex* f) { return fftwf_plan_dft_r2c_1d(n, t, f, FFTW_ESTIMATE); }
    static Plan Inverse(int n, Complex* f, float* t) { return fftwf_plan_dft_c2r_1d(n, f, t, FFTW_ESTIMATE); }
    static void Run(Plan p, float* t, Complex* f) { fftwf_execute_dft_r2c(p, t, f); }
    static void Run(Plan p, Complex* f, float* t) { fftwf_execute_dft_c2r(p, f, t); }
    static void Destroy(Plan p) { fftwf_destroy_plan(p); }
};
}  // namespace

template <class T>
class RealFft {
public:
    using Api = Fftw<T>;
    RealFft(size_t size, T* time, std::complex<T>* spectrum)
    {
        std::lock_guard<std::mutex> hold(PlannerLock());
        const int n = static_cast<int>(size);
        auto* bins = reinterpret_cast<typename Api::Complex*>(spectrum);
        m_Forward = Api::Forward(n, time, bins);
        m_Inverse = Api::Inverse(n, bins, time);
        if (!m_Forward || !m_Inverse) {
            Release();
            throw std::bad_alloc();
        }
    }
    ~RealFft()
    {
        std::lock_guard<std::mutex> hold(PlannerLock());
        Release();
    }
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    void Forward(const T* time, std::complex<T>* spectrum)
    {
        Api::Run(m_Forward, const_cast<T*>(time), reinterpret_cast<typename Api::Complex*>(spectrum));
    }
    // Leaves `spectrum` undefined.
    void Inverse(std::complex<T>* spectrum, T* time)
    {
        Api::Run(m_Inverse, reinterpret_cast<typename Api::Complex*>(spectrum), time);
    }

private:
    void Release()
    {
        if (m_Forward) Api::Destroy(m_Forward);
        if (m_Inverse) Api::Destroy(m_Inverse);
    }

    typename Api::Plan m_Forward = nullptr, m_Inverse = nullptr;
};
#else
// Eigen's FFT (kissfft underneath); it sizes its scratch on first use, which set-up does.
template <class T>
class RealFft {
public:
    RealFft(size_t size, T* time, std::complex<T>* spectrum) : m_Size(static_cast<Eigen::Index>(size))
    {
        m_Fft.SetFlag(Eigen::FFT<T>::HalfSpectrum);
        m_Fft.SetFlag(Eigen::FFT<T>::Unscaled);
        Forward(time, spectrum);
        Inverse(spectrum, time);
    }
    void Forward(const T* time, std::complex<T>* spectrum) { m_Fft.fwd(spectrum, time, m_Size); }
    void Inverse(std::complex<T>* spectrum, T* time) { m_Fft.inv(time, spectrum, m_Size); }

private:
    Eigen::FFT<T> m_Fft;
    Eigen::Index m_Size;
};
#endif

struct BlockConvolver::Fft : RealFft<float> {
    using RealFft<float>::RealFft;
};

namespace {

// `count` elements of `storage`, from its first 64-byte boundary on (storage is sized for it).
template <class T>
T* Aligned(std::vector<T>& storage, size_t count)
{
    constexpr size_t kAlign = 64;
    storage.assign(count + kAlign / sizeof(T), T());
    const auto address = reinterpret_cast<uintptr_t>(storage.data());
    return reinterpret_cast<T*>((address + kAlign - 1) / kAlign * kAlign);
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
    const size_t spectrum = chunks * kernels::kSpectrumChunk;
    const size_t partitions = (longest + partition - 1) / partition;

    // Every spectrum is `spectrum` bins long; the padding past `bins` holds zeros, which add
    // nothing to the sums and are never transformed back.
    std::vector<float> windowStore, outputStore;
    std::vector<std::complex<float>> inputStore, sumStore;
    float* windows = Aligned(windowStore, inputs * fftSize);
    float* outputTime = Aligned(outputStore, outputs * fftSize);
    std::complex<float>* inputSpectra = Aligned(inputStore, inputs * partitions * spectrum);
    std::complex<float>* sums = Aligned(sumStore, outputs * spectrum);
    auto fft = std::make_unique<Fft>(fftSize, windows, inputSpectra);

    // The filter spectra in double precision, each rounded to float once.
    std::vector<double> tapStore;
    std::vector<std::complex<double>> binStore;
    double* taps = Aligned(tapStore, fftSize);
    std::complex<double>* filterBins = Aligned(binStore, bins);
    RealFft<double> design(fftSize, taps, filterBins);
    const size_t filterChunk = inputs * partitions * outputs * 2 * kernels::kSpectrumChunk;
    std::vector<float> filterSpectra(chunks * filterChunk);
    const double scale = 1.0 / static_cast<double>(fftSize);
    for (size_t i = 0; i < inputs; ++i) {
        for (size_t o = 0; o < outputs; ++o) {
            const std::vector<double>& f = filters[i][o];
            for (size_t p = 0; p < partitions; ++p) {
                std::fill(taps, taps + fftSize, 0.0);
                for (size_t k = 0; k < partition && p * partition + k < f.size(); ++k)
                    taps[k] = f[p * partition + k] * scale;
                design.Forward(taps, filterBins);
                for (size_t q = 0; q < chunks; ++q) {
                    const size_t first = q * kernels::kSpectrumChunk, last = std::min(bins, first + kernels::kSpectrumChunk);
                    float* re = &filterSpectra[q * filterChunk + ((i * partitions + p) * outputs + o) * 2 * kernels::kSpectrumChunk];
                    float* im = re + kernels::kSpectrumChunk;
                    for (size_t k = first; k < last; ++k) {
                        re[k - first] = static_cast<float>(filterBins[k].real());
                        im[k - first] = static_cast<float>(filterBins[k].imag());
                    }
                }
            }
        }
    }

    m_pFft = std::move(fft);
    m_FilterSpectra.swap(filterSpectra);
    m_InputStore.swap(inputStore);
    m_SumStore.swap(sumStore);
    m_WindowStore.swap(windowStore);
    m_OutputStore.swap(outputStore);
    m_pInputSpectra = inputSpectra;
    m_pSums = sums;
    m_pWindows = windows;
    m_pOutputTime = outputTime;
    m_Inputs = inputs;
    m_Outputs = outputs;
    m_Partition = partition;
    m_Partitions = partitions;
    m_Bins = bins;
    m_Chunks = chunks;
    m_SumSpectra = kernels::FastestSumSpectra();
    m_Narrow = kernels::FastestNarrow();
    m_Widen = kernels::FastestWiden();
    Reset();
    return true;
}

void BlockConvolver::Reset()
{
    if (!m_pFft) return;
    const size_t fftSize = 2 * m_Partition, spectrum = m_Chunks * kernels::kSpectrumChunk;
    std::fill(m_pInputSpectra, m_pInputSpectra + m_Inputs * m_Partitions * spectrum, std::complex<float>());
    std::fill(m_pWindows, m_pWindows + m_Inputs * fftSize, 0.0f);
    std::fill(m_pOutputTime, m_pOutputTime + m_Outputs * fftSize, 0.0f);
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
        for (size_t i = 0; i < m_Inputs; ++i) m_Narrow(in[i] + done, m_pWindows + i * fftSize + m_Partition + m_Fill, take);
        for (size_t o = 0; o < m_Outputs; ++o) m_Widen(m_pOutputTime + o * fftSize + m_Partition + m_Fill, out[o] + done, take);
        m_Fill += take;
        done += take;
        if (m_Fill == m_Partition) {
            ConvolvePartition();
            m_Fill = 0;
        }
    }
}

// One full partition of input is in the upper half of each input window: transform the
// windows into the newest delay-line slot, sum every slot times its filter partition, and
// transform the sums back; the upper (alias-free) half of each is the output's next block.
void BlockConvolver::ConvolvePartition()
{
    const size_t fftSize = 2 * m_Partition, spectrum = m_Chunks * kernels::kSpectrumChunk;
    m_Newest = (m_Newest + m_Partitions - 1) % m_Partitions;
    for (size_t i = 0; i < m_Inputs; ++i) {
        float* window = m_pWindows + i * fftSize;
        m_pFft->Forward(window, m_pInputSpectra + (i * m_Partitions + m_Newest) * spectrum);
        std::memcpy(window, window + m_Partition, m_Partition * sizeof(float));
    }
    kernels::SpectrumSums sums;
    sums.inputs = m_Inputs;
    sums.outputs = m_Outputs;
    sums.partitions = m_Partitions;
    sums.chunks = m_Chunks;
    sums.newest = m_Newest;
    sums.x = m_pInputSpectra;
    sums.h = m_FilterSpectra.data();
    sums.sum = m_pSums;
    m_SumSpectra(sums);
    for (size_t o = 0; o < m_Outputs; ++o) m_pFft->Inverse(m_pSums + o * spectrum, m_pOutputTime + o * fftSize);
}

}  // namespace decoder
