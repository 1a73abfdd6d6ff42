// tests/soundfield: real spherical harmonics against closed forms and the sphere's inner product.
#include "soundfield/SphericalHarmonics.h"

#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>
#include <numbers>

namespace {

struct Direction {
    float azimuthDeg;
    float elevationDeg;
};

std::vector<Direction> randomDirections(int count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> azimuth(-180.0f, 180.0f);
    std::uniform_real_distribution<float> height(-1.0f, 1.0f);
    std::vector<Direction> dirs;
    for (int i = 0; i < count; ++i)
        dirs.push_back({azimuth(rng), static_cast<float>(std::asin(height(rng)) * 180.0 / std::numbers::pi)});
    // Poles, the horizon and the azimuth seam, where sign and square-root slips show.
    dirs.push_back({0.0f, 90.0f});
    dirs.push_back({45.0f, -90.0f});
    dirs.push_back({180.0f, 0.0f});
    dirs.push_back({-90.0f, 0.0f});
    return dirs;
}

// First- and second-order N3D harmonics without the Condon-Shortley phase, written out.
std::vector<double> closedFormSecondOrder(double azimuthDeg, double elevationDeg)
{
    const double a = azimuthDeg * std::numbers::pi / 180.0;
    const double e = elevationDeg * std::numbers::pi / 180.0;
    const double ce = std::cos(e);
    const double se = std::sin(e);
    const double s3 = std::sqrt(3.0);
    const double s5 = std::sqrt(5.0);
    const double s15 = std::sqrt(15.0);
    return {1.0,
            s3 * ce * std::sin(a),
            s3 * se,
            s3 * ce * std::cos(a),
            s15 / 2.0 * ce * ce * std::sin(2.0 * a),
            s15 * se * ce * std::sin(a),
            s5 / 2.0 * (3.0 * se * se - 1.0),
            s15 * se * ce * std::cos(a),
            s15 / 2.0 * ce * ce * std::cos(2.0 * a)};
}

TEST(RealSphericalHarmonics, MatchesClosedFormsUpToSecondOrder)
{
    const auto dirs = randomDirections(40, 11);
    std::vector<float> flat;
    for (const auto& d : dirs) {
        flat.push_back(d.azimuthDeg);
        flat.push_back(d.elevationDeg);
    }
    for (int order : {1, 2}) {
        const int nSH = (order + 1) * (order + 1);
        std::vector<float> Y(dirs.size() * nSH, -99.0f);
        realSphericalHarmonics(order, flat.data(), static_cast<int>(dirs.size()), Y.data());
        for (std::size_t d = 0; d < dirs.size(); ++d) {
            const auto expected = closedFormSecondOrder(dirs[d].azimuthDeg, dirs[d].elevationDeg);
            for (int k = 0; k < nSH; ++k)
                EXPECT_NEAR(Y[d * nSH + k], expected[k], 2e-5)
                    << "order " << order << " channel " << k << " az " << dirs[d].azimuthDeg
                    << " el " << dirs[d].elevationDeg;
        }
    }
}

TEST(RealSphericalHarmonics, SourceOnTheLeftHasOnlyOmniAndY)
{
    const float dir[2] = {90.0f, 0.0f};
    float Y[4];
    realSphericalHarmonics(1, dir, 1, Y);
    EXPECT_FLOAT_EQ(Y[0], 1.0f);
    EXPECT_FLOAT_EQ(Y[1], std::sqrt(3.0f));
    EXPECT_NEAR(Y[2], 0.0f, 1e-6f);
    EXPECT_NEAR(Y[3], 0.0f, 1e-6f);
}

// N3D harmonics are orthogonal over the sphere with squared norm 4 pi. After the azimuth sum the
// integrand is a polynomial in sin(elevation) of degree <= 2 * order, so Simpson's rule in
// sin(elevation) and an equally spaced azimuth grid make an accurate quadrature.
TEST(RealSphericalHarmonics, AreOrthonormalOverTheSphereUpToOrderSeven)
{
    constexpr int order = 7;
    constexpr int nSH = 64;
    constexpr int heightIntervals = 400;
    constexpr int azimuths = 32;
    std::vector<float> dirs;
    std::vector<double> weights;
    for (int h = 0; h <= heightIntervals; ++h) {
        const double z = -1.0 + 2.0 * h / heightIntervals;
        const double simpson = (h == 0 || h == heightIntervals) ? 1.0 : (h % 2 ? 4.0 : 2.0);
        const double w = simpson * (2.0 / heightIntervals) / 3.0 * (2.0 * std::numbers::pi / azimuths);
        for (int a = 0; a < azimuths; ++a) {
            dirs.push_back(static_cast<float>(-180.0 + 360.0 * a / azimuths));
            dirs.push_back(static_cast<float>(std::asin(z) * 180.0 / std::numbers::pi));
            weights.push_back(w);
        }
    }
    const int nDirs = static_cast<int>(weights.size());
    std::vector<float> Y(static_cast<std::size_t>(nDirs) * nSH);
    realSphericalHarmonics(order, dirs.data(), nDirs, Y.data());

    for (int i = 0; i < nSH; ++i) {
        for (int j = i; j < nSH; ++j) {
            double sum = 0.0;
            for (int d = 0; d < nDirs; ++d)
                sum += weights[d] * Y[static_cast<std::size_t>(d) * nSH + i] * Y[static_cast<std::size_t>(d) * nSH + j];
            EXPECT_NEAR(sum / (4.0 * std::numbers::pi), i == j ? 1.0 : 0.0, 2e-4) << "channels " << i << ", " << j;
        }
    }
}

TEST(RealSphericalHarmonics, HighOrdersMatchTheStackPathAndStayFinite)
{
    const auto dirs = randomDirections(5, 3);
    std::vector<float> flat;
    for (const auto& d : dirs) {
        flat.push_back(d.azimuthDeg);
        flat.push_back(d.elevationDeg);
    }
    const int nDirs = static_cast<int>(dirs.size());
    std::vector<float> low(static_cast<std::size_t>(nDirs) * 64);
    std::vector<float> high(static_cast<std::size_t>(nDirs) * 21 * 21);
    realSphericalHarmonics(7, flat.data(), nDirs, low.data());
    realSphericalHarmonics(20, flat.data(), nDirs, high.data());
    for (int d = 0; d < nDirs; ++d) {
        for (int k = 0; k < 64; ++k)
            EXPECT_FLOAT_EQ(high[d * 441 + k], low[d * 64 + k]);
        for (int k = 0; k < 441; ++k)
            EXPECT_TRUE(std::isfinite(high[d * 441 + k])) << "direction " << d << " channel " << k;
    }
}

TEST(RealSphericalHarmonics, AllocatesNothingUpToOrderSeven)
{
    const auto dirs = randomDirections(100, 5);
    std::vector<float> flat;
    for (const auto& d : dirs) {
        flat.push_back(d.azimuthDeg);
        flat.push_back(d.elevationDeg);
    }
    std::vector<float> Y(dirs.size() * 64);
    qirtest::AllocationCounter counter;
    realSphericalHarmonics(7, flat.data(), static_cast<int>(dirs.size()), Y.data());
    EXPECT_EQ(counter.count(), 0u);
}

// Legendre values of degree 3 and 4 written out, without the Condon-Shortley phase.
TEST(UnnormLegendreRecurrence, MatchesClosedFormsForDegreesThreeAndFour)
{
    const std::vector<float> x = {-1.0f, -0.73f, -0.2f, 0.0f, 0.31f, 0.9f, 1.0f};
    const int lenX = static_cast<int>(x.size());
    std::vector<float> P[5];
    for (int n = 0; n <= 4; ++n) {
        P[n].assign(static_cast<std::size_t>(n + 1) * lenX, 0.0f);
        unnormLegendreRecurrence(n, x.data(), lenX, n >= 1 ? P[n - 1].data() : nullptr,
                                 n >= 2 ? P[n - 2].data() : nullptr, P[n].data());
    }
    for (int i = 0; i < lenX; ++i) {
        const double t = x[i];
        const double s = std::sqrt(1.0 - t * t);
        const double degree3[4] = {0.5 * (5 * t * t * t - 3 * t), 1.5 * (5 * t * t - 1) * s,
                                   15 * t * s * s, 15 * s * s * s};
        const double degree4[5] = {(35 * t * t * t * t - 30 * t * t + 3) / 8.0,
                                   2.5 * (7 * t * t * t - 3 * t) * s, 7.5 * (7 * t * t - 1) * s * s,
                                   105 * t * s * s * s, 105 * s * s * s * s};
        for (int m = 0; m <= 3; ++m)
            EXPECT_NEAR(P[3][m * lenX + i], degree3[m], 1e-4) << "m " << m << " x " << t;
        for (int m = 0; m <= 4; ++m)
            EXPECT_NEAR(P[4][m * lenX + i], degree4[m], 1e-3) << "m " << m << " x " << t;
    }
}

} // namespace
