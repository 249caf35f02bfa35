// Rotation of the sound field: turning the whole scene before it is decoded, for a head
// tracker or the view of a 360-degree video.
//
// Angles in degrees. Yaw turns the scene towards the left (a source straight ahead moves to
// azimuth +yaw); pitch raises the front (a source straight ahead moves to elevation +pitch);
// roll lowers the right side (a source on the right moves down, one on the left up). The
// scene is rolled first, then pitched, then yawed: direction v becomes Rz(yaw) Ry(-pitch)
// Rx(roll) v, with x to the front, y to the left and z up.
#pragma once

#include <cstddef>

namespace decoder {

struct SceneRotation {
    double yawDeg = 0.0;
    double pitchDeg = 0.0;
    double rollDeg = 0.0;
};

// Whether `r` turns nothing (all three angles 0).
bool IsIdentity(const SceneRotation& r);

// Whether every angle is finite (rotations of any size are valid; they wrap).
bool IsValidRotation(const SceneRotation& r);

// Writes the matrix that rotates an ambiX signal (ACN, SN3D) of `order` (0..7): with
// b' = matrix * b, a plane wave encoded from direction s becomes the one encoded from the
// rotated direction. `matrix` holds channels x channels doubles, row-major, channels =
// (order + 1)^2; it is block-diagonal by order (orders do not mix). Allocates nothing, so a
// streaming thread may call it when the rotation changes; exact to round-off.
void RotationMatrix(int order, const SceneRotation& r, double* matrix);

// The first-order rotation as it turns FuMa B-Format (whose X, Y and Z are SN3D's for the
// first order): 3 x 3 doubles, row-major, over X, Y, Z; W is left as it is. The identity
// exactly when IsIdentity(r). Allocates nothing.
void FumaRotationMatrix(const SceneRotation& r, double matrix[9]);

}  // namespace decoder
