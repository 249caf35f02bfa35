// A head whose truth is known, for the headphone decode's tests: the built-in spherical head
// with ears set off its centre line and pinnae that tell up from down.
#pragma once

#include <cmath>
#include <vector>

#include "decoder/binaural.h"
#include "decoder/binaural_design.h"
#include "decoder/head_model.h"

namespace analytic_head {

constexpr double kPi = 3.141592653589793;

// The spherical head with what lets a real head tell up from down: the ears sit 10 degrees
// behind and below the head's centre line, and the pinnae brighten sounds from above and dull
// those from below (a shelf above 3 kHz whose gain goes from -6 dB below to +6 dB overhead).
inline decoder::DirectionalResponse AnalyticHead(double azimuthDeg, double elevationDeg, double rate)
{
    decoder::DirectionalResponse r;
    r.azimuthDeg = azimuthDeg;
    r.elevationDeg = elevationDeg;
    const double back = 100.0 * kPi / 180.0, down = -10.0 * kPi / 180.0;
    const double earLeft[3] = {std::cos(down) * std::cos(back), std::cos(down) * std::sin(back), std::sin(down)};
    const double az = azimuthDeg * kPi / 180.0, el = elevationDeg * kPi / 180.0;
    const double x = std::cos(el) * std::cos(az), y = std::cos(el) * std::sin(az), z = std::sin(el);
    // Cosines of the angles to the left ear and to the right ear (its mirror image in y).
    const double toLeft = x * earLeft[0] + y * earLeft[1] + z * earLeft[2];
    const double toRight = x * earLeft[0] - y * earLeft[1] + z * earLeft[2];
    std::vector<double> unused;
    // A source on the horizon at azimuth asin(c) makes the angle acos(c) with the ear.
    decoder::RenderSphericalHead(std::asin(toLeft) * 180.0 / kPi, 0.0, rate, r.left, unused);
    decoder::RenderSphericalHead(-std::asin(toRight) * 180.0 / kPi, 0.0, rate, unused, r.right);
    const double pole = 1.0 / (1.0 + 2.0 * kPi * 3000.0 / rate);
    const double shelf = std::pow(2.0, z) - 1.0;
    for (std::vector<double>* ear : {&r.left, &r.right}) {
        double highPass = 0.0, previous = 0.0;
        for (double& v : *ear) {
            highPass = pole * (highPass + v - previous);
            previous = v;
            v += shelf * highPass;
        }
    }
    return r;
}

// The analytic head on the built-in head's grid of directions.
inline std::vector<decoder::DirectionalResponse> AnalyticHeadSet(double rate)
{
    std::vector<decoder::DirectionalResponse> set;
    for (const decoder::DirectionalResponse& grid : decoder::SampleSphericalHead(rate))
        set.push_back(AnalyticHead(grid.azimuthDeg, grid.elevationDeg, rate));
    return set;
}

}  // namespace analytic_head
