// tests/convolution: the direct-form convolver equals a plain convolution with
// no delay, across calls of any size; its window rules and statuses.
#include "convolution/DirectConvolver.h"
#include "tests/convolution/ConvolutionTestUtils.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using dspkit::DirectConvolver;

struct DirectCase {
    std::size_t irLength;
    std::size_t minBlock;
    std::size_t maxBlock;
};

class DirectMatch : public testing::TestWithParam<DirectCase> {};

TEST_P(DirectMatch, EqualsDirectConvolutionAcrossCalls)
{
    const DirectCase& c = GetParam();
    const std::vector<float> ir = qirtest::whiteNoise(c.irLength, 21);
    const std::vector<float> x = qirtest::whiteNoise(20000, 22);
    DirectConvolver convolver(0, 0);
    ASSERT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    qirtest::RandomSizes sizes(5, c.minBlock, c.maxBlock);
    const auto y = convtest::runInBlocks(x, sizes, [&](const float* in, float* out, std::size_t n) {
        ASSERT_TRUE(convolver.process(in, out, n));
    });
    EXPECT_LT(qirtest::relativeError(y, qirtest::directConvolve(x, ir)), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(DirectConvolver, DirectMatch,
                         testing::Values(DirectCase{1, 1, 3}, DirectCase{2, 1, 1},
                                         DirectCase{17, 1, 100}, DirectCase{128, 1, 700},
                                         DirectCase{128, 128, 128}, DirectCase{2044, 1, 5000},
                                         DirectCase{1000, 2500, 5000}));

TEST(DirectConvolver, OneLongCallEqualsManyShortOnes)
{
    const std::vector<float> ir = qirtest::whiteNoise(300, 1);
    const std::vector<float> x = qirtest::whiteNoise(5000, 2);
    DirectConvolver whole(0, 0), pieces(0, 0);
    ASSERT_EQ(whole.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    ASSERT_EQ(pieces.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    std::vector<float> a(5000), b(5000);
    ASSERT_TRUE(whole.process(x.data(), a.data(), 5000));
    for (std::size_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(pieces.process(x.data() + 1000 * i, b.data() + 1000 * i, 1000));
    }
    for (std::size_t t = 0; t < a.size(); ++t) {
        ASSERT_NEAR(a[t], b[t], 1e-5f * (1.0f + std::abs(a[t]))) << t;
    }
}

TEST(DirectConvolver, DelayOfOneSampleCarriesAcrossCalls)
{
    const float ir[] = {0.0f, 1.0f};
    DirectConvolver convolver(0, 0);
    ASSERT_EQ(convolver.set(ir, 2), dspkit::kConvolveOk);
    float in1[] = {1, 2, 3};
    float in2[] = {4, 5};
    float out1[3], out2[2];
    ASSERT_TRUE(convolver.process(in1, out1, 3));
    ASSERT_TRUE(convolver.process(in2, out2, 2));
    EXPECT_EQ(std::vector<float>(out1, out1 + 3), (std::vector<float>{0, 1, 2}));
    EXPECT_EQ(std::vector<float>(out2, out2 + 2), (std::vector<float>{3, 4}));
}

TEST(DirectConvolver, ResetForgetsEarlierInputAndInPlaceWorks)
{
    const std::vector<float> ir = qirtest::whiteNoise(200, 3);
    DirectConvolver convolver(0, 0);
    ASSERT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    std::vector<float> noise = qirtest::whiteNoise(500, 4);
    ASSERT_TRUE(convolver.process(noise.data(), noise.data(), noise.size()));
    convolver.reset();
    std::vector<float> x = qirtest::whiteNoise(1000, 5);
    const auto expected = qirtest::directConvolve(x, ir);
    ASSERT_TRUE(convolver.process(x.data(), x.data(), x.size()));
    EXPECT_LT(qirtest::relativeError(x, expected), 1e-5);
}

struct WindowCase {
    unsigned long offset;
    unsigned long length;
    std::size_t irLength;
    std::size_t loaded;
    dspkit::ConvolveStatus status;
};

class DirectWindow : public testing::TestWithParam<WindowCase> {};

TEST_P(DirectWindow, LoadsTheWindowWithStatus)
{
    const WindowCase& c = GetParam();
    const std::vector<float> ir = qirtest::whiteNoise(c.irLength, 8);
    DirectConvolver convolver(c.offset, c.length);
    EXPECT_EQ(convolver.set(ir.data(), ir.size()), c.status);
    const std::vector<float> x = qirtest::whiteNoise(6000, 9);
    std::vector<float> y(x.size());
    EXPECT_EQ(convolver.process(x.data(), y.data(), x.size()), c.loaded > 0);
    if (c.loaded > 0) {
        const auto h = convtest::window(ir, c.offset, c.loaded);
        ASSERT_EQ(h.size(), c.loaded);
        EXPECT_LT(qirtest::relativeError(y, qirtest::directConvolve(x, h)), 1e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    DirectConvolver, DirectWindow,
    testing::Values(WindowCase{0, 0, 3000, 2044, dspkit::kConvolveTimeImpulseTooLong},
                    WindowCase{0, 0, 2044, 2044, dspkit::kConvolveOk},
                    WindowCase{0, 100, 3000, 100, dspkit::kConvolveOk},
                    WindowCase{10, 100, 50, 40, dspkit::kConvolveOk},
                    WindowCase{60, 0, 50, 0, dspkit::kConvolveOk},
                    WindowCase{50, 0, 50, 0, dspkit::kConvolveOk}));

TEST(DirectConvolver, NullImpulseLoadsNothing)
{
    DirectConvolver convolver(0, 0);
    EXPECT_EQ(convolver.set(nullptr, 100), dspkit::kConvolveOk);
    float x[4] = {1, 2, 3, 4};
    float y[4];
    EXPECT_FALSE(convolver.process(x, y, 4));
}

TEST(DirectConvolver, LengthAboveMaximumIsClampedWithStatus)
{
    DirectConvolver convolver(0, 0);
    EXPECT_EQ(convolver.setLength(3000), dspkit::kConvolveTimeLengthOutOfRange);
    const std::vector<float> ir = qirtest::whiteNoise(3000, 1);
    // The stored length is 2044, an explicit length: cutting to it is no error.
    EXPECT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    EXPECT_EQ(convolver.setLength(2044), dspkit::kConvolveOk);
}

TEST(DirectConvolver, KernelReadsHistoryBeforeItsInput)
{
    const float signal[] = {1, 2, 3, 4, 5};
    const float impulse[] = {0.5f, 2.0f}; // reversed (2.0, 0.5): y[t] = 2 x[t] + 0.5 x[t-1]
    float out[4];
    DirectConvolver::convolve(signal + 1, impulse, out, 4, 2);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{4.5f, 7.0f, 9.5f, 12.0f}));
}

} // namespace
