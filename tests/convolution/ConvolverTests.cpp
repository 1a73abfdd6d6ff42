// tests/convolution: the multichannel convolver's channel mapping, statuses,
// double-precision path and scratch growth, a full 64x2 decoder-sized matrix
// against an independent double-precision reference, and no allocation on the
// audio path once the scratch has grown.
#include "convolution/Convolver.h"
#include "tests/convolution/ConvolutionTestUtils.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {

using dspkit::Convolver;

using convtest::fftConvolveSum;

TEST(ConvolverReference, FFTReferenceMatchesDirectReference)
{
    const std::vector<std::vector<float>> xs = {qirtest::whiteNoise(3000, 1), qirtest::whiteNoise(3000, 2)};
    const std::vector<std::vector<float>> hs = {qirtest::whiteNoise(700, 3), qirtest::whiteNoise(700, 4)};
    const auto direct = qirtest::directConvolveSum(xs, hs);
    const auto viaFFT = fftConvolveSum(xs, hs);
    std::vector<float> asFloat(viaFFT.begin(), viaFFT.end());
    EXPECT_LT(qirtest::relativeError(asFloat, direct), 1e-7);
}

// Runs a convolver over per-channel signals in random block sizes.
std::vector<std::vector<float>> runConvolver(Convolver& convolver, const std::vector<std::vector<float>>& xs,
                                             std::size_t numOuts, std::uint32_t seed, std::size_t minBlock,
                                             std::size_t maxBlock)
{
    const std::size_t length = xs[0].size();
    std::vector<std::vector<float>> ys(numOuts, std::vector<float>(length));
    qirtest::RandomSizes sizes(seed, minBlock, maxBlock);
    std::vector<const float*> ins(xs.size());
    std::vector<float*> outs(numOuts);
    for (std::size_t done = 0; done < length;) {
        const std::size_t n = std::min(sizes.next(), length - done);
        for (std::size_t i = 0; i < xs.size(); ++i) {
            ins[i] = xs[i].data() + done;
        }
        for (std::size_t o = 0; o < numOuts; ++o) {
            outs[o] = ys[o].data() + done;
        }
        convolver.process(ins.data(), outs.data(), ins.size(), outs.size(), n);
        done += n;
    }
    return ys;
}

// The decoder's case: 64 inputs into 2 outputs with 16384-tap responses, over
// two seconds of 48 kHz noise in random block sizes.
TEST(Convolver, SixtyFourByTwoMatchesReference)
{
    constexpr std::size_t kIns = 64;
    constexpr std::size_t kOuts = 2;
    constexpr std::size_t kTaps = 16384;
    constexpr std::size_t kLength = 96000;
    Convolver convolver(kIns, kOuts, dspkit::ZeroLatency);
    std::vector<std::vector<float>> xs(kIns);
    std::vector<std::vector<std::vector<float>>> hs(kOuts, std::vector<std::vector<float>>(kIns));
    for (std::size_t i = 0; i < kIns; ++i) {
        xs[i] = qirtest::whiteNoise(kLength, static_cast<std::uint32_t>(100 + i));
        for (std::size_t o = 0; o < kOuts; ++o) {
            hs[o][i] = qirtest::whiteNoise(kTaps, static_cast<std::uint32_t>(1000 + 64 * o + i));
            // A decaying response, like a measured one.
            for (std::size_t k = 0; k < kTaps; ++k) {
                hs[o][i][k] *= std::exp(-static_cast<float>(k) / 3000.0f);
            }
            ASSERT_EQ(convolver.set(static_cast<unsigned>(i), static_cast<unsigned>(o), hs[o][i].data(), kTaps,
                                    false),
                      dspkit::kConvolveOk);
        }
    }
    convolver.reset();
    const auto ys = runConvolver(convolver, xs, kOuts, 11, 1, 1100);
    for (std::size_t o = 0; o < kOuts; ++o) {
        EXPECT_LT(qirtest::relativeError(ys[o], fftConvolveSum(xs, hs[o])), 1e-5) << "output " << o;
    }
}

// Changes of one pair, or of the inputs given, on a running 2x2 convolver,
// against the convolver's contract. Pairs (0, 0) and (1, 1) hold 9000-tap
// responses (reaching the final segment), (1, 0) a 600-tap one, (0, 1) none,
// so output 1 has a single sounding pair. The change comes at kChange, between
// calls of random sizes; from then on the per-pair engine (the default) must
// give exactly the documented result, the shared-spectrum engine the result
// its header states, from the settle time it states on.
enum class PairChange { ClearOnlySoundingPair, ClearOnePair, SetNewResponse, ResetPair, ResizePair, FewerInputs };

// Reference terms: input (full, from kChange on, or up to kChange) through one
// response, in double precision.
enum Term { kX0H00, kX1H10, kX1H11, kX0FreshH00, kX0FreshNew, kX1EarlyH10, kX1EarlyH11, kNumTerms };

struct ChangeCase {
    const char* name;
    PairChange change;
    std::vector<Term> perPair[2];
    std::vector<Term> shared[2];
    std::size_t sharedSettle;
};

void PrintTo(const ChangeCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConvolverPairChange : public testing::TestWithParam<std::tuple<dspkit::EConvolverEngine, ChangeCase>> {
protected:
    static constexpr std::size_t kTaps = 9000;
    static constexpr std::size_t kChange = 10007;
    static constexpr std::size_t kLength = 48000;

    static void SetUpTestSuite()
    {
        x0 = qirtest::whiteNoise(kLength, 21);
        x1 = qirtest::whiteNoise(kLength, 22);
        h00 = decaying(kTaps, 31);
        h10 = decaying(600, 32);
        h11 = decaying(kTaps, 33);
        hNew = decaying(kTaps, 34);
        std::vector<float> x0Fresh = x0, x1Early = x1;
        std::fill(x0Fresh.begin(), x0Fresh.begin() + kChange, 0.0f);
        std::fill(x1Early.begin() + kChange, x1Early.end(), 0.0f);
        const auto one = [](const std::vector<float>& x, const std::vector<float>& h) {
            return fftConvolveSum({x}, {h});
        };
        terms[kX0H00] = one(x0, h00);
        terms[kX1H10] = one(x1, h10);
        terms[kX1H11] = one(x1, h11);
        terms[kX0FreshH00] = one(x0Fresh, h00);
        terms[kX0FreshNew] = one(x0Fresh, hNew);
        terms[kX1EarlyH10] = one(x1Early, h10);
        terms[kX1EarlyH11] = one(x1Early, h11);
    }

    static std::vector<float> decaying(std::size_t length, std::uint32_t seed)
    {
        std::vector<float> h = qirtest::whiteNoise(length, seed);
        for (std::size_t k = 0; k < length; ++k) {
            h[k] *= std::exp(-static_cast<float>(k) / 3000.0f);
        }
        return h;
    }

    static std::vector<double> sum(const std::vector<Term>& parts)
    {
        std::vector<double> out(kLength, 0.0);
        for (const Term t : parts) {
            for (std::size_t n = 0; n < kLength; ++n) {
                out[n] += terms[t][n];
            }
        }
        return out;
    }

    static inline std::vector<float> x0, x1, h00, h10, h11, hNew;
    static inline std::vector<double> terms[kNumTerms];
};

TEST_P(ConvolverPairChange, KeepsTheEnginesDocumentedResult)
{
    const auto& [engine, c] = GetParam();
    // The per-pair rows take the convolver a caller gets without naming an engine.
    const auto made = engine == dspkit::kPerPairEngine
                          ? std::make_unique<Convolver>(2, 2, dspkit::ZeroLatency)
                          : std::make_unique<Convolver>(2, 2, dspkit::ZeroLatency, engine);
    Convolver& convolver = *made;
    ASSERT_EQ(convolver.set(0, 0, h00.data(), h00.size(), false), dspkit::kConvolveOk);
    ASSERT_EQ(convolver.set(1, 0, h10.data(), h10.size(), false), dspkit::kConvolveOk);
    ASSERT_EQ(convolver.set(1, 1, h11.data(), h11.size(), false), dspkit::kConvolveOk);
    convolver.reset();

    std::vector<std::vector<float>> ys(2, std::vector<float>(kLength));
    qirtest::RandomSizes sizes(17, 1, 700);
    std::size_t numIns = 2;
    for (std::size_t done = 0; done < kLength;) {
        const std::size_t n = std::min({sizes.next(), kLength - done, done < kChange ? kChange - done : kLength});
        const float* ins[] = {x0.data() + done, x1.data() + done};
        float* outs[] = {ys[0].data() + done, ys[1].data() + done};
        convolver.process(ins, outs, numIns, 2, n);
        done += n;
        if (done == kChange) {
            switch (c.change) {
            case PairChange::ClearOnlySoundingPair: convolver.clear(1, 1, false); break;
            case PairChange::ClearOnePair: convolver.clear(0, 0, false); break;
            case PairChange::SetNewResponse:
                ASSERT_EQ(convolver.set(0, 0, hNew.data(), hNew.size(), false), dspkit::kConvolveOk);
                break;
            case PairChange::ResetPair: ASSERT_EQ(convolver.reset(0, 0), dspkit::kConvolveOk); break;
            case PairChange::ResizePair: ASSERT_EQ(convolver.resize(0, 0, 20000), dspkit::kConvolveOk); break;
            case PairChange::FewerInputs: numIns = 1; break;
            }
        }
    }

    const bool perPair = engine == dspkit::kPerPairEngine;
    const std::size_t from = kChange + (perPair ? 0 : c.sharedSettle);
    ASSERT_LT(from, kLength);
    for (std::size_t o = 0; o < 2; ++o) {
        const std::vector<double> expected = sum(perPair ? c.perPair[o] : c.shared[o]);
        const std::vector<float> actual(ys[o].begin() + static_cast<std::ptrdiff_t>(from), ys[o].end());
        const std::vector<double> wanted(expected.begin() + static_cast<std::ptrdiff_t>(from), expected.end());
        if (std::all_of(wanted.begin(), wanted.end(), [](double v) { return v == 0.0; })) {
            EXPECT_TRUE(std::all_of(actual.begin(), actual.end(), [](float v) { return v == 0.0f; }))
                << "output " << o << " should be silent";
        } else {
            EXPECT_LT(qirtest::relativeError(actual, wanted), 1e-5) << "output " << o;
        }
        // Before the change every engine gives the plain convolution.
        const std::vector<double> before = sum(o == 0 ? std::vector<Term>{kX0H00, kX1H10} : std::vector<Term>{kX1H11});
        EXPECT_LT(qirtest::relativeError(std::vector<float>(ys[o].begin(), ys[o].begin() + kChange),
                                         std::vector<double>(before.begin(), before.begin() + kChange)),
                  1e-5)
            << "output " << o << " before the change";
    }
}

// The shared engine's settle times at zero latency: its largest hop is at most
// 8192 samples; a pair's old terms (all responses here are at most 9000 taps)
// end within two of them plus the old response's length, and a restarted pair
// holds all its new terms two hops plus the longer response's length after the
// change.
constexpr std::size_t kTwoHops = 2 * 8192;

INSTANTIATE_TEST_SUITE_P(
    Engines, ConvolverPairChange,
    testing::Combine(
        testing::Values(dspkit::kPerPairEngine, dspkit::kSharedSpectrumEngine),
        testing::Values(
            ChangeCase{"ClearOnlySoundingPair", PairChange::ClearOnlySoundingPair, {{kX0H00, kX1H10}, {}},
                       {{kX0H00, kX1H10}, {}}, kTwoHops + 9000},
            ChangeCase{"ClearOnePair", PairChange::ClearOnePair, {{kX1H10}, {kX1H11}}, {{kX1H10}, {kX1H11}},
                       kTwoHops + 9000},
            ChangeCase{"SetNewResponse", PairChange::SetNewResponse, {{kX0FreshNew, kX1H10}, {kX1H11}},
                       {{kX0FreshNew, kX1H10}, {kX1H11}}, kTwoHops + 9000},
            ChangeCase{"ResetPair", PairChange::ResetPair, {{kX0FreshH00, kX1H10}, {kX1H11}},
                       {{kX0FreshH00, kX1H10}, {kX1H11}}, kTwoHops + 9000},
            ChangeCase{"ResizePair", PairChange::ResizePair, {{kX1H10}, {kX1H11}}, {{kX1H10}, {kX1H11}},
                       kTwoHops + 9000},
            // Inputs beyond numIns: nothing at all on the per-pair engine; on
            // the shared engine they count as silence from the change on, so
            // their earlier input rings out through the responses, exactly.
            ChangeCase{"FewerInputs", PairChange::FewerInputs, {{kX0H00}, {}},
                       {{kX0H00, kX1EarlyH10}, {kX1EarlyH11}}, 0})),
    [](const testing::TestParamInfo<ConvolverPairChange::ParamType>& info) {
        return std::string(std::get<0>(info.param) == dspkit::kPerPairEngine ? "Default" : "Shared") +
               std::get<1>(info.param).name;
    });

// What a caller gets without naming an engine keeps the full contract.
TEST(Convolver, DefaultsToThePerPairEngine)
{
    EXPECT_EQ(Convolver(4, 2, dspkit::ZeroLatency).getEngine(), dspkit::kPerPairEngine);
    EXPECT_EQ(Convolver(4, 2, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine).getEngine(),
              dspkit::kSharedSpectrumEngine);
    EXPECT_EQ(Convolver(4, dspkit::ZeroLatency).getEngine(), dspkit::kPerPairEngine);
}

TEST(Convolver, MixesInputsWithoutDelayAndHonoursNumIns)
{
    Convolver convolver(2, 1, dspkit::ZeroLatency);
    const float one = 1.0f;
    const float half = 0.5f;
    ASSERT_EQ(convolver.set(0, 0, &one, 1, false), dspkit::kConvolveOk);
    ASSERT_EQ(convolver.set(1, 0, &half, 1, false), dspkit::kConvolveOk);
    const std::vector<std::vector<float>> xs = {qirtest::whiteNoise(1000, 1), qirtest::whiteNoise(1000, 2)};

    const auto both = runConvolver(convolver, xs, 1, 3, 1, 300);
    for (std::size_t t = 0; t < 1000; ++t) {
        ASSERT_NEAR(both[0][t], xs[0][t] + 0.5f * xs[1][t], 1e-6f) << t;
    }

    convolver.reset();
    std::vector<float> y(1000);
    const float* ins[] = {xs[0].data(), xs[1].data()};
    float* outs[] = {y.data()};
    convolver.process(ins, outs, 1, 1, 1000);
    for (std::size_t t = 0; t < 1000; ++t) {
        ASSERT_NEAR(y[t], xs[0][t], 1e-6f) << t;
    }
}

TEST(Convolver, ZeroSamplesLeaveOutputsUntouched)
{
    Convolver convolver(2, 2, dspkit::ZeroLatency);
    const float one = 1.0f;
    ASSERT_EQ(convolver.set(0, 0, &one, 1, false), dspkit::kConvolveOk);
    float in[4] = {1, 2, 3, 4};
    float a[4] = {9, 9, 9, 9}, b[4] = {9, 9, 9, 9};
    const float* ins[] = {in, in};
    float* outs[] = {a, b};
    convolver.process(ins, outs, 2, 2, 0);
    EXPECT_EQ(a[0], 9.0f);
    convolver.process(ins, outs, 2, 2, 4);
    convolver.process(ins, outs, 2, 2, 0);
    EXPECT_EQ(a[0], 1.0f);
    EXPECT_EQ(b[0], 0.0f);
}

struct StatusCase {
    const char* operation;
    unsigned int in;
    unsigned int out;
    dspkit::ConvolveStatus status;
};

class ConvolverStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(ConvolverStatus, ReportsChannelsOutOfRange)
{
    const StatusCase& c = GetParam();
    Convolver matrix(3, 2, dspkit::ZeroLatency);
    const float ir[] = {1.0f, 0.5f};
    const std::string op = c.operation;
    dspkit::ConvolveStatus status = dspkit::kConvolveOk;
    if (op == "set") {
        status = matrix.set(c.in, c.out, ir, 2, false);
    } else if (op == "resize") {
        status = matrix.resize(c.in, c.out, 20000);
    } else {
        status = matrix.reset(c.in, c.out);
    }
    EXPECT_EQ(status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Convolver, ConvolverStatus,
    testing::Values(StatusCase{"set", 2, 1, dspkit::kConvolveOk},
                    StatusCase{"set", 0, 2, dspkit::kConvolveOutputOutOfRange},
                    StatusCase{"set", 3, 0, dspkit::kConvolveInputOutOfRange},
                    StatusCase{"resize", 0, 2, dspkit::kConvolveInputOutOfRange},
                    StatusCase{"resize", 3, 1, dspkit::kConvolveInputOutOfRange},
                    StatusCase{"resize", 1, 1, dspkit::kConvolveOk},
                    StatusCase{"reset", 0, 2, dspkit::kConvolveOutputOutOfRange},
                    StatusCase{"reset", 3, 0, dspkit::kConvolveInputOutOfRange},
                    StatusCase{"reset", 1, 0, dspkit::kConvolveOk}));

TEST(Convolver, OneToOneMapsOutputKToInputK)
{
    Convolver convolver(3, dspkit::ZeroLatency);
    EXPECT_EQ(convolver.getNumIns(), 3u);
    EXPECT_EQ(convolver.getNumOuts(), 3u);
    const float gains[] = {1.0f, 2.0f, 3.0f};
    for (unsigned k = 0; k < 3; ++k) {
        ASSERT_EQ(convolver.set(k, k, &gains[k], 1, false), dspkit::kConvolveOk);
    }
    EXPECT_EQ(convolver.set(0, 1, gains, 1, false), dspkit::kConvolveInputOutOfRange);
    EXPECT_EQ(convolver.set(2, 1, gains, 1, false), dspkit::kConvolveInputOutOfRange);

    const std::vector<std::vector<float>> xs = {qirtest::whiteNoise(500, 1), qirtest::whiteNoise(500, 2),
                                                qirtest::whiteNoise(500, 3)};
    const auto ys = runConvolver(convolver, xs, 3, 4, 1, 200);
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t t = 0; t < 500; ++t) {
            ASSERT_NEAR(ys[k][t], gains[k] * xs[k][t], 1e-5f);
        }
    }

    // An output whose input is missing from the call is silent.
    std::vector<float> y0(64), y1(64), y2(64, 5.0f);
    const float* ins[] = {xs[0].data(), xs[1].data()};
    float* outs[] = {y0.data(), y1.data(), y2.data()};
    convolver.process(ins, outs, 2, 3, 64);
    EXPECT_EQ(y2, std::vector<float>(64, 0.0f));

    convolver.clear(false);
    convolver.process(ins, outs, 2, 3, 64);
    EXPECT_EQ(y0, std::vector<float>(64, 0.0f));
    EXPECT_EQ(y1, std::vector<float>(64, 0.0f));
}

TEST(Convolver, ClearEmptiesOnePairAndIgnoresOutputsOutOfRange)
{
    Convolver convolver(2, 1, dspkit::ZeroLatency);
    const float one = 1.0f;
    ASSERT_EQ(convolver.set(0, 0, &one, 1, false), dspkit::kConvolveOk);
    ASSERT_EQ(convolver.set(1, 0, &one, 1, false), dspkit::kConvolveOk);
    convolver.clear(1, 0, false);
    convolver.clear(0, 5, false);
    const std::vector<std::vector<float>> xs = {qirtest::whiteNoise(300, 1), qirtest::whiteNoise(300, 2)};
    const auto ys = runConvolver(convolver, xs, 1, 5, 1, 100);
    for (std::size_t t = 0; t < 300; ++t) {
        ASSERT_NEAR(ys[0][t], xs[0][t], 1e-6f);
    }
}

TEST(Convolver, DoublePathConvertsAtTheEdges)
{
    Convolver convolver(2, 2, dspkit::ZeroLatency);
    const std::vector<float> h0 = qirtest::whiteNoise(3000, 7);
    const std::vector<float> h1 = qirtest::whiteNoise(3000, 8);
    const std::vector<double> d0(h0.begin(), h0.end());
    const std::vector<double> d1(h1.begin(), h1.end());
    ASSERT_EQ(convolver.set(0, 0, d0.data(), d0.size(), false), dspkit::kConvolveOk);
    ASSERT_EQ(convolver.set(1, 0, d1.data(), d1.size(), false), dspkit::kConvolveOk);
    // Length 0 loads an empty response even with a pointer.
    ASSERT_EQ(convolver.set(0, 1, d0.data(), 0, false), dspkit::kConvolveOk);

    constexpr std::size_t kLength = 6000;
    const std::vector<float> x0 = qirtest::whiteNoise(kLength, 9);
    const std::vector<float> x1 = qirtest::whiteNoise(kLength, 10);
    const std::vector<double> in0(x0.begin(), x0.end());
    const std::vector<double> in1(x1.begin(), x1.end());
    std::vector<double> y0(kLength), y1(kLength, 4.0), y2(kLength, 7.0);
    qirtest::RandomSizes sizes(12, 1, 700);
    for (std::size_t done = 0; done < kLength;) {
        const std::size_t n = std::min(sizes.next(), kLength - done);
        const double* ins[] = {in0.data() + done, in1.data() + done};
        double* outs[] = {y0.data() + done, y1.data() + done, y2.data() + done};
        // Three outputs asked of a two-output convolver: only two are written.
        convolver.process(ins, outs, 2, 3, n);
        done += n;
    }
    const std::vector<float> asFloat(y0.begin(), y0.end());
    EXPECT_LT(qirtest::relativeError(asFloat, qirtest::directConvolveSum({x0, x1}, {h0, h1})), 1e-5);
    EXPECT_EQ(y1, std::vector<double>(kLength, 0.0));
    EXPECT_EQ(y2, std::vector<double>(kLength, 7.0));
}

TEST(Convolver, ProcessAllocatesNothingOnceScratchHasGrown)
{
    Convolver convolver(16, 2, dspkit::ZeroLatency);
    const std::vector<float> ir = qirtest::whiteNoise(16384, 13);
    for (unsigned i = 0; i < 16; ++i) {
        for (unsigned o = 0; o < 2; ++o) {
            ASSERT_EQ(convolver.set(i, o, ir.data(), ir.size(), false), dspkit::kConvolveOk);
        }
    }
    const std::vector<float> x = qirtest::whiteNoise(1024, 14);
    std::vector<const float*> ins(16, x.data());
    std::vector<float> a(1024), b(1024);
    float* outs[] = {a.data(), b.data()};
    std::vector<double> xd(x.begin(), x.end()), ad(1024), bd(1024);
    std::vector<const double*> insD(16, xd.data());
    double* outsD[] = {ad.data(), bd.data()};

    convolver.process(ins.data(), outs, 16, 2, 128);
    {
        // The first larger block grows the scratch: one allocation at most.
        qirtest::AllocationCounter counter;
        convolver.process(ins.data(), outs, 16, 2, 512);
        EXPECT_LE(counter.count(), 1u);
    }
    qirtest::AllocationCounter counter;
    qirtest::RandomSizes sizes(15, 1, 512);
    for (int call = 0; call < 400; ++call) {
        const std::size_t n = sizes.next();
        if (call % 2 == 0) {
            convolver.process(ins.data(), outs, 16, 2, n);
        } else {
            convolver.process(insD.data(), outsD, 16, 2, n);
        }
    }
    EXPECT_EQ(counter.count(), 0u) << (qirtest::AllocationCounter::countsMalloc() ? "" : "(operator new only)");
}

#if defined(__x86_64__)
TEST(Convolver, DenormalGuardSetsFlushToZeroAndRestores)
{
    const unsigned int before = _mm_getcsr();
    _mm_setcsr(before & ~0x8040u);
    const unsigned int cleared = _mm_getcsr();
    {
        Convolver::DenormalGuard guard;
        EXPECT_EQ(_mm_getcsr() & 0x8040u, 0x8040u);
    }
    EXPECT_EQ(_mm_getcsr(), cleared);
    _mm_setcsr(before);
}
#endif

} // namespace
