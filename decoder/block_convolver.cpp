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

// The transforms of 2 * partition points, no scaling either way: the 1/N of the inverse (and
// the 1/2 of taking two signals' spectra out of one transform) are folded into the filter
// spectra once at set-up. The signal runs in single precision: two input windows at a time as
// the real and imaginary parts of one complex transform (about half the work of two real
// ones), and each output back through a real inverse from its half spectrum. The filter
// spectra are made at set-up by a real transform in double precision and rounded once. All
// run straight between the convolver's arrays, which start on 64-byte boundaries. Made at
// set-up (throws std::bad_alloc), then used without allocating.
#if defined(DURAZODO_FFTW)
// FFTW's transforms (vector code for the processor it runs on), planned once on the
// convolver's first arrays and run on any of its arrays (FFTW's new-array execution, which asks
// for arrays aligned alike: all start on 64-byte boundaries). Plans are made with
// FFTW_ESTIMATE, which picks the same algorithm on every run and does not touch the arrays, so
// the output does not change from one set-up to the next; FFTW's planner is not thread-safe,
// so making and destroying plans is serialised.
namespace {
std::mutex& PlannerLock()
{
    static std::mutex lock;
    return lock;
}

// The real transform the filter spectra are made with.
class DesignFft {
public:
    DesignFft(size_t size, double* time, std::complex<double>* spectrum)
    {
        std::lock_guard<std::mutex> hold(PlannerLock());
        m_Plan = fftw_plan_dft_r2c_1d(static_cast<int>(size), time, reinterpret_cast<fftw_complex*>(spectrum), FFTW_ESTIMATE);
        if (!m_Plan) throw std::bad_alloc();
    }
    ~DesignFft()
    {
        std::lock_guard<std::mutex> hold(PlannerLock());
        fftw_destroy_plan(m_Plan);
    }
    DesignFft(const DesignFft&) = delete;
    DesignFft& operator=(const DesignFft&) = delete;
    void Forward(double* time, std::complex<double>* spectrum)
    {
        fftw_execute_dft_r2c(m_Plan, time, reinterpret_cast<fftw_complex*>(spectrum));
    }

private:
    fftw_plan m_Plan = nullptr;
};
}  // namespace

struct BlockConvolver::Fft {
    Fft(size_t size, std::complex<float>* window, std::complex<float>* spectrum, std::complex<float>* sum, float* time)
    {
        std::lock_guard<std::mutex> hold(PlannerLock());
        const int n = static_cast<int>(size);
        m_Forward = fftwf_plan_dft_1d(n, Complex(window), Complex(spectrum), FFTW_FORWARD, FFTW_ESTIMATE);
        m_Inverse = fftwf_plan_dft_c2r_1d(n, Complex(sum), time, FFTW_ESTIMATE);
        if (!m_Forward || !m_Inverse) {
            Release();
            throw std::bad_alloc();
        }
    }
    ~Fft()
    {
        std::lock_guard<std::mutex> hold(PlannerLock());
        Release();
    }
    Fft(const Fft&) = delete;
    Fft& operator=(const Fft&) = delete;

    void Forward(const std::complex<float>* window, std::complex<float>* spectrum)
    {
        fftwf_execute_dft(m_Forward, Complex(const_cast<std::complex<float>*>(window)), Complex(spectrum));
    }
    // Leaves `sum` undefined.
    void Inverse(std::complex<float>* sum, float* time) { fftwf_execute_dft_c2r(m_Inverse, Complex(sum), time); }

private:
    static fftwf_complex* Complex(std::complex<float>* p) { return reinterpret_cast<fftwf_complex*>(p); }
    void Release()
    {
        if (m_Forward) fftwf_destroy_plan(m_Forward);
        if (m_Inverse) fftwf_destroy_plan(m_Inverse);
    }

    fftwf_plan m_Forward = nullptr, m_Inverse = nullptr;
};
#else
// Eigen's FFT (kissfft underneath); it sizes its scratch on first use, which set-up does.
namespace {
class DesignFft {
public:
    DesignFft(size_t size, double*, std::complex<double>*) : m_Size(static_cast<Eigen::Index>(size))
    {
        m_Fft.SetFlag(Eigen::FFT<double>::HalfSpectrum);
        m_Fft.SetFlag(Eigen::FFT<double>::Unscaled);
    }
    void Forward(double* time, std::complex<double>* spectrum) { m_Fft.fwd(spectrum, time, m_Size); }

private:
    Eigen::FFT<double> m_Fft;
    Eigen::Index m_Size;
};
}  // namespace

struct BlockConvolver::Fft {
    Fft(size_t size, std::complex<float>* window, std::complex<float>* spectrum, std::complex<float>* sum, float* time)
        : m_Size(static_cast<Eigen::Index>(size))
    {
        m_Fft.SetFlag(Eigen::FFT<float>::HalfSpectrum);
        m_Fft.SetFlag(Eigen::FFT<float>::Unscaled);
        Forward(window, spectrum);
        Inverse(sum, time);
    }
    void Forward(const std::complex<float>* window, std::complex<float>* spectrum) { m_Fft.fwd(spectrum, window, m_Size); }
    void Inverse(std::complex<float>* sum, float* time) { m_Fft.inv(time, sum, m_Size); }

private:
    Eigen::FFT<float> m_Fft;
    Eigen::Index m_Size;
};
#endif

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
    // nothing to the sums and are never transformed back. Inputs 2j and 2j + 1 share window j
    // (the real and the imaginary parts); an odd last input has zeros beside it.
    const size_t pairs = (inputs + 1) / 2;
    std::vector<std::complex<float>> windowStore, pairStore, inputStore, sumStore;
    std::vector<float> outputStore;
    std::complex<float>* windows = Aligned(windowStore, pairs * fftSize);
    std::complex<float>* pairSpectrum = Aligned(pairStore, fftSize);
    float* outputTime = Aligned(outputStore, outputs * fftSize);
    std::complex<float>* inputSpectra = Aligned(inputStore, inputs * partitions * spectrum);
    std::complex<float>* sums = Aligned(sumStore, outputs * spectrum);
    std::vector<double> zeros(partition, 0.0);
    auto fft = std::make_unique<Fft>(fftSize, windows, pairSpectrum, sums, outputTime);

    // The filter spectra in double precision, each rounded to float once.
    std::vector<double> tapStore;
    std::vector<std::complex<double>> binStore;
    double* taps = Aligned(tapStore, fftSize);
    std::complex<double>* filterBins = Aligned(binStore, bins);
    DesignFft design(fftSize, taps, filterBins);
    const size_t filterChunk = inputs * partitions * outputs * 2 * kernels::kSpectrumChunk;
    std::vector<float> filterSpectra(chunks * filterChunk);
    const double scale = 0.5 / static_cast<double>(fftSize);
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
    m_PairStore.swap(pairStore);
    m_OutputStore.swap(outputStore);
    m_Zeros.swap(zeros);
    m_pInputSpectra = inputSpectra;
    m_pSums = sums;
    m_pWindows = windows;
    m_pPairSpectrum = pairSpectrum;
    m_pOutputTime = outputTime;
    m_Inputs = inputs;
    m_Outputs = outputs;
    m_Partition = partition;
    m_Partitions = partitions;
    m_Bins = bins;
    m_Chunks = chunks;
    m_SumSpectra = kernels::FastestSumSpectra();
    m_NarrowPair = kernels::FastestNarrowPair();
    m_Widen = kernels::FastestWiden();
    m_Unpair = kernels::FastestUnpair();
    Reset();
    return true;
}

void BlockConvolver::Reset()
{
    if (!m_pFft) return;
    const size_t fftSize = 2 * m_Partition, spectrum = m_Chunks * kernels::kSpectrumChunk;
    std::fill(m_pInputSpectra, m_pInputSpectra + m_Inputs * m_Partitions * spectrum, std::complex<float>());
    std::fill(m_pWindows, m_pWindows + (m_Inputs + 1) / 2 * fftSize, std::complex<float>());
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
        for (size_t i = 0; i < m_Inputs; i += 2) {
            const double* second = i + 1 < m_Inputs ? in[i + 1] + done : m_Zeros.data();
            m_NarrowPair(in[i] + done, second, reinterpret_cast<float*>(m_pWindows + i / 2 * fftSize + m_Partition + m_Fill), take);
        }
        for (size_t o = 0; o < m_Outputs; ++o) m_Widen(m_pOutputTime + o * fftSize + m_Partition + m_Fill, out[o] + done, take);
        m_Fill += take;
        done += take;
        if (m_Fill == m_Partition) {
            ConvolvePartition();
            m_Fill = 0;
        }
    }
}

// One full partition of input is in the upper half of each window: transform the windows and
// take each input's spectrum into the newest delay-line slot, sum every slot times its filter
// partition, and transform the sums back; the upper (alias-free) half of each is the output's
// next block.
void BlockConvolver::ConvolvePartition()
{
    const size_t fftSize = 2 * m_Partition, spectrum = m_Chunks * kernels::kSpectrumChunk;
    m_Newest = (m_Newest + m_Partitions - 1) % m_Partitions;
    for (size_t i = 0; i < m_Inputs; i += 2) {
        std::complex<float>* window = m_pWindows + i / 2 * fftSize;
        m_pFft->Forward(window, m_pPairSpectrum);
        std::complex<float>* first = m_pInputSpectra + (i * m_Partitions + m_Newest) * spectrum;
        std::complex<float>* second = i + 1 < m_Inputs ? first + m_Partitions * spectrum : nullptr;
        m_Unpair(m_pPairSpectrum, fftSize, m_Bins, first, second);
        std::memcpy(window, window + m_Partition, m_Partition * sizeof(std::complex<float>));
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
