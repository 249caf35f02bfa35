#include "decoder/allpass.h"

#include "decoder/kernels/kernels.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace decoder {

AllPass::AllPass(int32_t capacity)
    : m_SampleRate(0.0), m_Frequency(0.0), m_Coefficient(0.0), m_pScratch(nullptr),
      m_PrevIn(0.0), m_PrevOut(0.0), m_Capacity(0)
{
    SetFrequency(700.0, 44100.0);
    if (capacity > 0) {
        m_pScratch = new (std::nothrow) double[static_cast<size_t>(capacity)];
        if (m_pScratch) m_Capacity = capacity;
    }
}

AllPass::~AllPass()
{
    delete[] m_pScratch;
}

double AllPass::CoefficientFor(double frequency, double sampleRate)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (!std::isfinite(sampleRate) || !(sampleRate > 0.0) || !std::isfinite(frequency)) return nan;
    const double w = frequency / sampleRate;
    const double c = std::cos(6.283185307179586 * w);
    // The smaller root of c*a^2 - 2*a + c = 0.
    const double a = (2.0 - std::sqrt((-2.0) * (-2.0) - 4.0 * c * c)) / (2.0 * c);
    return std::isfinite(a) ? a : nan;
}

bool AllPass::SetFrequency(double frequency, double sampleRate)
{
    const double a = CoefficientFor(frequency, sampleRate);
    if (!std::isfinite(a)) return false;
    m_SampleRate = sampleRate;
    m_Frequency = frequency;
    m_Coefficient = a;
    return true;
}

void AllPass::Filter(double* buffer, int32_t count, double a)
{
    double prevIn = m_PrevIn;
    double prevOut = m_PrevOut;
    for (int32_t i = 0; i < count; ++i) {
        const double x = buffer[i];
        const double y = a * x - prevIn + a * prevOut;
        prevOut = y;
        prevIn = x;
        buffer[i] = y;
    }
    m_PrevIn = prevIn;
    m_PrevOut = prevOut;
}

void AllPass::Shelf(double* samples, int32_t count, double lowGain, double highGain)
{
    // A block longer than the scratch buffer is shelved in pieces; since the memory carries
    // over, that gives the same result as one pass.
    while (count > 0 && m_Capacity > 0) {
        const int32_t piece = count < m_Capacity ? count : m_Capacity;
        std::memcpy(m_pScratch, samples, static_cast<size_t>(piece) * sizeof(double));
        Filter(m_pScratch, piece, m_Coefficient);
        for (int32_t i = 0; i < piece; ++i) {
            const double x = samples[i];
            const double p = m_pScratch[i];
            const double high = (x + p) * 0.5;
            const double low = (x - p) * 0.5;
            samples[i] = low * lowGain + high * highGain;
        }
        samples += piece;
        count -= piece;
    }
}

namespace kernels {

ShelfBank ShelfBankOf(const AllPass& w, const AllPass& x, const AllPass& y, double lowW, double highW, double lowXY,
                      double highXY)
{
    const AllPass* const shelves[3] = {&w, &x, &y};
    ShelfBank bank{};
    for (int i = 0; i < 3; ++i) {
        bank.coefficient[i] = shelves[i]->Coefficient();
        bank.lowGain[i] = i == 0 ? lowW : lowXY;
        bank.highGain[i] = i == 0 ? highW : highXY;
        bank.prevIn[i] = shelves[i]->PrevIn();
        bank.prevOut[i] = shelves[i]->PrevOut();
    }
    return bank;
}

void StoreShelfMemory(const ShelfBank& bank, AllPass& w, AllPass& x, AllPass& y)
{
    AllPass* const shelves[3] = {&w, &x, &y};
    for (int i = 0; i < 3; ++i) shelves[i]->SetMemory(bank.prevIn[i], bank.prevOut[i]);
}

}  // namespace kernels

}  // namespace decoder
