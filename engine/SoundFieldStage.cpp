// engine: the sound-field stage: test source, rotation and convention fix-up.
#include "engine/SoundFieldStage.h"

#include "engine/ConsoleLine.h"
#include "engine/DecoderParameters.h"
#include "soundfield/Encoder.h"
#include "soundfield/Rotator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

namespace qir {

namespace {

// Test-source directions by MIDI note: azimuth and elevation in degrees. The six
// axis points, the twelve edge midpoints and the eight cube corners of the
// 26-point Lebedev grid.
constexpr float kTestSourceDirections[SoundFieldStage::kNumTestSourceDirections][2] = {
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

} // namespace

SoundFieldStage::SoundFieldStage(plugfw::IEditorDelegate* delegate)
    : mDelegate(delegate)
    , mEnvelope("amp", nullptr, false)
{
    WriteConsoleLine(mDelegate, "%s", kToolkitBanner);
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

SoundFieldStage::~SoundFieldStage()
{
    fieldenc_destroy(&mEncoder);
    fieldrot_destroy(&mRotator);
}

double SoundFieldStage::ParamValue(int paramIdx) const noexcept
{
    return qir::ParamValue(mDelegate, paramIdx);
}

void SoundFieldStage::Reset(double sampleRate) noexcept
{
    // main thread, audio stopped.
    mSourceInFrame = false;
    const int rate = static_cast<int>(sampleRate + 0.5);
    fieldenc_init(mEncoder, rate);
    fieldrot_init(mRotator, rate);
    // The transforms follow the parameters from the first frame after a reset,
    // whatever they were told before.
    mTransformSettingsChanged.fetch_or(kAllTransformSettings);
}

void SoundFieldStage::OnParamChange(int paramIdx, double value) noexcept
{
    // any thread.
    const int flag = static_cast<int>(value + 0.5);
    switch (paramIdx) {
    case kChannelLayout:
        mChOrder.store(static_cast<int>(ParamValue(kChannelLayout)) + 1);
        mTransformSettingsChanged.fetch_or(kSettingChOrder);
        break;
    case kNormalizationType:
        mNormType.store(static_cast<int>(ParamValue(kNormalizationType)) + 1);
        mTransformSettingsChanged.fetch_or(kSettingNormType);
        break;
    case kEnableRotation: break; // read for every frame
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

void SoundFieldStage::ApplyTransformSettings() noexcept
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

void SoundFieldStage::ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept
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

void SoundFieldStage::GenerateTestSource(float* destination, int nFrames) noexcept
{
    // audio thread: never waits.
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

int SoundFieldStage::ProcessFrame(float* const* channels, const float* source) noexcept
{
    // audio thread: never waits, allocates or frees.
    ApplyTransformSettings();
    const int n = mNumChans;
    float* const* in = channels;
    int touched = n;

    if (mSourceInFrame) {
        float* const* scratch = mEncoderChans.data();
        fieldenc_processFrame(mEncoder, &source, scratch, 1, n, kFrames);
        for (int c = 0; c < n; ++c) {
            float* __restrict dst = in[c];
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
    fieldrot_processFrame(mRotator, in, in, n, n, kFrames);

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
                float* __restrict x = in[c];
                for (int i = 0; i < kFrames; ++i) {
                    x[i] /= scale;
                }
            }
        }
        touched = std::max(touched, (order + 1) * (order + 1));
    }
    return touched;
}

void SoundFieldStage::SetChannels(int numChans, int order) noexcept
{
    // audio thread, or the main thread while the audio thread is stopped.
    mNumChans = numChans;
    SetOrder(order);
}

void SoundFieldStage::SetOrder(int order) noexcept
{
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

} // namespace qir
