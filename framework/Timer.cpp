// framework: repeating main-loop timer over the run-loop stand-in.
#include "framework/Timer.h"

#include "framework/platform/MainRunLoop.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace plugfw {
namespace {

// What a firing needs. The run loop's callback shares it, so a firing that the
// loop has already begun still finds it after the timer object is gone, and
// sees that the timer has stopped.
struct TimerState {
    // Held for the whole of a firing: Stop() on another thread takes it, and so
    // waits until a firing in progress has returned.
    std::mutex mFiring;
    // The thread inside the callback, so that a callback that stops its own
    // timer does not wait for itself.
    std::atomic<std::thread::id> mFiringThread{};
    // Written and read with mFiring held.
    bool mStopped = false;
    Timer::Callback mCallback;
    Timer* mTimer = nullptr;
};

class Timer_impl final : public Timer {
public:
    Timer_impl(MainRunLoop& loop, Callback callback, uint32_t intervalMs)
        : mLoop(loop), mState(std::make_shared<TimerState>()), mIntervalMs(intervalMs)
    {
        mState->mCallback = std::move(callback);
        mState->mTimer = this;
        mTimerRef = mLoop.AddTimer(std::chrono::milliseconds(mIntervalMs), [state = mState] { Fire(*state); });
    }

    ~Timer_impl() override { Stop(); }

    void Stop() override
    {
        if (mState->mFiringThread.load() == std::this_thread::get_id()) {
            // Inside this timer's own callback: the firing holds the lock on
            // this thread and ends when the callback returns.
            mState->mStopped = true;
        } else {
            std::lock_guard lock(mState->mFiring);
            mState->mStopped = true;
            mState->mCallback = nullptr;
        }
        if (mTimerRef != 0) {
            mLoop.RemoveTimer(mTimerRef);
            mTimerRef = 0;
        }
    }

private:
    // main thread (the loop's).
    static void Fire(TimerState& state)
    {
        // A loop run again from inside the callback does not fire it again.
        if (state.mFiringThread.load() == std::this_thread::get_id()) {
            return;
        }
        std::lock_guard lock(state.mFiring);
        if (state.mStopped || !state.mCallback) {
            return;
        }
        state.mFiringThread.store(std::this_thread::get_id());
        state.mCallback(*state.mTimer);
        state.mFiringThread.store(std::thread::id{});
    }

    MainRunLoop& mLoop;
    MainRunLoop::TimerId mTimerRef = 0;
    std::shared_ptr<TimerState> mState;
    uint32_t mIntervalMs;
};

} // namespace

std::unique_ptr<Timer> Timer::Create(Callback callback, uint32_t intervalMs)
{
    return Create(MainRunLoop::Main(), std::move(callback), intervalMs);
}

std::unique_ptr<Timer> Timer::Create(MainRunLoop& loop, Callback callback, uint32_t intervalMs)
{
    return std::make_unique<Timer_impl>(loop, std::move(callback), intervalMs);
}

} // namespace plugfw
