// First-order all-pass filter with a band-splitting shelf.
#pragma once

#include <cstdint>

namespace decoder {

// One channel's first-order all-pass H(z) = (a - z^-1) / (1 - a z^-1), used as a shelf: the
// input plus or minus the all-pass output splits it into complementary high and low bands
// around the crossover, which are recombined with separate gains.
//
// The object owns its scratch buffer (m_Capacity doubles, allocated once at construction) and
// one sample of input and output memory, so consecutive blocks filter as one continuous
// signal. Only Shelf() and Filter() touch the memory; retuning keeps it. No locking: one
// thread at a time (the streaming thread once the decoder runs).
class AllPass {
public:
    // Allocates a scratch buffer of `capacity` doubles (not cleared), clears the memory and
    // tunes to 700 Hz at 44100 Hz. Never throws: if the buffer cannot be allocated (or
    // capacity is negative) the filter holds no buffer and Capacity() is 0.
    explicit AllPass(int32_t capacity);
    ~AllPass();
    AllPass(const AllPass&) = delete;
    AllPass& operator=(const AllPass&) = delete;

    // Retunes to `frequency` Hz at `sampleRate` Hz; the memory is kept. A rate that is not a
    // finite positive number, a non-finite frequency, or any pair whose coefficient comes
    // out non-finite is refused: the previous tuning (rate, frequency and coefficient) stays
    // in force and the call returns false.
    bool SetFrequency(double frequency, double sampleRate);

    // Runs the all-pass with coefficient `a` over `count` samples of `buffer` in place.
    // count <= 0 does nothing.
    void Filter(double* buffer, int32_t count, double a);

    // Replaces `count` samples (count <= Capacity()) by low band * lowGain + high band *
    // highGain. count <= 0 does nothing. The decode kernels run the same operations on the
    // coefficient and memory copied out (and the memory written back through SetMemory).
    void Shelf(double* samples, int32_t count, double lowGain, double highGain);

    int32_t Capacity() const { return m_Capacity; }
    double SampleRate() const { return m_SampleRate; }
    double Frequency() const { return m_Frequency; }
    double Coefficient() const { return m_Coefficient; }
    double PrevIn() const { return m_PrevIn; }
    double PrevOut() const { return m_PrevOut; }

    // Replaces the memory. For the decode kernels, which run the recurrence on a copy and
    // write the memory back once per block.
    void SetMemory(double prevIn, double prevOut)
    {
        m_PrevIn = prevIn;
        m_PrevOut = prevOut;
    }

    // The coefficient for a tuning, or NaN when the pair cannot be used (see SetFrequency).
    static double CoefficientFor(double frequency, double sampleRate);

private:
    double m_SampleRate;
    double m_Frequency;
    double m_Coefficient;
    double* m_pScratch;
    double m_PrevIn;
    double m_PrevOut;
    int32_t m_Capacity;
};

}  // namespace decoder
