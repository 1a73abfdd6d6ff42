// soundfield: the ambisonic encoder.
#include "soundfield/Encoder.h"

#include "soundfield/Conventions.h"
#include "soundfield/FrameOps.h"
#include "soundfield/SphericalHarmonics.h"

#include <cblas.h>

#include <algorithm>
#include <iterator>
#include <cmath>
#include <new>

using namespace soundfield_detail;

namespace {

constexpr int kMaxSources = 64;
constexpr int kMaxOrder = 7;
// Gains closer to 1 than this are not applied.
constexpr float kUnityGainTolerance = 9.999999974752427e-07f;

} // namespace

// One block, so that every frame and matrix lives in a single allocation.
struct FieldEncoder {
    // Source frames, used alternately: the current call's input goes into
    // mFrames[mCurrentFrame] and the other one holds the previous call's input.
    alignas(64) float mFrames[2][kFrameFloats];
    // The previous gains applied to the previous input, in crossfade calls.
    alignas(64) float mOldMixFrame[kFrameFloats];
    alignas(64) float mOutFrame[kFrameFloats];
    // Entry (k, i): gain of source i into ACN/N3D channel k, row stride 64.
    alignas(64) float mShGains[kMaxChannels * kMaxSources];
    alignas(64) float mPrevShGains[kMaxChannels * kMaxSources];
    alignas(64) float mFadeIn[kFrameSize];
    alignas(64) float mFadeOut[kFrameSize];
    int mCurrentFrame = 0;
    // Channels of each source frame that may hold non-zero samples; the rest are zero.
    int mDirtyChannels[2] = {0, 0};
    // Set by create and init: the next gains computed apply at once, without a crossfade from
    // the cleared previous gains.
    bool mFreshStart = true;
    float mSampleRate = 0.0f;
    int mRecalcSH[kMaxSources];
    int mNewNumSources = 1;
    int mNumSources = 1;
    float mSrcDirsDeg[kMaxSources][2];
    int mChOrder = kChannelOrderACN;
    int mNormType = kNormalisationSN3D;
    int mOrder = 1;
    int mEnablePostScaling = 1;
    float mSrcGains[kMaxSources];
};

namespace {

int numSH(int order) noexcept
{
    return (order + 1) * (order + 1);
}

bool validSource(int index) noexcept
{
    return index >= 0 && index < kMaxSources;
}

void requestAllGains(FieldEncoder* h) noexcept
{
    std::fill(std::begin(h->mRecalcSH), std::end(h->mRecalcSH), 1);
}

// Source 0 in front; the others on a golden-angle spiral over the sphere, so that any number of
// sources starts out spread apart.
void loadDefaultDirections(FieldEncoder* h) noexcept
{
    constexpr double kGoldenAngleDeg = 137.50776405003785;
    for (int i = 0; i < kMaxSources; ++i) {
        const double height = 1.0 - (2.0 * i + 1.0) / kMaxSources;
        double azimuth = std::fmod(i * kGoldenAngleDeg, 360.0);
        if (azimuth > 180.0)
            azimuth -= 360.0;
        h->mSrcDirsDeg[i][0] = static_cast<float>(azimuth);
        h->mSrcDirsDeg[i][1] = static_cast<float>(std::asin(height) * 180.0 / 3.14159265358979323846);
    }
    h->mSrcDirsDeg[0][0] = 0.0f;
    h->mSrcDirsDeg[0][1] = 0.0f;
}

float finiteOrZero(float value) noexcept
{
    return std::isnan(value) ? 0.0f : value;
}

// out = gains (row stride 64) x frame, over nSH channels, nSources sources and 128 samples.
void applyGains(const float* gains, const float* frame, float* out, int nSH, int nSources) noexcept
{
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, nSH, kFrameSize, nSources, 1.0f, gains,
                kMaxSources, frame, kFrameSize, 0.0f, out, kFrameSize);
}

// Copies the source inputs into a work frame (sources without an input as silence) and applies
// the per-source gains.
void loadSources(FieldEncoder* h, int slot, const float* const* inputs, int nInputs) noexcept
{
    float* frame = h->mFrames[slot];
    const int nSources = h->mNumSources;
    const int nCopy = std::clamp(std::min(nInputs, nSources), 0, kMaxSources);
    for (int c = 0; c < nCopy; ++c)
        cblas_scopy(kFrameSize, inputs[c], 1, frameChannel(frame, c), 1);
    if (h->mDirtyChannels[slot] > nCopy)
        std::fill(frameChannel(frame, nCopy), frameChannel(frame, h->mDirtyChannels[slot]), 0.0f);
    h->mDirtyChannels[slot] = nCopy;
    for (int i = 0; i < nCopy; ++i) {
        if (std::fabs(h->mSrcGains[i] - 1.0f) > kUnityGainTolerance)
            cblas_sscal(kFrameSize, h->mSrcGains[i], frameChannel(frame, i), 1);
    }
}

// Recomputes the gains of the sources whose direction (or the order) changed. True when the frame
// must crossfade from the previous gains; after create or init the new gains apply at once.
bool updateGains(FieldEncoder* h, int order) noexcept
{
    const int nSH = numSH(order);
    bool changed = false;
    for (int i = 0; i < h->mNumSources; ++i) {
        if (h->mRecalcSH[i]) {
            float harmonics[kMaxChannels];
            realSphericalHarmonics(order, h->mSrcDirsDeg[i], 1, harmonics);
            for (int k = 0; k < kMaxChannels; ++k)
                h->mShGains[k * kMaxSources + i] = k < nSH ? harmonics[k] : 0.0f;
            h->mRecalcSH[i] = 0;
            changed = true;
        }
    }
    if (!changed || !h->mFreshStart)
        return changed;
    h->mFreshStart = false;
    std::copy(std::begin(h->mShGains), std::end(h->mShGains), h->mPrevShGains);
    return false;
}

// mOutFrame = the gains applied to frame (crossfaded from the previous gains after a change), in
// the configured order and normalisation, then out to the outputs.
void encodeFrame(FieldEncoder* h, const float* frame, float* const* outputs, int nOutputs) noexcept
{
    const int order = std::min(h->mOrder, kMaxOrder);
    const int nSH = numSH(order);
    const int nSources = h->mNumSources;
    const bool crossfade = updateGains(h, order);
    applyGains(h->mShGains, frame, h->mOutFrame, nSH, nSources);
    if (crossfade) {
        applyGains(h->mPrevShGains, frame, h->mOldMixFrame, nSH, nSources);
        crossfadeChannels(h->mOutFrame, h->mOldMixFrame, h->mFadeIn, h->mFadeOut, nSH);
        std::copy(std::begin(h->mShGains), std::end(h->mShGains), h->mPrevShGains);
    }
    if (h->mEnablePostScaling)
        cblas_sscal(nSH * kFrameSize, 1.0f / std::sqrt(static_cast<float>(nSources)), h->mOutFrame, 1);
    if (h->mChOrder == kChannelOrderFuMa)
        convertChannelOrder(h->mOutFrame, order, kFrameSize, kConvertACN, kConvertFuMa);
    if (h->mNormType == kNormalisationSN3D)
        convertNormalisation(h->mOutFrame, order, kFrameSize, kConvertN3D, kConvertSN3D);
    else if (h->mNormType == kNormalisationFuMa)
        convertNormalisation(h->mOutFrame, order, kFrameSize, kConvertN3D, kConvertFuMaNorm);
    writeFrameToOutputs(h->mOutFrame, nSH, outputs, nOutputs);
}

} // namespace

void fieldenc_create(FieldEncoder** handle) noexcept
{
    if (handle == nullptr)
        return;
    auto* h = new (std::nothrow) FieldEncoder;
    if (h != nullptr) {
        // Cleared here as well as in init, so a process call before init reads silence.
        std::fill(&h->mFrames[0][0], &h->mFrames[0][0] + 2 * kFrameFloats, 0.0f);
        std::fill(std::begin(h->mOldMixFrame), std::end(h->mOldMixFrame), 0.0f);
        std::fill(std::begin(h->mOutFrame), std::end(h->mOutFrame), 0.0f);
        std::fill(std::begin(h->mShGains), std::end(h->mShGains), 0.0f);
        std::fill(std::begin(h->mPrevShGains), std::end(h->mPrevShGains), 0.0f);
        fillFadeRamps(h->mFadeIn, h->mFadeOut);
        std::fill(std::begin(h->mSrcGains), std::end(h->mSrcGains), 1.0f);
        requestAllGains(h);
        loadDefaultDirections(h);
    }
    *handle = h;
}

void fieldenc_destroy(FieldEncoder** handle) noexcept
{
    if (handle == nullptr || *handle == nullptr)
        return;
    delete *handle;
    *handle = nullptr;
}

void fieldenc_init(FieldEncoder* h, int sampleRate) noexcept
{
    h->mSampleRate = static_cast<float>(sampleRate);
    fillFadeRamps(h->mFadeIn, h->mFadeOut);
    std::fill(std::begin(h->mPrevShGains), std::end(h->mPrevShGains), 0.0f);
    float* previous = h->mFrames[1 - h->mCurrentFrame];
    std::fill(previous, previous + kFrameFloats, 0.0f);
    h->mDirtyChannels[1 - h->mCurrentFrame] = 0;
    requestAllGains(h);
    h->mFreshStart = true;
}

void fieldenc_process(FieldEncoder* h, const float* const* inputs, float* const* outputs, int nInputs,
                      int nOutputs, int nSamples) noexcept
{
    // Audio thread: never waits, allocates nothing.
    if (nSamples != kFrameSize) {
        silenceOutputs(outputs, nOutputs, nSamples);
        return;
    }
    // The current input goes into one frame while the previous call's input, in the other, is
    // encoded and output.
    const int current = h->mCurrentFrame;
    loadSources(h, current, inputs, nInputs);
    h->mCurrentFrame = 1 - current;
    encodeFrame(h, h->mFrames[1 - current], outputs, nOutputs);
}

void fieldenc_processFrame(FieldEncoder* h, const float* const* inputs, float* const* outputs, int nInputs,
                           int nOutputs, int nSamples) noexcept
{
    // Audio thread: never waits, allocates nothing.
    if (nSamples != kFrameSize) {
        silenceOutputs(outputs, nOutputs, nSamples);
        return;
    }
    // The slot the next delayed call writes its input into serves as the work frame, so the delay
    // line of fieldenc_process is left as it was.
    const int work = h->mCurrentFrame;
    loadSources(h, work, inputs, nInputs);
    encodeFrame(h, h->mFrames[work], outputs, nOutputs);
}

void fieldenc_setOutputOrder(FieldEncoder* h, int order) noexcept
{
    const int clamped = std::clamp(order, 0, kMaxOrder);
    if (clamped == h->mOrder)
        return;
    h->mOrder = clamped;
    requestAllGains(h);
    if (clamped != 1) {
        if (h->mChOrder == kChannelOrderFuMa)
            h->mChOrder = kChannelOrderACN;
        if (h->mNormType == kNormalisationFuMa)
            h->mNormType = kNormalisationSN3D;
    }
}

void fieldenc_setSourceAzi_deg(FieldEncoder* h, int index, float degrees) noexcept
{
    if (!validSource(index))
        return;
    float azimuth = finiteOrZero(degrees);
    if (azimuth > 180.0f)
        azimuth -= 360.0f;
    h->mSrcDirsDeg[index][0] = std::clamp(azimuth, -180.0f, 180.0f);
    h->mRecalcSH[index] = 1;
}

void fieldenc_setSourceElev_deg(FieldEncoder* h, int index, float degrees) noexcept
{
    if (!validSource(index))
        return;
    h->mSrcDirsDeg[index][1] = std::clamp(finiteOrZero(degrees), -90.0f, 90.0f);
    h->mRecalcSH[index] = 1;
}

void fieldenc_setNumSources(FieldEncoder* h, int count) noexcept
{
    const int clamped = std::clamp(count, 1, kMaxSources);
    h->mNewNumSources = clamped;
    h->mNumSources = clamped;
    requestAllGains(h);
}

void fieldenc_setInputConfigPreset(FieldEncoder* h, int preset) noexcept
{
    if (preset != kEncoderPresetDefault)
        return;
    loadDefaultDirections(h);
    h->mNewNumSources = 1;
    h->mNumSources = 1;
    requestAllGains(h);
}

void fieldenc_setChOrder(FieldEncoder* h, int chOrder) noexcept
{
    if (chOrder == kChannelOrderFuMa && h->mOrder != 1)
        return;
    h->mChOrder = chOrder;
}

void fieldenc_setNormType(FieldEncoder* h, int normType) noexcept
{
    if (normType == kNormalisationFuMa && h->mOrder != 1)
        return;
    h->mNormType = normType;
}

void fieldenc_setEnablePostScaling(FieldEncoder* h, int enable) noexcept
{
    h->mEnablePostScaling = enable;
}

void fieldenc_setSourceGain(FieldEncoder* h, int index, float gain) noexcept
{
    if (validSource(index))
        h->mSrcGains[index] = gain;
}

void fieldenc_setSourceSolo(FieldEncoder* h, int index) noexcept
{
    if (!validSource(index))
        return;
    for (int i = 0; i < h->mNumSources; ++i)
        h->mSrcGains[i] = 0.0f;
    h->mSrcGains[index] = 1.0f;
}

void fieldenc_setUnSolo(FieldEncoder* h) noexcept
{
    for (int i = 0; i < h->mNumSources; ++i)
        h->mSrcGains[i] = 1.0f;
}

void fieldenc_refreshParams(FieldEncoder* h) noexcept
{
    requestAllGains(h);
}

int fieldenc_getOutputOrder(const FieldEncoder* h) noexcept
{
    return h->mOrder;
}

float fieldenc_getSourceAzi_deg(const FieldEncoder* h, int index) noexcept
{
    return validSource(index) ? h->mSrcDirsDeg[index][0] : 0.0f;
}

float fieldenc_getSourceElev_deg(const FieldEncoder* h, int index) noexcept
{
    return validSource(index) ? h->mSrcDirsDeg[index][1] : 0.0f;
}

int fieldenc_getNumSources(const FieldEncoder* h) noexcept
{
    return h->mNumSources;
}

int fieldenc_getMaxNumSources() noexcept
{
    return kMaxSources;
}

int fieldenc_getChOrder(const FieldEncoder* h) noexcept
{
    return h->mChOrder;
}

int fieldenc_getNormType(const FieldEncoder* h) noexcept
{
    return h->mNormType;
}

int fieldenc_getEnablePostScaling(const FieldEncoder* h) noexcept
{
    return h->mEnablePostScaling;
}

int fieldenc_getNSHrequired(const FieldEncoder* h) noexcept
{
    return numSH(h->mOrder);
}

int fieldenc_getFrameSize(const FieldEncoder*) noexcept
{
    return kFrameSize;
}

int fieldenc_getProcessingDelay(const FieldEncoder*) noexcept
{
    return kFrameSize;
}
