// framework/platform: main run loop stand-in.
#include "framework/platform/MainRunLoop.h"

#include <algorithm>
#include <atomic>

namespace plugfw {

struct MainRunLoop::TimerEntry {
    TimerId mId = 0;
    Duration mInterval{};
    RunLoopClock::TimePoint mNextFire{};
    std::function<void()> mCallback;
    std::atomic<bool> mActive{true};
};

MainRunLoop::MainRunLoop() : MainRunLoop(std::make_unique<SteadyRunLoopClock>()) {}

MainRunLoop::MainRunLoop(std::unique_ptr<RunLoopClock> clock) : mClock(std::move(clock)) {}

MainRunLoop::~MainRunLoop() = default;

MainRunLoop& MainRunLoop::Main()
{
    static MainRunLoop loop;
    return loop;
}

RunLoopClock::TimePoint MainRunLoop::Now() const
{
    std::lock_guard lock(mMutex);
    return mClock->Now();
}

MainRunLoop::TimerId MainRunLoop::AddTimer(std::chrono::milliseconds interval, std::function<void()> callback)
{
    auto entry = std::make_shared<TimerEntry>();
    entry->mInterval = std::max<Duration>(interval, std::chrono::milliseconds(1));
    entry->mCallback = std::move(callback);
    {
        std::lock_guard lock(mMutex);
        entry->mId = mNextTimerId++;
        entry->mNextFire = mClock->Now();
        mTimers.push_back(entry);
    }
    mWake.notify_all();
    return entry->mId;
}

void MainRunLoop::RemoveTimer(TimerId id)
{
    std::lock_guard lock(mMutex);
    const auto it = std::find_if(mTimers.begin(), mTimers.end(), [id](const auto& t) { return t->mId == id; });
    if (it != mTimers.end()) {
        (*it)->mActive.store(false);
        mTimers.erase(it);
    }
}

int MainRunLoop::NTimers() const
{
    std::lock_guard lock(mMutex);
    return static_cast<int>(mTimers.size());
}

void MainRunLoop::Dispatch(std::function<void()> task)
{
    {
        std::lock_guard lock(mMutex);
        mTasks.push_back(std::move(task));
    }
    mWake.notify_all();
}

int MainRunLoop::RunDue()
{
    std::deque<std::function<void()>> tasks;
    std::vector<std::shared_ptr<TimerEntry>> due;
    {
        std::lock_guard lock(mMutex);
        tasks.swap(mTasks);
        const auto now = mClock->Now();
        for (const auto& timer : mTimers) {
            if (timer->mNextFire <= now) {
                due.push_back(timer);
                // Next firing on the interval grid, skipping missed ones.
                const auto late = now - timer->mNextFire;
                timer->mNextFire += timer->mInterval * (late / timer->mInterval + 1);
            }
        }
    }
    int ran = 0;
    for (auto& task : tasks) {
        if (task) {
            task();
            ++ran;
        }
    }
    for (const auto& timer : due) {
        if (timer->mActive.load() && timer->mCallback) {
            timer->mCallback();
            ++ran;
        }
    }
    return ran;
}

int MainRunLoop::RunOnce()
{
    return RunDue();
}

void MainRunLoop::RunFor(Duration duration)
{
    (void)RunUntil([] { return false; }, duration);
}

bool MainRunLoop::RunUntil(const std::function<bool()>& condition, Duration timeout)
{
    const auto deadline = Now() + timeout;
    for (;;) {
        RunDue();
        if (condition && condition()) {
            return true;
        }
        std::unique_lock lock(mMutex);
        if (!mTasks.empty()) {
            continue;
        }
        const auto now = mClock->Now();
        if (now >= deadline) {
            return false;
        }
        auto wakeAt = deadline;
        for (const auto& timer : mTimers) {
            wakeAt = std::min(wakeAt, timer->mNextFire);
        }
        if (wakeAt > now) {
            mClock->WaitUntil(lock, mWake, wakeAt);
        }
    }
}

} // namespace plugfw
