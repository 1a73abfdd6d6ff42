// engine: the decoder engine's signal chain: input gathered into frames, the
// crossfade between decoder sets and the output queue, around its sound-field
// stage, its exchange of decoder sets and its batch worker.
#include "engine/QIRMatrixDecoderDSP.h"

#include "engine/ConvolutionWorker.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <new>

namespace qir {

namespace {

constexpr int kFrames = QIRMatrixDecoderDSP::kSubBlockFrames;
constexpr int kMaxChans = QIRMatrixDecoderDSP::kMaxInputChannels;

int RoundUpToFrames(int n) noexcept
{
    return (n + kFrames - 1) / kFrames * kFrames;
}

int RoundUpTo(int n, int multiple) noexcept
{
    return (n + multiple - 1) / multiple * multiple;
}

} // namespace

QIRMatrixDecoderDSP::QIRMatrixDecoderDSP(plugfw::IEditorDelegate* delegate)
    : mStage(delegate)
    , mSets(delegate)
{
}

QIRMatrixDecoderDSP::~QIRMatrixDecoderDSP()
{
    // The worker runs the sets' convolvers: it finishes first. The exchange
    // then stops and waits for the loaders and frees every set.
    mWorker.reset();
}

float* QIRMatrixDecoderDSP::QueueEnd(int output) noexcept
{
    return mQueue.data() + static_cast<std::ptrdiff_t>(output) * mQueueStride + mQueueRead + mQueueFill;
}

float* QIRMatrixDecoderDSP::Channel(int channel) noexcept
{
    return mInput.data() + static_cast<std::ptrdiff_t>(channel) * mInputStride;
}

bool QIRMatrixDecoderDSP::UseThroughputConfiguration(int batchFrames, bool convolveOnWorker)
{
    // main thread, before the first reset and the first load.
    if (mConfigurationFixed || mSets.HasStartedLoads() || batchFrames < 1) {
        return false;
    }
    const int batch = RoundUpToFrames(batchFrames);
    if (convolveOnWorker && mWorker == nullptr) {
        try {
            mWorker = std::make_unique<ConvolutionWorker>();
        } catch (const std::exception&) {
            return false;
        }
    } else if (!convolveOnWorker) {
        mWorker.reset();
    }
    mBatchFrames = batch;
    mSets.SetBatchFrames(batch);
    // A set loaded before the first reset is run once over a whole batch, so
    // that its first call ends a hop as every later call does.
    mSets.SetWarmUpFrames(batch);
    // A batch's output is due as soon as the batch completes; with the worker
    // it comes one batch later, while the caller gathers the next.
    mLatencyFrames = convolveOnWorker ? 2 * batch : batch;
    return true;
}

int QIRMatrixDecoderDSP::OnReset(int blockSize, double sampleRate)
{
    // main thread, audio stopped.
    mConfigurationFixed = true;
    // A batch still with the worker belongs to the stream that ends here.
    if (mWorker != nullptr) {
        mWorker->Abandon();
    }
    mBlockSize = blockSize;
    mPrepared = false;
    mChunkFrames = RoundUpTo(std::max(blockSize, kFrames), mBatchFrames);
    // A partial batch and a whole stretch; the queue holds the latency and a
    // stretch.
    mInputStride = mChunkFrames + mBatchFrames;
    mQueueStride = mChunkFrames + 2 * mLatencyFrames;
    try {
        mInput.assign(static_cast<std::size_t>(kMaxChans) * static_cast<std::size_t>(mInputStride), 0.0f);
        mSourceFrames.assign(static_cast<std::size_t>(mInputStride), 0.0f);
        mQueue.assign(static_cast<std::size_t>(kNumOutputs) * static_cast<std::size_t>(mQueueStride), 0.0f);
        mFadeScratch.assign(static_cast<std::size_t>(kNumOutputs) * static_cast<std::size_t>(mChunkFrames), 0.0f);
        if (mWorker != nullptr) {
            mWorker->Prepare(mBatchFrames);
        }
    } catch (const std::bad_alloc&) {
        // The engine stays unprepared and outputs silence.
        return mLatencyFrames;
    }
    for (int c = 0; c < kMaxChans; ++c) {
        mInputChans[static_cast<std::size_t>(c)] = Channel(c);
    }
    mInputFill = 0;
    mWrittenChannels = 0;
    // The latency's silence ahead of the first decoded frame.
    mQueueFill = mLatencyFrames;
    mQueueRead = 0;

    // A new stream: a crossfade in progress ends here (the replaced set is freed
    // on this thread), and the set in use forgets the old stream. It is also run
    // once over the longest stretch the engine will now convolve, so that its
    // scratch never grows on the audio thread.
    mSets.DropFadingSet();
    mFadeActive = false;
    mSets.ReleaseRetiredSets();
    if (DecoderSet* current = mSets.Current(); current != nullptr) {
        mStage.SetChannels(current->mNumChans, current->mOrder);
        current->StartStream(mInputChans.data(), mFadeScratch.data(), mFadeScratch.data() + mChunkFrames,
                             mChunkFrames);
    }
    mSets.SetWarmUpFrames(mChunkFrames);

    // Sets are loaded for the running rate. Once one has been requested, a new
    // rate needs a reload; until the first request, the first load reads the
    // rate given here.
    mSets.SetSampleRate(sampleRate);

    mStage.Reset(sampleRate);
    mPrepared = true;
    return mLatencyFrames;
}

void QIRMatrixDecoderDSP::OnParamChange(int paramIdx, double value) noexcept
{
    // any thread.
    switch (paramIdx) {
    case kDecoderMode:
    case kDecodeOrder: mSets.RecordSetChoice(paramIdx); break;
    default: mStage.OnParamChange(paramIdx, value); break;
    }
}

void QIRMatrixDecoderDSP::ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept
{
    // audio thread: never waits.
    mStage.ProcessMidiMsg(msg);
}

void QIRMatrixDecoderDSP::ProcessSoundField(int frameStart) noexcept
{
    // audio thread: the stage on the completed frame at frameStart of the
    // gathered input, in place.
    std::array<float*, kMaxChans> in;
    for (int c = 0; c < kMaxChans; ++c) {
        in[static_cast<std::size_t>(c)] = Channel(c) + frameStart;
    }
    const int touched = mStage.ProcessFrame(in.data(), mSourceFrames.data() + frameStart);
    mWrittenChannels = std::max(mWrittenChannels, touched);
}

void QIRMatrixDecoderDSP::RetireFadedSet() noexcept
{
    // audio thread: a set whose crossfade has ended goes back through the retire
    // slot to be freed on another thread. While the slot is still occupied the
    // set is kept (silent, not run) and offered again at the next call, as it
    // is while the worker's batch still decodes with it.
    if (mFadeActive || (mWorker != nullptr && mWorker->Uses(mSets.Fading()))) {
        return;
    }
    mSets.RetireFadedSet();
}

void QIRMatrixDecoderDSP::TakeOverPendingSet() noexcept
{
    // audio thread: one crossfade at a time; while one runs the next set waits
    // in the hand-over slot.
    if (mFadeActive) {
        return;
    }
    const DecoderSet* set = mSets.TakeOverPendingSet();
    if (set == nullptr) {
        return;
    }
    const int count = std::clamp(set->mNumChans, 0, kMaxChans);
    // While both sets play, the stage covers the wider one, so that an order
    // decrease does not cut the old set's higher channels at once.
    if (const DecoderSet* fading = mSets.Fading(); fading != nullptr) {
        mStage.SetChannels(std::max(count, std::clamp(fading->mNumChans, 0, kMaxChans)),
                           std::max(set->mOrder, mStage.GetOrder()));
    } else {
        mStage.SetChannels(count, set->mOrder);
    }
    mFadeActive = true;
    mFadePosition = 0;
}

BatchJob QIRMatrixDecoderDSP::MakeJob(int nFrames) const noexcept
{
    return BatchJob{mSets.Current(), mSets.Fading(), mFadeActive, mFadePosition, nFrames};
}

void QIRMatrixDecoderDSP::AdvanceFade(int nFrames) noexcept
{
    // audio thread: the crossfade moves on by the frames just decoded (or
    // handed to the worker); at its end the stage narrows to the new set.
    const DecoderSet* current = mSets.Current();
    if (current == nullptr || !mFadeActive) {
        return;
    }
    mFadePosition += nFrames;
    if (mFadePosition >= kCrossfadeFrames) {
        mFadeActive = false;
        mSets.EndCrossfade();
        mStage.SetChannels(std::clamp(current->mNumChans, 0, kMaxChans), current->mOrder);
    }
}

void QIRMatrixDecoderDSP::Convolve(int nFrames) noexcept
{
    // audio thread: decodes the first nFrames (whole frames) of the gathered
    // input onto the end of the output queue.
    float* out0 = QueueEnd(0);
    float* out1 = QueueEnd(1);
    MakeJob(nFrames).Decode(mInputChans.data(), out0, out1, mFadeScratch.data(), mFadeScratch.data() + mChunkFrames);
    AdvanceFade(nFrames);
}

void QIRMatrixDecoderDSP::ConvolveOnWorker(int complete, int connected, bool passThrough) noexcept
{
    // audio thread of the throughput configuration: for each batch of the
    // first complete frames of the gathered input, the previous batch's output
    // joins the queue (waiting for the worker) and this batch goes to the
    // worker (or, passed through, straight onto the queue).
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(mBatchFrames);
    for (int start = 0; start < complete; start += mBatchFrames) {
        if (mWorker->Collect(QueueEnd(0), QueueEnd(1))) {
            mQueueFill += mBatchFrames;
        }
        if (passThrough) {
            std::memcpy(QueueEnd(0), Channel(0) + start, bytes);
            std::memcpy(QueueEnd(1), Channel(connected == 2 ? 1 : 0) + start, bytes);
            mQueueFill += mBatchFrames;
            continue;
        }
        const BatchJob job = MakeJob(mBatchFrames);
        AdvanceFade(mBatchFrames);
        mWorker->Submit(job, mInputChans.data(), start);
    }
}
void QIRMatrixDecoderDSP::ProcessPiece(const float* const* inputs, float* const* outputs, int offset, int nFrames,
                                       int connected, bool passThrough) noexcept
{
    // audio thread: frames [offset, offset + nFrames) of the call, at most
    // mChunkFrames. All of the input is taken before any output is written.
    for (int consumed = 0; consumed < nFrames;) {
        const int at = mInputFill;
        const int frames = std::min(nFrames - consumed, kFrames - at % kFrames);
        const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(frames);
        for (int c = 0; c < connected; ++c) {
            std::memcpy(Channel(c) + at, inputs[c] + offset + consumed, bytes);
        }
        for (int c = connected; c < mWrittenChannels; ++c) {
            std::memset(Channel(c) + at, 0, bytes);
        }
        mWrittenChannels = std::max(mWrittenChannels, connected);
        if (passThrough) {
            std::memset(mSourceFrames.data() + at, 0, bytes);
        } else {
            mStage.GenerateTestSource(mSourceFrames.data() + at, frames);
        }
        consumed += frames;
        mInputFill += frames;
        if (mInputFill % kFrames == 0) {
            if (!passThrough) {
                ProcessSoundField(mInputFill - kFrames);
            }
            mStage.EndFrame();
        }
    }

    const int complete = mInputFill / mBatchFrames * mBatchFrames;
    if (complete > 0) {
        if (mWorker != nullptr) {
            ConvolveOnWorker(complete, connected, passThrough);
        } else {
            if (passThrough) {
                const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(complete);
                std::memcpy(QueueEnd(0), Channel(0), bytes);
                std::memcpy(QueueEnd(1), Channel(connected == 2 ? 1 : 0), bytes);
            } else {
                Convolve(complete);
            }
            mQueueFill += complete;
        }
        // The partial frame moves to the front.
        const int partial = mInputFill - complete;
        if (partial > 0) {
            const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(partial);
            for (int c = 0; c < mWrittenChannels; ++c) {
                std::memmove(Channel(c), Channel(c) + complete, bytes);
            }
            std::memmove(mSourceFrames.data(), mSourceFrames.data() + complete, bytes);
        }
        mInputFill = partial;
    }

    // The call's frames come from the front of the queue, which always holds
    // more than a call takes: the latency less the partial batch (and the
    // batch with the worker). What is left moves to the start of the queue
    // once a latency's frames have been taken, not after every call: a
    // throughput configuration's queue holds two batches.
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(nFrames);
    for (int o = 0; o < kNumOutputs; ++o) {
        std::memcpy(outputs[o] + offset, mQueue.data() + static_cast<std::ptrdiff_t>(o) * mQueueStride + mQueueRead, bytes);
    }
    mQueueRead += nFrames;
    mQueueFill -= nFrames;
    if (mQueueRead >= mLatencyFrames) {
        const std::size_t rest = sizeof(float) * static_cast<std::size_t>(mQueueFill);
        for (int o = 0; o < kNumOutputs; ++o) {
            float* queue = mQueue.data() + static_cast<std::ptrdiff_t>(o) * mQueueStride;
            std::memmove(queue, queue + mQueueRead, rest);
        }
        mQueueRead = 0;
    }
}


void QIRMatrixDecoderDSP::ProcessBlock(const float* const* inputs, float* const* outputs, int nFrames,
                                       int nChans) noexcept
{
    // audio thread: never waits, allocates and frees nothing (in the throughput
    // configuration it waits for its worker).
    mNumInputChans = nChans;
    nFrames = std::max(nFrames, 0);
    if (!mPrepared) {
        for (int o = 0; o < kNumOutputs; ++o) {
            std::memset(outputs[o], 0, sizeof(float) * static_cast<std::size_t>(nFrames));
        }
        return;
    }
    const bool passThrough = nChans == 1 || nChans == 2;
    if (!passThrough) {
        RetireFadedSet();
        TakeOverPendingSet();
    }
    const int connected = std::clamp(nChans, 0, kMaxChans);
    for (int offset = 0; offset < nFrames; offset += mChunkFrames) {
        ProcessPiece(inputs, outputs, offset, std::min(nFrames - offset, mChunkFrames), connected, passThrough);
    }
}

bool QIRMatrixDecoderDSP::HasPendingDecoderSet() const noexcept
{
    return mSets.HasPendingDecoderSet();
}

bool QIRMatrixDecoderDSP::IsLoading() const noexcept
{
    return mSets.IsLoading();
}

int QIRMatrixDecoderDSP::GetActiveInputCount() const noexcept
{
    return mSets.GetActiveInputCount();
}

bool QIRMatrixDecoderDSP::IsCrossfading() const noexcept
{
    return mSets.IsCrossfading();
}

int QIRMatrixDecoderDSP::GetTailFrames() const noexcept
{
    return mSets.GetTailFrames();
}

bool QIRMatrixDecoderDSP::IsLoadRequested() const noexcept
{
    return mSets.IsLoadRequested();
}

bool QIRMatrixDecoderDSP::HasRetiredSets() const noexcept
{
    return mSets.HasRetiredSets();
}

void QIRMatrixDecoderDSP::ReleaseRetiredSets() noexcept
{
    // any thread but the audio thread.
    mSets.ReleaseRetiredSets();
}

std::string QIRMatrixDecoderDSP::DecoderSetFileName(double decoderMode, double decodeOrder)
{
    return DecoderSetExchange::DecoderSetFileName(decoderMode, decodeOrder);
}

void QIRMatrixDecoderDSP::SetDecoderSetFolder(std::string folder)
{
    mSets.SetDecoderSetFolder(std::move(folder));
}

void QIRMatrixDecoderDSP::OnIdle()
{
    // main thread.
    mSets.OnIdle();
}

bool QIRMatrixDecoderDSP::LoadRequestedSet()
{
    // worker thread.
    return mSets.LoadRequestedSet();
}

void QIRMatrixDecoderDSP::WaitForLoads()
{
    // main thread.
    mSets.WaitForLoads();
}

void QIRMatrixDecoderDSP::LoadIR(std::filesystem::path path, void* engine, uint64_t generation)
{
    // loader thread.
    static_cast<QIRMatrixDecoderDSP*>(engine)->mSets.Load(std::move(path), generation);
}

} // namespace qir
