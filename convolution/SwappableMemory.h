// convolution: memory that a control thread replaces while the audio thread uses
// it, behind a one-byte spin lock. The audio thread only ever tries the lock once
// (tryAcquire) and does without the memory when it fails; control threads wait
// for it (acquire), and make the new memory, release the old and publish the new
// while they hold it. Where only one thread takes the lock, the class serves as a
// grow-on-demand buffer.
#pragma once

#include "convolution/AlignedMemory.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace dspkit {

template <class T>
class SwappableMemory {
public:
    // Makes memory for a size argument; returns null on failure.
    using AllocFunction = std::function<T*(std::uint64_t)>;
    // Releases memory made by the matching AllocFunction.
    using FreeFunction = std::function<void(T*)>;
    // op(requested size, held size): whether to replace the held memory.
    using Operation = std::function<bool(std::uint64_t, std::uint64_t)>;

    // A scoped handle: holds the lock of its owner (when it has one) with a
    // snapshot of the pointer and size taken under that lock, and releases the
    // lock when destroyed. Movable, not copyable.
    class Ptr {
    public:
        Ptr() noexcept = default;
        Ptr(const Ptr&) = delete;
        Ptr& operator=(const Ptr&) = delete;
        Ptr(Ptr&& other) noexcept
            : mOwner(std::exchange(other.mOwner, nullptr))
            , mPointer(std::exchange(other.mPointer, nullptr))
            , mSize(std::exchange(other.mSize, 0))
        {
        }
        Ptr& operator=(Ptr&& other) noexcept
        {
            if (this != &other) {
                release();
                mOwner = std::exchange(other.mOwner, nullptr);
                mPointer = std::exchange(other.mPointer, nullptr);
                mSize = std::exchange(other.mSize, 0);
            }
            return *this;
        }
        ~Ptr() { release(); }

        // Whether this handle holds its owner's lock.
        [[nodiscard]] bool ownsLock() const noexcept { return mOwner != nullptr; }
        [[nodiscard]] T* get() const noexcept { return mPointer; }
        [[nodiscard]] std::uint64_t getSize() const noexcept { return mSize; }
        T* operator->() const noexcept { return mPointer; }

        // Refreshes the snapshot from the owner (the lock is held).
        void update() noexcept
        {
            if (mOwner != nullptr) {
                mPointer = mOwner->mPointer;
                mSize = mOwner->mSize;
            }
        }

        // Replaces the owner's memory under the lock already held, when
        // op(size, held size) is true, then refreshes the snapshot. Does nothing
        // on a handle without an owner.
        void updateAllocateIf(const AllocFunction& allocFunction, const FreeFunction& freeFunction,
                              std::uint64_t size, const Operation& op)
        {
            if (mOwner != nullptr) {
                mOwner->allocateIfLockHeld(allocFunction, freeFunction, size, op);
                update();
            }
        }

        // updateAllocateIf with op = not-equal.
        void equal(const AllocFunction& allocFunction, const FreeFunction& freeFunction,
                   std::uint64_t size)
        {
            updateAllocateIf(allocFunction, freeFunction, size, notEqual);
        }

    private:
        friend class SwappableMemory;

        explicit Ptr(SwappableMemory* owner) noexcept
            : mOwner(owner)
            , mPointer(owner->mPointer)
            , mSize(owner->mSize)
        {
        }

        void release() noexcept
        {
            if (mOwner != nullptr) {
                mOwner->unlock();
                mOwner = nullptr;
                mPointer = nullptr;
                mSize = 0;
            }
        }

        SwappableMemory* mOwner = nullptr;
        T* mPointer = nullptr;
        std::uint64_t mSize = 0;
    };

    SwappableMemory() noexcept = default;
    SwappableMemory(const SwappableMemory&) = delete;
    SwappableMemory& operator=(const SwappableMemory&) = delete;

    SwappableMemory(SwappableMemory&& other) noexcept { *this = std::move(other); }

    // Releases this swap's memory, then takes the other's memory, size and free
    // function, each under its own lock (never both at once).
    SwappableMemory& operator=(SwappableMemory&& other) noexcept
    {
        if (this == &other) {
            return *this;
        }
        {
            Ptr own = acquire();
            releaseHeldLocked();
        }
        T* pointer;
        std::uint64_t size;
        FreeFunction freeFunction;
        {
            Ptr theirs = other.acquire();
            pointer = std::exchange(other.mPointer, nullptr);
            size = std::exchange(other.mSize, 0);
            freeFunction.swap(other.mFreeFunction);
        }
        Ptr own = acquire();
        mPointer = pointer;
        mSize = size;
        mFreeFunction.swap(freeFunction);
        return *this;
    }

    ~SwappableMemory()
    {
        Ptr own = acquire();
        releaseHeldLocked();
    }

    // Any thread, audio thread included: one compare-and-swap, never waits. The
    // handle is empty (no owner, null, size 0) when the lock is held elsewhere.
    [[nodiscard]] Ptr tryAcquire() noexcept
    {
        bool expected = false;
        if (mLock.compare_exchange_strong(expected, true)) {
            return Ptr(this);
        }
        return Ptr();
    }

    // Control thread: spins until the lock is taken. Allocates nothing.
    [[nodiscard]] Ptr acquire() noexcept
    {
        for (unsigned spins = 0;; ++spins) {
            bool expected = false;
            if (mLock.compare_exchange_weak(expected, true)) {
                return Ptr(this);
            }
            // The holder is an audio-thread call of bounded length: spin politely
            // at first, then give the core away so the holder can finish.
            if (spins < 64) {
                pause();
            } else {
                std::this_thread::yield();
            }
        }
    }

    // Control thread: acquire, then allocateIfLockHeld.
    [[nodiscard]] Ptr allocateIf(const AllocFunction& allocFunction, const FreeFunction& freeFunction,
                                 std::uint64_t size, const Operation& op)
    {
        Ptr handle = acquire();
        handle.updateAllocateIf(allocFunction, freeFunction, size, op);
        return handle;
    }

    // With the lock held: when op(size, held size), makes the new memory,
    // releases the old with the installed free function, and installs the new
    // memory (size 0 when the allocation returned null) and freeFunction. An
    // exception from allocFunction leaves everything unchanged.
    void allocateIfLockHeld(const AllocFunction& allocFunction, const FreeFunction& freeFunction,
                            std::uint64_t size, const Operation& op)
    {
        if (!op(size, mSize)) {
            return;
        }
        FreeFunction newFree(freeFunction);
        T* newPointer = allocFunction ? allocFunction(size) : nullptr;
        releaseHeldLocked();
        mPointer = newPointer;
        mSize = newPointer != nullptr ? size : 0;
        mFreeFunction.swap(newFree);
    }

    // Replaces the memory whenever size differs from the held size.
    [[nodiscard]] Ptr equal(const AllocFunction& allocFunction, const FreeFunction& freeFunction,
                            std::uint64_t size)
    {
        return allocateIf(allocFunction, freeFunction, size, notEqual);
    }

    // Replaces the memory only when size exceeds the held size.
    [[nodiscard]] Ptr grow(const AllocFunction& allocFunction, const FreeFunction& freeFunction,
                           std::uint64_t size)
    {
        return allocateIf(allocFunction, freeFunction, size, greater);
    }

    // grow with the default float allocation; allocates only when size exceeds
    // every earlier size. Used on the audio thread by the multichannel
    // convolver, whose scratch swap no other thread touches.
    [[nodiscard]] Ptr grow(std::uint64_t size)
        requires std::is_same_v<T, float>
    {
        Ptr handle = acquire();
        if (size > mSize) {
            T* newPointer = allocate(size);
            releaseHeldLocked();
            mPointer = newPointer;
            mSize = newPointer != nullptr ? size : 0;
            if (!mFreeFunction) {
                FreeFunction standard(deallocate);
                mFreeFunction.swap(standard);
            }
            handle.update();
        }
        return handle;
    }

    // Default allocation of float memory: size floats, uninitialised, aligned;
    // null on failure.
    static float* allocate(std::uint64_t size) noexcept
        requires std::is_same_v<T, float>
    {
        return allocateAligned<float>(static_cast<std::size_t>(size));
    }

    static void deallocate(float* pointer) noexcept
        requires std::is_same_v<T, float>
    {
        freeAligned(pointer);
    }

private:
    static bool notEqual(std::uint64_t requested, std::uint64_t held) noexcept { return requested != held; }
    static bool greater(std::uint64_t requested, std::uint64_t held) noexcept { return requested > held; }

    static void pause() noexcept
    {
#if defined(__x86_64__) || defined(__i386__)
        _mm_pause();
#endif
    }

    void unlock() noexcept
    {
        bool expected = true;
        mLock.compare_exchange_strong(expected, false);
    }

    // With the lock held: frees the held memory (if any) and empties the swap.
    void releaseHeldLocked() noexcept
    {
        if (mFreeFunction && mPointer != nullptr) {
            mFreeFunction(mPointer);
        }
        mPointer = nullptr;
        mSize = 0;
        FreeFunction none;
        mFreeFunction.swap(none);
    }

    std::atomic<bool> mLock{false};
    T* mPointer = nullptr;
    std::uint64_t mSize = 0;
    FreeFunction mFreeFunction;
};

} // namespace dspkit
