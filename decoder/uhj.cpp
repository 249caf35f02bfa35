#include "decoder/uhj.h"

namespace decoder {
namespace {

// Olli Niemitalo's 90-degree phase-difference all-pass pair (found by differential
// evolution; published on the music-dsp mailing list, 2001), given as the squares of his
// "a" coefficients.
constexpr double Square(double a) { return a * a; }
constexpr double kReferenceChain[4] = {Square(0.6923877778065), Square(0.9360654322959), Square(0.9882295226860),
                                       Square(0.9987488452737)};
constexpr double kQuadratureChain[4] = {Square(0.4021921162426), Square(0.8561710882420), Square(0.9722909545651),
                                        Square(0.9952884791278)};

}  // namespace

double PhaseDifferenceNetwork::Chain::Run(const double (&c)[4], double in)
{
    double v = in;
    for (int s = 0; s < 4; ++s) {
        const double y = c[s] * (v + y2[s]) - x2[s];
        x2[s] = x1[s];
        x1[s] = v;
        y2[s] = y1[s];
        y1[s] = y;
        v = y;
    }
    return v;
}

double PhaseDifferenceNetwork::Reference(double in)
{
    const double delayed = m_ReferenceDelay;
    m_ReferenceDelay = m_Reference.Run(kReferenceChain, in);
    return delayed;
}

double PhaseDifferenceNetwork::Quadrature(double in) { return m_Quadrature.Run(kQuadratureChain, in); }

void PhaseDifferenceNetwork::Reset()
{
    m_Reference = Chain{};
    m_Quadrature = Chain{};
    m_ReferenceDelay = 0.0;
}

void UhjEncoder::Process(const double* const* in, double* const* out, int32_t n)
{
    for (int32_t f = 0; f < n; ++f) {
        const double w = in[0][f], x = in[1][f], y = in[2][f];
        const double s = m_Mid.Reference(0.9396926 * w + 0.1855740 * x);
        const double side = m_Side.Reference(0.6554516 * y);
        const double turned = m_Turned.Quadrature(-0.3420201 * w + 0.5098604 * x);
        const double d = turned + side;
        out[0][f] = 0.5 * (s + d);
        out[1][f] = 0.5 * (s - d);
    }
}

void UhjEncoder::Reset()
{
    m_Mid.Reset();
    m_Side.Reset();
    m_Turned.Reset();
}

}  // namespace decoder
