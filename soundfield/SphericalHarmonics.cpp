// soundfield: real spherical harmonics (N3D, no Condon-Shortley phase, ACN order).
#include "soundfield/SphericalHarmonics.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr float kDegreesToRadians = 3.1415927f / 180.0f;

// Orders the stack scratch covers; the plug-in never goes above it.
constexpr int kStackOrder = 7;
// Directions handled per pass, so that the Legendre scratch has a fixed size.
constexpr int kDirectionsPerPass = 32;

// k! for k = 0..kMax. Exact integers below 15; above that the running product is kept
// in extended precision. The normalisation ratio (n-m)!/(n+m)! is formed from this table
// in extended precision too, so orders whose factorials overflow a float stay finite.
void fillFactorials(int kMax, long double* table)
{
    static constexpr long double kExact[15] = {1.0L, 1.0L, 2.0L, 6.0L, 24.0L, 120.0L, 720.0L,
        5040.0L, 40320.0L, 362880.0L, 3628800.0L, 39916800.0L, 479001600.0L, 6227020800.0L,
        87178291200.0L};
    for (int k = 0; k <= kMax; ++k)
        table[k] = k < 15 ? kExact[k] : table[k - 1] * static_cast<long double>(k);
}

// Harmonics of up to kDirectionsPerPass directions; the three Legendre buffers each hold
// (order + 1) * kDirectionsPerPass floats and the factorial table 2 * order + 1 values.
void harmonicsPass(int order, const float* dirsDeg, int nDirs, float* Y, const long double* factorials,
                   float* x, float* P0, float* P1, float* P2)
{
    const int nSH = (order + 1) * (order + 1);
    for (int d = 0; d < nDirs; ++d) {
        x[d] = std::sin(dirsDeg[2 * d + 1] * kDegreesToRadians);
        Y[d * nSH] = 1.0f;
    }
    // P0 holds degree n, P1 degree n - 1, P2 degree n - 2; they rotate each degree.
    float* current = P0;
    float* previous = P1;
    float* beforePrevious = P2;
    for (int n = 1; n <= order; ++n) {
        unnormLegendreRecurrence(n, x, nDirs, previous, beforePrevious, current);
        const float normN0 = std::sqrt(static_cast<float>(2 * n + 1));
        for (int d = 0; d < nDirs; ++d) {
            const float azimuth = dirsDeg[2 * d] * kDegreesToRadians;
            float* y = Y + d * nSH + n * n + n;
            y[0] = normN0 * current[d];
            for (int m = 1; m <= n; ++m) {
                const float ratio = static_cast<float>(2.0L * factorials[n - m] / factorials[n + m]);
                const float normNM = normN0 * std::sqrt(ratio);
                const float p = normNM * current[m * nDirs + d];
                const float angle = static_cast<float>(m) * azimuth;
                y[-m] = p * std::sin(angle);
                y[m] = p * std::cos(angle);
            }
        }
        float* recycled = beforePrevious;
        beforePrevious = previous;
        previous = current;
        current = recycled;
    }
}

} // namespace

void unnormLegendreRecurrence(int n, const float* x, int lenX, const float* Pnm_minus1,
                              const float* Pnm_minus2, float* Pnm)
{
    if (n < 0 || lenX <= 0)
        return;
    switch (n) {
    case 0:
        std::fill(Pnm, Pnm + lenX, 1.0f);
        return;
    case 1:
        for (int i = 0; i < lenX; ++i) {
            Pnm[i] = x[i];
            Pnm[lenX + i] = std::sqrt(1.0f - x[i] * x[i]);
        }
        return;
    case 2:
        for (int i = 0; i < lenX; ++i) {
            const float x2 = x[i] * x[i];
            Pnm[i] = (3.0f * x2 - 1.0f) * 0.5f;
            Pnm[lenX + i] = 3.0f * x[i] * std::sqrt(1.0f - x2);
            Pnm[2 * lenX + i] = 3.0f * (1.0f - x2);
        }
        return;
    default:
        break;
    }

    float doubleFactorial = 1.0f; // 1 * 3 * 5 * ... * (2n - 1)
    for (int k = 3; k <= 2 * n - 1; k += 2)
        doubleFactorial *= static_cast<float>(k);
    const float twoNMinusOne = static_cast<float>(2 * n - 1);
    for (int i = 0; i < lenX; ++i) {
        const float xi = x[i];
        Pnm[n * lenX + i] = doubleFactorial * std::pow(1.0f - xi * xi, 0.5f * static_cast<float>(n));
        Pnm[(n - 1) * lenX + i] = xi * twoNMinusOne * Pnm_minus1[(n - 1) * lenX + i];
        for (int m = 0; m <= n - 2; ++m) {
            Pnm[m * lenX + i] = (twoNMinusOne * xi * Pnm_minus1[m * lenX + i]
                                 - static_cast<float>(n - 1 + m) * Pnm_minus2[m * lenX + i])
                                / static_cast<float>(n - m);
        }
    }
}

void realSphericalHarmonics(int order, const float* dirsDeg, int nDirs, float* Y)
{
    if (order < 0 || nDirs <= 0)
        return;
    const int nSH = (order + 1) * (order + 1);
    const int legendreSize = (order + 1) * kDirectionsPerPass;

    if (order <= kStackOrder) {
        long double factorials[2 * kStackOrder + 1];
        float x[kDirectionsPerPass];
        float legendre[3][(kStackOrder + 1) * kDirectionsPerPass];
        fillFactorials(2 * order, factorials);
        for (int first = 0; first < nDirs; first += kDirectionsPerPass) {
            const int count = std::min(kDirectionsPerPass, nDirs - first);
            harmonicsPass(order, dirsDeg + 2 * first, count, Y + first * nSH, factorials, x,
                          legendre[0], legendre[1], legendre[2]);
        }
        return;
    }

    std::vector<long double> factorials(static_cast<std::size_t>(2 * order + 1));
    std::vector<float> x(kDirectionsPerPass);
    std::vector<float> legendre(static_cast<std::size_t>(3 * legendreSize));
    fillFactorials(2 * order, factorials.data());
    for (int first = 0; first < nDirs; first += kDirectionsPerPass) {
        const int count = std::min(kDirectionsPerPass, nDirs - first);
        harmonicsPass(order, dirsDeg + 2 * first, count, Y + first * nSH, factorials.data(), x.data(),
                      legendre.data(), legendre.data() + legendreSize,
                      legendre.data() + 2 * legendreSize);
    }
}
