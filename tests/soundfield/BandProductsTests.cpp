// tests/soundfield: the rotator's band products against a plain double-precision product of
// block-diagonal matrices, for every order and every instruction set this processor runs.
#include "soundfield/BandProducts.h"

#include "FieldTestUtil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace fieldtest;
using namespace soundfield_detail;

namespace {

int bandOf(int channel)
{
    return static_cast<int>(std::sqrt(static_cast<double>(channel)));
}

// Random entries within the bands up to the order; NaN everywhere else, so that a product which
// reads outside the diagonal blocks shows it.
std::vector<float> blockDiagonal(int order, int stride, std::mt19937& rng)
{
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> m(static_cast<std::size_t>(stride) * stride, std::numeric_limits<float>::quiet_NaN());
    for (int r = 0; r < numSH(order); ++r)
        for (int c = 0; c < numSH(order); ++c)
            if (bandOf(r) == bandOf(c))
                m[static_cast<std::size_t>(r) * stride + c] = dist(rng);
    return m;
}

// sum over the band of channel c of matrix(c, j) * frame(j, t), in double.
double bandSum(const std::vector<float>& matrix, int stride, const std::vector<float>& frame, int c, int t)
{
    const int l = bandOf(c);
    double sum = 0.0;
    for (int j = l * l; j < (l + 1) * (l + 1); ++j)
        sum += static_cast<double>(matrix[static_cast<std::size_t>(c) * stride + j])
               * frame[static_cast<std::size_t>(j) * kFrame + t];
    return sum;
}

std::vector<float*> channelsOf(std::vector<float>& frame)
{
    std::vector<float*> channels;
    for (int c = 0; c < kMaxChannels; ++c)
        channels.push_back(frame.data() + static_cast<std::size_t>(c) * kFrame);
    return channels;
}

std::vector<EProductLevel> levelsToTest()
{
    std::vector<EProductLevel> levels;
    for (int l = kProductBaseline; l <= bestProductLevel(); ++l)
        levels.push_back(static_cast<EProductLevel>(l));
    return levels;
}

// Row strides of the whole 64-channel matrix and of the order's own square.
TEST(BandProducts, MatchADoubleProductOfTheBandsAtEveryOrderStrideAndInstructionSet)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    float fadeIn[kFrame];
    float fadeOut[kFrame];
    for (int t = 0; t < kFrame; ++t) {
        fadeIn[t] = static_cast<float>(t + 1) / kFrame;
        fadeOut[t] = 1.0f - fadeIn[t];
    }
    for (const EProductLevel level : levelsToTest()) {
        for (int order = 0; order <= 7; ++order) {
            for (const int stride : {kMaxChannels, numSH(order)}) {
                SCOPED_TRACE(testing::Message() << "level " << level << " order " << order << " stride " << stride);
                const int n = numSH(order);
                const auto matrix = blockDiagonal(order, stride, rng);
                const auto previous = blockDiagonal(order, stride, rng);
                std::vector<float> frame(kFrameFloats);
                for (auto& v : frame)
                    v = dist(rng);
                std::vector<float> product(kFrameFloats, kSentinel);
                std::vector<float> faded(kFrameFloats, kSentinel);
                multiplyBands(matrix.data(), stride, frame.data(), channelsOf(product).data(), order, level);
                crossfadeBands(matrix.data(), previous.data(), stride, fadeIn, fadeOut, frame.data(),
                               channelsOf(faded).data(), order, level);
                for (int c = 0; c < kMaxChannels; ++c) {
                    for (int t = 0; t < kFrame; ++t) {
                        const std::size_t at = static_cast<std::size_t>(c) * kFrame + t;
                        if (c >= n) {
                            ASSERT_EQ(product[at], kSentinel) << "wrote channel " << c;
                            ASSERT_EQ(faded[at], kSentinel) << "wrote channel " << c;
                            continue;
                        }
                        const double now = bandSum(matrix, stride, frame, c, t);
                        const double before = bandSum(previous, stride, frame, c, t);
                        ASSERT_NEAR(product[at], now, 1e-5) << "channel " << c << " sample " << t;
                        ASSERT_NEAR(faded[at], fadeIn[t] * now + fadeOut[t] * before, 1e-5)
                            << "channel " << c << " sample " << t;
                    }
                }
            }
        }
    }
}

TEST(BandProducts, TheIdentityPassesTheFrameExactly)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> identity(static_cast<std::size_t>(kMaxChannels) * kMaxChannels, 0.0f);
    for (int c = 0; c < kMaxChannels; ++c)
        identity[static_cast<std::size_t>(c) * kMaxChannels + c] = 1.0f;
    float fadeIn[kFrame];
    float fadeOut[kFrame];
    for (int t = 0; t < kFrame; ++t) {
        fadeIn[t] = static_cast<float>(t + 1) / kFrame;
        fadeOut[t] = 1.0f - fadeIn[t];
    }
    for (const EProductLevel level : levelsToTest()) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        std::vector<float> frame(kFrameFloats);
        for (auto& v : frame)
            v = dist(rng);
        std::vector<float> product(kFrameFloats);
        std::vector<float> faded(kFrameFloats);
        multiplyBands(identity.data(), kMaxChannels, frame.data(), channelsOf(product).data(), 7, level);
        crossfadeBands(identity.data(), identity.data(), kMaxChannels, fadeIn, fadeOut, frame.data(),
                       channelsOf(faded).data(), 7, level);
        EXPECT_EQ(product, frame);
        // fadeIn * x + fadeOut * x: x within the two roundings of the sum.
        for (std::size_t i = 0; i < frame.size(); ++i)
            ASSERT_NEAR(faded[i], frame[i], 2.5e-7 * std::fabs(frame[i])) << "sample " << i;
    }
}

} // namespace
