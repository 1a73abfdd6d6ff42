// engine: the batch path of the throughput configuration, and the decoding of
// one stretch with the sets and crossfade of a job.
#include "engine/ConvolutionWorker.h"

#include <algorithm>
#include <cstring>

namespace qir {

void BatchJob::Decode(const float* const* inputs, float* out0, float* out1, float* old0, float* old1) const noexcept
{
    // audio thread, or the throughput configuration's worker.
    const auto nFrames = static_cast<std::size_t>(mFrames);
    if (mCurrent == nullptr) {
        std::memset(out0, 0, sizeof(float) * nFrames);
        std::memset(out1, 0, sizeof(float) * nFrames);
        return;
    }
    mCurrent->Convolve(inputs, out0, out1, mFrames);
    if (!mFade) {
        return;
    }
    // Equal-gain linear crossfade: the new set rises over kCrossfadeFrames while
    // the set it replaces (or silence, for the first) falls.
    if (mFading != nullptr) {
        mFading->Convolve(inputs, old0, old1, mFrames);
    } else {
        std::memset(old0, 0, sizeof(float) * nFrames);
        std::memset(old1, 0, sizeof(float) * nFrames);
    }
    constexpr float kStep = 1.0f / static_cast<float>(EngineSizes::kCrossfadeFrames);
    for (int t = 0; t < mFrames; ++t) {
        const float g = std::min(1.0f, static_cast<float>(mFadePosition + t + 1) * kStep);
        out0[t] = g * out0[t] + (1.0f - g) * old0[t];
        out1[t] = g * out1[t] + (1.0f - g) * old1[t];
    }
}

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

void ConvolutionWorker::Prepare(int batchFrames)
{
    // main thread, no batch in flight.
    mBatchFrames = batchFrames;
    mBatchInput.assign(static_cast<std::size_t>(kMaxChans) * static_cast<std::size_t>(batchFrames), 0.0f);
    mBatchOutput.assign(static_cast<std::size_t>(2 * kNumOutputs) * static_cast<std::size_t>(batchFrames), 0.0f);
    for (int c = 0; c < kMaxChans; ++c) {
        mBatchChans[static_cast<std::size_t>(c)] = mBatchInput.data() + static_cast<std::ptrdiff_t>(c) * batchFrames;
    }
}

void ConvolutionWorker::Abandon() noexcept
{
    // rendering thread, or the main thread while it is stopped.
    Wait();
    mBatchInFlight = false;
}

bool ConvolutionWorker::Uses(const DecoderSet* set) const noexcept
{
    // rendering thread.
    return mBatchInFlight && (mJob.mFading == set || mJob.mCurrent == set);
}

bool ConvolutionWorker::Collect(float* out0, float* out1) noexcept
{
    // rendering thread of the throughput configuration: waits, by design.
    if (!mBatchInFlight) {
        return false;
    }
    Wait();
    mBatchInFlight = false;
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(mBatchFrames);
    std::memcpy(out0, mBatchOutput.data(), bytes);
    std::memcpy(out1, mBatchOutput.data() + mBatchFrames, bytes);
    return true;
}

void ConvolutionWorker::Submit(const BatchJob& job, const float* const* channels, int start) noexcept
{
    // rendering thread of the throughput configuration, no batch in flight.
    mJob = job;
    int numChans = mJob.mCurrent != nullptr ? mJob.mCurrent->mNumChans : 0;
    if (mJob.mFade && mJob.mFading != nullptr) {
        numChans = std::max(numChans, mJob.mFading->mNumChans);
    }
    numChans = std::clamp(numChans, 0, kMaxChans);
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(mBatchFrames);
    for (int c = 0; c < numChans; ++c) {
        std::memcpy(mBatchInput.data() + static_cast<std::ptrdiff_t>(c) * mBatchFrames, channels[c] + start, bytes);
    }
    mBatchInFlight = true;
    {
        std::lock_guard<std::mutex> lock(mMutex);
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

void ConvolutionWorker::DecodeBatch() noexcept
{
    // the worker's thread.
    const auto frames = static_cast<std::ptrdiff_t>(mBatchFrames);
    float* out = mBatchOutput.data();
    mJob.Decode(mBatchChans.data(), out, out + frames, out + 2 * frames, out + 3 * frames);
}

void ConvolutionWorker::Run() noexcept
{
    // the worker's thread.
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mWake.wait(lock, [this] { return mStop || mBusy; });
        if (mStop) {
            return;
        }
        lock.unlock();
        DecodeBatch();
        lock.lock();
        mBusy = false;
        mWake.notify_all();
    }
}

} // namespace qir
