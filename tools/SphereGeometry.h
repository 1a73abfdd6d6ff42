// tools: directions on the sphere and the real spherical harmonics the decoder fits use.
#pragma once

#include <vector>

namespace qirtools {

// Head frame: x to the front, y to the left, z up. Azimuth counter-clockwise from the front
// (90 is left), elevation up, both in degrees, as in the ambisonic encoder.
struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

Vec3 unitVector(double azimuthDeg, double elevationDeg);
double dot(const Vec3& a, const Vec3& b);
// Azimuth in (-180, 180] and elevation of a non-zero vector, degrees.
void toAzimuthElevation(const Vec3& v, double& azimuthDeg, double& elevationDeg);

// n nearly evenly spread directions (a Fibonacci lattice), as (azimuth, elevation) pairs.
std::vector<float> fibonacciDirections(int n);

// Real spherical harmonics of the given order for (azimuth, elevation) pairs in degrees,
// ACN order, row-major: direction d's (order+1)^2 values at d*(order+1)^2. N3D as computed
// by the sound-field transforms; the SN3D form divides degree n by sqrt(2n+1), which is what
// a plane wave of amplitude 1 puts into the channels of a decoder set.
std::vector<double> harmonicsN3d(int order, const std::vector<float>& directionsDeg);
std::vector<double> harmonicsSn3d(int order, const std::vector<float>& directionsDeg);

// Degree n of ACN channel i.
int degreeOfChannel(int channel);

} // namespace qirtools
