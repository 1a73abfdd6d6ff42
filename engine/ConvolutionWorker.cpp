// engine: the worker thread of the throughput configuration.
#include "engine/ConvolutionWorker.h"

namespace qir {

ConvolutionWorker::ConvolutionWorker() : mThread([this] { Run(); }) {}

ConvolutionWorker::~ConvolutionWorker()
{
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mWake.wait(lock, [this] { return !mBusy; });
        mStop = true;
    }
    mWake.notify_all();
    mThread.join();
}

void ConvolutionWorker::Start(Task task, void* context) noexcept
{
    // rendering thread of the throughput configuration.
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mTask = task;
        mContext = context;
        mBusy = true;
    }
    mWake.notify_all();
}

void ConvolutionWorker::Wait() noexcept
{
    // rendering thread of the throughput configuration: waits, by design.
    std::unique_lock<std::mutex> lock(mMutex);
    mWake.wait(lock, [this] { return !mBusy; });
}

void ConvolutionWorker::Run() noexcept
{
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mWake.wait(lock, [this] { return mStop || mBusy; });
        if (mStop) {
            return;
        }
        const Task task = mTask;
        void* const context = mContext;
        lock.unlock();
        task(context);
        lock.lock();
        mBusy = false;
        mWake.notify_all();
    }
}

} // namespace qir
