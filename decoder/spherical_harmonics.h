// Real spherical harmonics and the per-order weights of Ambisonic decoders.
//
// Directions are in radians: azimuth from straight ahead towards the left, elevation upwards.
// Channels are numbered in ACN order (channel n*n + n + m for order n, degree m) and scaled
// SN3D (Schmidt semi-normalised, no Condon-Shortley phase): the gains with which an ambiX
// file carries a plane wave of unit amplitude, so that channel 0 (W) is 1 from every direction.
#pragma once

#include <cstddef>

namespace decoder {

// Highest order the engine designs decoders for.
constexpr int kMaxAmbisonicOrder = 7;

// Channels of a full-sphere signal of `order`: (order + 1)^2.
constexpr size_t AmbisonicChannels(int order) { return static_cast<size_t>(order + 1) * static_cast<size_t>(order + 1); }

// Order n of ACN channel `channel`.
int OrderOfChannel(size_t channel);

// True for the channels a horizontal-only decoder reads: W and, per order n, the two of
// degree +-n (cos n*azimuth and sin n*azimuth), the only ones that vary around the horizon.
bool IsSectoralChannel(size_t channel);

// Writes the AmbisonicChannels(order) SN3D harmonics of orders 0..order (0..kMaxAmbisonicOrder)
// at a direction into out.
void EncodeSn3d(int order, double azimuth, double elevation, double* out);

// The Legendre polynomial P_n(x), n >= 0.
double Legendre(int n, double x);

// Per-order weights (order + 1 values, weights[0] = 1) that maximise the length of the
// energy vector of a decode of `order`: on the sphere P_n(r), r the largest root of
// P_{order+1}; on the horizon cos(n * pi / (2 * order + 2)). The length of the energy vector
// they give is r on the sphere and cos(pi / (2 * order + 2)) on the horizon.
void MaxReWeightsSphere(int order, double* weights);
void MaxReWeightsHorizon(int order, double* weights);

}  // namespace decoder
