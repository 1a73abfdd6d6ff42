// engine: the worker thread of the throughput configuration. The thread that
// renders hands it one task at a time (a batch's convolution) and goes on
// gathering the next batch; before it hands over the next task it waits for
// the last one. Waiting is the point here: this configuration renders files,
// never an audio device's callbacks.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace qir {

class ConvolutionWorker {
public:
    using Task = void (*)(void* context) noexcept;

    // Main thread: starts the thread. Throws std::system_error when it cannot
    // be started.
    ConvolutionWorker();
    // Main thread: waits for the task in hand, then stops and joins the thread.
    ~ConvolutionWorker();
    ConvolutionWorker(const ConvolutionWorker&) = delete;
    ConvolutionWorker& operator=(const ConvolutionWorker&) = delete;

    // Rendering thread: runs task(context) on the worker. The task handed over
    // before must have been waited for. Everything the caller wrote before this
    // call is visible to the task.
    void Start(Task task, void* context) noexcept;
    // Rendering thread: returns once the task handed over last has finished
    // (at once when there is none); everything the task wrote is then visible
    // to the caller.
    void Wait() noexcept;

private:
    void Run() noexcept;

    std::mutex mMutex;
    std::condition_variable mWake;
    Task mTask = nullptr;
    void* mContext = nullptr;
    bool mBusy = false;
    bool mStop = false;
    std::thread mThread;
};

} // namespace qir
