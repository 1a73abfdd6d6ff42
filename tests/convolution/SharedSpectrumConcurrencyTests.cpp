// tests/convolution: pairs of the shared-spectrum engine changed on a control
// thread (set, clear, reset, resize) while the audio thread processes. The
// pairs left alone keep sounding exactly, the changed pair settles on its last
// response once the changes stop, and ThreadSanitizer sees no race.
#include "convolution/Convolver.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

using dspkit::Convolver;

std::vector<float> decayingNoise(std::size_t length, std::uint32_t seed)
{
    std::vector<float> h = qirtest::whiteNoise(length, seed);
    for (std::size_t k = 0; k < h.size(); ++k) {
        h[k] *= std::exp(-static_cast<float>(k) / 2000.0f);
    }
    return h;
}

// Responses of 9000 taps reach every segment from the start; with 600-tap
// responses only the first segment is live until the control thread loads the
// longer response, which brings the others in while audio runs.
class SharedSpectrumConcurrency : public testing::TestWithParam<std::size_t> {};

TEST_P(SharedSpectrumConcurrency, PairChangesLeaveOtherPairsSoundingAndSettle)
{
    constexpr unsigned kIns = 4;
    constexpr unsigned kOuts = 2;
    const std::size_t kTaps = GetParam();
    constexpr std::size_t kBlock = 256;
    // Enough after the last change for the changed pair to settle (two of the
    // largest hops and the longest response it had), and some.
    const std::size_t kSettle = 20000 + 16384 + 4 * kBlock;
    constexpr std::size_t kCompared = 8192;

    std::vector<std::vector<std::vector<float>>> hs(kOuts);
    for (unsigned o = 0; o < kOuts; ++o) {
        for (unsigned i = 0; i < kIns; ++i) {
            hs[o].push_back(decayingNoise(kTaps, 10 * o + i + 1));
        }
    }
    // Longer than the pairs were made for: loading it grows the shared rings.
    const std::vector<float> other = decayingNoise(20000, 99);

    // The engine under test, and a per-pair reference that is never changed.
    Convolver shared(kIns, kOuts, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine);
    Convolver reference(kIns, kOuts, dspkit::ZeroLatency, dspkit::kPerPairEngine);
    for (unsigned o = 0; o < kOuts; ++o) {
        for (unsigned i = 0; i < kIns; ++i) {
            ASSERT_EQ(shared.set(i, o, hs[o][i].data(), kTaps, false), dspkit::kConvolveOk);
            ASSERT_EQ(reference.set(i, o, hs[o][i].data(), kTaps, false), dspkit::kConvolveOk);
        }
    }
    shared.reset();
    reference.reset();

    std::atomic<bool> changing{true};
    std::atomic<int> blocksSeen{0};
    std::thread control([&] {
        // Pair (2, 0) only; bounded in rounds and in audio blocks so that a slow
        // machine still ends the test.
        for (int round = 0; round < 400 && blocksSeen.load() < 300; ++round) {
            switch (round % 4) {
            case 0:
                EXPECT_EQ(shared.set(2, 0, other.data(), other.size(), true), dspkit::kConvolveOk);
                break;
            case 1:
                EXPECT_EQ(shared.reset(2, 0), dspkit::kConvolveOk);
                break;
            case 2:
                shared.clear(2, 0, false);
                break;
            default:
                EXPECT_EQ(shared.resize(2, 0, 30000 + 8192 * (round % 3)), dspkit::kConvolveOk);
                EXPECT_EQ(shared.set(2, 0, other.data(), other.size(), false), dspkit::kConvolveOk);
                break;
            }
            std::this_thread::yield();
        }
        EXPECT_EQ(shared.set(2, 0, hs[0][2].data(), kTaps, false), dspkit::kConvolveOk);
        changing.store(false);
    });

    std::vector<std::vector<float>> in(kIns, std::vector<float>(kBlock));
    std::vector<const float*> ins;
    for (auto& channel : in) {
        ins.push_back(channel.data());
    }
    std::vector<std::vector<float>> got(kOuts, std::vector<float>(kBlock));
    std::vector<std::vector<float>> want(kOuts, std::vector<float>(kBlock));
    float* gotOuts[] = {got[0].data(), got[1].data()};
    float* wantOuts[] = {want[0].data(), want[1].data()};

    std::vector<float> untouched;
    std::vector<double> untouchedExpected;
    std::vector<float> settled;
    std::vector<double> settledExpected;
    std::size_t afterChanges = 0;
    for (std::uint32_t block = 0; afterChanges < kSettle + kCompared; ++block) {
        const bool stillChanging = changing.load();
        for (unsigned i = 0; i < kIns; ++i) {
            const std::vector<float> noise = qirtest::whiteNoise(kBlock, 1000 * block + i);
            std::copy(noise.begin(), noise.end(), in[i].begin());
        }
        shared.process(ins.data(), gotOuts, kIns, kOuts, kBlock);
        reference.process(ins.data(), wantOuts, kIns, kOuts, kBlock);
        blocksSeen.fetch_add(1);
        untouched.insert(untouched.end(), got[1].begin(), got[1].end());
        untouchedExpected.insert(untouchedExpected.end(), want[1].begin(), want[1].end());
        if (!stillChanging) {
            afterChanges += kBlock;
            if (afterChanges > kSettle) {
                settled.insert(settled.end(), got[0].begin(), got[0].end());
                settledExpected.insert(settledExpected.end(), want[0].begin(), want[0].end());
            }
        }
    }
    control.join();
    EXPECT_LT(qirtest::relativeError(untouched, untouchedExpected), 1e-5);
    EXPECT_LT(qirtest::relativeError(settled, settledExpected), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(ResponseLengths, SharedSpectrumConcurrency, testing::Values(std::size_t{9000}, std::size_t{600}));

// Pairs remade for ever longer responses while audio runs grow the final
// segment's shared rings, which the audio thread takes over at the start of a
// call. Here it takes over the ring of the first change while the second
// change, on the other pair, is already under way: the second change's larger
// ring must still be taken over with no control call after it, so that the
// pair it loaded sounds (its first tap is 1, so an impulse comes straight
// through). Each round starts the audio thread between the two changes.
TEST(SharedSpectrumRingGrowth, APairLoadedLastSoundsWithNoLaterControlCall)
{
    std::vector<float> initial(16384, 0.0f);
    initial.front() = 1.0f;
    initial.back() = 0.5f;
    std::vector<float> longer(std::size_t{1} << 18, 0.0f);
    longer.front() = 1.0f;
    longer.back() = 0.25f;
    std::vector<float> longest(std::size_t{1} << 19, 0.0f);
    longest.front() = 1.0f;
    longest.back() = 0.25f;

    for (int round = 0; round < 4; ++round) {
        Convolver convolver(1, 2, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine);
        ASSERT_EQ(convolver.set(0, 0, initial.data(), initial.size(), true), dspkit::kConvolveOk);
        ASSERT_EQ(convolver.set(0, 1, initial.data(), initial.size(), true), dspkit::kConvolveOk);
        convolver.reset();
        std::vector<float> in(128, 0.0f);
        std::vector<float> left(128);
        std::vector<float> right(128);
        const float* ins[] = {in.data()};
        float* outs[] = {left.data(), right.data()};
        convolver.process(ins, outs, 1, 2, 128);

        std::atomic<bool> between{false};
        std::atomic<bool> finished{false};
        std::thread control([&] {
            EXPECT_EQ(convolver.set(0, 0, longer.data(), longer.size(), true), dspkit::kConvolveOk);
            between.store(true);
            EXPECT_EQ(convolver.set(0, 1, longest.data(), longest.size(), true), dspkit::kConvolveOk);
            finished.store(true);
        });
        while (!between.load()) {
            std::this_thread::yield();
        }
        // Lets the second change begin before the first ring is taken over.
        for (int spin = 0; spin < 200; ++spin) {
            std::this_thread::yield();
        }
        while (!finished.load()) {
            convolver.process(ins, outs, 1, 2, 128);
        }
        control.join();

        for (int call = 0; call < 4; ++call) {
            convolver.process(ins, outs, 1, 2, 128);
        }
        in[0] = 1.0f;
        convolver.process(ins, outs, 1, 2, 128);
        EXPECT_NEAR(left[0], 1.0f, 1e-4f) << "round " << round;
        EXPECT_NEAR(right[0], 1.0f, 1e-4f) << "round " << round;
    }
}

} // namespace
