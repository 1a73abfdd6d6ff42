// framework: a mutex with the framework's names over std::mutex, usable with
// std::lock_guard and std::scoped_lock.
#pragma once

#include <mutex>

namespace plugfw {

class Mutex {
public:
    void Enter() { mMutex.lock(); }
    void Leave() noexcept { mMutex.unlock(); }
    [[nodiscard]] bool TryEnter() noexcept { return mMutex.try_lock(); }

    void lock() { Enter(); }
    void unlock() noexcept { Leave(); }
    [[nodiscard]] bool try_lock() noexcept { return TryEnter(); }

private:
    std::mutex mMutex;
};

} // namespace plugfw
