// A rigid spherical head: interaural delays and head shadow, rendered as impulse responses.
#pragma once

#include <cstddef>
#include <vector>

namespace decoder {

// Head radius in metres (an average adult head) and the speed of sound in m/s.
constexpr double kHeadRadius = 0.0875;
constexpr double kSpeedOfSound = 343.0;

// Delay, in seconds, from a distant source to an ear that sees it at `angleToEar` radians
// (0 when the source lies on the ear's axis, pi when it is straight behind the head from the
// ear's view). A ray reaching the far side bends round the sphere, so the extra path is
// a·(1 − cos θ) in front of the ear and a·(1 + θ − π/2) behind it; the difference between the
// ears is Woodworth's interaural time difference a/c·(φ + sin φ). Angles are clamped to 0..π.
double SphericalHeadDelay(double angleToEar);

// Frames of every response RenderSphericalHead() writes at `sampleRate`: room for the
// largest delay, the interpolation kernel and the head-shadow filter's decay (about 5 ms).
size_t SphericalHeadLength(double sampleRate);

// Renders the left and right ear responses (each SphericalHeadLength() frames) for a distant
// source at `azimuthDeg` (from the front towards the left) and `elevationDeg` (upwards). Each
// ear gets its delay, realised as a Blackman-windowed sinc centred on the fractional sample
// (unit gain at 0 Hz) after a fixed lead of 8 frames, followed by the one-pole, one-zero head
// shadow of Brown and Duda: unity at 0 Hz, a high-frequency gain from +6 dB facing the source
// down to about -11 dB on the far side. Needs a finite sampleRate above 1000 Hz.
void RenderSphericalHead(double azimuthDeg, double elevationDeg, double sampleRate, std::vector<double>& left,
                         std::vector<double>& right);

}  // namespace decoder
