#include "decoder/decoder_state.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

#include "decoder/kernels/kernels.h"

namespace decoder {

namespace {

// The fastest kernel this build and processor have for the layout.
const kernels::DecodeKernel* ChooseKernel(uint32_t inChannels, uint32_t speakers)
{
    if (const kernels::DecodeKernel* k = kernels::Avx512Kernel(inChannels, speakers)) return k;
    if (const kernels::DecodeKernel* k = kernels::Avx2Kernel(inChannels, speakers)) return k;
    if (const kernels::DecodeKernel* k = kernels::Sse2Kernel(inChannels, speakers)) return k;
    return kernels::ScalarKernel(inChannels, speakers);
}

}  // namespace

// The shelves' coefficients and memory copied out, W with 2 - LowGain / 2 - HighGain, X and Y
// (and Z, with a folded turn) with LowGain / HighGain.
kernels::KernelState DecoderState::KernelView() const
{
    const DecoderCoefficients& c = m_Coefficients;
    kernels::KernelState k{};
    k.shelves = kernels::ShelfBankOf(*m_pShelfW, *m_pShelfX, *m_pShelfY, 2.0 - c.LowGain, 2.0 - c.HighGain,
                                     c.LowGain, c.HighGain);
    k.coefficients = &c;
    if (m_Folded) {
        k.coefficients = &m_FoldedCoefficients;
        k.shelves.coefficient[3] = m_pShelfX->Coefficient();
        for (int ch = 0; ch < 4; ++ch) {
            k.shelves.lowGain[ch] = 0.0;
            k.shelves.highGain[ch] = m_FoldedTilt[ch];
        }
        k.shelves.prevIn[3] = m_ZPrevIn;
        k.shelves.prevOut[3] = m_ZPrevOut;
        k.foldedTurn = true;
        if (m_FoldedZ) {
            k.turnedZ = m_FoldedTurn + 6;
            k.zGains = c.Gains[3];
        }
        k.foldedPairs = m_FoldedPairs;
    }
    k.inChannels = m_nInChannels;
    k.speakers = m_nSpeakers;
    k.inPlanes = m_InPlanes.data();
    k.outPlanes = m_OutPlanes.data();
    k.capacity = m_InPlanes.Capacity();
    return k;
}

void DecoderState::StoreMemory(const kernels::ShelfBank& bank)
{
    kernels::StoreShelfMemory(bank, *m_pShelfW, *m_pShelfX, *m_pShelfY);
    if (m_Folded) {
        m_ZPrevIn = bank.prevIn[3];
        m_ZPrevOut = bank.prevOut[3];
    }
}

PrepareResult DecoderState::Prepare(const StreamDescription& stream)
{
    const uint32_t inChannels = stream.inChannels, speakers = m_nSpeakers;
    const int32_t capacity = stream.maxBlockFrames;
    if (inChannels != 3 && inChannels != 4) return PrepareResult::BadChannels;
    const kernels::DecodeKernel* kernel = ChooseKernel(inChannels, speakers);
    if (!kernel) return PrepareResult::BadRig;
    if (capacity <= 0) return PrepareResult::BadBlockFrames;
    if (!std::isfinite(AllPass::CoefficientFor(kCrossoverHz, stream.sampleRate))) return PrepareResult::BadSampleRate;

    std::unique_ptr<AllPass> shelves[3];
    for (auto& shelf : shelves) {
        shelf.reset(new (std::nothrow) AllPass(capacity));
        if (!shelf || shelf->Capacity() != capacity) return PrepareResult::OutOfMemory;
        shelf->SetFrequency(kCrossoverHz, stream.sampleRate);
    }
    SamplePlanes in, out;
    if (!in.Allocate(inChannels, capacity) || !out.Allocate(speakers, capacity)) return PrepareResult::OutOfMemory;

    m_nInChannels = inChannels;
    m_pShelfW = std::move(shelves[0]);
    m_pShelfX = std::move(shelves[1]);
    m_pShelfY = std::move(shelves[2]);
    m_InPlanes.Swap(in);
    m_OutPlanes.Swap(out);
    m_pKernel = kernel;
    m_Folded = false;
    m_ZPrevIn = m_ZPrevOut = 0.0;
    return PrepareResult::Ok;
}

bool DecoderState::FoldTurn(const double* m, const double* inverse)
{
    if (m_Folded) {
        // Back to shelving the turned X and Y: their memory is the folded memory turned.
        const double in[3] = {m_pShelfX->PrevIn(), m_pShelfY->PrevIn(), m_ZPrevIn};
        const double out[3] = {m_pShelfX->PrevOut(), m_pShelfY->PrevOut(), m_ZPrevOut};
        const double* t = m_FoldedTurn;
        m_pShelfX->SetMemory(t[0] * in[0] + t[1] * in[1] + t[2] * in[2], t[0] * out[0] + t[1] * out[1] + t[2] * out[2]);
        m_pShelfY->SetMemory(t[3] * in[0] + t[4] * in[1] + t[5] * in[2], t[3] * out[0] + t[4] * out[1] + t[5] * out[2]);
        m_Folded = false;
    }
    if (!m) return true;
    if (!IsReady() || m_nInChannels != 4) return false;
    // Each channel's shelf is direct * (x + p * tilt): direct = (low + high) / 2 goes into the
    // channel's row, tilt = (high - low) / (high + low) stays with the shelf.
    double direct[4], tilt[4];
    for (int ch = 0; ch < 4; ++ch) {
        const double low = ch == 0 ? 2.0 - m_Coefficients.LowGain : m_Coefficients.LowGain;
        const double high = ch == 0 ? 2.0 - m_Coefficients.HighGain : m_Coefficients.HighGain;
        direct[ch] = (low + high) * 0.5;
        tilt[ch] = (high - low) * 0.5 / direct[ch];
        if (!std::isfinite(tilt[ch])) return false;
    }
    m_FoldedZ = false;
    for (uint32_t s = 0; s < m_nSpeakers; ++s) m_FoldedZ = m_FoldedZ || m_Coefficients.Gains[3][s] != 0.0;
    // Speaker s hears X' = row 0 of m and Y' = row 1 through its X and Y gains, so input
    // channel j (X, Y, Z) reaches it through column j of those rows.
    m_FoldedCoefficients = m_Coefficients;
    for (uint32_t s = 0; s < 8; ++s) {
        m_FoldedCoefficients.Gains[0][s] = m_Coefficients.Gains[0][s] * direct[0];
        for (int j = 0; j < 3; ++j)
            m_FoldedCoefficients.Gains[1 + j][s] =
                (m_Coefficients.Gains[1][s] * m[j] + m_Coefficients.Gains[2][s] * m[3 + j]) * direct[1 + j];
    }
    std::copy(tilt, tilt + 4, m_FoldedTilt);
    // Six or eight speakers whose halves mirror each other decode by pairs, from the first
    // half's gains: a table built from angles mirrors them only to round-off (sin(pi) is not
    // 0), which the pairs then leave out.
    m_FoldedPairs = kernels::FoldedPairs::None;
    if (m_nSpeakers == 6 || m_nSpeakers == 8) {
        const uint32_t half = m_nSpeakers / 2;
        const double(*g)[8] = m_FoldedCoefficients.Gains;
        const double* z = m_Coefficients.Gains[3];
        double largest = 0.0;
        for (int ch = 0; ch < 4; ++ch)
            for (uint32_t s = 0; s < 8; ++s) largest = std::max({largest, std::fabs(g[ch][s]), std::fabs(z[s])});
        const auto same = [&](double a, double b) { return std::fabs(a - b) <= 1e-12 * largest; };
        bool antipodal = !m_FoldedZ, rings = m_FoldedZ;
        for (uint32_t s = 0; s < half; ++s) {
            antipodal = antipodal && same(g[0][s + half], g[0][s]);
            for (int ch = 1; ch < 4; ++ch) antipodal = antipodal && same(g[ch][s + half], -g[ch][s]);
            for (int ch = 0; ch < 4; ++ch) rings = rings && same(g[ch][s + half], g[ch][s]);
            rings = rings && same(z[s + half], -z[s]);
        }
        m_FoldedPairs = antipodal ? kernels::FoldedPairs::Antipodal
                                  : rings ? kernels::FoldedPairs::Rings : kernels::FoldedPairs::None;
    }
    // The unturned channels' memory that gives the turned X' and Y' memory the shelves hold; the
    // turned Z has none (it is not shelved, and its shelved form reaches no speaker), so its
    // share is taken as 0.
    const double in[2] = {m_pShelfX->PrevIn(), m_pShelfY->PrevIn()};
    const double out[2] = {m_pShelfX->PrevOut(), m_pShelfY->PrevOut()};
    const double* v = inverse;
    m_pShelfX->SetMemory(v[0] * in[0] + v[1] * in[1], v[0] * out[0] + v[1] * out[1]);
    m_pShelfY->SetMemory(v[3] * in[0] + v[4] * in[1], v[3] * out[0] + v[4] * out[1]);
    m_ZPrevIn = v[6] * in[0] + v[7] * in[1];
    m_ZPrevOut = v[6] * out[0] + v[7] * out[1];
    std::copy(m, m + 9, m_FoldedTurn);
    m_Folded = true;
    return true;
}

void DecoderState::ClearMemory()
{
    if (!IsReady()) return;
    for (AllPass* shelf : {m_pShelfW.get(), m_pShelfX.get(), m_pShelfY.get()}) shelf->SetMemory(0.0, 0.0);
    m_ZPrevIn = m_ZPrevOut = 0.0;
}

bool DecoderState::IsReady() const
{
    return m_pKernel && m_pShelfW && m_pShelfX && m_pShelfY && (m_nInChannels == 3 || m_nInChannels == 4) &&
           m_InPlanes.Channels() == m_nInChannels && m_nSpeakers >= 1 &&
           m_OutPlanes.Channels() == m_nSpeakers && m_InPlanes.Capacity() == m_OutPlanes.Capacity();
}

void DecoderState::DecodeBlock(double* const* in, double* const* out, int32_t n)
{
    if (n <= 0 || !IsReady()) return;
    kernels::KernelState k = KernelView();
    m_pKernel->block(k, in, out, n);
    StoreMemory(k.shelves);
}

void DecoderState::DecodeFrames(SampleFormat format, const uint8_t* src, uint8_t* dst, size_t frames)
{
    if (BytesPerSample(format) == 0 || frames == 0 || !IsReady()) return;
    kernels::KernelState k = KernelView();
    m_pKernel->frames(k, format, src, dst, frames);
    StoreMemory(k.shelves);
}

}  // namespace decoder
