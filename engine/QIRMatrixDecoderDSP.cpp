// engine: the decoder engine's signal chain, sound-field stage, test source and
// decoder-set loading.
#include "engine/QIRMatrixDecoderDSP.h"

#include "audiofile/AudioFileReader.h"
#include "convolution/Convolver.h"
#include "engine/platform/ResourceDirectory.h"
#include "soundfield/Encoder.h"
#include "soundfield/Rotator.h"

#include <algorithm>
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

} // namespace

QIRMatrixDecoderDSP::QIRMatrixDecoderDSP(plugfw::IEditorDelegate* delegate)
    : mEnvelope("amp", nullptr, false)
    , mDelegate(delegate)
{
    std::puts(kToolkitBanner);
    mEnvelope.SetStageTime(plugfw::ADSREnvelope<float>::kStageAttack, kEnvelopeAttackMs);
    mEnvelope.SetStageTime(plugfw::ADSREnvelope<float>::kStageDecay, 0.0);
    mEnvelope.SetStageTime(plugfw::ADSREnvelope<float>::kStageRelease, kEnvelopeReleaseMs);
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
    // Loaders write into this object: stop them early and wait for every one
    // before anything they could touch goes away.
    mShuttingDown.store(true);
    ReapFinishedLoaders(true);
    fieldenc_destroy(&mEncoder);
    fieldrot_destroy(&mRotator);
    delete mPendingSet.exchange(nullptr);
}

double QIRMatrixDecoderDSP::ParamValue(int paramIdx) const noexcept
{
    const plugfw::IParam* param = mDelegate != nullptr ? mDelegate->GetParam(paramIdx) : nullptr;
    return param != nullptr ? param->Value() : 0.0;
}

int QIRMatrixDecoderDSP::OnReset(int blockSize, double sampleRate)
{
    mBlockSize = blockSize;
    // The stage writes 128 frames per channel, so a channel slice never holds less.
    const int stride = std::max(blockSize, kFrames);
    // A failed resize keeps the old, smaller buffer: the engine then stays
    // unprepared rather than letting the stage write past it.
    const bool encoderScratchOk = mEncoderScratch.Resize(kMaxChans * stride) == kMaxChans * stride;
    if (encoderScratchOk) {
        std::memset(mEncoderScratch.Get(), 0, sizeof(float) * static_cast<std::size_t>(kMaxChans * stride));
    }
    mEncoderChans.Empty();
    float* scratch = mEncoderScratch.Get();
    for (int c = 0; c < kMaxChans; ++c) {
        mEncoderChans.Add(scratch != nullptr ? scratch + c * stride : nullptr);
    }

    mChunkFrames = RoundUpToFrames(std::max(blockSize, kFrames));
    mWarmUpFrames.store(mChunkFrames);
    const bool unconnectedOk = mUnconnectedScratch.Resize(kMaxChans * mChunkFrames) == kMaxChans * mChunkFrames;

    // Room for the FIFOs of a stream of blocks up to blockSize long, so that
    // FIFO mode does not allocate in steady state.
    for (FloatQueue& fifo : mInputFifos) {
        fifo.Clear();
        fifo.Reserve(std::max(blockSize, 0) + 2 * kFrames);
    }
    for (FloatQueue& fifo : mOutputFifos) {
        fifo.Clear();
        fifo.Reserve(2 * (std::max(blockSize, 0) + 3 * kFrames));
    }
    mFifoMode.store(false);

    const int rate = static_cast<int>(sampleRate + 0.5);
    fieldenc_init(mEncoder, rate);
    fieldrot_init(mRotator, rate);
    // The transforms follow the parameters from the first frame after a reset,
    // whatever they were told before.
    mTransformSettingsChanged.fetch_or(kAllTransformSettings);

    mPrepared = encoderScratchOk && scratch != nullptr && unconnectedOk && mEncoderChans.GetSize() == kMaxChans;
    return 0;
}

void QIRMatrixDecoderDSP::OnParamChange(int paramIdx, double value) noexcept
{
    const int flag = static_cast<int>(value + 0.5);
    switch (paramIdx) {
    case kDecoderMode: {
        const int m = static_cast<int>(ParamValue(kDecoderMode));
        if (m != mDecoderMode.load(std::memory_order_relaxed)) {
            mLoadRequested.exchange(true);
            mDecoderMode.store(m, std::memory_order_relaxed);
        }
        break;
    }
    case kDecodeOrder: {
        const int o = static_cast<int>(ParamValue(kDecodeOrder)) + 1;
        if (o != mDecodeOrder.load(std::memory_order_relaxed)) {
            mLoadRequested.exchange(true);
            mDecodeOrder.store(o, std::memory_order_relaxed);
        }
        break;
    }
    case kChannelLayout:
        mChOrder.store(static_cast<int>(ParamValue(kChannelLayout)) + 1);
        mTransformSettingsChanged.fetch_or(kSettingChOrder);
        break;
    case kNormalizationType:
        mNormType.store(static_cast<int>(ParamValue(kNormalizationType)) + 1);
        mTransformSettingsChanged.fetch_or(kSettingNormType);
        break;
    case kEnableRotation: break;
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

float* QIRMatrixDecoderDSP::UnconnectedChannel(int channel) noexcept
{
    return mUnconnectedScratch.Get() + static_cast<std::ptrdiff_t>(channel) * mChunkFrames;
}

void QIRMatrixDecoderDSP::ProcessSoundField(float* const* in) noexcept
{
    // audio thread: in holds 64 channels of 128 frames; the stage works in place.
    ApplyTransformSettings();
    const int n = mNumChans;

    if (mTestSourceIndex >= 0) {
        float* const* scratch = mEncoderChans.GetList();
        float* __restrict source = scratch[0];
        for (int i = 0; i < kFrames; ++i) {
            mNoiseSeed = mNoiseSeed * 1664525u + 1013904223u;
            const float f = std::bit_cast<float>((mNoiseSeed >> 9) | 0x3F800000u);
            const float noise = 2.0f * f - 3.0f;
            source[i] = mEnvelope.Process(kEnvelopeSustain) * noise;
        }
        fieldenc_process(mEncoder, scratch, scratch, 1, n, kFrames);
        for (int c = 0; c < n; ++c) {
            float* __restrict dst = in[c];
            const float* __restrict src = scratch[c];
            for (int i = 0; i < kFrames; ++i) {
                dst[i] += src[i];
            }
        }
        if (mEnvelope.GetStage() == plugfw::ADSREnvelope<float>::kStageIdle) {
            mTestSourceIndex = -1;
        }
    }

    if (ParamValue(kEnableRotation) >= 0.5) {
        fieldrot_process(mRotator, in, in, n, n, kFrames);
    }

    // Bring first-order FuMa channel order and FuMa or N3D normalisation to the
    // decoder sets' ACN/SN3D. The parameters are read at every frame so that a
    // change made mid-block applies from the next frame.
    for (int i = 0; i < kFrames; ++i) {
        if (static_cast<int>(ParamValue(kChannelLayout)) == 1) {
            const float x = in[1][i];
            in[1][i] = in[2][i];
            in[2][i] = in[3][i];
            in[3][i] = x;
        }
        const int norm = static_cast<int>(ParamValue(kNormalizationType));
        if (norm == 2) {
            // FuMa differs from SN3D only in W, which carries 1/sqrt(2).
            in[0][i] *= 1.4142135f;
        } else if (norm == 0) {
            const int order = std::clamp(static_cast<int>(ParamValue(kDecodeOrder)) + 1, 0, 7);
            for (int d = 0; d <= order; ++d) {
                const float scale = std::sqrt(static_cast<float>(2 * d + 1));
                for (int c = d * d; c < (d + 1) * (d + 1); ++c) {
                    in[c][i] /= scale;
                }
            }
        }
    }
}

void QIRMatrixDecoderDSP::TakeOverPendingSet() noexcept
{
    // audio thread: one atomic exchange empties the slot; the set taken out is
    // ours alone from then on.
    if (mPendingSet.load(std::memory_order_relaxed) == nullptr) {
        return;
    }
    DecoderSet* set = mPendingSet.exchange(nullptr, std::memory_order_acq_rel);
    if (set == nullptr) {
        return;
    }
    // The replaced convolver is destroyed here, on the audio thread, once
    // nothing can use it any more.
    mConvolver = std::move(set->mConvolver);
    mNumChans = std::clamp(set->mNumChans, 0, kMaxChans);
    delete set;
    mActiveInputCount.store(mNumChans);

    const int order = mDecodeOrder.load(std::memory_order_relaxed);
    fieldenc_setOutputOrder(mEncoder, order);
    fieldrot_setOrder(mRotator, order);
    // At orders above 1 the transforms drop a FuMa channel order or
    // normalisation, and nothing brings it back when the order returns to 1:
    // hand them the parameters' conventions (and angles) again, so FuMa input
    // is rotated and encoded as FuMa whenever the order allows it.
    mTransformSettingsChanged.fetch_or(kAllTransformSettings);
    if (mEncoderScratch.Get() != nullptr) {
        std::memset(mEncoderScratch.Get(), 0, static_cast<std::size_t>(mEncoderScratch.GetBytes()));
    }
}

void QIRMatrixDecoderDSP::Convolve(const float* const* inputs, float* out0, float* out1, int nFrames) noexcept
{
    // audio thread. The outputs are cleared first so that nothing stale survives
    // when no decoder set has arrived yet or the convolver skips a call.
    std::memset(out0, 0, sizeof(float) * static_cast<std::size_t>(nFrames));
    std::memset(out1, 0, sizeof(float) * static_cast<std::size_t>(nFrames));
    if (mConvolver == nullptr || nFrames <= 0) {
        return;
    }
    float* outs[kNumOutputs] = {out0, out1};
    mConvolver->process(inputs, outs, static_cast<unsigned long>(mNumChans), kNumOutputs,
                        static_cast<unsigned long>(nFrames));
}

void QIRMatrixDecoderDSP::ProcessAligned(float** inputs, float** outputs, int nFrames, int connected) noexcept
{
    // audio thread. Blocks longer than the reset's block size are taken in
    // stretches that fit the scratch; convolution is a stream, so the result
    // does not depend on where the stretches end.
    float* table[kMaxChans];
    for (int offset = 0; offset < nFrames; offset += mChunkFrames) {
        const int frames = std::min(nFrames - offset, mChunkFrames);
        for (int c = connected; c < kMaxChans; ++c) {
            std::memset(UnconnectedChannel(c), 0, sizeof(float) * static_cast<std::size_t>(frames));
        }
        for (int j = 0; j < frames; j += kFrames) {
            for (int c = 0; c < kMaxChans; ++c) {
                table[c] = (c < connected ? inputs[c] + offset : UnconnectedChannel(c)) + j;
            }
            ProcessSoundField(table);
        }
        for (int c = 0; c < kMaxChans; ++c) {
            table[c] = c < connected ? inputs[c] + offset : UnconnectedChannel(c);
        }
        Convolve(table, outputs[0] + offset, outputs[1] + offset, frames);
    }
}

void QIRMatrixDecoderDSP::EnterFifoMode() noexcept
{
    // audio thread. The output FIFOs start one sub-block ahead: the convolver
    // is fed one sub-block of silence, so the output lags by exactly kFifoDelay
    // from here on and what the convolver still holds rings on through the gap
    // rather than stopping dead.
    mFifoMode.store(true);
    for (FloatQueue& fifo : mInputFifos) {
        fifo.Clear();
    }
    const float* table[kMaxChans];
    for (int c = 0; c < kMaxChans; ++c) {
        std::memset(UnconnectedChannel(c), 0, sizeof(float) * kFrames);
        table[c] = UnconnectedChannel(c);
    }
    mOutputFifos[0].Clear();
    mOutputFifos[1].Clear();
    if (mOutputFifos[0].Append(nullptr, kFrames) && mOutputFifos[1].Append(nullptr, kFrames)) {
        Convolve(table, mOutputFifos[0].Back(kFrames), mOutputFifos[1].Back(kFrames), kFrames);
    } else {
        mOutputFifos[0].Clear();
        mOutputFifos[1].Clear();
    }
}

void QIRMatrixDecoderDSP::ProcessFifo(float** inputs, float** outputs, int nFrames, int connected) noexcept
{
    // audio thread. Every input FIFO, connected or not, receives nFrames frames
    // so that all 64 stay in step whatever the host connects later.
    int appended = 0;
    for (; appended < kMaxChans; ++appended) {
        const bool ok = appended < connected ? mInputFifos[appended].Append(inputs[appended], nFrames)
                                             : mInputFifos[appended].AppendZeros(nFrames);
        if (!ok) {
            break;
        }
    }
    if (appended < kMaxChans) {
        // Out of memory: forget this block everywhere rather than let the
        // channels drift apart.
        for (int c = 0; c < appended; ++c) {
            mInputFifos[c].DropBack(nFrames);
        }
    }

    float* table[kMaxChans];
    while (mInputFifos[0].Available() >= kFrames) {
        if (!mOutputFifos[0].Append(nullptr, kFrames)) {
            break;
        }
        if (!mOutputFifos[1].Append(nullptr, kFrames)) {
            mOutputFifos[0].DropBack(kFrames);
            break;
        }
        for (int c = 0; c < kMaxChans; ++c) {
            table[c] = mInputFifos[c].Front();
        }
        ProcessSoundField(table);
        Convolve(table, mOutputFifos[0].Back(kFrames), mOutputFifos[1].Back(kFrames), kFrames);
        for (FloatQueue& fifo : mInputFifos) {
            fifo.Advance(kFrames);
        }
    }
    for (FloatQueue& fifo : mInputFifos) {
        fifo.Compact();
    }

    if (mOutputFifos[0].Available() >= nFrames && mOutputFifos[1].Available() >= nFrames) {
        for (int k = 0; k < kNumOutputs; ++k) {
            std::memcpy(outputs[k], mOutputFifos[k].Front(), sizeof(float) * static_cast<std::size_t>(nFrames));
            mOutputFifos[k].Advance(nFrames);
            mOutputFifos[k].Compact();
        }
    } else {
        std::memset(outputs[0], 0, sizeof(float) * static_cast<std::size_t>(nFrames));
        std::memset(outputs[1], 0, sizeof(float) * static_cast<std::size_t>(nFrames));
    }
}

void QIRMatrixDecoderDSP::ProcessBlock(float** inputs, float** outputs, int nFrames, int nChans) noexcept
{
    // audio thread: never waits; allocates only when a replaced decoder set is
    // destroyed, or when FIFO mode meets a block longer than the reset's.
    mNumInputChans = nChans;
    nFrames = std::max(nFrames, 0);
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(nFrames);
    if (nChans == 2) {
        std::memmove(outputs[0], inputs[0], bytes);
        std::memmove(outputs[1], inputs[1], bytes);
        return;
    }
    if (nChans == 1) {
        std::memmove(outputs[0], inputs[0], bytes);
        std::memmove(outputs[1], inputs[0], bytes);
        return;
    }

    TakeOverPendingSet();
    if (nFrames == 0) {
        return;
    }
    if (!mPrepared) {
        std::memset(outputs[0], 0, bytes);
        std::memset(outputs[1], 0, bytes);
        return;
    }
    const int connected = std::clamp(nChans, 0, kMaxChans);
    if (!mFifoMode.load(std::memory_order_relaxed) && nFrames % kFrames == 0) {
        ProcessAligned(inputs, outputs, nFrames, connected);
        return;
    }
    if (!mFifoMode.load(std::memory_order_relaxed)) {
        EnterFifoMode();
    }
    ProcessFifo(inputs, outputs, nFrames, connected);
}

int QIRMatrixDecoderDSP::GetAddedDelay() const noexcept
{
    return mFifoMode.load(std::memory_order_relaxed) ? kFifoDelay : 0;
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

void QIRMatrixDecoderDSP::OnIdle()
{
    // main thread.
    ReapFinishedLoaders(false);
    // Cleared before the parameters are read, so a change that arrives while
    // this call runs requests a load of its own instead of being wiped out; and
    // before the thread starts, so a failure to start is not retried until the
    // next request.
    if (!mLoadRequested.exchange(false)) {
        return;
    }
    const double order = ParamValue(kDecodeOrder);
    const double mode = ParamValue(kDecoderMode);
    std::ostringstream path;
    path << platform::GetResourceDirectory() << "/" << DecoderSetFileName(mode, order);
    const uint64_t generation = ++mLoadGeneration;

    try {
        auto loader = std::make_unique<LoaderThread>();
        LoaderThread* record = loader.get();
        mLoaders.push_back(std::move(loader));
        mLoadsInFlight.fetch_add(1);
        try {
            record->mThread = std::thread([this, record, generation, p = std::filesystem::path(path.str())]() {
                LoadIR(p, this, generation);
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
    // the end the engine's hand-over slot.
    auto* self = static_cast<QIRMatrixDecoderDSP*>(engine);
    const std::string pathText = path.string();
    const auto fail = [&pathText]() {
        std::printf("QIRMatrixDecoder couldn't load IR at %s\n", pathText.c_str());
        std::fflush(stdout);
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
        dspkit::AudioFileReader reader(pathText);
        const uint32_t fileFrames = reader.getFrames();
        // The engine never has more than 64 input channels; later segments of an
        // oversized file are ignored rather than read.
        const uint32_t numIns = std::min<uint32_t>(fileFrames / kImpulseResponseLength, kMaxChans);
        if (numIns == 0) {
            // Not an audio file, unreadable, or shorter than one response: keep
            // the set in use instead of silencing the decoder.
            fail();
            return;
        }
        const uint32_t frames = numIns * kImpulseResponseLength;
        std::vector<float> left(frames);
        // A one-channel file has no right-output responses: they stay silent.
        std::vector<float> right(frames, 0.0f);
        reader.readChannel(left.data(), frames, 0);
        if (reader.getChannels() >= 2) {
            reader.seek(0);
            reader.readChannel(right.data(), frames, 1);
        }

        // The engine replaces whole convolvers and never changes a pair of a
        // running one, so it takes the shared-spectrum engine.
        auto convolver = std::make_unique<dspkit::Convolver>(numIns, kNumOutputs, dspkit::LatencyMode::ZeroLatency,
                                                             dspkit::kSharedSpectrumEngine);
        for (uint32_t i = 0; i < numIns; ++i) {
            if (self->mShuttingDown.load(std::memory_order_relaxed)) {
                return;
            }
            const float* l = left.data() + static_cast<std::size_t>(i) * kImpulseResponseLength;
            const float* r = right.data() + static_cast<std::size_t>(i) * kImpulseResponseLength;
            if (convolver->set(i, 0, l, kImpulseResponseLength, true) != dspkit::kConvolveOk ||
                convolver->set(i, 1, r, kImpulseResponseLength, true) != dspkit::kConvolveOk) {
                fail();
                return;
            }
        }
        convolver->reset();
        // One call on silence here applies the reset, touches the convolver's
        // working memory and grows its scratch for the host's block length; the
        // history it leaves is silence, as after the reset.
        {
            const int warmUp = std::max(self->mWarmUpFrames.load(), 1);
            const std::vector<float> silence(static_cast<std::size_t>(warmUp), 0.0f);
            std::vector<float> sink(static_cast<std::size_t>(warmUp) * kNumOutputs);
            const std::vector<const float*> ins(numIns, silence.data());
            float* outs[kNumOutputs] = {sink.data(), sink.data() + warmUp};
            convolver->process(ins.data(), outs, numIns, kNumOutputs, static_cast<unsigned long>(warmUp));
        }

        auto set = std::make_unique<DecoderSet>();
        set->mConvolver = std::move(convolver);
        set->mNumChans = static_cast<int>(numIns);
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
            std::printf("QIRMatrixDecoder loaded %s\n", pathText.c_str());
            std::fflush(stdout);
        }
        delete replaced;
    } catch (const std::exception&) {
        fail();
    }
}

} // namespace qir
