// tools: sphere directions and harmonics.
#include "tools/SphereGeometry.h"

#include "soundfield/SphericalHarmonics.h"

#include <cmath>

namespace qirtools {

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegrees = kPi / 180.0;
} // namespace

Vec3 unitVector(double azimuthDeg, double elevationDeg)
{
    const double az = azimuthDeg * kDegrees;
    const double el = elevationDeg * kDegrees;
    return {std::cos(el) * std::cos(az), std::cos(el) * std::sin(az), std::sin(el)};
}

double dot(const Vec3& a, const Vec3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

void toAzimuthElevation(const Vec3& v, double& azimuthDeg, double& elevationDeg)
{
    const double horizontal = std::hypot(v.x, v.y);
    azimuthDeg = std::atan2(v.y, v.x) / kDegrees;
    elevationDeg = std::atan2(v.z, horizontal) / kDegrees;
    if (azimuthDeg <= -180.0)
        azimuthDeg += 360.0;
}

std::vector<float> fibonacciDirections(int n)
{
    std::vector<float> directions;
    directions.reserve(static_cast<size_t>(2 * n));
    const double golden = kPi * (3.0 - std::sqrt(5.0));
    for (int i = 0; i < n; ++i) {
        const double z = 1.0 - (2.0 * i + 1.0) / n;
        double azimuth = std::fmod(golden * i, 2.0 * kPi) / kDegrees;
        if (azimuth > 180.0)
            azimuth -= 360.0;
        directions.push_back(static_cast<float>(azimuth));
        directions.push_back(static_cast<float>(std::asin(z) / kDegrees));
    }
    return directions;
}

std::vector<double> harmonicsN3d(int order, const std::vector<float>& directionsDeg)
{
    const int numDirections = static_cast<int>(directionsDeg.size() / 2);
    const int numChannels = (order + 1) * (order + 1);
    std::vector<float> values(static_cast<size_t>(numDirections * numChannels));
    if (numDirections > 0)
        realSphericalHarmonics(order, directionsDeg.data(), numDirections, values.data());
    return {values.begin(), values.end()};
}

std::vector<double> harmonicsSn3d(int order, const std::vector<float>& directionsDeg)
{
    std::vector<double> values = harmonicsN3d(order, directionsDeg);
    const int numChannels = (order + 1) * (order + 1);
    for (size_t k = 0; k < values.size(); ++k) {
        const int n = degreeOfChannel(static_cast<int>(k % static_cast<size_t>(numChannels)));
        values[k] /= std::sqrt(2.0 * n + 1.0);
    }
    return values;
}

int degreeOfChannel(int channel)
{
    return static_cast<int>(std::floor(std::sqrt(static_cast<double>(channel)) + 1e-9));
}

} // namespace qirtools
