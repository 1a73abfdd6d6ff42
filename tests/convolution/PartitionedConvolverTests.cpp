// tests/convolution: the partitioned FFT convolver equals a plain direct
// convolution delayed by half its FFT size, whatever the block sizes and the
// phase its FFTs fall at; its statuses and size rules.
#include "convolution/PartitionedConvolver.h"
#include "tests/convolution/ConvolutionTestUtils.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using dspkit::PartitionedConvolver;

struct MatchCase {
    unsigned long fftSize;
    std::size_t irLength;
    unsigned long offset;
    unsigned long length;
    long resetOffset;
    std::size_t minBlock;
    std::size_t maxBlock;
    std::size_t signalLength;
};

std::ostream& operator<<(std::ostream& os, const MatchCase& c)
{
    return os << "N=" << c.fftSize << " ir=" << c.irLength << " offset=" << c.offset
              << " length=" << c.length << " reset=" << c.resetOffset << " blocks=" << c.minBlock
              << ".." << c.maxBlock;
}

class PartitionedMatch : public testing::TestWithParam<MatchCase> {};

TEST_P(PartitionedMatch, EqualsDelayedDirectConvolution)
{
    const MatchCase& c = GetParam();
    const std::vector<float> ir = qirtest::whiteNoise(c.irLength, 17);
    const std::vector<float> x = qirtest::whiteNoise(c.signalLength, 29);
    PartitionedConvolver convolver(c.fftSize, c.irLength, c.offset, c.length);
    convolver.setResetOffset(c.resetOffset);
    ASSERT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);

    qirtest::RandomSizes sizes(7, c.minBlock, c.maxBlock);
    const auto y = convtest::runInBlocks(x, sizes, [&](const float* in, float* out, std::size_t n) {
        ASSERT_TRUE(convolver.process(in, out, n));
    });
    const auto h = convtest::window(ir, c.offset, c.length == 0 ? ir.size() : c.length);
    EXPECT_LT(qirtest::relativeError(y, convtest::delayedReference(x, h, c.fftSize / 2)), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(
    PartitionedConvolver, PartitionedMatch,
    testing::Values(
        // A single partition, one sample at a time, then odd sizes.
        MatchCase{32, 16, 0, 0, 0, 1, 1, 600},
        MatchCase{64, 100, 0, 0, 5, 1, 7, 2000},
        MatchCase{64, 100, 0, 0, 40, 1, 100, 2000},
        // Blocks larger than the hop, random FFT phase.
        MatchCase{256, 1000, 0, 0, -1, 1, 700, 6000},
        // A window in the middle of the response.
        MatchCase{1024, 5000, 300, 2000, -1, 1, 1500, 9000},
        MatchCase{4096, 6000, 0, 0, 1000, 64, 5000, 16000},
        MatchCase{16384, 9000, 0, 0, -1, 128, 128, 20000}));

TEST(PartitionedConvolver, UnitImpulseDelaysByHalfTheFFTSize)
{
    PartitionedConvolver convolver(32, 32, 0, 0);
    const float one = 1.0f;
    ASSERT_EQ(convolver.set(&one, 1), dspkit::kConvolveOk);
    const std::vector<float> x = qirtest::whiteNoise(200, 1);
    qirtest::RandomSizes sizes(3, 1, 40);
    const auto y = convtest::runInBlocks(x, sizes, [&](const float* in, float* out, std::size_t n) {
        ASSERT_TRUE(convolver.process(in, out, n));
    });
    for (std::size_t t = 0; t < x.size(); ++t) {
        EXPECT_NEAR(y[t], t < 16 ? 0.0f : x[t - 16], 1e-6f) << t;
    }
}

// After a reset (or a new set) earlier input counts as silence.
TEST(PartitionedConvolver, ResetForgetsEarlierInput)
{
    const std::vector<float> ir = qirtest::whiteNoise(100, 2);
    PartitionedConvolver convolver(64, 100, 0, 0);
    ASSERT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    const std::vector<float> before = qirtest::whiteNoise(333, 4);
    std::vector<float> scratch(before.size());
    ASSERT_TRUE(convolver.process(before.data(), scratch.data(), before.size()));

    convolver.reset();
    const std::vector<float> x = qirtest::whiteNoise(1000, 5);
    qirtest::RandomSizes sizes(9, 1, 90);
    const auto y = convtest::runInBlocks(x, sizes, [&](const float* in, float* out, std::size_t n) {
        ASSERT_TRUE(convolver.process(in, out, n));
    });
    EXPECT_LT(qirtest::relativeError(y, convtest::delayedReference(x, ir, 32)), 1e-5);
}

TEST(PartitionedConvolver, ProcessesInPlace)
{
    const std::vector<float> ir = qirtest::whiteNoise(300, 2);
    PartitionedConvolver convolver(128, 300, 0, 0);
    ASSERT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    std::vector<float> x = qirtest::whiteNoise(1000, 8);
    const auto expected = convtest::delayedReference(x, ir, 64);
    qirtest::RandomSizes sizes(4, 1, 200);
    std::size_t done = 0;
    while (done < x.size()) {
        const std::size_t n = std::min(sizes.next(), x.size() - done);
        ASSERT_TRUE(convolver.process(x.data() + done, x.data() + done, n));
        done += n;
    }
    EXPECT_LT(qirtest::relativeError(x, expected), 1e-5);
}

TEST(PartitionedConvolver, WindowLongerThanCapacityIsTruncatedWithStatus)
{
    const std::vector<float> ir = qirtest::whiteNoise(3000, 6);
    PartitionedConvolver convolver(256, 1000, 0, 0);
    EXPECT_EQ(convolver.getMaxImpulseLength(), 1024ul);
    EXPECT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveMemoryTooSmall);
    EXPECT_EQ(convolver.getNumPartitions(), 8ul);
    const std::vector<float> x = qirtest::whiteNoise(4000, 7);
    std::vector<float> y(x.size());
    ASSERT_TRUE(convolver.process(x.data(), y.data(), x.size()));
    EXPECT_LT(qirtest::relativeError(y, convtest::delayedReference(x, convtest::window(ir, 0, 1024), 128)),
              1e-5);
}

TEST(PartitionedConvolver, PartitionCountIsWindowOverHop)
{
    const std::vector<float> ir = qirtest::whiteNoise(100, 6);
    PartitionedConvolver convolver(64, 100, 0, 0);
    ASSERT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    EXPECT_EQ(convolver.getNumPartitions(), 4ul);
}

// Without an impulse response process reports false and leaves out alone.
TEST(PartitionedConvolver, EmptyWindowLeavesOutputUntouched)
{
    const std::vector<float> ir = qirtest::whiteNoise(50, 6);
    PartitionedConvolver convolver(64, 100, 60, 0);
    const std::vector<float> x(64, 1.0f);
    std::vector<float> out(64, 7.0f);
    EXPECT_FALSE(convolver.process(x.data(), out.data(), out.size()));

    EXPECT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    EXPECT_FALSE(convolver.process(x.data(), out.data(), out.size()));
    convolver.setOffset(0);
    EXPECT_EQ(convolver.set(nullptr, 50), dspkit::kConvolveOk);
    EXPECT_FALSE(convolver.process(x.data(), out.data(), out.size()));
    EXPECT_EQ(out, std::vector<float>(64, 7.0f));

    EXPECT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    EXPECT_TRUE(convolver.process(x.data(), out.data(), 0));
    EXPECT_EQ(out, std::vector<float>(64, 7.0f));
}

struct FFTSizeCase {
    unsigned long request;
    dspkit::ConvolveStatus status;
    unsigned long fftSize;
    bool keepsImpulse;
};

class PartitionedFFTSize : public testing::TestWithParam<FFTSizeCase> {};

TEST_P(PartitionedFFTSize, SelectsOrRefuses)
{
    const FFTSizeCase& c = GetParam();
    PartitionedConvolver convolver(1024, 2048, 0, 0);
    const std::vector<float> ir = qirtest::whiteNoise(600, 1);
    ASSERT_EQ(convolver.set(ir.data(), ir.size()), dspkit::kConvolveOk);
    EXPECT_EQ(convolver.setFFTSize(c.request), c.status);
    EXPECT_EQ(convolver.getFFTSize(), c.fftSize);
    std::vector<float> out(16);
    EXPECT_EQ(convolver.process(out.data(), out.data(), out.size()), c.keepsImpulse);
}

INSTANTIATE_TEST_SUITE_P(
    PartitionedConvolver, PartitionedFFTSize,
    testing::Values(FFTSizeCase{16, dspkit::kConvolveFFTSizeOutOfRange, 1024, true},
                    FFTSizeCase{2048, dspkit::kConvolveFFTSizeOutOfRange, 1024, true},
                    FFTSizeCase{100, dspkit::kConvolveFFTSizeNotPowerOfTwo, 128, false},
                    FFTSizeCase{256, dspkit::kConvolveOk, 256, false},
                    FFTSizeCase{1024, dspkit::kConvolveOk, 1024, true}));

TEST(PartitionedConvolver, ConstructorClampsAndRoundsSizes)
{
    EXPECT_EQ(PartitionedConvolver(16, 0, 0, 0).getFFTSize(), 32ul);
    EXPECT_EQ(PartitionedConvolver(5000, 0, 0, 0).getFFTSize(), 8192ul);
    EXPECT_EQ(PartitionedConvolver(3000000, 0, 0, 0).getFFTSize(), 1048576ul);
    EXPECT_EQ(PartitionedConvolver(0, 0, 0, 0).getFFTSize(), 32ul);
    EXPECT_EQ(PartitionedConvolver(256, 1000, 0, 0).getMaxImpulseLength(), 1024ul);
    EXPECT_EQ(PartitionedConvolver(256, 1024, 0, 0).getMaxImpulseLength(), 1024ul);
}

TEST(PartitionedConvolver, ImpossibleCapacityThrows)
{
    EXPECT_THROW(PartitionedConvolver(256, std::numeric_limits<unsigned long>::max() / 2, 0, 0),
                 std::bad_alloc);
}

TEST(PartitionedConvolver, LengthAboveCapacityIsRefusedWithStatus)
{
    PartitionedConvolver convolver(256, 1024, 0, 0);
    EXPECT_EQ(convolver.setLength(1025), dspkit::kConvolvePartitionLengthTooLarge);
    EXPECT_EQ(convolver.setLength(1024), dspkit::kConvolveOk);
}

TEST(PartitionedConvolver, Log2RoundsUp)
{
    EXPECT_EQ(PartitionedConvolver::log2(0), 0ul);
    EXPECT_EQ(PartitionedConvolver::log2(1), 0ul);
    EXPECT_EQ(PartitionedConvolver::log2(3), 2ul);
    EXPECT_EQ(PartitionedConvolver::log2(4), 2ul);
    EXPECT_EQ(PartitionedConvolver::log2(5), 3ul);
}

TEST(PartitionedConvolver, PartitionProductKeepsDcAndNyquistApart)
{
    float aRe[16], aIm[16], bRe[16], bIm[16], cRe[16], cIm[16];
    for (int i = 0; i < 16; ++i) {
        aRe[i] = 1.0f + i;
        aIm[i] = 0.5f * i + 3.0f;
        bRe[i] = 2.0f - i;
        bIm[i] = 0.25f * i - 1.0f;
        cRe[i] = 1.0f;
        cIm[i] = -1.0f;
    }
    PartitionedConvolver::processPartition({aRe, aIm}, {bRe, bIm}, {cRe, cIm}, 16);
    EXPECT_FLOAT_EQ(cRe[0], 1.0f + aRe[0] * bRe[0]);
    EXPECT_FLOAT_EQ(cIm[0], -1.0f + aIm[0] * bIm[0]);
    for (int i = 1; i < 16; ++i) {
        EXPECT_FLOAT_EQ(cRe[i], 1.0f + aRe[i] * bRe[i] - aIm[i] * bIm[i]);
        EXPECT_FLOAT_EQ(cIm[i], -1.0f + aIm[i] * bRe[i] + aRe[i] * bIm[i]);
    }
    EXPECT_EQ(aIm[0], 3.0f);
    EXPECT_EQ(bIm[0], -1.0f);
}

} // namespace
