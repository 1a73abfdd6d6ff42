// soundfield: 3x3 rotations from Euler angles and quaternions, and their expansion into the
// block-diagonal rotation matrix of real spherical harmonics (ACN order, any normalisation
// that is constant within a band).
//
// Conventions: 3x3 matrices are float[3][3], row-major, index 0 = x, 1 = y, 2 = z.
// Quaternions are float[4] in the order w, x, y, z. Angles are in radians unless a degrees
// flag is set. All functions are plain, stateless and safe on any thread.
#pragma once

// Euler conventions understood by the angle/quaternion conversions.
enum EEulerConvention {
    kEulerYawPitchRoll = 2, // first angle about z, second about y, third about x
    kEulerRollPitchYaw = 3, // the roles of the first and third angle swapped
};

// flag 0: R = X(roll) * Y(pitch) * Z(yaw); flag non-zero: R = Z(roll) * Y(pitch) * X(yaw).
// Applied to a direction vector u, R * u is where the rotated field moves that direction:
// yaw pi/2 moves the front (x) to the right (-y).
void eulerToRotationMatrix(float yaw, float pitch, float roll, int useRollPitchYaw, float R[3][3]) noexcept;

// convention: kEulerYawPitchRoll or kEulerRollPitchYaw. Any other code yields the identity
// quaternion (no rotation).
void eulerToQuaternion(float angle1, float angle2, float angle3, int degreesFlag, int convention,
                       float Q[4]) noexcept;

// The toolkit's quaternion-to-matrix formula. For a yaw-pitch-roll quaternion it equals the
// eulerToRotationMatrix result with rows and columns both taken in reverse order.
void quaternionToRotationMatrix(const float Q[4], float R[3][3]) noexcept;

// Inverse of eulerToQuaternion for middle angles inside +-90 degrees. A middle-angle term at or
// beyond +-1 gives exactly +-pi/2. Any convention code other than the two above yields zeros.
void quaternionToEuler(const float Q[4], int degreesFlag, int convention, float* angle1,
                       float* angle2, float* angle3) noexcept;

// Spherical-harmonic rotation matrix of order L ((L+1)^2 x (L+1)^2 floats, row-major, ACN),
// block diagonal, such that (matrix * harmonics of u) = harmonics of (Rxyz * u).
// Allocates nothing (audio thread). Nothing is written when L < 0.
void getSHRotationMatrix(const float Rxyz[3][3], float* RotMtx, int L) noexcept;

// Terms of the band recursion. R1 is the first band indexed [m + 1][n + 1] for m, n in -1..1
// (rows and columns in the order y, z, x); Rlm1 is band l - 1 with row stride M, entry (a, b)
// for a, b in -(l-1)..(l-1) at Rlm1[(a + l - 1) * M + b + l - 1].
float shRotP(int M, int i, int l, int a, int b, const float R1[3][3], const float* Rlm1) noexcept;
float shRotU(int M, int l, int m, int n, const float R1[3][3], const float* Rlm1) noexcept;
float shRotV(int M, int l, int m, int n, const float R1[3][3], const float* Rlm1) noexcept;
float shRotW(int M, int l, int m, int n, const float R1[3][3], const float* Rlm1) noexcept;
