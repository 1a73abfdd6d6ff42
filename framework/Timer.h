// framework: a repeating timer on the main run loop; its callback runs on the
// loop's (main) thread at the given interval until the timer is stopped or
// destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace plugfw {

class MainRunLoop;

class Timer {
public:
    using Callback = std::function<void(Timer&)>;

    virtual ~Timer() = default;
    // Any thread. Ends the timer: once this returns the callback runs no more,
    // and a firing in progress on another thread has finished. Called from the
    // timer's own callback, that callback completes. The second call does
    // nothing. The destructor stops the timer the same way.
    virtual void Stop() = 0;

    // A running timer on the process's main run loop, first firing due now.
    static std::unique_ptr<Timer> Create(Callback callback, uint32_t intervalMs);
    // The same on a given run loop (which must outlive the timer).
    static std::unique_ptr<Timer> Create(MainRunLoop& loop, Callback callback, uint32_t intervalMs);
};

} // namespace plugfw
