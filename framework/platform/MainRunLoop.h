// framework/platform: stand-in for the platform's main run loop and main
// dispatch queue (the run-loop timers and asynchronous dispatch to the main
// queue of the target system). A host or a test drives it on its main thread;
// repeating timers and dispatched tasks run there, never on another thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace plugfw {

// The time source of a run loop. The real clock waits on the loop's condition
// variable; a virtual clock (tests) jumps to the time it is asked to wait for,
// so that hours of timer ticks run without sleeping.
class RunLoopClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~RunLoopClock() = default;
    [[nodiscard]] virtual TimePoint Now() const = 0;
    // Waits until t or until the loop is woken (new task or timer).
    virtual void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, TimePoint t) = 0;
};

class SteadyRunLoopClock : public RunLoopClock {
public:
    [[nodiscard]] TimePoint Now() const override { return std::chrono::steady_clock::now(); }
    void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, TimePoint t) override
    {
        wake.wait_until(lock, t);
    }
};

class VirtualRunLoopClock : public RunLoopClock {
public:
    [[nodiscard]] TimePoint Now() const override { return mNow; }
    void WaitUntil(std::unique_lock<std::mutex>&, std::condition_variable&, TimePoint t) override
    {
        if (t > mNow) {
            mNow = t;
        }
    }
    void Advance(std::chrono::nanoseconds d) { mNow += d; }

private:
    TimePoint mNow{};
};

class MainRunLoop {
public:
    using Duration = std::chrono::steady_clock::duration;
    using TimerId = uint64_t;

    // A loop on the real steady clock, or on the given clock (owned).
    MainRunLoop();
    explicit MainRunLoop(std::unique_ptr<RunLoopClock> clock);
    MainRunLoop(const MainRunLoop&) = delete;
    MainRunLoop& operator=(const MainRunLoop&) = delete;
    ~MainRunLoop();

    // The process's main run loop (real clock), created on first use.
    static MainRunLoop& Main();

    // Any thread: adds a repeating timer whose first firing is due now and then
    // every interval (at least 1 ms). A loop that falls behind skips the missed
    // firings rather than running them in a burst.
    TimerId AddTimer(std::chrono::milliseconds interval, std::function<void()> callback);
    // Any thread, also from inside a timer's own callback. Called on the loop's
    // thread, the timer fires no more once this returns; called elsewhere, a
    // firing that has already begun may still complete. Unknown ids are ignored.
    void RemoveTimer(TimerId id);
    [[nodiscard]] int NTimers() const;

    // Any thread: queues a task to run on the loop's thread, in dispatch order.
    void Dispatch(std::function<void()> task);

    // Loop thread: runs every queued task and due timer once, without waiting;
    // returns how many callbacks ran.
    int RunOnce();
    // Loop thread: runs tasks and timers as they come due for the duration.
    void RunFor(Duration duration);
    // Loop thread: as RunFor, until condition holds (checked after every piece
    // of work) or the timeout passes; returns whether the condition held.
    bool RunUntil(const std::function<bool()>& condition, Duration timeout);

    [[nodiscard]] RunLoopClock::TimePoint Now() const;

private:
    struct TimerEntry;

    // Runs the queued tasks and due timers; returns the count.
    int RunDue();

    std::unique_ptr<RunLoopClock> mClock;
    mutable std::mutex mMutex;
    std::condition_variable mWake;
    std::deque<std::function<void()>> mTasks;
    std::vector<std::shared_ptr<TimerEntry>> mTimers;
    TimerId mNextTimerId = 1;
};

} // namespace plugfw
