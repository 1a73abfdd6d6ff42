// framework: a lock-free single-producer single-consumer ring of fixed
// capacity. One thread pushes and one thread pops; neither ever waits, and a
// full queue refuses the element.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

namespace plugfw {

template <typename T>
class ISPSCQueue {
public:
    // Holds at most capacity elements in capacity + 1 slots; storage is
    // allocated here, once.
    explicit ISPSCQueue(int capacity)
        : mSlots(static_cast<std::size_t>(capacity > 0 ? capacity : 0) + 1)
    {
    }
    ISPSCQueue(const ISPSCQueue&) = delete;
    ISPSCQueue& operator=(const ISPSCQueue&) = delete;

    [[nodiscard]] std::size_t Capacity() const noexcept { return mSlots.size() - 1; }

    // producer thread: false (element dropped) when the queue is full.
    bool Push(const T& element) noexcept
    {
        const std::size_t write = mWriteIndex.load(std::memory_order_relaxed);
        const std::size_t next = Next(write);
        if (next == mReadIndex.load(std::memory_order_acquire)) {
            return false;
        }
        mSlots[write] = element;
        mWriteIndex.store(next, std::memory_order_release);
        return true;
    }

    // consumer thread: false when the queue is empty.
    bool Pop(T& element) noexcept
    {
        const std::size_t read = mReadIndex.load(std::memory_order_relaxed);
        if (read == mWriteIndex.load(std::memory_order_acquire)) {
            return false;
        }
        element = mSlots[read];
        mReadIndex.store(Next(read), std::memory_order_release);
        return true;
    }

    // Either thread: a snapshot of the number of elements held.
    [[nodiscard]] std::size_t ElementsAvailable() const noexcept
    {
        const std::size_t write = mWriteIndex.load(std::memory_order_acquire);
        const std::size_t read = mReadIndex.load(std::memory_order_acquire);
        return write >= read ? write - read : write + mSlots.size() - read;
    }

private:
    [[nodiscard]] std::size_t Next(std::size_t index) const noexcept
    {
        return index + 1 == mSlots.size() ? 0 : index + 1;
    }

    std::vector<T> mSlots;
    alignas(64) std::atomic<std::size_t> mReadIndex{0};
    alignas(64) std::atomic<std::size_t> mWriteIndex{0};
};

} // namespace plugfw
