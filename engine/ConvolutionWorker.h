// engine: the batch path of the throughput configuration. The thread that
// renders gathers a batch of frames, hands it to the worker (a copy of its
// stage output and the decoder sets and crossfade as they stand) and goes on
// gathering the next batch while the worker's own thread decodes this one;
// before it hands over the next batch it collects the last one's output.
// Waiting is the point here: this configuration renders files, never an audio
// device's callbacks.
//
// Threads: the main thread constructs, prepares and destroys the worker; the
// rendering thread submits and collects; the worker's thread only decodes.
// While a batch is in flight the worker owns its copy of the input, its
// output and the job's decoder sets' convolvers, and the rendering thread
// keeps every set the job uses.
#pragma once

#include "engine/DecoderSet.h"
#include "engine/EngineSizes.h"

#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qir {

// One stretch's decoding: the decoder sets and the crossfade as they stand
// when the stretch completes.
struct BatchJob {
    DecoderSet* mCurrent = nullptr;
    DecoderSet* mFading = nullptr;
    bool mFade = false;
    int mFadePosition = 0;
    int mFrames = 0;

    // Audio thread, or the worker's thread: decodes mFrames frames of inputs
    // with the job's sets into out0 and out1 (old0 and old1 take the replaced
    // set's output during a crossfade). Silence without a current set.
    void Decode(const float* const* inputs, float* out0, float* out1, float* old0, float* old1) const noexcept;
};

class ConvolutionWorker {
public:
    // Main thread: starts the thread. Throws std::system_error when it cannot
    // be started.
    ConvolutionWorker();
    // Main thread: waits for the batch in hand, then stops and joins the thread.
    ~ConvolutionWorker();
    ConvolutionWorker(const ConvolutionWorker&) = delete;
    ConvolutionWorker& operator=(const ConvolutionWorker&) = delete;

    // Main thread, no batch in flight (see Abandon): sizes the input copy and
    // the output for batches of batchFrames frames. Throws std::bad_alloc.
    void Prepare(int batchFrames);

    // Rendering thread (or the main thread while it is stopped): waits for the
    // batch in flight, if any, and drops its output: the stream it belongs to
    // has ended.
    void Abandon() noexcept;

    // Rendering thread: true while the batch in flight decodes with set.
    [[nodiscard]] bool Uses(const DecoderSet* set) const noexcept;

    // Rendering thread: waits for the batch in flight and copies its batchFrames
    // frames of output to out0 and out1. False, copying nothing, when no batch
    // is in flight.
    bool Collect(float* out0, float* out1) noexcept;

    // Rendering thread, no batch in flight (see Collect): copies the frames
    // [start, start + batchFrames) of the channels that job's sets read
    // (channels holds kMaxInputChannels pointers) and starts decoding them
    // on the worker's thread. Everything the caller wrote before is visible
    // to the worker.
    void Submit(const BatchJob& job, const float* const* channels, int start) noexcept;

private:
    static constexpr int kMaxChans = EngineSizes::kMaxInputChannels;
    static constexpr int kNumOutputs = EngineSizes::kNumOutputs;

    void Run() noexcept;
    void Wait() noexcept;
    void DecodeBatch() noexcept;

    std::mutex mMutex;
    std::condition_variable mWake;
    bool mBusy = false;
    bool mStop = false;

    int mBatchFrames = 0;
    // The batch's stage output, copied: the caller goes on gathering.
    std::vector<float> mBatchInput;
    std::array<const float*, kMaxChans> mBatchChans{};
    // The batch's two outputs followed by the replaced set's two during a
    // crossfade.
    std::vector<float> mBatchOutput;
    BatchJob mJob;
    // Rendering thread's record: a batch was submitted and not yet collected.
    bool mBatchInFlight = false;

    std::thread mThread;
};

} // namespace qir
