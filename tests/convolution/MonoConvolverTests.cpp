// tests/convolution: the mono convolver's segments add up to the whole
// convolution at exactly the latency of its mode; its constructor checks, set
// and resize statuses.
#include "convolution/MonoConvolver.h"
#include "tests/convolution/ConvolutionTestUtils.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using dspkit::MonoConvolver;

std::vector<float> runMono(MonoConvolver& convolver, const std::vector<float>& x, std::uint32_t seed,
                           std::size_t minBlock, std::size_t maxBlock)
{
    std::vector<float> temp(maxBlock);
    qirtest::RandomSizes sizes(seed, minBlock, maxBlock);
    return convtest::runInBlocks(x, sizes, [&](const float* in, float* out, std::size_t n) {
        convolver.process(in, temp.data(), out, n, false);
    });
}

struct LatencyCase {
    dspkit::LatencyMode mode;
    std::size_t tap;
    std::size_t delay;
};

class MonoLatency : public testing::TestWithParam<LatencyCase> {};

TEST_P(MonoLatency, UnitImpulseComesOutAtTapPlusModeLatency)
{
    const LatencyCase& c = GetParam();
    std::vector<float> ir(c.tap + 1, 0.0f);
    ir[c.tap] = 1.0f;
    MonoConvolver convolver(16384, c.mode);
    ASSERT_EQ(convolver.set(ir.data(), ir.size(), false), dspkit::kConvolveOk);
    const std::vector<float> x = qirtest::whiteNoise(c.delay + 3000, 31);
    const auto y = runMono(convolver, x, 2, 1, 700);
    for (std::size_t t = 0; t < x.size(); ++t) {
        const float expected = t < c.delay ? 0.0f : x[t - c.delay];
        ASSERT_NEAR(y[t], expected, 1e-5f) << "t = " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(
    MonoConvolver, MonoLatency,
    testing::Values(LatencyCase{dspkit::ZeroLatency, 0, 0}, LatencyCase{dspkit::ZeroLatency, 200, 200},
                    LatencyCase{dspkit::ZeroLatency, 10000, 10000},
                    LatencyCase{dspkit::ShortLatency, 0, 128}, LatencyCase{dspkit::ShortLatency, 200, 328},
                    LatencyCase{dspkit::ShortLatency, 10000, 10128},
                    LatencyCase{dspkit::MediumLatency, 0, 512},
                    LatencyCase{dspkit::MediumLatency, 200, 712},
                    LatencyCase{dspkit::MediumLatency, 10000, 10512}));

struct ModeCase {
    dspkit::LatencyMode mode;
    std::size_t latency;
};

class MonoMatch : public testing::TestWithParam<ModeCase> {};

// A dense random response crossing every segment boundary.
TEST_P(MonoMatch, EqualsDirectConvolutionAtModeLatency)
{
    const ModeCase& c = GetParam();
    const std::vector<float> ir = qirtest::whiteNoise(16384, 41);
    MonoConvolver convolver(16384, c.mode);
    convolver.setResetOffset(-1);
    ASSERT_EQ(convolver.set(ir.data(), ir.size(), false), dspkit::kConvolveOk);
    const std::vector<float> x = qirtest::whiteNoise(24000, 42);
    const auto y = runMono(convolver, x, 3, 1, 3000);
    EXPECT_LT(qirtest::relativeError(y, convtest::delayedReference(x, ir, c.latency)), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(MonoConvolver, MonoMatch,
                         testing::Values(ModeCase{dspkit::ZeroLatency, 0}, ModeCase{dspkit::ShortLatency, 128},
                                         ModeCase{dspkit::MediumLatency, 512}));

struct SizesCase {
    bool zeroLatency;
    unsigned int sizes[4];
    const char* error;
};

class MonoSizes : public testing::TestWithParam<SizesCase> {};

TEST_P(MonoSizes, AcceptsAscendingPowersOfTwoOnly)
{
    const SizesCase& c = GetParam();
    const auto make = [&] {
        return MonoConvolver(4000, c.zeroLatency, c.sizes[0], c.sizes[1], c.sizes[2], c.sizes[3]);
    };
    if (c.error == nullptr) {
        EXPECT_NO_THROW(make());
        return;
    }
    try {
        make();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(MonoConvolver, MonoSizes,
                         testing::Values(SizesCase{false, {256, 1024, 0, 0}, nullptr},
                                         SizesCase{true, {0, 64, 0, 512}, nullptr},
                                         SizesCase{false, {512, 256, 0, 0}, "invalid FFT size or order"},
                                         SizesCase{false, {256, 256, 0, 0}, "invalid FFT size or order"},
                                         SizesCase{false, {16, 0, 0, 0}, "invalid FFT size or order"},
                                         SizesCase{false, {256, 2097152, 0, 0}, "invalid FFT size or order"},
                                         SizesCase{false, {256, 1000, 0, 0}, "invalid FFT size or order"},
                                         SizesCase{true, {8192, 0, 0, 0}, "invalid FFT size or order"},
                                         SizesCase{false, {0, 0, 0, 0}, "no valid FFT sizes given"}));

// Two sizes: a middle part of FFT 256 (window 384 samples after the head) and
// a final part of FFT 1024; the sum still lines up at the first size's latency.
TEST(MonoConvolver, CustomSizesAddUpToTheWholeResponse)
{
    const std::vector<float> ir = qirtest::whiteNoise(3000, 43);
    const std::vector<float> x = qirtest::whiteNoise(8000, 44);
    for (const bool zeroLatency : {false, true}) {
        MonoConvolver convolver(4000, zeroLatency, 256, 1024, 0, 0);
        ASSERT_EQ(convolver.set(ir.data(), ir.size(), false), dspkit::kConvolveOk);
        const auto y = runMono(convolver, x, 4, 1, 500);
        EXPECT_LT(qirtest::relativeError(y, convtest::delayedReference(x, ir, zeroLatency ? 0 : 128)), 1e-5)
            << zeroLatency;
    }
}

TEST(MonoConvolver, ShortResponseLeavesLaterSegmentsEmpty)
{
    const std::vector<float> ir = qirtest::whiteNoise(300, 45);
    MonoConvolver convolver(16384, dspkit::ShortLatency);
    ASSERT_EQ(convolver.set(ir.data(), ir.size(), false), dspkit::kConvolveOk);
    const std::vector<float> x = qirtest::whiteNoise(3000, 46);
    const auto y = runMono(convolver, x, 5, 1, 300);
    EXPECT_LT(qirtest::relativeError(y, convtest::delayedReference(x, ir, 128)), 1e-5);
}

// A sparse response keeps the reference cheap at 20000 taps.
std::vector<float> sparseResponse(std::size_t length)
{
    std::vector<float> ir(length, 0.0f);
    const std::vector<float> values = qirtest::whiteNoise(length / 97 + 1, 47);
    for (std::size_t k = 0, i = 0; k < length; k += 97, ++i) {
        ir[k] = values[i];
    }
    ir[length - 1] = 0.5f;
    return ir;
}

TEST(MonoConvolver, LongerResponseNeedsResize)
{
    const std::vector<float> ir = sparseResponse(20000);
    const std::vector<float> x = qirtest::whiteNoise(24000, 48);
    std::vector<float> temp(x.size());

    MonoConvolver convolver(16384, dspkit::ZeroLatency);
    EXPECT_EQ(convolver.set(ir.data(), ir.size(), false), dspkit::kConvolveMemoryTooSmall);
    std::vector<float> untouched(x.size(), 3.0f);
    convolver.process(x.data(), temp.data(), untouched.data(), x.size(), false);
    EXPECT_EQ(untouched, std::vector<float>(x.size(), 3.0f));

    EXPECT_EQ(convolver.set(ir.data(), ir.size(), true), dspkit::kConvolveOk);
    EXPECT_LT(qirtest::relativeError(runMono(convolver, x, 6, 1, 2000), qirtest::directConvolve(x, ir)), 1e-5);

    // resize makes room but loads nothing: silent until the next set.
    MonoConvolver resized(16384, dspkit::ZeroLatency);
    EXPECT_EQ(resized.resize(20000), dspkit::kConvolveOk);
    std::vector<float> out(64, 3.0f);
    resized.process(x.data(), temp.data(), out.data(), out.size(), false);
    EXPECT_EQ(out, std::vector<float>(64, 3.0f));
    EXPECT_EQ(resized.set(ir.data(), ir.size(), false), dspkit::kConvolveOk);
    EXPECT_LT(qirtest::relativeError(runMono(resized, x, 7, 1, 2000), qirtest::directConvolve(x, ir)), 1e-5);
}

TEST(MonoConvolver, EmptyResponseIsSilent)
{
    MonoConvolver convolver(16384, dspkit::ZeroLatency);
    EXPECT_EQ(convolver.set(nullptr, 0, false), dspkit::kConvolveOk);
    EXPECT_EQ(convolver.set(nullptr, 100, false), dspkit::kConvolveOk);
    const std::vector<float> x = qirtest::whiteNoise(256, 1);
    std::vector<float> temp(256), out(256, 2.0f);
    convolver.process(x.data(), temp.data(), out.data(), out.size(), false);
    EXPECT_EQ(out, std::vector<float>(256, 2.0f));
}

TEST(MonoConvolver, AccumulateAddsToTheOutput)
{
    const std::vector<float> ir = qirtest::whiteNoise(1000, 50);
    MonoConvolver convolver(16384, dspkit::ZeroLatency);
    ASSERT_EQ(convolver.set(ir.data(), ir.size(), false), dspkit::kConvolveOk);
    const std::vector<float> x = qirtest::whiteNoise(2048, 51);
    std::vector<float> temp(128), out(x.size(), 1.0f);
    for (std::size_t s = 0; s < x.size(); s += 128) {
        convolver.process(x.data() + s, temp.data(), out.data() + s, 128, true);
    }
    auto expected = qirtest::directConvolve(x, ir);
    for (double& v : expected) {
        v += 1.0;
    }
    EXPECT_LT(qirtest::relativeError(out, expected), 1e-5);
}

TEST(MonoConvolver, ResetForgetsEarlierInput)
{
    const std::vector<float> ir = qirtest::whiteNoise(5000, 52);
    MonoConvolver convolver(16384, dspkit::ZeroLatency);
    ASSERT_EQ(convolver.set(ir.data(), ir.size(), false), dspkit::kConvolveOk);
    (void)runMono(convolver, qirtest::whiteNoise(7000, 53), 8, 1, 512);
    EXPECT_EQ(convolver.reset(), dspkit::kConvolveOk);
    const std::vector<float> x = qirtest::whiteNoise(9000, 54);
    EXPECT_LT(qirtest::relativeError(runMono(convolver, x, 9, 1, 512), qirtest::directConvolve(x, ir)), 1e-5);
}

TEST(MonoConvolver, MovedConvolverKeepsItsResponse)
{
    const std::vector<float> ir = qirtest::whiteNoise(2000, 55);
    MonoConvolver original(16384, dspkit::ZeroLatency);
    ASSERT_EQ(original.set(ir.data(), ir.size(), false), dspkit::kConvolveOk);
    std::vector<MonoConvolver> convolvers;
    convolvers.push_back(std::move(original));
    convolvers.emplace_back(16384, dspkit::ZeroLatency);
    const std::vector<float> x = qirtest::whiteNoise(5000, 56);
    EXPECT_LT(qirtest::relativeError(runMono(convolvers[0], x, 10, 1, 512), qirtest::directConvolve(x, ir)),
              1e-5);
}

TEST(MonoConvolver, UnknownLatencyModeThrows)
{
    EXPECT_THROW(MonoConvolver(16384, static_cast<dspkit::LatencyMode>(3)), std::runtime_error);
}

} // namespace
