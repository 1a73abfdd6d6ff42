// tests/convolution: two threads on the swappable memory (one replacing, one
// trying the lock as the audio thread does), and FFT setups made and used on
// several threads at once. Run under ThreadSanitizer.
#include "convolution/AlignedMemory.h"
#include "convolution/FFT.h"
#include "convolution/SwappableMemory.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Memory of n ints, every one set to n: a reader that sees a mix of old and new
// memory, or a size that does not belong to the pointer, finds a mismatch.
int* makeFilled(std::uint64_t n)
{
    int* p = new int[n];
    for (std::uint64_t i = 0; i < n; ++i) {
        p[i] = static_cast<int>(n);
    }
    return p;
}

TEST(SwappableMemoryConcurrency, ReaderSeesOnlyWholeMemoryOrNothing)
{
    dspkit::SwappableMemory<int> swap;
    const auto release = [](int* p) { delete[] p; };
    (void)swap.equal(makeFilled, release, 16);

    std::atomic<bool> done{false};
    std::atomic<int> mismatches{0};
    std::atomic<int> successes{0};
    std::atomic<int> failures{0};

    std::thread audio([&] {
        while (!done.load()) {
            auto handle = swap.tryAcquire();
            if (!handle.ownsLock()) {
                failures.fetch_add(1);
                continue;
            }
            successes.fetch_add(1);
            const std::uint64_t n = handle.getSize();
            const int* p = handle.get();
            if (p == nullptr || n == 0) {
                mismatches.fetch_add(1);
                continue;
            }
            for (std::uint64_t i = 0; i < n; ++i) {
                if (p[i] != static_cast<int>(n)) {
                    mismatches.fetch_add(1);
                    break;
                }
            }
        }
    });

    // Keep replacing until the reader has seen the memory many times (a bound on
    // the rounds keeps a broken lock from hanging the test).
    for (int round = 0; round < 2000 || (successes.load() < 200 && round < 5000000); ++round) {
        const std::uint64_t size = 16 + static_cast<std::uint64_t>(round % 7) * 8;
        if (round % 2 == 0) {
            (void)swap.equal(makeFilled, release, size);
        } else {
            auto handle = swap.acquire();
            handle.equal(makeFilled, release, size);
            ASSERT_EQ(handle.getSize(), size);
        }
    }
    done.store(true);
    audio.join();

    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_GT(successes.load(), 0);
    auto last = swap.tryAcquire();
    EXPECT_TRUE(last.ownsLock());
}

TEST(FFTLayerConcurrency, SetupsMadeAndUsedOnManyThreadsAgree)
{
    constexpr unsigned long log2n = 10;
    constexpr std::size_t n = 1024;
    const std::vector<float> x = qirtest::whiteNoise(n, 3);
    std::vector<std::vector<float>> results(4, std::vector<float>(n));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                dspkit::FFTSetup setup = nullptr;
                dspkit::dspkit_create_setup(&setup, log2n - (round % 3));
                ASSERT_NE(setup, nullptr);
                const unsigned long size = log2n - (round % 3);
                auto re = dspkit::makeAlignedArray<float>(n / 2);
                auto im = dspkit::makeAlignedArray<float>(n / 2);
                const dspkit::DSPSplitComplex split{re.get(), im.get()};
                dspkit::dspkit_rfft(setup, x.data(), &split, n, size);
                dspkit::dspkit_rifft(setup, &split, results[t].data(), size);
                dspkit::dspkit_destroy_setup(setup);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // The last round on every thread used the same size; all must agree.
    for (std::size_t t = 1; t < results.size(); ++t) {
        EXPECT_EQ(results[t], results[0]);
    }
}

} // namespace
