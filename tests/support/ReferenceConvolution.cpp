// tests/support: independent references for the convolution tests.
#include "tests/support/ReferenceConvolution.h"

#include <algorithm>
#include <cmath>

namespace qirtest {

std::vector<double> directConvolve(const std::vector<float>& x, const std::vector<float>& h)
{
    std::vector<double> y(x.size(), 0.0);
    for (std::size_t k = 0; k < h.size(); ++k) {
        const double hk = h[k];
        if (hk == 0.0) {
            continue;
        }
        for (std::size_t t = k; t < x.size(); ++t) {
            y[t] += hk * static_cast<double>(x[t - k]);
        }
    }
    return y;
}

std::vector<double> directConvolveSum(const std::vector<std::vector<float>>& xs,
                                      const std::vector<std::vector<float>>& hs)
{
    std::size_t n = 0;
    for (const auto& x : xs) {
        n = std::max(n, x.size());
    }
    std::vector<double> sum(n, 0.0);
    for (std::size_t i = 0; i < xs.size() && i < hs.size(); ++i) {
        const std::vector<double> y = directConvolve(xs[i], hs[i]);
        for (std::size_t t = 0; t < y.size(); ++t) {
            sum[t] += y[t];
        }
    }
    return sum;
}

double relativeError(const std::vector<float>& actual, const std::vector<double>& expected)
{
    double err = 0.0;
    double ref = 0.0;
    const std::size_t n = std::max(actual.size(), expected.size());
    for (std::size_t i = 0; i < n; ++i) {
        const double a = i < actual.size() ? actual[i] : 0.0;
        const double e = i < expected.size() ? expected[i] : 0.0;
        err += (a - e) * (a - e);
        ref += e * e;
    }
    if (ref == 0.0) {
        return err == 0.0 ? 0.0 : INFINITY;
    }
    return std::sqrt(err / ref);
}

std::vector<float> whiteNoise(std::size_t n, std::uint32_t seed)
{
    std::vector<float> out(n);
    std::uint64_t s = seed * 0x9E3779B97F4A7C15ull + 1;
    for (auto& v : out) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        const std::uint32_t bits = static_cast<std::uint32_t>(s >> 40); // 24 bits
        v = static_cast<float>(bits) / 8388608.0f - 1.0f;
    }
    return out;
}

RandomSizes::RandomSizes(std::uint32_t seed, std::size_t lo, std::size_t hi)
    : mState(seed * 0x9E3779B97F4A7C15ull + 7), mLo(lo), mHi(hi)
{
}

std::size_t RandomSizes::next()
{
    mState = mState * 6364136223846793005ull + 1442695040888963407ull;
    return mLo + static_cast<std::size_t>((mState >> 33) % (mHi - mLo + 1));
}

} // namespace qirtest
