// tests/support: the helpers that other tests rely on must themselves be right,
// or an allocation test or a convolution comparison could pass vacuously.
#include "tests/support/AllocationCounter.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

TEST(AllocationCounter, CountsOperatorNewOnThisThreadOnly)
{
    qirtest::AllocationCounter counter;
    auto p = std::make_unique<int>(3);
    EXPECT_EQ(counter.count(), 1u);
    std::thread other([] { auto q = std::make_unique<std::vector<int>>(100); (void)q; });
    other.join();
    // The thread object itself may allocate its state on this thread; the vector
    // allocated by the other thread must not be counted.
    const std::size_t afterThread = counter.count();
    auto r = std::make_unique<double>(1.0);
    EXPECT_EQ(counter.count(), afterThread + 1);
}

TEST(AllocationCounter, CountsMallocWhenNotSanitized)
{
    if (!qirtest::AllocationCounter::countsMalloc()) {
        GTEST_SKIP() << "malloc belongs to the sanitizer in this build";
    }
    qirtest::AllocationCounter counter;
    void* volatile p = std::malloc(64);
    std::free(p);
    EXPECT_EQ(counter.count(), 1u);
}

TEST(AllocationCounter, CountsEachFreeOnceAndOnThisThreadOnly)
{
    auto* early = new int(1);
    std::vector<int>* fromOther = nullptr;
    std::thread([&] { fromOther = new std::vector<int>(10); }).join();
    qirtest::AllocationCounter counter;
    delete early;
    EXPECT_EQ(counter.frees(), 1u);
    int* none = nullptr;
    delete none;
    EXPECT_EQ(counter.frees(), 1u) << "deleting null frees nothing";
    std::thread([&] { delete fromOther; }).join();
    // The thread object itself may allocate and free its state on this thread;
    // the vector freed by the other thread must not be counted.
    const std::size_t afterThread = counter.frees();
    char* volatile bytes = new char[32];
    delete[] bytes;
    const std::size_t frees = counter.frees();
    EXPECT_EQ(frees, afterThread + 1);
    if (qirtest::AllocationCounter::countsMalloc()) {
        void* volatile p = std::malloc(16);
        std::free(p);
        EXPECT_EQ(counter.frees(), frees + 1);
    }
}

TEST(ReferenceConvolution, ConvolvesAndSumsInDoublePrecision)
{
    const std::vector<float> x{1.0f, 2.0f, 3.0f, 0.0f};
    const std::vector<float> h{0.5f, 0.0f, -1.0f};
    const std::vector<double> y = qirtest::directConvolve(x, h);
    const std::vector<double> expected{0.5, 1.0, 0.5, -2.0};
    EXPECT_EQ(y, expected);
    const std::vector<double> s = qirtest::directConvolveSum({x, x}, {h, {1.0f}});
    const std::vector<double> expectedSum{1.5, 3.0, 3.5, -2.0};
    EXPECT_EQ(s, expectedSum);
    EXPECT_NEAR(qirtest::relativeError({1.0f, 2.0f, 3.0f}, {1.0, 2.0, 3.0}), 0.0, 1e-12);
}

} // namespace
