// tests/soundfield: directions, harmonics and frame helpers shared by the sound-field tests.
#pragma once

#include "soundfield/SphericalHarmonics.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>
#include <numbers>

namespace fieldtest {

constexpr int kFrame = 128;
// Written into output buffers before a call, to show which samples it wrote.
constexpr float kSentinel = 42.0f;

// Channels of a field of the given order.
inline int numSH(int order)
{
    return (order + 1) * (order + 1);
}

struct Direction {
    double azimuthDeg;
    double elevationDeg;
};

inline std::array<double, 3> toVector(Direction d)
{
    const double a = d.azimuthDeg * std::numbers::pi / 180.0;
    const double e = d.elevationDeg * std::numbers::pi / 180.0;
    return {std::cos(e) * std::cos(a), std::cos(e) * std::sin(a), std::sin(e)};
}

inline Direction toDirection(const std::array<double, 3>& v)
{
    const double norm = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const double z = std::clamp(v[2] / norm, -1.0, 1.0);
    return {std::atan2(v[1], v[0]) * 180.0 / std::numbers::pi, std::asin(z) * 180.0 / std::numbers::pi};
}

// Where R (row-major 3x3, acting on column vectors) moves a direction.
inline Direction rotate(const float R[3][3], Direction d)
{
    const auto u = toVector(d);
    std::array<double, 3> v{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            v[i] += static_cast<double>(R[i][j]) * u[j];
    return toDirection(v);
}

// N3D harmonics (ACN) of one direction from the encoder's own routine.
inline std::vector<float> harmonics(int order, Direction d)
{
    const float dir[2] = {static_cast<float>(d.azimuthDeg), static_cast<float>(d.elevationDeg)};
    std::vector<float> Y(static_cast<std::size_t>((order + 1) * (order + 1)));
    realSphericalHarmonics(order, dir, 1, Y.data());
    return Y;
}

inline Direction randomDirection(std::mt19937& rng)
{
    std::uniform_real_distribution<double> azimuth(-180.0, 180.0);
    std::uniform_real_distribution<double> height(-1.0, 1.0);
    return {azimuth(rng), std::asin(height(rng)) * 180.0 / std::numbers::pi};
}

// A block of channels, each kFrame samples, with the pointer arrays the process calls take.
// The pointer arrays are rebuilt on each request, so channels may be reassigned freely.
struct Frames {
    explicit Frames(int channels, float fill = 0.0f)
        : data(static_cast<std::size_t>(channels), std::vector<float>(kFrame, fill))
    {
    }
    const float* const* in() const
    {
        refresh();
        return pointers.data();
    }
    float* const* out()
    {
        refresh();
        return pointers.data();
    }
    std::vector<std::vector<float>> data;

private:
    void refresh() const
    {
        pointers.clear();
        for (const auto& c : data)
            pointers.push_back(const_cast<float*>(c.data()));
    }
    mutable std::vector<float*> pointers;
};

inline std::vector<float> noise(std::mt19937& rng)
{
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> s(kFrame);
    for (auto& v : s)
        v = dist(rng);
    return s;
}

// A plane wave: channel k = gains[k] * signal.
inline Frames planeWave(const std::vector<float>& gains, const std::vector<float>& signal, int channels)
{
    Frames f(channels);
    for (int k = 0; k < channels && k < static_cast<int>(gains.size()); ++k)
        for (int i = 0; i < kFrame; ++i)
            f.data[k][i] = gains[k] * signal[i];
    return f;
}

} // namespace fieldtest
