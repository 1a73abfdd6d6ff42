// tests/convolution: the swappable memory's lock and replacement protocol.
#include "convolution/SwappableMemory.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

using Swap = dspkit::SwappableMemory<int>;

// Allocation and free functions that count their calls and fill the memory.
struct Counting {
    int allocations = 0;
    int frees = 0;
    std::vector<int*> freed;
    bool failNext = false;

    Swap::AllocFunction alloc()
    {
        return [this](std::uint64_t size) -> int* {
            ++allocations;
            if (failNext) {
                return nullptr;
            }
            return new int[size + 1]();
        };
    }
    Swap::FreeFunction release()
    {
        return [this](int* p) {
            ++frees;
            freed.push_back(p);
            delete[] p;
        };
    }
};

TEST(SwappableMemory, StartsEmptyAndFree)
{
    Swap swap;
    Swap::Ptr handle = swap.tryAcquire();
    EXPECT_TRUE(handle.ownsLock());
    EXPECT_EQ(handle.get(), nullptr);
    EXPECT_EQ(handle.getSize(), 0u);
}

TEST(SwappableMemory, TryAcquireFailsWhileHeldAndThenSeesNewMemory)
{
    Counting counting;
    Swap swap;
    {
        Swap::Ptr control = swap.equal(counting.alloc(), counting.release(), 10);
        ASSERT_NE(control.get(), nullptr);
        Swap::Ptr audio = swap.tryAcquire();
        EXPECT_FALSE(audio.ownsLock());
        EXPECT_EQ(audio.get(), nullptr);
        EXPECT_EQ(audio.getSize(), 0u);
    }
    Swap::Ptr audio = swap.tryAcquire();
    EXPECT_TRUE(audio.ownsLock());
    EXPECT_NE(audio.get(), nullptr);
    EXPECT_EQ(audio.getSize(), 10u);
}

TEST(SwappableMemory, EqualReplacesOnlyWhenTheSizeDiffers)
{
    Counting first, second;
    Swap swap;
    int* original = swap.equal(first.alloc(), first.release(), 10).get();
    EXPECT_EQ(first.allocations, 1);

    // Same size: no allocation, and the first free function stays installed.
    EXPECT_EQ(swap.equal(second.alloc(), second.release(), 10).get(), original);
    EXPECT_EQ(second.allocations, 0);

    // Smaller size: replaced, the old memory released by its own free function.
    Swap::Ptr smaller = swap.equal(second.alloc(), second.release(), 4);
    EXPECT_EQ(smaller.getSize(), 4u);
    EXPECT_EQ(second.allocations, 1);
    EXPECT_EQ(first.frees, 1);
    EXPECT_EQ(second.frees, 0);
    ASSERT_EQ(first.freed.size(), 1u);
    EXPECT_EQ(first.freed[0], original);
}

TEST(SwappableMemory, GrowReplacesOnlyForLargerSizes)
{
    Counting counting;
    Swap swap;
    int* held = swap.grow(counting.alloc(), counting.release(), 8).get();
    EXPECT_EQ(swap.grow(counting.alloc(), counting.release(), 8).get(), held);
    EXPECT_EQ(swap.grow(counting.alloc(), counting.release(), 3).get(), held);
    EXPECT_EQ(counting.allocations, 1);
    Swap::Ptr larger = swap.grow(counting.alloc(), counting.release(), 9);
    EXPECT_EQ(larger.getSize(), 9u);
    EXPECT_EQ(counting.allocations, 2);
    EXPECT_EQ(counting.frees, 1);
}

TEST(SwappableMemory, FailedAllocationEmptiesTheSwapAfterReleasingOldMemory)
{
    Counting counting;
    Swap swap;
    (void)swap.equal(counting.alloc(), counting.release(), 5);
    counting.failNext = true;
    Swap::Ptr handle = swap.equal(counting.alloc(), counting.release(), 6);
    EXPECT_EQ(handle.get(), nullptr);
    EXPECT_EQ(handle.getSize(), 0u);
    EXPECT_EQ(counting.frees, 1);
}

TEST(SwappableMemory, ThrowingAllocationLeavesMemoryAndLockAsTheyWere)
{
    Counting counting;
    Swap swap;
    int* held = swap.equal(counting.alloc(), counting.release(), 5).get();
    const Swap::AllocFunction throwing = [](std::uint64_t) -> int* { throw std::runtime_error("no"); };
    EXPECT_THROW((void)swap.equal(throwing, counting.release(), 6), std::runtime_error);
    Swap::Ptr handle = swap.tryAcquire();
    EXPECT_TRUE(handle.ownsLock());
    EXPECT_EQ(handle.get(), held);
    EXPECT_EQ(handle.getSize(), 5u);
    EXPECT_EQ(counting.frees, 0);
}

TEST(SwappableMemory, DestructionFreesHeldMemoryExactlyOnce)
{
    Counting counting;
    {
        Swap swap;
        (void)swap.equal(counting.alloc(), counting.release(), 3);
    }
    EXPECT_EQ(counting.frees, 1);
    {
        Swap empty;
        (void)empty.tryAcquire();
    }
    EXPECT_EQ(counting.frees, 1);
}

TEST(SwappableMemory, HandleReplacesUnderTheLockItHolds)
{
    Counting counting;
    Swap swap;
    Swap::Ptr handle = swap.acquire();
    handle.equal(counting.alloc(), counting.release(), 7);
    EXPECT_NE(handle.get(), nullptr);
    EXPECT_EQ(handle.getSize(), 7u);
    EXPECT_FALSE(swap.tryAcquire().ownsLock());

    Swap::Ptr moved = std::move(handle);
    EXPECT_FALSE(handle.ownsLock());
    handle.equal(counting.alloc(), counting.release(), 9);
    EXPECT_EQ(counting.allocations, 1);
    EXPECT_EQ(moved.getSize(), 7u);
}

TEST(SwappableMemory, MoveAssignmentReleasesOwnAndTakesTheOther)
{
    Counting a, b;
    Swap target, source;
    (void)target.equal(a.alloc(), a.release(), 2);
    int* theirs = source.equal(b.alloc(), b.release(), 3).get();
    target = std::move(source);
    EXPECT_EQ(a.frees, 1);
    EXPECT_EQ(b.frees, 0);
    {
        Swap::Ptr handle = target.tryAcquire();
        EXPECT_EQ(handle.get(), theirs);
        EXPECT_EQ(handle.getSize(), 3u);
        Swap::Ptr empty = source.tryAcquire();
        EXPECT_EQ(empty.get(), nullptr);
        EXPECT_EQ(empty.getSize(), 0u);
    }
}

TEST(SwappableMemory, FloatGrowAllocatesOnlyForLargerBlocks)
{
    dspkit::SwappableMemory<float> scratch;
    float* first = nullptr;
    {
        auto handle = scratch.grow(128);
        first = handle.get();
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(handle.getSize(), 128u);
        handle.get()[127] = 1.0f;
    }
    EXPECT_EQ(scratch.grow(64).get(), first);
    auto larger = scratch.grow(512);
    EXPECT_EQ(larger.getSize(), 512u);
    larger.get()[511] = 1.0f;
}

} // namespace
