// engine: the decoder engine's signal chain, sound-field stage, test source and
// decoder-set loading.
#include "engine/QIRMatrixDecoderDSP.h"

#include "convolution/Convolver.h"
#include "engine/DecoderSetResponses.h"
#include "engine/ConvolutionWorker.h"
#include "engine/platform/ResourceDirectory.h"
#include "soundfield/Encoder.h"
#include "soundfield/Rotator.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <sstream>
#include <system_error>

namespace qir {

namespace {

constexpr int kFrames = QIRMatrixDecoderDSP::kSubBlockFrames;
constexpr int kMaxChans = QIRMatrixDecoderDSP::kMaxInputChannels;

// Test-source directions by MIDI note: azimuth and elevation in degrees. The six
// axis points, the twelve edge midpoints and the eight cube corners of the
// 26-point Lebedev grid.
constexpr float kTestSourceDirections[QIRMatrixDecoderDSP::kNumTestSourceDirections][2] = {
    {0.0f, 0.0f},      {180.0f, 0.0f},    {90.0f, 0.0f},     {270.0f, 0.0f},    {0.0f, 90.0f},
    {0.0f, -90.0f},    {90.0f, 45.0f},    {90.0f, -45.0f},   {270.0f, 45.0f},   {270.0f, -45.0f},
    {0.0f, 45.0f},     {0.0f, -45.0f},    {180.0f, 45.0f},   {180.0f, -45.0f},  {45.0f, 0.0f},
    {315.0f, 0.0f},    {135.0f, 0.0f},    {225.0f, 0.0f},    {45.0f, 35.3f},    {45.0f, -35.3f},
    {315.0f, 35.3f},   {315.0f, -35.3f},  {135.0f, 35.3f},   {135.0f, -35.3f},  {225.0f, 35.3f},
    {225.0f, -35.3f},
};

// The envelope's stage times, fixed for 44100 Hz whatever the host's rate: an
// attack of one sample and a release falling 60 dB in 300 ms.
constexpr double kEnvelopeAttackMs = 0.022675737738609313;
constexpr double kEnvelopeReleaseMs = 300.0;
constexpr float kTestSourceLevel = 0.1f;
constexpr float kEnvelopeSustain = 0.5f;

constexpr const char* kToolkitBanner =
    "QIR sound-field toolkit 1.0.1: rotation, encoding and convention conversion of\n"
    "ambisonic fields up to order 7, in 128-sample frames.\n"
    "Part of the QIR Matrix Decoder and distributed under its licence.";

int RoundUpToFrames(int n) noexcept
{
    return (n + kFrames - 1) / kFrames * kFrames;
}

int RoundUpTo(int n, int multiple) noexcept
{
    return (n + multiple - 1) / multiple * multiple;
}

// The block a throughput configuration's convolver is laid out for: its first
// hop, a power of two that divides the batch, so that every batch is whole
// hops. As long as the batch allows, but no longer than the set's longest
// response (at least 1024): an anechoic set's responses end after 1024 taps,
// and with hops of that length their spectra stay in cache where hops of a
// whole batch would stream eight times as many.
unsigned long ThroughputLayoutBlock(int batchFrames, int trueLength) noexcept
{
    const auto batch = static_cast<unsigned long>(batchFrames);
    const unsigned long batchHop = batch & (~batch + 1);
    return std::min(batchHop, std::bit_ceil(std::max<unsigned long>(static_cast<unsigned long>(trueLength), 1024)));
}

// The smallest ambisonic order whose channels hold n inputs (0 to 7).
int OrderForChannels(int n) noexcept
{
    int order = 0;
    while (order < 7 && (order + 1) * (order + 1) < n) {
        ++order;
    }
    return order;
}

} // namespace

QIRMatrixDecoderDSP::QIRMatrixDecoderDSP(plugfw::IEditorDelegate* delegate)
    : mEnvelope("amp", nullptr, false)
    , mDelegate(delegate)
{
    WriteConsole("%s", kToolkitBanner);
    mEnvelope.SetStageTime(plugfw::ADSREnvelope<float>::kStageAttack, kEnvelopeAttackMs);
    mEnvelope.SetStageTime(plugfw::ADSREnvelope<float>::kStageDecay, 0.0);
    mEnvelope.SetStageTime(plugfw::ADSREnvelope<float>::kStageRelease, kEnvelopeReleaseMs);
    mEncoderScratch.assign(static_cast<std::size_t>(kMaxChans) * kFrames, 0.0f);
    for (int c = 0; c < kMaxChans; ++c) {
        mEncoderChans[static_cast<std::size_t>(c)] = mEncoderScratch.data() + static_cast<std::ptrdiff_t>(c) * kFrames;
    }
    fieldenc_create(&mEncoder);
    fieldrot_create(&mRotator);
    if (mEncoder == nullptr || mRotator == nullptr) {
        fieldenc_destroy(&mEncoder);
        fieldrot_destroy(&mRotator);
        throw std::bad_alloc();
    }
}

QIRMatrixDecoderDSP::~QIRMatrixDecoderDSP()
{
    // The worker runs the sets' convolvers: it finishes first.
    mWorker.reset();
    // Loaders write into this object: stop them early and wait for every one
    // before anything they could touch goes away.
    mShuttingDown.store(true);
    ReapFinishedLoaders(true);
    fieldenc_destroy(&mEncoder);
    fieldrot_destroy(&mRotator);
    delete mPendingSet.exchange(nullptr);
    ReleaseRetiredSets();
}

double QIRMatrixDecoderDSP::ParamValue(int paramIdx) const noexcept
{
    const plugfw::IParam* param = mDelegate != nullptr ? mDelegate->GetParam(paramIdx) : nullptr;
    return param != nullptr ? param->Value() : 0.0;
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
    if (mConfigurationFixed || mLoadGeneration.load() != 0 || batchFrames < 1) {
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
    // A set loaded before the first reset is run once over a whole batch, so
    // that its first call ends a hop as every later call does.
    mWarmUpFrames.store(batch);
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
        mWorker->Wait();
    }
    mBatchInFlight = false;
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
            mBatchInput.assign(static_cast<std::size_t>(kMaxChans) * static_cast<std::size_t>(mBatchFrames), 0.0f);
            mBatchOutput.assign(static_cast<std::size_t>(2 * kNumOutputs) * static_cast<std::size_t>(mBatchFrames),
                                0.0f);
        }
    } catch (const std::bad_alloc&) {
        // The engine stays unprepared and outputs silence.
        return mLatencyFrames;
    }
    for (int c = 0; c < kMaxChans; ++c) {
        mInputChans[static_cast<std::size_t>(c)] = Channel(c);
        if (mWorker != nullptr) {
            mBatchChans[static_cast<std::size_t>(c)] =
                mBatchInput.data() + static_cast<std::ptrdiff_t>(c) * mBatchFrames;
        }
    }
    mInputFill = 0;
    mWrittenChannels = 0;
    mSourceInFrame = false;
    // The latency's silence ahead of the first decoded frame.
    mQueueFill = mLatencyFrames;
    mQueueRead = 0;

    // A new stream: a crossfade in progress ends here (the replaced set is freed
    // on this thread), and the set in use forgets the old stream. It is also run
    // once over the longest stretch the engine will now convolve, so that its
    // scratch never grows on the audio thread.
    mFadingSet.reset();
    mFadeActive = false;
    mCrossfading.store(false);
    ReleaseRetiredSets();
    if (mCurrentSet != nullptr) {
        mNumChans = mCurrentSet->mNumChans;
        SetStageOrder(mCurrentSet->mOrder);
        if (mCurrentSet->mWarmFrames < mChunkFrames) {
            float* sink[kNumOutputs] = {mFadeScratch.data(), mFadeScratch.data() + mChunkFrames};
            mCurrentSet->mConvolver->process(mInputChans.data(), sink, static_cast<unsigned long>(mCurrentSet->mNumChans),
                                             kNumOutputs, static_cast<unsigned long>(mChunkFrames));
            mCurrentSet->mWarmFrames = mChunkFrames;
        }
        mCurrentSet->mConvolver->reset();
    }
    mWarmUpFrames.store(mChunkFrames);

    // Sets are loaded for the running rate. Once one has been requested, a new
    // rate needs a reload; until the first request, the first load reads the
    // rate given here.
    if (mSampleRate.exchange(sampleRate) != sampleRate && mLoadGeneration.load() > 0) {
        mLoadRequested.exchange(true);
    }

    const int rate = static_cast<int>(sampleRate + 0.5);
    fieldenc_init(mEncoder, rate);
    fieldrot_init(mRotator, rate);
    // The transforms follow the parameters from the first frame after a reset,
    // whatever they were told before.
    mTransformSettingsChanged.fetch_or(kAllTransformSettings);
    mPrepared = true;
    return mLatencyFrames;
}

void QIRMatrixDecoderDSP::RecordSetChoice(std::atomic<int>& choice, int paramIdx, int offset) noexcept
{
    // Any thread, several at once (a host's automation and its interface); on
    // the audio thread it never waits, going round again only when another
    // thread has changed the parameter meanwhile. The choice is recorded, then
    // the parameter read again, until the two agree.
    // However the threads interleave, the record ends on the parameter's last
    // value; a plain compare and store could keep a value that another thread's
    // change had already replaced, and the next change back to it would then
    // load nothing. The load is requested after the record changes, and the
    // loader reads the record.
    int value = static_cast<int>(ParamValue(paramIdx)) + offset;
    for (;;) {
        if (choice.exchange(value) != value) {
            mLoadRequested.store(true);
        }
        const int again = static_cast<int>(ParamValue(paramIdx)) + offset;
        if (again == value) {
            return;
        }
        value = again;
    }
}

void QIRMatrixDecoderDSP::OnParamChange(int paramIdx, double value) noexcept
{
    const int flag = static_cast<int>(value + 0.5);
    switch (paramIdx) {
    case kDecoderMode: RecordSetChoice(mDecoderMode, kDecoderMode, 0); break;
    case kDecodeOrder: RecordSetChoice(mDecodeOrder, kDecodeOrder, 1); break;
    case kChannelLayout:
        mChOrder.store(static_cast<int>(ParamValue(kChannelLayout)) + 1);
        mTransformSettingsChanged.fetch_or(kSettingChOrder);
        break;
    case kNormalizationType:
        mNormType.store(static_cast<int>(ParamValue(kNormalizationType)) + 1);
        mTransformSettingsChanged.fetch_or(kSettingNormType);
        break;
    case kEnableRotation: break; // the stage reads it for every frame
    case kUseRPY:
        mUseRPY.store(flag);
        mTransformSettingsChanged.fetch_or(kSettingRPY);
        break;
    case kYaw:
        mYawDegrees.store(static_cast<float>((value - 0.5) * 360.0));
        mTransformSettingsChanged.fetch_or(kSettingYaw);
        break;
    case kPitch:
        mPitchDegrees.store(static_cast<float>((value - 0.5) * 180.0));
        mTransformSettingsChanged.fetch_or(kSettingPitch);
        break;
    case kRoll:
        mRollDegrees.store(static_cast<float>((value - 0.5) * 180.0));
        mTransformSettingsChanged.fetch_or(kSettingRoll);
        break;
    case kFlipYaw:
        mFlipYaw.store(flag);
        mTransformSettingsChanged.fetch_or(kSettingFlipYaw);
        break;
    case kFlipPitch:
        mFlipPitch.store(flag);
        mTransformSettingsChanged.fetch_or(kSettingFlipPitch);
        break;
    case kFlipRoll:
        mFlipRoll.store(flag);
        mTransformSettingsChanged.fetch_or(kSettingFlipRoll);
        break;
    default: break;
    }
}

void QIRMatrixDecoderDSP::ApplyTransformSettings() noexcept
{
    // audio thread: the only thread that touches the rotator and the encoder
    // after construction and reset.
    const uint32_t changed = mTransformSettingsChanged.exchange(0);
    if (changed == 0) {
        return;
    }
    // Flips before angles: a flip negates the stored angle, an angle is stored
    // with the current flip applied; either order ends in the same state.
    if (changed & kSettingFlipYaw) {
        fieldrot_setFlipYaw(mRotator, mFlipYaw.load());
    }
    if (changed & kSettingFlipPitch) {
        fieldrot_setFlipPitch(mRotator, mFlipPitch.load());
    }
    if (changed & kSettingFlipRoll) {
        fieldrot_setFlipRoll(mRotator, mFlipRoll.load());
    }
    if (changed & kSettingRPY) {
        fieldrot_setRPYflag(mRotator, mUseRPY.load());
    }
    if (changed & kSettingYaw) {
        fieldrot_setYaw(mRotator, mYawDegrees.load());
    }
    if (changed & kSettingPitch) {
        fieldrot_setPitch(mRotator, mPitchDegrees.load());
    }
    if (changed & kSettingRoll) {
        fieldrot_setRoll(mRotator, mRollDegrees.load());
    }
    if (changed & kSettingChOrder) {
        fieldenc_setChOrder(mEncoder, mChOrder.load());
        fieldrot_setChOrder(mRotator, mChOrder.load());
    }
    if (changed & kSettingNormType) {
        fieldenc_setNormType(mEncoder, mNormType.load());
        fieldrot_setNormType(mRotator, mNormType.load());
    }
}

void QIRMatrixDecoderDSP::ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept
{
    // audio thread: never waits.
    const plugfw::IMidiMsg::EStatusMsg type = msg.StatusMsg();
    if (type == plugfw::IMidiMsg::kNoteOff || (type == plugfw::IMidiMsg::kNoteOn && msg.mData2 == 0)) {
        mEnvelope.Release();
        return;
    }
    if (type != plugfw::IMidiMsg::kNoteOn) {
        return;
    }
    const int index = msg.mData1 < kNumTestSourceDirections ? msg.mData1 : -1;
    mTestSourceIndex = index;
    if (index < 0) {
        return;
    }
    fieldenc_setSourceAzi_deg(mEncoder, 0, kTestSourceDirections[index][0]);
    fieldenc_setSourceElev_deg(mEncoder, 0, kTestSourceDirections[index][1]);
    mEnvelope.Start(kTestSourceLevel, 1.0f);
}

void QIRMatrixDecoderDSP::GenerateTestSource(float* destination, int nFrames) noexcept
{
    // audio thread: the test source, sample for sample as the input arrives, so
    // that a note starts and stops at its own frame of the stream.
    int i = 0;
    if (mTestSourceIndex >= 0) {
        mSourceInFrame = true;
        while (i < nFrames) {
            mNoiseSeed = mNoiseSeed * 1664525u + 1013904223u;
            const float f = std::bit_cast<float>((mNoiseSeed >> 9) | 0x3F800000u);
            const float noise = 2.0f * f - 3.0f;
            destination[i++] = mEnvelope.Process(kEnvelopeSustain) * noise;
            if (mEnvelope.GetStage() == plugfw::ADSREnvelope<float>::kStageIdle) {
                mTestSourceIndex = -1;
                break;
            }
        }
    }
    std::fill(destination + i, destination + nFrames, 0.0f);
}

void QIRMatrixDecoderDSP::ProcessSoundField(int frameStart) noexcept
{
    // audio thread: the stage on the completed frame at frameStart of the
    // gathered input, in place.
    ApplyTransformSettings();
    const int n = mNumChans;
    std::array<float*, kMaxChans> in;
    for (int c = 0; c < kMaxChans; ++c) {
        in[static_cast<std::size_t>(c)] = Channel(c) + frameStart;
    }
    int touched = n;

    if (mSourceInFrame) {
        const float* source = mSourceFrames.data() + frameStart;
        float* const* scratch = mEncoderChans.data();
        fieldenc_processFrame(mEncoder, &source, scratch, 1, n, kFrames);
        for (int c = 0; c < n; ++c) {
            float* __restrict dst = in[static_cast<std::size_t>(c)];
            const float* __restrict src = scratch[c];
            for (int i = 0; i < kFrames; ++i) {
                dst[i] += src[i];
            }
        }
        mSourceInFrame = false;
    }

    // The rotator always runs: with rotation off it fades to the unturned field
    // and then passes it untouched, so switching is continuous either way.
    fieldrot_setBypass(mRotator, ParamValue(kEnableRotation) >= 0.5 ? 0 : 1);
    fieldrot_processFrame(mRotator, in.data(), in.data(), n, n, kFrames);

    // Bring first-order FuMa channel order and FuMa or N3D normalisation to the
    // decoder sets' ACN/SN3D.
    if (static_cast<int>(ParamValue(kChannelLayout)) == 1) {
        float* __restrict x = in[1];
        float* __restrict y = in[2];
        float* __restrict z = in[3];
        for (int i = 0; i < kFrames; ++i) {
            const float w = x[i];
            x[i] = y[i];
            y[i] = z[i];
            z[i] = w;
        }
        touched = std::max(touched, 4);
    }
    const int norm = static_cast<int>(ParamValue(kNormalizationType));
    if (norm == 2) {
        // FuMa differs from SN3D only in W, which carries 1/sqrt(2).
        float* __restrict w = in[0];
        for (int i = 0; i < kFrames; ++i) {
            w[i] *= 1.4142135f;
        }
        touched = std::max(touched, 1);
    } else if (norm == 0) {
        const int order = std::clamp(static_cast<int>(ParamValue(kDecodeOrder)) + 1, 0, 7);
        for (int d = 0; d <= order; ++d) {
            const float scale = std::sqrt(static_cast<float>(2 * d + 1));
            for (int c = d * d; c < (d + 1) * (d + 1); ++c) {
                float* __restrict x = in[static_cast<std::size_t>(c)];
                for (int i = 0; i < kFrames; ++i) {
                    x[i] /= scale;
                }
            }
        }
        touched = std::max(touched, (order + 1) * (order + 1));
    }
    mWrittenChannels = std::max(mWrittenChannels, touched);
}

void QIRMatrixDecoderDSP::SetStageOrder(int order) noexcept
{
    // audio thread, or the main thread while the audio thread is stopped.
    order = std::clamp(order, 0, 7);
    if (order == mStageOrder) {
        return;
    }
    mStageOrder = order;
    fieldenc_setOutputOrder(mEncoder, order);
    fieldrot_setOrder(mRotator, order);
    // At orders above 1 the transforms drop a FuMa channel order or
    // normalisation, and nothing brings it back when the order returns to 1:
    // hand them the parameters' conventions (and angles) again, so FuMa input is
    // rotated and encoded as FuMa whenever the order allows it.
    mTransformSettingsChanged.fetch_or(kAllTransformSettings);
}

void QIRMatrixDecoderDSP::RetireFadedSet() noexcept
{
    // audio thread: a set whose crossfade has ended goes back through the retire
    // slot to be freed on another thread. While the slot is still occupied the
    // set is kept (silent, not run) and offered again at the next call, as it
    // is while the worker's batch still decodes with it.
    if (mFadingSet == nullptr || mFadeActive || (mBatchInFlight && (mJob.mFading == mFadingSet.get() || mJob.mCurrent == mFadingSet.get()))) {
        return;
    }
    DecoderSet* expected = nullptr;
    if (mRetiredSet.compare_exchange_strong(expected, mFadingSet.get(), std::memory_order_acq_rel)) {
        (void)mFadingSet.release(); // the slot owns it now
    }
}

void QIRMatrixDecoderDSP::TakeOverPendingSet() noexcept
{
    // audio thread: one atomic exchange empties the slot; the set taken out is
    // ours alone from then on. One crossfade at a time: while one runs, or the
    // set it replaced has not been handed back yet, the next set waits in the
    // slot (where a later load may still replace it).
    if (mFadeActive || mFadingSet != nullptr || mPendingSet.load(std::memory_order_relaxed) == nullptr) {
        return;
    }
    DecoderSet* set = mPendingSet.exchange(nullptr, std::memory_order_acq_rel);
    if (set == nullptr) {
        return;
    }
    mFadingSet = std::move(mCurrentSet);
    mCurrentSet.reset(set);
    const int count = std::clamp(set->mNumChans, 0, kMaxChans);
    // While both sets play, the stage covers the wider one, so that an order
    // decrease does not cut the old set's higher channels at once.
    if (mFadingSet != nullptr) {
        mNumChans = std::max(count, std::clamp(mFadingSet->mNumChans, 0, kMaxChans));
        SetStageOrder(std::max(set->mOrder, mStageOrder));
    } else {
        mNumChans = count;
        SetStageOrder(set->mOrder);
    }
    mFadeActive = true;
    mFadePosition = 0;
    mCrossfading.store(true);
    mActiveInputCount.store(count);
    mTailFrames.store(set->mTailFrames);
}

void QIRMatrixDecoderDSP::RunConvolver(DecoderSet& set, const float* const* inputs, float* out0, float* out1,
                                       int nFrames) noexcept
{
    // audio thread. The outputs are cleared first so that nothing stale survives
    // should the convolver skip a call. Stretches longer than the set was warmed
    // with are taken in pieces of that length (whole frames).
    std::memset(out0, 0, sizeof(float) * static_cast<std::size_t>(nFrames));
    std::memset(out1, 0, sizeof(float) * static_cast<std::size_t>(nFrames));
    const int step = std::max(kFrames, set.mWarmFrames / kFrames * kFrames);
    std::array<const float*, kMaxChans> pieceInputs;
    for (int offset = 0; offset < nFrames; offset += step) {
        const int frames = std::min(step, nFrames - offset);
        const float* const* ins = inputs;
        if (offset > 0) {
            for (int c = 0; c < kMaxChans; ++c) {
                pieceInputs[static_cast<std::size_t>(c)] = inputs[c] + offset;
            }
            ins = pieceInputs.data();
        }
        float* outs[kNumOutputs] = {out0 + offset, out1 + offset};
        set.mConvolver->process(ins, outs, static_cast<unsigned long>(set.mNumChans), kNumOutputs,
                                static_cast<unsigned long>(frames));
    }
}

QIRMatrixDecoderDSP::BatchJob QIRMatrixDecoderDSP::MakeJob(int nFrames) const noexcept
{
    return BatchJob{mCurrentSet.get(), mFadingSet.get(), mFadeActive, mFadePosition, nFrames};
}

void QIRMatrixDecoderDSP::Decode(const BatchJob& job, const float* const* inputs, float* out0, float* out1,
                                 float* old0, float* old1) noexcept
{
    // audio thread, or the throughput configuration's worker: decodes
    // job.mFrames frames of inputs with the job's sets into out0 and out1
    // (old0 and old1 take the replaced set's output during a crossfade).
    const auto nFrames = static_cast<std::size_t>(job.mFrames);
    if (job.mCurrent == nullptr) {
        std::memset(out0, 0, sizeof(float) * nFrames);
        std::memset(out1, 0, sizeof(float) * nFrames);
        return;
    }
    RunConvolver(*job.mCurrent, inputs, out0, out1, job.mFrames);
    if (!job.mFade) {
        return;
    }
    // Equal-gain linear crossfade: the new set rises over kCrossfadeFrames while
    // the set it replaces (or silence, for the first) falls.
    if (job.mFading != nullptr) {
        RunConvolver(*job.mFading, inputs, old0, old1, job.mFrames);
    } else {
        std::memset(old0, 0, sizeof(float) * nFrames);
        std::memset(old1, 0, sizeof(float) * nFrames);
    }
    constexpr float kStep = 1.0f / static_cast<float>(kCrossfadeFrames);
    for (int t = 0; t < job.mFrames; ++t) {
        const float g = std::min(1.0f, static_cast<float>(job.mFadePosition + t + 1) * kStep);
        out0[t] = g * out0[t] + (1.0f - g) * old0[t];
        out1[t] = g * out1[t] + (1.0f - g) * old1[t];
    }
}

void QIRMatrixDecoderDSP::AdvanceFade(int nFrames) noexcept
{
    // audio thread: the crossfade moves on by the frames just decoded (or
    // handed to the worker); at its end the stage narrows to the new set.
    if (mCurrentSet == nullptr || !mFadeActive) {
        return;
    }
    mFadePosition += nFrames;
    if (mFadePosition >= kCrossfadeFrames) {
        mFadeActive = false;
        mCrossfading.store(false);
        mNumChans = std::clamp(mCurrentSet->mNumChans, 0, kMaxChans);
        SetStageOrder(mCurrentSet->mOrder);
    }
}

void QIRMatrixDecoderDSP::Convolve(int nFrames) noexcept
{
    // audio thread: decodes the first nFrames (whole frames) of the gathered
    // input onto the end of the output queue.
    float* out0 = QueueEnd(0);
    float* out1 = QueueEnd(1);
    Decode(MakeJob(nFrames), mInputChans.data(), out0, out1, mFadeScratch.data(), mFadeScratch.data() + mChunkFrames);
    AdvanceFade(nFrames);
}

void QIRMatrixDecoderDSP::RunBatch(void* engine) noexcept
{
    // the throughput configuration's worker.
    auto* self = static_cast<QIRMatrixDecoderDSP*>(engine);
    const auto frames = static_cast<std::ptrdiff_t>(self->mBatchFrames);
    float* out = self->mBatchOutput.data();
    Decode(self->mJob, self->mBatchChans.data(), out, out + frames, out + 2 * frames, out + 3 * frames);
}

void QIRMatrixDecoderDSP::CollectBatch() noexcept
{
    // audio thread of the throughput configuration: waits for the worker's
    // batch and puts its output on the end of the queue.
    if (!mBatchInFlight) {
        return;
    }
    mWorker->Wait();
    mBatchInFlight = false;
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(mBatchFrames);
    for (int o = 0; o < kNumOutputs; ++o) {
        std::memcpy(QueueEnd(o), mBatchOutput.data() + static_cast<std::ptrdiff_t>(o) * mBatchFrames, bytes);
    }
    mQueueFill += mBatchFrames;
}

void QIRMatrixDecoderDSP::ConvolveOnWorker(int complete, int connected, bool passThrough) noexcept
{
    // audio thread of the throughput configuration: for each batch of the
    // first complete frames of the gathered input, the previous batch's output
    // joins the queue and this batch goes to the worker (or, passed through,
    // straight onto the queue).
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(mBatchFrames);
    for (int start = 0; start < complete; start += mBatchFrames) {
        CollectBatch();
        if (passThrough) {
            std::memcpy(QueueEnd(0), Channel(0) + start, bytes);
            std::memcpy(QueueEnd(1), Channel(connected == 2 ? 1 : 0) + start, bytes);
            mQueueFill += mBatchFrames;
            continue;
        }
        mJob = MakeJob(mBatchFrames);
        int channels = mJob.mCurrent != nullptr ? mJob.mCurrent->mNumChans : 0;
        if (mJob.mFade && mJob.mFading != nullptr) {
            channels = std::max(channels, mJob.mFading->mNumChans);
        }
        channels = std::clamp(channels, 0, kMaxChans);
        for (int c = 0; c < channels; ++c) {
            std::memcpy(mBatchInput.data() + static_cast<std::ptrdiff_t>(c) * mBatchFrames, Channel(c) + start, bytes);
        }
        AdvanceFade(mBatchFrames);
        mBatchInFlight = true;
        mWorker->Start(RunBatch, this);
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
            GenerateTestSource(mSourceFrames.data() + at, frames);
        }
        consumed += frames;
        mInputFill += frames;
        if (mInputFill % kFrames == 0) {
            if (!passThrough) {
                ProcessSoundField(mInputFill - kFrames);
            }
            mSourceInFrame = false;
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
    return mPendingSet.load(std::memory_order_acquire) != nullptr;
}

bool QIRMatrixDecoderDSP::IsLoading() const noexcept
{
    return mLoadsInFlight.load() > 0;
}

int QIRMatrixDecoderDSP::GetActiveInputCount() const noexcept
{
    return mActiveInputCount.load();
}

bool QIRMatrixDecoderDSP::IsCrossfading() const noexcept
{
    return mCrossfading.load();
}

int QIRMatrixDecoderDSP::GetTailFrames() const noexcept
{
    return mTailFrames.load();
}

bool QIRMatrixDecoderDSP::IsLoadRequested() const noexcept
{
    return mLoadRequested.load(std::memory_order_relaxed);
}

bool QIRMatrixDecoderDSP::HasRetiredSets() const noexcept
{
    return mRetiredSet.load(std::memory_order_acquire) != nullptr;
}

void QIRMatrixDecoderDSP::ReleaseRetiredSets() noexcept
{
    // any thread but the audio thread: each set handed back is taken by exactly
    // one caller.
    delete mRetiredSet.exchange(nullptr, std::memory_order_acq_rel);
}

std::string QIRMatrixDecoderDSP::DecoderSetFileName(double decoderMode, double decodeOrder)
{
    const int mode = static_cast<int>(decoderMode);
    if (mode == 2) {
        return "AMBIX_2_UHJ.wav";
    }
    std::ostringstream name;
    name << static_cast<int>(decodeOrder) + 1 << "OA-decoder-" << (mode == 0 ? "anechoic" : "room") << ".wav";
    return name.str();
}

void QIRMatrixDecoderDSP::SetDecoderSetFolder(std::string folder)
{
    mDecoderSetFolder = std::move(folder);
}

std::string QIRMatrixDecoderDSP::RequestedSetPath() const
{
    // The choice OnParamChange recorded, not the parameters: a parameter may
    // already hold a value that has not reached OnParamChange (and never will,
    // when another thread sets the old value again first); loading it would
    // leave a set in use that no request ever replaces.
    const int order = mDecodeOrder.load();
    const int mode = mDecoderMode.load();
    std::ostringstream path;
    path << (mDecoderSetFolder.empty() ? platform::GetResourceDirectory() : mDecoderSetFolder) << "/"
         << DecoderSetFileName(mode, order - 1);
    return path.str();
}

void QIRMatrixDecoderDSP::WriteConsole(const char* format, const char* text) const noexcept
{
    // Paths longer than the line are cut rather than allocated for.
    char line[4608];
    std::snprintf(line, sizeof line, format, text);
    if (mDelegate != nullptr) {
        mDelegate->WriteConsoleLine(line);
    } else {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
}

void QIRMatrixDecoderDSP::OnIdle()
{
    // main thread.
    ReleaseRetiredSets();
    ReapFinishedLoaders(false);
    // Cleared before the parameters are read, so a change that arrives while
    // this call runs requests a load of its own instead of being wiped out; and
    // before the thread starts, so a failure to start is not retried until the
    // next request.
    if (!mLoadRequested.exchange(false)) {
        return;
    }
    const std::filesystem::path path = RequestedSetPath();
    const uint64_t generation = mLoadGeneration.fetch_add(1) + 1;

    try {
        auto loader = std::make_unique<LoaderThread>();
        LoaderThread* record = loader.get();
        mLoaders.push_back(std::move(loader));
        mLoadsInFlight.fetch_add(1);
        try {
            record->mThread = std::thread([this, record, generation, path]() {
                LoadIR(path, this, generation);
                mLoadsInFlight.fetch_sub(1);
                record->mFinished.store(true);
            });
        } catch (...) {
            mLoadsInFlight.fetch_sub(1);
            mLoaders.pop_back();
        }
    } catch (const std::exception&) {
        // No memory for the record: the request is dropped like a failed start.
    }
}

bool QIRMatrixDecoderDSP::LoadRequestedSet()
{
    // worker thread.
    if (!mLoadRequested.exchange(false)) {
        return false;
    }
    const uint64_t generation = mLoadGeneration.fetch_add(1) + 1;
    mLoadsInFlight.fetch_add(1);
    try {
        LoadIR(RequestedSetPath(), this, generation);
    } catch (const std::exception&) {
        // No memory for the path: the request is dropped like a failed load.
    }
    mLoadsInFlight.fetch_sub(1);
    return true;
}

void QIRMatrixDecoderDSP::ReapFinishedLoaders(bool all)
{
    // main thread.
    auto it = mLoaders.begin();
    while (it != mLoaders.end()) {
        LoaderThread& loader = **it;
        if (all || loader.mFinished.load()) {
            if (loader.mThread.joinable()) {
                loader.mThread.join();
            }
            it = mLoaders.erase(it);
        } else {
            ++it;
        }
    }
}

void QIRMatrixDecoderDSP::WaitForLoads()
{
    ReapFinishedLoaders(true);
}

void QIRMatrixDecoderDSP::LoadIR(std::filesystem::path path, void* engine, uint64_t generation)
{
    // loader thread: touches only its own reader, buffers and convolver, and at
    // the end the engine's hand-over and retire slots.
    auto* self = static_cast<QIRMatrixDecoderDSP*>(engine);
    // A file made for the running rate beside the set's regular one is read as
    // it is, without resampling; the console lines name the file read.
    const double sampleRate = self->mSampleRate.load();
    const DecoderSetFile file = ChooseDecoderSetFile(path.string(), sampleRate);
    path = file.mPath;
    // However the load ends, the sets the audio thread has handed back are freed
    // here rather than wait for the next idle call.
    struct ReleaseRetiredOnExit {
        QIRMatrixDecoderDSP* mEngine;
        ~ReleaseRetiredOnExit() { mEngine->ReleaseRetiredSets(); }
    } releaseRetired{self};
    const std::string pathText = path.string();
    const auto fail = [self, &pathText]() {
        self->WriteConsole("QIRMatrixDecoder couldn't load IR at %s", pathText.c_str());
    };

    // A status that cannot be queried (no permission, a name too long, ...) is
    // treated like a missing file.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) {
        fail();
        return;
    }

    try {
        // The engine never has more than 64 input channels; later segments of an
        // oversized file are ignored rather than read. A file that holds no
        // response, or is made for a rate the sets cannot be brought from, and a
        // running rate they cannot be brought to, keep the set in use instead of
        // silencing the decoder.
        DecoderSetResponses responses;
        std::string error;
        if (!ReadDecoderSetResponses(file, sampleRate, kMaxChans, responses, error, &self->mShuttingDown)) {
            if (!self->mShuttingDown.load(std::memory_order_relaxed)) {
                fail();
            }
            return;
        }
        const auto numIns = static_cast<uint32_t>(responses.mNumInputs);
        // Every pair is made for the set's true length: the samples beyond are
        // zeros in every response, so they would add nothing but work.
        const auto length = static_cast<unsigned long>(std::max(responses.mTrueLength, 1));

        // The engine replaces whole convolvers and never changes a pair of a
        // running one, so it takes the shared-spectrum engine; in the
        // throughput configuration laid out for its batches.
        const bool batched = self->mBatchFrames != kSubBlockFrames;
        auto convolver = std::make_unique<dspkit::Convolver>(
            numIns, kNumOutputs, dspkit::LatencyMode::ZeroLatency, dspkit::kSharedSpectrumEngine,
            batched ? ThroughputLayoutBlock(self->mBatchFrames, responses.mTrueLength) : 0ul,
            batched ? dspkit::kThroughputLayout : dspkit::kRealTimeLayout);
        for (uint32_t i = 0; i < numIns; ++i) {
            if (self->mShuttingDown.load(std::memory_order_relaxed)) {
                return;
            }
            const auto in = static_cast<int>(i);
            if (convolver->set(i, 0, responses.Response(in, 0), length, true) != dspkit::kConvolveOk ||
                convolver->set(i, 1, responses.Response(in, 1), length, true) != dspkit::kConvolveOk) {
                fail();
                return;
            }
        }
        convolver->reset();
        // One call on silence here applies the reset, touches the convolver's
        // working memory, adopts the rings it grew for responses longer than
        // 16384 samples and grows its scratch for the longest stretch the engine
        // convolves at once; the history it leaves is silence, as after the reset.
        const int warmUp = std::max(self->mWarmUpFrames.load(), kSubBlockFrames);
        {
            const std::vector<float> silence(static_cast<std::size_t>(warmUp), 0.0f);
            std::vector<float> sink(static_cast<std::size_t>(warmUp) * kNumOutputs);
            const std::vector<const float*> ins(numIns, silence.data());
            float* outs[kNumOutputs] = {sink.data(), sink.data() + warmUp};
            convolver->process(ins.data(), outs, numIns, kNumOutputs, static_cast<unsigned long>(warmUp));
        }

        auto set = std::make_unique<DecoderSet>();
        set->mConvolver = std::move(convolver);
        set->mNumChans = static_cast<int>(numIns);
        set->mOrder = OrderForChannels(set->mNumChans);
        set->mWarmFrames = warmUp;
        set->mTailFrames = responses.mTrueLength;
        // One exchange publishes the set; a set still waiting in the slot comes
        // back and is destroyed here, never seen by the audio thread.
        DecoderSet* replaced = nullptr;
        {
            std::lock_guard<std::mutex> lock(self->mPublishMutex);
            if (generation < self->mPublishedGeneration) {
                // A later request's set is already published: this one is out of
                // date and is destroyed here, unseen by the audio thread.
                return;
            }
            self->mPublishedGeneration = generation;
            replaced = self->mPendingSet.exchange(set.release(), std::memory_order_acq_rel);
            self->WriteConsole("QIRMatrixDecoder loaded %s", pathText.c_str());
        }
        delete replaced;
    } catch (const std::exception&) {
        fail();
    }
}

} // namespace qir
