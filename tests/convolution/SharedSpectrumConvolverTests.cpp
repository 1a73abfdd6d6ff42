// tests/convolution: the shared-spectrum engine of the multichannel convolver
// against the per-pair engine and against direct convolution in double
// precision: random response matrices and block sizes, latency per mode,
// restarts of the whole convolver and of single pairs, pairs remade for longer
// responses, and no allocation on the audio path.
#include "convolution/Convolver.h"
#include "tests/convolution/ConvolutionTestUtils.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using dspkit::Convolver;
using Signals = std::vector<std::vector<float>>;

// Runs a convolver over per-channel signals in blocks whose sizes nextSize()
// gives; returns one signal per output.
template <class NextSize>
Signals runBlocks(Convolver& convolver, const Signals& xs, std::size_t numOuts, NextSize&& nextSize)
{
    const std::size_t length = xs[0].size();
    Signals ys(numOuts, std::vector<float>(length));
    std::vector<const float*> ins(xs.size());
    std::vector<float*> outs(numOuts);
    for (std::size_t done = 0; done < length;) {
        const std::size_t n = std::min(nextSize(), length - done);
        for (std::size_t i = 0; i < xs.size(); ++i) {
            ins[i] = xs[i].data() + done;
        }
        for (std::size_t o = 0; o < numOuts; ++o) {
            outs[o] = ys[o].data() + done;
        }
        convolver.process(ins.data(), outs.data(), ins.size(), numOuts, n);
        done += n;
    }
    return ys;
}

// In random block sizes from minBlock to maxBlock.
Signals run(Convolver& convolver, const Signals& xs, std::size_t numOuts, std::uint32_t seed, std::size_t minBlock,
            std::size_t maxBlock)
{
    qirtest::RandomSizes sizes(seed, minBlock, maxBlock);
    return runBlocks(convolver, xs, numOuts, [&] { return sizes.next(); });
}

// In block sizes taken in turn from a fixed pattern.
Signals runPattern(Convolver& convolver, const Signals& xs, std::size_t numOuts,
                   const std::vector<std::size_t>& pattern)
{
    std::size_t call = 0;
    return runBlocks(convolver, xs, numOuts, [&] { return pattern[call++ % pattern.size()]; });
}

// count channels of white noise, seeds firstSeed on.
Signals noiseChannels(std::size_t count, std::size_t length, std::uint32_t firstSeed)
{
    Signals xs(count);
    for (std::size_t i = 0; i < count; ++i) {
        xs[i] = qirtest::whiteNoise(length, firstSeed + static_cast<std::uint32_t>(i));
    }
    return xs;
}

std::vector<float> decayingNoise(std::size_t length, std::uint32_t seed)
{
    std::vector<float> h = qirtest::whiteNoise(length, seed);
    for (std::size_t k = 0; k < h.size(); ++k) {
        h[k] *= std::exp(-static_cast<float>(k) / 3000.0f);
    }
    return h;
}

void load(Convolver& convolver, const std::vector<Signals>& hs)
{
    for (std::size_t o = 0; o < hs.size(); ++o) {
        for (std::size_t i = 0; i < hs[o].size(); ++i) {
            ASSERT_EQ(convolver.set(static_cast<unsigned>(i), static_cast<unsigned>(o), hs[o][i].data(),
                                    hs[o][i].size(), false),
                      dspkit::kConvolveOk);
        }
    }
    convolver.reset();
}

// A 64x2 matrix of random responses: mostly short ones of random length (so
// the double-precision reference stays affordable) and a few that reach into
// every segment, including empty pairs; random block sizes from 1 to 700.
TEST(SharedSpectrumConvolver, EnginesAgreeWithEachOtherAndWithDirectConvolution)
{
    constexpr std::size_t kIns = 64;
    constexpr std::size_t kOuts = 2;
    constexpr std::size_t kLength = 19000;
    qirtest::RandomSizes lengths(5, 0, 1200);
    std::vector<Signals> hs(kOuts, Signals(kIns));
    for (std::size_t o = 0; o < kOuts; ++o) {
        for (std::size_t i = 0; i < kIns; ++i) {
            const bool longOne = (i + 7 * o) % 16 == 3;
            hs[o][i] = decayingNoise(longOne ? 16384 : lengths.next(), static_cast<std::uint32_t>(1000 + 64 * o + i));
        }
    }
    const Signals xs = noiseChannels(kIns, kLength, 100);

    std::vector<std::vector<double>> references;
    for (std::size_t o = 0; o < kOuts; ++o) {
        references.push_back(qirtest::directConvolveSum(xs, hs[o]));
    }
    for (const dspkit::LatencyMode mode : {dspkit::ZeroLatency, dspkit::ShortLatency}) {
        Convolver shared(kIns, kOuts, mode, dspkit::kSharedSpectrumEngine);
        Convolver perPair(kIns, kOuts, mode, dspkit::kPerPairEngine);
        load(shared, hs);
        load(perPair, hs);
        const Signals a = run(shared, xs, kOuts, 17, 1, 700);
        const Signals b = run(perPair, xs, kOuts, 23, 1, 700);
        const std::size_t delay = mode == dspkit::ZeroLatency ? 0 : 128;
        for (std::size_t o = 0; o < kOuts; ++o) {
            std::vector<double> expected = references[o];
            expected.insert(expected.begin(), delay, 0.0);
            expected.resize(kLength);
            EXPECT_LT(qirtest::relativeError(a[o], expected), 1e-5) << "mode " << mode << " output " << o;
            EXPECT_LT(qirtest::relativeError(b[o], expected), 1e-5) << "mode " << mode << " output " << o;
            const std::vector<double> other(b[o].begin(), b[o].end());
            EXPECT_LT(qirtest::relativeError(a[o], other), 1e-5) << "mode " << mode << " output " << o;
        }
    }
}

// Full-size decoder matrices (every response 16384 taps) in every mode: the
// two engines agree over a second of audio in random block sizes.
TEST(SharedSpectrumConvolver, EnginesAgreeOnFullDecoderMatrices)
{
    constexpr std::size_t kIns = 64;
    constexpr std::size_t kOuts = 2;
    constexpr std::size_t kLength = 48000;
    std::vector<Signals> hs(kOuts, Signals(kIns));
    for (std::size_t o = 0; o < kOuts; ++o) {
        for (std::size_t i = 0; i < kIns; ++i) {
            hs[o][i] = decayingNoise(16384, static_cast<std::uint32_t>(5000 + 64 * o + i));
        }
    }
    const Signals xs = noiseChannels(kIns, kLength, 300);
    for (const dspkit::LatencyMode mode : {dspkit::ZeroLatency, dspkit::ShortLatency, dspkit::MediumLatency}) {
        Convolver shared(kIns, kOuts, mode, dspkit::kSharedSpectrumEngine);
        Convolver perPair(kIns, kOuts, mode, dspkit::kPerPairEngine);
        load(shared, hs);
        load(perPair, hs);
        const Signals a = run(shared, xs, kOuts, 31 + mode, 1, 1100);
        const Signals b = run(perPair, xs, kOuts, 37 + mode, 1, 1100);
        for (std::size_t o = 0; o < kOuts; ++o) {
            const std::vector<double> other(b[o].begin(), b[o].end());
            EXPECT_LT(qirtest::relativeError(a[o], other), 1e-5) << "mode " << mode << " output " << o;
        }
    }
}

// Whole 128-sample hops inside one call take the head from the spectra of the
// smallest segment, the rest of a call the direct form. Block patterns that are
// all whole hops, never whole hops, and a mix of both agree with direct
// convolution; three outputs take the one-output paths too, and one pair is
// empty.
TEST(SharedSpectrumConvolver, HeadFromSpectraAndDirectFormAgreeForEveryBlockPattern)
{
    constexpr std::size_t kIns = 6;
    constexpr std::size_t kOuts = 3;
    constexpr std::size_t kLength = 6000;
    qirtest::RandomSizes lengths(41, 1, 700);
    std::vector<Signals> hs(kOuts, Signals(kIns));
    for (std::size_t o = 0; o < kOuts; ++o) {
        for (std::size_t i = 0; i < kIns; ++i) {
            const std::size_t length = o == 1 && i == 2 ? 0 : lengths.next();
            hs[o][i] = decayingNoise(length, static_cast<std::uint32_t>(600 + 8 * o + i));
        }
    }
    const Signals xs = noiseChannels(kIns, kLength, 90);
    const std::vector<std::vector<std::size_t>> patterns = {
        {128}, {512}, {384, 128}, {64}, {100}, {128, 37, 91, 256, 127, 1, 640}, {1000}};
    for (const auto& pattern : patterns) {
        Convolver convolver(kIns, kOuts, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine);
        load(convolver, hs);
        const Signals ys = runPattern(convolver, xs, kOuts, pattern);
        for (std::size_t o = 0; o < kOuts; ++o) {
            EXPECT_LT(qirtest::relativeError(ys[o], qirtest::directConvolveSum(xs, hs[o])), 1e-5)
                << "first block " << pattern[0] << " output " << o;
        }
    }
}

struct LatencyCase {
    dspkit::LatencyMode mode;
    std::size_t tap;
    std::size_t delay;
};

class SharedSpectrumLatency : public ::testing::TestWithParam<LatencyCase> {};

// A unit impulse at one tap delays the input by the tap plus the mode's
// latency, on both engines.
TEST_P(SharedSpectrumLatency, DelaysByTapPlusModeLatency)
{
    const LatencyCase c = GetParam();
    std::vector<float> h(c.tap + 1, 0.0f);
    h[c.tap] = 1.0f;
    const Signals xs = {qirtest::whiteNoise(24000, 3)};
    for (const dspkit::EConvolverEngine engine : {dspkit::kSharedSpectrumEngine, dspkit::kPerPairEngine}) {
        Convolver convolver(1, 2, c.mode, engine);
        ASSERT_EQ(convolver.set(0, 1, h.data(), h.size(), false), dspkit::kConvolveOk);
        convolver.reset();
        const Signals ys = run(convolver, xs, 2, 9, 1, 600);
        for (std::size_t t = 0; t < xs[0].size(); ++t) {
            const float expected = t >= c.delay ? xs[0][t - c.delay] : 0.0f;
            ASSERT_NEAR(ys[1][t], expected, 1e-5f) << "engine " << engine << " t " << t;
            ASSERT_EQ(ys[0][t], 0.0f) << "engine " << engine << " t " << t;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SharedSpectrumLatency,
                         ::testing::Values(LatencyCase{dspkit::ZeroLatency, 0, 0},
                                           LatencyCase{dspkit::ZeroLatency, 200, 200},
                                           LatencyCase{dspkit::ZeroLatency, 10000, 10000},
                                           LatencyCase{dspkit::ShortLatency, 0, 128},
                                           LatencyCase{dspkit::ShortLatency, 200, 328},
                                           LatencyCase{dspkit::ShortLatency, 10000, 10128},
                                           LatencyCase{dspkit::MediumLatency, 0, 512},
                                           LatencyCase{dspkit::MediumLatency, 200, 712},
                                           LatencyCase{dspkit::MediumLatency, 10000, 10512}));

// A fixture with a 4x2 convolver of 9000-tap responses (the final segment
// included) and noise input, processed in two stretches around a change.
class SharedSpectrumRestart : public ::testing::Test {
protected:
    static constexpr std::size_t kIns = 4;
    static constexpr std::size_t kOuts = 2;
    static constexpr std::size_t kTaps = 9000;
    static constexpr std::size_t kFirst = 20011;
    static constexpr std::size_t kLength = 70000;

    void SetUp() override
    {
        hs.assign(kOuts, Signals(kIns));
        for (std::size_t o = 0; o < kOuts; ++o) {
            for (std::size_t i = 0; i < kIns; ++i) {
                hs[o][i] = decayingNoise(kTaps, static_cast<std::uint32_t>(70 + 8 * o + i));
            }
        }
        xs = noiseChannels(kIns, kLength, 40);
        load(convolver, hs);
    }

    // Processes [from, to) of the input into ys in random blocks.
    void process(std::size_t from, std::size_t to, std::uint32_t seed)
    {
        Signals part(kIns);
        for (std::size_t i = 0; i < kIns; ++i) {
            part[i].assign(xs[i].begin() + static_cast<std::ptrdiff_t>(from),
                           xs[i].begin() + static_cast<std::ptrdiff_t>(to));
        }
        const Signals out = run(convolver, part, kOuts, seed, 1, 900);
        for (std::size_t o = 0; o < kOuts; ++o) {
            std::copy(out[o].begin(), out[o].end(), ys[o].begin() + static_cast<std::ptrdiff_t>(from));
        }
    }

    // Reference of output o with the inputs of the pairs in `fresh` silent before kFirst.
    std::vector<double> reference(std::size_t o, const std::vector<std::size_t>& fresh) const
    {
        std::vector<double> sum(kLength, 0.0);
        for (std::size_t i = 0; i < kIns; ++i) {
            std::vector<float> x = xs[i];
            if (std::find(fresh.begin(), fresh.end(), i) != fresh.end()) {
                std::fill(x.begin(), x.begin() + kFirst, 0.0f);
            }
            const std::vector<double> y = qirtest::directConvolve(x, hs[o][i]);
            for (std::size_t t = 0; t < kLength; ++t) {
                sum[t] += y[t];
            }
        }
        return sum;
    }

    static double errorFrom(const std::vector<float>& y, const std::vector<double>& expected, std::size_t from)
    {
        return qirtest::relativeError(std::vector<float>(y.begin() + static_cast<std::ptrdiff_t>(from), y.end()),
                                      std::vector<double>(expected.begin() + static_cast<std::ptrdiff_t>(from),
                                                          expected.end()));
    }

    Convolver convolver{static_cast<unsigned>(kIns), static_cast<unsigned>(kOuts), dspkit::ZeroLatency,
                        dspkit::kSharedSpectrumEngine};
    std::vector<Signals> hs;
    Signals xs;
    Signals ys{Signals(kOuts, std::vector<float>(kLength))};
};

// The whole-convolver reset restarts every output from silence exactly.
TEST_F(SharedSpectrumRestart, WholeResetRestartsFromSilence)
{
    process(0, kFirst, 1);
    convolver.reset();
    process(kFirst, kLength, 2);
    for (std::size_t o = 0; o < kOuts; ++o) {
        EXPECT_LT(errorFrom(ys[o], reference(o, {0, 1, 2, 3}), kFirst), 1e-5) << o;
    }
}

// A pair reset leaves every other pair as it was and brings the pair back to
// the convolution of the input since the reset, exact from one response
// length plus the largest FFT size on; its head never reads older input.
TEST_F(SharedSpectrumRestart, PairResetClearsOnlyThatPairsHistory)
{
    process(0, kFirst, 3);
    ASSERT_EQ(convolver.reset(1, 0), dspkit::kConvolveOk);
    process(kFirst, kLength, 4);
    EXPECT_LT(errorFrom(ys[1], reference(1, {}), 0), 1e-5);
    EXPECT_LT(errorFrom(ys[0], reference(0, {1}), kFirst + kTaps + 16384), 1e-5);

    // With only pair (1, 0) sounding, the first head-length samples after the
    // reset hold no input from before it.
    Convolver single(kIns, kOuts, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine);
    std::vector<float> head(100);
    head[99] = 1.0f;
    ASSERT_EQ(single.set(1, 0, head.data(), head.size(), false), dspkit::kConvolveOk);
    single.reset();
    std::vector<float> in(256, 1.0f);
    std::vector<float> out0(256);
    std::vector<float> out1(256);
    const float* ins[] = {in.data(), in.data(), in.data(), in.data()};
    float* outs[] = {out0.data(), out1.data()};
    single.process(ins, outs, kIns, kOuts, 256);
    EXPECT_EQ(out0[255], 1.0f);
    ASSERT_EQ(single.reset(1, 0), dspkit::kConvolveOk);
    single.process(ins, outs, kIns, kOuts, 99);
    for (std::size_t t = 0; t < 99; ++t) {
        ASSERT_EQ(out0[t], 0.0f) << t;
    }
    single.process(ins, outs, kIns, kOuts, 1);
    EXPECT_EQ(out0[0], 1.0f);

    // In whole 128-sample blocks: the first block after the reset is summed in
    // direct form from fresh input only, the later ones come from spectra.
    std::vector<float> ramp(512);
    for (std::size_t t = 0; t < ramp.size(); ++t) {
        ramp[t] = static_cast<float>(t + 1);
    }
    std::vector<float> first(384);
    const float* before[] = {ramp.data(), ramp.data(), ramp.data(), ramp.data()};
    float* firstOuts[] = {first.data(), out1.data()};
    single.reset();
    single.process(before, firstOuts, kIns, kOuts, 128);
    single.process(before, firstOuts, kIns, kOuts, 128);
    ASSERT_EQ(single.reset(1, 0), dspkit::kConvolveOk);
    for (std::size_t block = 0; block < 3; ++block) {
        const float* fresh[] = {ramp.data() + 128 * block, ramp.data() + 128 * block, ramp.data() + 128 * block,
                                ramp.data() + 128 * block};
        float* blockOuts[] = {first.data() + 128 * block, out1.data()};
        single.process(fresh, blockOuts, kIns, kOuts, 128);
    }
    for (std::size_t t = 0; t < first.size(); ++t) {
        const float expected = t >= 99 ? ramp[t - 99] : 0.0f;
        ASSERT_NEAR(first[t], expected, 1e-3f) << t;
    }
}

// A pair reset on a running convolver takes no terms of the input before the
// reset into the hops after it: with an impulse of input one sample before the
// reset (at no hop boundary of any segment), a response that is one tap in
// the head, or in any FFT segment, stays silent from the reset on.
class SharedSpectrumPairRestart : public testing::TestWithParam<std::size_t> {};

TEST_P(SharedSpectrumPairRestart, TakesNoInputFromBeforeTheReset)
{
    constexpr std::size_t kReset = 20037;
    constexpr std::size_t kLength = kReset + 16384 + 2048;
    const std::size_t tap = GetParam();
    Convolver convolver(1, 1, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine);
    std::vector<float> h(tap + 1, 0.0f);
    h[tap] = 1.0f;
    ASSERT_EQ(convolver.set(0, 0, h.data(), h.size(), false), dspkit::kConvolveOk);
    convolver.reset();
    std::vector<float> x(kLength, 0.0f);
    x[kReset - 1] = 1.0f;
    std::vector<float> y(kLength, -1.0f);
    qirtest::RandomSizes sizes(static_cast<std::uint32_t>(tap), 1, 700);
    for (std::size_t done = 0; done < kLength;) {
        const std::size_t n = std::min({sizes.next(), kLength - done, done < kReset ? kReset - done : kLength});
        const float* ins[] = {x.data() + done};
        float* outs[] = {y.data() + done};
        convolver.process(ins, outs, 1, 1, n);
        done += n;
        if (done == kReset) {
            ASSERT_EQ(convolver.reset(0, 0), dspkit::kConvolveOk);
        }
    }
    for (std::size_t t = 0; t < kLength; ++t) {
        ASSERT_EQ(y[t], 0.0f) << "sample " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Taps, SharedSpectrumPairRestart,
                         testing::Values(std::size_t{50}, std::size_t{300}, std::size_t{1500}, std::size_t{5000},
                                         std::size_t{12000}));

// Loading a new response into a pair that is running: the other pairs go on
// untouched, the pair settles on the new response.
TEST_F(SharedSpectrumRestart, SetWhileRunningSettlesOnTheNewResponse)
{
    process(0, kFirst, 5);
    hs[0][2] = decayingNoise(kTaps, 999);
    ASSERT_EQ(convolver.set(2, 0, hs[0][2].data(), kTaps, false), dspkit::kConvolveOk);
    process(kFirst, kLength, 6);
    EXPECT_LT(errorFrom(ys[1], reference(1, {}), 0), 1e-5);
    EXPECT_LT(errorFrom(ys[0], reference(0, {2}), kFirst + kTaps + 16384), 1e-5);
}

// Pairs remade for responses longer than the default grow the shared rings;
// a response longer than its pair holds is refused with silence.
TEST(SharedSpectrumConvolver, LongerResponsesAfterResize)
{
    constexpr std::size_t kLength = 60000;
    const Signals xs = {qirtest::whiteNoise(kLength, 1), qirtest::whiteNoise(kLength, 2)};
    const std::vector<float> longOne = decayingNoise(40000, 3);
    const std::vector<float> shortOne = decayingNoise(5000, 4);
    for (const dspkit::EConvolverEngine engine : {dspkit::kSharedSpectrumEngine, dspkit::kPerPairEngine}) {
        Convolver convolver(2, 1, dspkit::ZeroLatency, engine);
        EXPECT_EQ(convolver.set(0, 0, longOne.data(), longOne.size(), false), dspkit::kConvolveMemoryTooSmall);
        ASSERT_EQ(convolver.set(1, 0, shortOne.data(), shortOne.size(), false), dspkit::kConvolveOk);
        convolver.reset();
        Signals ys = run(convolver, xs, 1, 8, 1, 500);
        EXPECT_LT(qirtest::relativeError(ys[0], qirtest::directConvolve(xs[1], shortOne)), 1e-5) << engine;

        ASSERT_EQ(convolver.resize(0, 0, 40000), dspkit::kConvolveOk);
        ASSERT_EQ(convolver.set(0, 0, longOne.data(), longOne.size(), false), dspkit::kConvolveOk);
        convolver.reset();
        ys = run(convolver, xs, 1, 9, 1, 500);
        EXPECT_LT(qirtest::relativeError(ys[0], qirtest::directConvolveSum(xs, {longOne, shortOne})), 1e-5) << engine;
    }
}

// Responses as decoder sets hold them: a container of 16384 samples whose
// tail may be exact zeros. Six inputs into two outputs: true lengths of 16384,
// 9000, 1024 (an anechoic set's), 100 and 0, one pair with no response at all.
struct ContainerMatrix {
    static constexpr std::size_t kIns = 6;
    static constexpr std::size_t kContainer = 16384;
    std::vector<Signals> full{Signals(kIns), Signals(kIns)};
    std::vector<Signals> trimmed{Signals(kIns), Signals(kIns)};

    ContainerMatrix()
    {
        const std::size_t lengths[2][kIns] = {{16384, 1024, 9000, 100, 0, 1024}, {1024, 9000, 1024, 0, 1024, 100}};
        for (std::size_t o = 0; o < 2; ++o) {
            for (std::size_t i = 0; i < kIns; ++i) {
                trimmed[o][i] = decayingNoise(lengths[o][i], static_cast<std::uint32_t>(300 + 10 * o + i));
                if (lengths[o][i] > 0) {
                    trimmed[o][i].back() = 0.5f;
                }
                full[o][i] = trimmed[o][i];
                full[o][i].resize(kContainer, 0.0f);
            }
        }
        full[1][3].clear(); // no response at all
        trimmed[1][3].clear();
    }

    void loadInto(Convolver& convolver, bool useFull) const
    {
        for (std::size_t o = 0; o < 2; ++o) {
            for (std::size_t i = 0; i < kIns; ++i) {
                const std::vector<float>& h = useFull ? full[o][i] : trimmed[o][i];
                if (!h.empty()) {
                    ASSERT_EQ(convolver.set(static_cast<unsigned>(i), static_cast<unsigned>(o), h.data(), h.size(),
                                            false),
                              dspkit::kConvolveOk);
                }
            }
        }
        convolver.reset();
    }
};

struct BlockLayoutCase {
    std::size_t block;
    dspkit::EConvolverLayout layout;
};

// The segments follow the block size the caller announces, in the real-time
// layout and in the throughput layout, whose first hop grows with the block
// (to the whole 16384-sample container at a block of 16384 and beyond). In
// calls of exactly that size, and in calls of random sizes, every layout
// matches the double-precision reference; a response's trailing zeros change
// no output bit (the full containers give what the trimmed responses give).
class SharedSpectrumBlockLayout : public testing::TestWithParam<BlockLayoutCase> {};

TEST_P(SharedSpectrumBlockLayout, MatchesTheReferenceInWholeAndRandomBlocks)
{
    static const ContainerMatrix matrix;
    static const Signals xs = noiseChannels(ContainerMatrix::kIns, 40000, 500);
    static const std::vector<double> expected[2] = {convtest::fftConvolveSum(xs, matrix.full[0]),
                                                    convtest::fftConvolveSum(xs, matrix.full[1])};
    const std::size_t block = GetParam().block;
    const auto make = [&](bool useFull) {
        auto convolver =
            std::make_unique<Convolver>(static_cast<unsigned>(ContainerMatrix::kIns), 2u, dspkit::ZeroLatency,
                                        dspkit::kSharedSpectrumEngine, block, GetParam().layout);
        matrix.loadInto(*convolver, useFull);
        return convolver;
    };
    auto whole = make(true);
    auto wholeTrimmed = make(false);
    auto random = make(true);
    const Signals ys = runPattern(*whole, xs, 2, {block});
    const Signals ysTrimmed = runPattern(*wholeTrimmed, xs, 2, {block});
    const Signals ysRandom = run(*random, xs, 2, static_cast<std::uint32_t>(block), 1, 1100);
    for (std::size_t o = 0; o < 2; ++o) {
        EXPECT_LT(qirtest::relativeError(ys[o], expected[o]), 1e-5) << "whole blocks, output " << o;
        EXPECT_LT(qirtest::relativeError(ysRandom[o], expected[o]), 1e-5) << "random blocks, output " << o;
        EXPECT_EQ(ys[o], ysTrimmed[o]) << "output " << o;
    }
}

INSTANTIATE_TEST_SUITE_P(
    BlockSizes, SharedSpectrumBlockLayout,
    testing::Values(BlockLayoutCase{64, dspkit::kRealTimeLayout}, BlockLayoutCase{128, dspkit::kRealTimeLayout},
                    BlockLayoutCase{256, dspkit::kRealTimeLayout}, BlockLayoutCase{384, dspkit::kRealTimeLayout},
                    BlockLayoutCase{512, dspkit::kRealTimeLayout}, BlockLayoutCase{1000, dspkit::kRealTimeLayout},
                    BlockLayoutCase{1024, dspkit::kRealTimeLayout}, BlockLayoutCase{4096, dspkit::kThroughputLayout},
                    BlockLayoutCase{8192, dspkit::kThroughputLayout},
                    BlockLayoutCase{12288, dspkit::kThroughputLayout},
                    BlockLayoutCase{16384, dspkit::kThroughputLayout},
                    BlockLayoutCase{32768, dspkit::kThroughputLayout}));

struct FirstHopCase {
    unsigned long block;
    dspkit::EConvolverLayout layout;
    unsigned long maxLength;
    unsigned long firstHop;
};

// The first hop is the largest power of two dividing the block, from 64 up to
// 1024 in real time and up to the longest response for throughput; a block
// with no such divisor keeps 128.
TEST(SharedSpectrumConvolver, FirstHopFollowsTheBlockUpToTheLayoutsLimit)
{
    const FirstHopCase cases[] = {
        {8192, dspkit::kRealTimeLayout, 16384, 1024},   {8192, dspkit::kThroughputLayout, 16384, 8192},
        {12288, dspkit::kThroughputLayout, 16384, 4096}, {65536, dspkit::kThroughputLayout, 16384, 16384},
        {65536, dspkit::kThroughputLayout, 5000, 8192},  {100, dspkit::kThroughputLayout, 16384, 128},
        {0, dspkit::kThroughputLayout, 16384, 128},
    };
    for (const FirstHopCase& c : cases) {
        dspkit::SharedSpectrumConvolver convolver(2, 2, c.maxLength, dspkit::ZeroLatency, c.block, c.layout);
        EXPECT_EQ(convolver.getFirstHop(), c.firstHop) << "block " << c.block << " layout " << c.layout;
    }
}

// Calls that are not whole hops sum the head in direct form. A throughput
// layout's head is a whole 16384-sample response, and with 64 inputs each
// output sample of the direct form sums a million products: they must still
// round no worse than the spectra do. One whole hop first, so that every tap
// has input behind it, then short calls.
TEST(SharedSpectrumConvolver, LongDirectFormHeadsKeepTheAccuracy)
{
    constexpr std::size_t kIns = 64;
    constexpr std::size_t kTaps = 16384;
    constexpr std::size_t kShort = 256;
    constexpr std::size_t kLength = kTaps + kShort;
    std::vector<Signals> hs(2, Signals(kIns));
    for (std::size_t o = 0; o < 2; ++o) {
        for (std::size_t i = 0; i < kIns; ++i) {
            hs[o][i] = decayingNoise(kTaps, static_cast<std::uint32_t>(2000 + 64 * o + i));
        }
    }
    const Signals xs = noiseChannels(kIns, kLength, 900);
    Convolver convolver(kIns, 2, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine, kTaps,
                        dspkit::kThroughputLayout);
    load(convolver, hs);
    const Signals ys = runPattern(convolver, xs, 2, {kTaps, 100, 100, 56});
    for (std::size_t o = 0; o < 2; ++o) {
        const std::vector<double> expected = convtest::fftConvolveSum(xs, hs[o]);
        EXPECT_LT(qirtest::relativeError(std::vector<float>(ys[o].begin() + kTaps, ys[o].end()),
                                         std::vector<double>(expected.begin() + kTaps, expected.end())),
                  1e-5)
            << "output " << o;
    }
}

// A set whose responses all end after 1024 samples runs without its longer
// segments; loading a longer response into a pair of the running convolver
// brings them in (the final segment included). The pairs left alone stay exact
// throughout and the changed pairs, restarted at the change, are exact after
// the settle time the header states (two hops of 8192 plus the response).
TEST(SharedSpectrumConvolver, ResponsesLongerThanTheSetSoFarJoinARunningConvolver)
{
    constexpr std::size_t kIns = 4;
    constexpr std::size_t kChange = 20000;
    constexpr std::size_t kLength = 70000;
    std::vector<Signals> hs(2, Signals(kIns));
    Convolver convolver(kIns, 2, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine);
    for (std::size_t o = 0; o < 2; ++o) {
        for (std::size_t i = 0; i < kIns; ++i) {
            hs[o][i] = decayingNoise(1024, static_cast<std::uint32_t>(600 + 10 * o + i));
            std::vector<float> container = hs[o][i];
            container.resize(16384, 0.0f);
            ASSERT_EQ(convolver.set(static_cast<unsigned>(i), static_cast<unsigned>(o), container.data(),
                                    container.size(), true),
                      dspkit::kConvolveOk);
        }
    }
    convolver.reset();
    const Signals xs = noiseChannels(kIns, kLength, 700);
    Signals before(kIns), after(kIns);
    for (std::size_t i = 0; i < kIns; ++i) {
        before[i].assign(xs[i].begin(), xs[i].begin() + kChange);
        after[i].assign(xs[i].begin() + kChange, xs[i].end());
    }
    const Signals ysBefore = run(convolver, before, 2, 21, 1, 700);
    const std::vector<Signals> original = hs;
    hs[1][2] = decayingNoise(16384, 801);
    hs[0][0] = decayingNoise(5000, 802);
    ASSERT_EQ(convolver.set(2, 1, hs[1][2].data(), hs[1][2].size(), false), dspkit::kConvolveOk);
    ASSERT_EQ(convolver.set(0, 0, hs[0][0].data(), hs[0][0].size(), false), dspkit::kConvolveOk);
    const Signals ysAfter = run(convolver, after, 2, 22, 1, 700);

    const auto errorOver = [](const std::vector<float>& y, const std::vector<double>& expected, std::size_t from,
                              std::size_t to) {
        return qirtest::relativeError(
            std::vector<float>(y.begin() + static_cast<std::ptrdiff_t>(from), y.begin() + static_cast<std::ptrdiff_t>(to)),
            std::vector<double>(expected.begin() + static_cast<std::ptrdiff_t>(from),
                                expected.begin() + static_cast<std::ptrdiff_t>(to)));
    };
    const std::size_t changed[2] = {0, 2};
    for (std::size_t o = 0; o < 2; ++o) {
        std::vector<float> y = ysBefore[o];
        y.insert(y.end(), ysAfter[o].begin(), ysAfter[o].end());
        EXPECT_LT(errorOver(y, convtest::fftConvolveSum(xs, original[o]), 0, kChange), 1e-5) << "output " << o;
        Signals fresh = xs;
        std::fill(fresh[changed[o]].begin(), fresh[changed[o]].begin() + kChange, 0.0f);
        const std::size_t settled = kChange + 2 * 8192 + hs[o][changed[o]].size();
        EXPECT_LT(errorOver(y, convtest::fftConvolveSum(fresh, hs[o]), settled, kLength), 1e-5) << "output " << o;
    }
}

// Once the scratch has grown for the largest block, processing allocates
// nothing, in single and double precision, also across whole-convolver resets.
TEST(SharedSpectrumConvolver, ProcessDoesNotAllocate)
{
    constexpr std::size_t kIns = 16;
    Convolver convolver(kIns, 2, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine);
    for (unsigned i = 0; i < kIns; ++i) {
        const std::vector<float> h = decayingNoise(16384, 10 + i);
        ASSERT_EQ(convolver.set(i, i % 2, h.data(), h.size(), false), dspkit::kConvolveOk);
    }
    std::vector<std::vector<float>> in(kIns, qirtest::whiteNoise(1024, 5));
    std::vector<const float*> ins;
    std::vector<std::vector<double>> inD(kIns, std::vector<double>(1024, 0.25));
    std::vector<const double*> insD;
    for (std::size_t i = 0; i < kIns; ++i) {
        ins.push_back(in[i].data());
        insD.push_back(inD[i].data());
    }
    std::vector<float> a(1024), b(1024);
    std::vector<double> c(1024), d(1024);
    float* outs[] = {a.data(), b.data()};
    double* outsD[] = {c.data(), d.data()};
    convolver.process(ins.data(), outs, kIns, 2, 1024);
    convolver.process(insD.data(), outsD, kIns, 2, 1024);

    qirtest::AllocationCounter counter;
    qirtest::RandomSizes sizes(3, 1, 1024);
    for (int call = 0; call < 400; ++call) {
        if (call == 200) {
            convolver.reset();
        }
        convolver.process(ins.data(), outs, kIns, call % 3 == 0 ? 1 : 2, sizes.next());
        convolver.process(insD.data(), outsD, kIns, 2, sizes.next());
    }
    EXPECT_EQ(counter.count(), 0u);
}

} // namespace
