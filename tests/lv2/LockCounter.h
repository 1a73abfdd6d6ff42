// tests/lv2: counts the calls that take a lock or wait (mutex and read-write
// locks, condition and semaphore waits, sleeps) made by the current thread,
// wherever they come from: the executable defines those functions and passes
// each call on to the C library, so a plug-in loaded into it calls them here.
#pragma once

#include <cstddef>

namespace qirtest {

// While a LockCounter is alive, every such call by the thread that created it
// is counted. A try-lock, which gives up rather than wait, is not.
class LockCounter {
public:
    LockCounter();
    ~LockCounter();
    LockCounter(const LockCounter&) = delete;
    LockCounter& operator=(const LockCounter&) = delete;

    [[nodiscard]] std::size_t count() const;

    // False under sanitizers, which intercept these functions themselves: then
    // nothing is counted.
    [[nodiscard]] static bool counts();

private:
    std::size_t mStart;
};

} // namespace qirtest
