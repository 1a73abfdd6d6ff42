// tests/convolution: responses loaded into pairs on one thread while another
// processes. Every output block must be either the full convolution with one of
// the responses or silence for that call, never a mix of old and new memory.
// Run under ThreadSanitizer.
#include "convolution/Convolver.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(ConvolverConcurrency, LoadingWhileProcessingGivesWholeResultsOrSilence)
{
    // A unit impulse at the start of every block and responses shorter than a
    // block: each block's output is exactly the response (then zeros), whatever
    // came before, so a block is checked on its own. 9000 taps reach into the
    // final segment, the one in swappable memory.
    constexpr std::size_t kBlock = 9216;
    constexpr std::size_t kTaps = 9000;
    constexpr unsigned kOuts = 2;
    std::vector<std::vector<float>> responses = {qirtest::whiteNoise(kTaps, 1), qirtest::whiteNoise(kTaps, 2)};
    std::vector<std::vector<double>> expected;
    for (const auto& r : responses) {
        std::vector<double> e(kBlock, 0.0);
        std::copy(r.begin(), r.end(), e.begin());
        expected.push_back(std::move(e));
    }

    // Whole-or-silent blocks are the per-pair engine's promise; the shared
    // engine's pairs start afresh instead (SharedSpectrumConcurrencyTests).
    dspkit::Convolver convolver(1, kOuts, dspkit::ZeroLatency, dspkit::kPerPairEngine);
    for (unsigned o = 0; o < kOuts; ++o) {
        ASSERT_EQ(convolver.set(0, o, responses[o].data(), kTaps, false), dspkit::kConvolveOk);
    }

    std::atomic<bool> done{false};
    std::atomic<int> silent{0};
    std::thread control([&] {
        // Until some loads have overlapped a block (bounded, so a machine where
        // they never do still ends the test).
        for (int round = 0; round < 60 || (silent.load() < 3 && round < 3000); ++round) {
            for (unsigned o = 0; o < kOuts; ++o) {
                const auto& r = responses[(round + o) % 2];
                EXPECT_EQ(convolver.set(0, o, r.data(), r.size(), false), dspkit::kConvolveOk);
            }
        }
        done.store(true);
    });

    std::vector<float> input(kBlock, 0.0f);
    input[0] = 1.0f;
    std::vector<std::vector<float>> outputs(kOuts, std::vector<float>(kBlock));
    const float* ins[] = {input.data()};
    float* outs[] = {outputs[0].data(), outputs[1].data()};
    int whole = 0;
    int mixed = 0;
    for (int block = 0; !done.load() || block < 20; ++block) {
        convolver.process(ins, outs, 1, kOuts, kBlock);
        for (unsigned o = 0; o < kOuts; ++o) {
            const auto& y = outputs[o];
            if (std::all_of(y.begin(), y.end(), [](float v) { return v == 0.0f; })) {
                silent.fetch_add(1);
            } else if (qirtest::relativeError(y, expected[0]) < 1e-5 || qirtest::relativeError(y, expected[1]) < 1e-5) {
                ++whole;
            } else {
                ++mixed;
            }
        }
    }
    control.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(whole, 0);
    std::printf("blocks: %d whole, %d silent\n", whole, silent.load());
}

} // namespace
