// tests/support: independent references for the convolution tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qirtest {

// Plain causal direct convolution in double precision: y[t] = sum_k h[k] x[t-k],
// for t < x.size() (the output is as long as the input; the tail is cut).
std::vector<double> directConvolve(const std::vector<float>& x, const std::vector<float>& h);

// Sum over inputs of x_i convolved with h_i, in double precision.
std::vector<double> directConvolveSum(const std::vector<std::vector<float>>& xs,
                                      const std::vector<std::vector<float>>& hs);

// ||actual - expected|| / ||expected|| (0 when both are silent).
double relativeError(const std::vector<float>& actual, const std::vector<double>& expected);

// Deterministic uniform white noise in [-1, 1).
std::vector<float> whiteNoise(std::size_t n, std::uint32_t seed);

// Uniform integers in [lo, hi], deterministic per seed; used for random block sizes.
class RandomSizes {
public:
    RandomSizes(std::uint32_t seed, std::size_t lo, std::size_t hi);
    std::size_t next();

private:
    std::uint64_t mState;
    std::size_t mLo;
    std::size_t mHi;
};

} // namespace qirtest
