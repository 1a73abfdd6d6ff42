// framework: repeating main-loop timer over the run-loop stand-in.
#include "framework/Timer.h"

#include "framework/platform/MainRunLoop.h"

#include <chrono>

namespace plugfw {
namespace {

class Timer_impl final : public Timer {
public:
    Timer_impl(MainRunLoop& loop, Callback callback, uint32_t intervalMs)
        : mLoop(loop), mCallback(std::move(callback)), mIntervalMs(intervalMs)
    {
        mTimerRef = mLoop.AddTimer(std::chrono::milliseconds(mIntervalMs), [this] {
            if (mCallback) {
                mCallback(*this);
            }
        });
    }

    ~Timer_impl() override { Stop(); }

    void Stop() override
    {
        if (mTimerRef != 0) {
            mLoop.RemoveTimer(mTimerRef);
            mTimerRef = 0;
        }
    }

private:
    MainRunLoop& mLoop;
    MainRunLoop::TimerId mTimerRef = 0;
    Callback mCallback;
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
