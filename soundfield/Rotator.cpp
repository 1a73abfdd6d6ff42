// soundfield: the rotator.
#include "soundfield/Rotator.h"

#include "soundfield/BandProducts.h"
#include "soundfield/Conventions.h"
#include "soundfield/FrameOps.h"
#include "soundfield/RotationMatrices.h"

#include <algorithm>
#include <iterator>
#include <new>

using namespace soundfield_detail;

namespace {

constexpr float kDegreesToRadians = 3.1415927f / 180.0f;
constexpr float kRadiansToDegrees = 180.0f / 3.1415927f;
constexpr int kMaxOrder = 7;

enum ERotationStatus {
    kRotationUpToDate = 1,
    kRotationFromAngles = 2,
    kRotationFromQuaternion = 3,
};

// What a matrix was built from: the identity, or a 3x3 rotation expanded up to an order.
struct MatrixSource {
    float mRotation[3][3] = {{1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 1.0f}};
    bool mIdentity = false;
    int mOrder = 0;
};

} // namespace

// One block, so that every frame and matrix lives in a single allocation.
struct FieldRotator {
    // Input frames, used alternately: the current call's input goes into
    // mFrames[mCurrentFrame] and the other one holds the previous call's input.
    alignas(64) float mFrames[2][kFrameFloats];
    alignas(64) float mOutFrame[kFrameFloats];
    // Two matrices, each the square of its order's size: mRotMtx and mPrevRotMtx point into
    // them, at the same one once settled.
    alignas(64) float mMatrices[2][kMaxChannels * kMaxChannels];
    float* mRotMtx = mMatrices[0];     // the target of the current frame
    float* mPrevRotMtx = mMatrices[0]; // where a crossfade starts from
    MatrixSource mRotSource;
    MatrixSource mPrevSource;
    alignas(64) float mFadeIn[kFrameSize];
    alignas(64) float mFadeOut[kFrameSize];
    int mCurrentFrame = 0;
    // Channels of each input frame that may hold non-zero samples; the rest are zero.
    int mDirtyChannels[2] = {0, 0};
    int mRotMtxStatus = kRotationFromQuaternion;
    // Set by create and init: the next matrix computed is taken at once, without a crossfade from
    // the cleared previous matrix, so the first frame is already turned by the orientation.
    bool mFreshStart = true;
    // While set, the target matrix is the identity; the orientation is kept for when it is lifted.
    int mBypass = 0;
    // Which representation was set last: the matrix is rebuilt from it after an order change
    // or an init, so that neither moves the field.
    int mOrientationSource = kRotationFromQuaternion;
    int mSampleRate = 0;
    float mQuaternion[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    int mFlipQuaternion = 0;
    float mYaw = 0.0f;
    float mRoll = 0.0f;
    float mPitch = 0.0f;
    int mFlipYaw = 0;
    int mFlipPitch = 0;
    int mFlipRoll = 0;
    int mUseRollPitchYaw = 0;
    int mChOrder = kChannelOrderACN;
    int mNormType = kNormalisationSN3D;
    int mOrder = 1;
};

namespace {

int numSH(int order) noexcept
{
    return (order + 1) * (order + 1);
}

float signFor(int flip) noexcept
{
    return flip ? -1.0f : 1.0f;
}

void setAngle(FieldRotator* h, float& angle, int flip, float degrees) noexcept
{
    angle = degrees * kDegreesToRadians * signFor(flip);
    h->mRotMtxStatus = kRotationFromAngles;
    h->mOrientationSource = kRotationFromAngles;
}

void setAngleFlip(FieldRotator* h, float& angle, int& storedFlip, int flip) noexcept
{
    const int normalised = flip != 0 ? 1 : 0;
    if (normalised == storedFlip)
        return;
    storedFlip = normalised;
    angle = -angle;
    h->mRotMtxStatus = kRotationFromAngles;
    h->mOrientationSource = kRotationFromAngles;
}

void setQuaternionComponent(FieldRotator* h, int index, float value) noexcept
{
    h->mQuaternion[index] = index > 0 && h->mFlipQuaternion ? -value : value;
    h->mRotMtxStatus = kRotationFromQuaternion;
    h->mOrientationSource = kRotationFromQuaternion;
}

bool isIdentity(const float R[3][3]) noexcept
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (R[r][c] != (r == c ? 1.0f : 0.0f))
                return false;
    return true;
}

bool sameRotation(const float a[3][3], const float b[3][3]) noexcept
{
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (a[r][c] != b[r][c])
                return false;
    return true;
}

// Writes the source's matrix, square of its order's size, into matrix.
void buildMatrix(const MatrixSource& source, float* matrix) noexcept
{
    const int nSH = numSH(source.mOrder);
    if (!source.mIdentity) {
        getSHRotationMatrix(source.mRotation, matrix, source.mOrder);
        return;
    }
    std::fill(matrix, matrix + nSH * nSH, 0.0f);
    for (int c = 0; c < nSH; ++c)
        matrix[c * nSH + c] = 1.0f;
}

// The matrix just computed becomes the one later changes crossfade from.
void settle(FieldRotator* h) noexcept
{
    h->mPrevRotMtx = h->mRotMtx;
    h->mPrevSource = h->mRotSource;
}

// Rebuilds the target matrix, in the buffer mPrevRotMtx does not use, from the representation
// the status names and refreshes the other one; under a bypass the matrix is the identity and the
// orientation is left as it is. A rotation that turns nothing counts as the identity.
void computeRotation(FieldRotator* h) noexcept
{
    MatrixSource& source = h->mRotSource;
    source.mOrder = h->mOrder;
    if (h->mBypass) {
        source.mIdentity = true;
    } else {
        const int convention = h->mUseRollPitchYaw ? kEulerRollPitchYaw : kEulerYawPitchRoll;
        if (h->mRotMtxStatus == kRotationFromAngles) {
            eulerToRotationMatrix(h->mYaw, h->mPitch, h->mRoll, h->mUseRollPitchYaw, source.mRotation);
            eulerToQuaternion(h->mYaw, h->mPitch, h->mRoll, 0, convention, h->mQuaternion);
        } else {
            quaternionToRotationMatrix(h->mQuaternion, source.mRotation);
            quaternionToEuler(h->mQuaternion, 0, convention, &h->mYaw, &h->mPitch, &h->mRoll);
        }
        source.mIdentity = isIdentity(source.mRotation);
    }
    h->mRotMtx = h->mPrevRotMtx == h->mMatrices[0] ? h->mMatrices[1] : h->mMatrices[0];
    buildMatrix(source, h->mRotMtx);
    h->mRotMtxStatus = kRotationUpToDate;
}

// Computes a new matrix when a setting asked for one. True when the frame must crossfade from the
// previous matrix; after create or init the new matrix is taken at once. A new order alone is no
// change: the previous orientation is expanded to the new order first, so that bands the order
// adds pass at once instead of fading in from zero.
bool updateRotation(FieldRotator* h) noexcept
{
    if (h->mRotMtxStatus == kRotationUpToDate)
        return false;
    computeRotation(h);
    if (h->mFreshStart) {
        h->mFreshStart = false;
        settle(h);
        return false;
    }
    MatrixSource& previous = h->mPrevSource;
    if (previous.mOrder != h->mOrder) {
        previous.mOrder = h->mOrder;
        buildMatrix(previous, h->mPrevRotMtx);
    }
    const MatrixSource& target = h->mRotSource;
    const bool unchanged = target.mIdentity ? previous.mIdentity
                                            : !previous.mIdentity && sameRotation(target.mRotation, previous.mRotation);
    if (!unchanged)
        return true;
    settle(h);
    return false;
}

// Copies the inputs into a work frame (missing inputs and channels above the order as silence)
// and brings FuMa channel order to ACN.
void loadFrame(FieldRotator* h, int slot, const float* const* inputs, int nInputs, int nSH) noexcept
{
    float* frame = h->mFrames[slot];
    const int nCopy = std::clamp(nInputs, 0, nSH);
    for (int c = 0; c < nCopy; ++c)
        std::copy(inputs[c], inputs[c] + kFrameSize, frameChannel(frame, c));
    if (h->mDirtyChannels[slot] > nCopy)
        std::fill(frameChannel(frame, nCopy), frameChannel(frame, h->mDirtyChannels[slot]), 0.0f);
    h->mDirtyChannels[slot] = nCopy;
    if (h->mChOrder == kChannelOrderFuMa)
        convertChannelOrder(frame, h->mOrder, kFrameSize, kConvertFuMa, kConvertACN);
}

// The current matrix applied to frame, crossfaded from the previous matrix when a new one was
// computed, out to the outputs. ACN fields are written straight into the outputs (channels the
// caller has no output for into mOutFrame); FuMa ones go through mOutFrame, back to FuMa order.
void rotateFrame(FieldRotator* h, const float* frame, float* const* outputs, int nOutputs) noexcept
{
    const int order = h->mOrder;
    const int nSH = numSH(order);
    const bool direct = h->mChOrder != kChannelOrderFuMa;
    float* channels[kMaxChannels];
    for (int c = 0; c < nSH; ++c)
        channels[c] = direct && c < nOutputs ? outputs[c] : frameChannel(h->mOutFrame, c);
    if (order < 1) {
        std::copy(frame, frame + kFrameSize, channels[0]);
    } else if (updateRotation(h)) {
        crossfadeBands(h->mRotMtx, h->mPrevRotMtx, nSH, h->mFadeIn, h->mFadeOut, frame, channels, order);
        settle(h);
    } else if (h->mRotSource.mIdentity) {
        for (int c = 0; c < nSH; ++c)
            std::copy(frame + static_cast<std::size_t>(c) * kFrameSize,
                      frame + static_cast<std::size_t>(c + 1) * kFrameSize, channels[c]);
    } else {
        multiplyBands(h->mRotMtx, nSH, frame, channels, order);
    }
    if (direct) {
        for (int c = nSH; c < nOutputs; ++c)
            std::fill(outputs[c], outputs[c] + kFrameSize, 0.0f);
        return;
    }
    convertChannelOrder(h->mOutFrame, order, kFrameSize, kConvertACN, kConvertFuMa);
    writeFrameToOutputs(h->mOutFrame, nSH, outputs, nOutputs);
}

} // namespace

void fieldrot_create(FieldRotator** handle) noexcept
{
    if (handle == nullptr)
        return;
    auto* h = new (std::nothrow) FieldRotator;
    if (h != nullptr) {
        // Cleared here as well as in init, so a process call before init reads silence.
        std::fill(&h->mFrames[0][0], &h->mFrames[0][0] + 2 * kFrameFloats, 0.0f);
        std::fill(std::begin(h->mOutFrame), std::end(h->mOutFrame), 0.0f);
        std::fill(&h->mMatrices[0][0], &h->mMatrices[0][0] + 2 * kMaxChannels * kMaxChannels, 0.0f);
        fillFadeRamps(h->mFadeIn, h->mFadeOut);
    }
    *handle = h;
}

void fieldrot_destroy(FieldRotator** handle) noexcept
{
    if (handle == nullptr || *handle == nullptr)
        return;
    delete *handle;
    *handle = nullptr;
}

void fieldrot_init(FieldRotator* h, int sampleRate) noexcept
{
    h->mSampleRate = sampleRate;
    fillFadeRamps(h->mFadeIn, h->mFadeOut);
    std::fill(&h->mMatrices[0][0], &h->mMatrices[0][0] + 2 * kMaxChannels * kMaxChannels, 0.0f);
    h->mRotMtx = h->mMatrices[0];
    h->mPrevRotMtx = h->mMatrices[0];
    h->mRotSource = MatrixSource{};
    h->mPrevSource = MatrixSource{};
    float* previous = h->mFrames[1 - h->mCurrentFrame];
    std::fill(previous, previous + kFrameFloats, 0.0f);
    h->mDirtyChannels[1 - h->mCurrentFrame] = 0;
    h->mRotMtxStatus = h->mOrientationSource;
    h->mFreshStart = true;
}

void fieldrot_process(FieldRotator* h, const float* const* inputs, float* const* outputs, int nInputs,
                      int nOutputs, int nSamples) noexcept
{
    // Audio thread: never waits, allocates nothing.
    if (nSamples != kFrameSize) {
        silenceOutputs(outputs, nOutputs, nSamples);
        return;
    }
    // The current input goes into one frame while the previous call's input, in the other, is
    // turned and output.
    const int current = h->mCurrentFrame;
    loadFrame(h, current, inputs, nInputs, numSH(h->mOrder));
    h->mCurrentFrame = 1 - current;
    rotateFrame(h, h->mFrames[1 - current], outputs, nOutputs);
}

void fieldrot_processFrame(FieldRotator* h, const float* const* inputs, float* const* outputs, int nInputs,
                           int nOutputs, int nSamples) noexcept
{
    // Audio thread: never waits, allocates nothing.
    if (nSamples != kFrameSize) {
        silenceOutputs(outputs, nOutputs, nSamples);
        return;
    }
    const int order = h->mOrder;
    const int nSH = numSH(order);
    if (order >= 1 && h->mRotSource.mIdentity && h->mRotSource.mOrder == order && h->mPrevRotMtx == h->mRotMtx
        && h->mRotMtxStatus == kRotationUpToDate) {
        // Bypassed (or turned by nothing) and settled: the field passes unchanged (FuMa order
        // would only be converted there and back), without a product.
        const int nCopy = std::clamp(std::min(nInputs, nOutputs), 0, nSH);
        for (int c = 0; c < nCopy; ++c) {
            if (outputs[c] != inputs[c])
                std::copy(inputs[c], inputs[c] + kFrameSize, outputs[c]);
        }
        for (int c = std::max(nCopy, 0); c < nOutputs; ++c)
            std::fill(outputs[c], outputs[c] + kFrameSize, 0.0f);
        return;
    }
    // The slot the next delayed call writes its input into serves as the work frame, so the delay
    // line of fieldrot_process is left as it was.
    const int work = h->mCurrentFrame;
    loadFrame(h, work, inputs, nInputs, nSH);
    rotateFrame(h, h->mFrames[work], outputs, nOutputs);
}

void fieldrot_setYaw(FieldRotator* h, float degrees) noexcept
{
    setAngle(h, h->mYaw, h->mFlipYaw, degrees);
}

void fieldrot_setPitch(FieldRotator* h, float degrees) noexcept
{
    setAngle(h, h->mPitch, h->mFlipPitch, degrees);
}

void fieldrot_setRoll(FieldRotator* h, float degrees) noexcept
{
    setAngle(h, h->mRoll, h->mFlipRoll, degrees);
}

void fieldrot_setFlipYaw(FieldRotator* h, int flip) noexcept
{
    setAngleFlip(h, h->mYaw, h->mFlipYaw, flip);
}

void fieldrot_setFlipPitch(FieldRotator* h, int flip) noexcept
{
    setAngleFlip(h, h->mPitch, h->mFlipPitch, flip);
}

void fieldrot_setFlipRoll(FieldRotator* h, int flip) noexcept
{
    setAngleFlip(h, h->mRoll, h->mFlipRoll, flip);
}

void fieldrot_setQuaternionW(FieldRotator* h, float w) noexcept
{
    setQuaternionComponent(h, 0, w);
}

void fieldrot_setQuaternionX(FieldRotator* h, float x) noexcept
{
    setQuaternionComponent(h, 1, x);
}

void fieldrot_setQuaternionY(FieldRotator* h, float y) noexcept
{
    setQuaternionComponent(h, 2, y);
}

void fieldrot_setQuaternionZ(FieldRotator* h, float z) noexcept
{
    setQuaternionComponent(h, 3, z);
}

void fieldrot_setFlipQuaternion(FieldRotator* h, int flip) noexcept
{
    const int normalised = flip != 0 ? 1 : 0;
    if (normalised == h->mFlipQuaternion)
        return;
    h->mFlipQuaternion = normalised;
    for (int i = 1; i < 4; ++i)
        h->mQuaternion[i] = -h->mQuaternion[i];
    h->mRotMtxStatus = kRotationFromQuaternion;
    h->mOrientationSource = kRotationFromQuaternion;
}

void fieldrot_setRPYflag(FieldRotator* h, int useRollPitchYaw) noexcept
{
    const bool changed = (useRollPitchYaw != 0) != (h->mUseRollPitchYaw != 0);
    h->mUseRollPitchYaw = useRollPitchYaw;
    // The same angles make another matrix in the other order: it applies from the next frame.
    if (changed)
        h->mRotMtxStatus = h->mOrientationSource;
}

void fieldrot_setBypass(FieldRotator* h, int bypass) noexcept
{
    const int normalised = bypass != 0 ? 1 : 0;
    if (normalised == h->mBypass)
        return;
    h->mBypass = normalised;
    h->mRotMtxStatus = h->mOrientationSource;
}

void fieldrot_setOrder(FieldRotator* h, int order) noexcept
{
    h->mOrder = std::clamp(order, 0, kMaxOrder);
    h->mRotMtxStatus = h->mOrientationSource;
    if (h->mOrder != 1) {
        if (h->mChOrder == kChannelOrderFuMa)
            h->mChOrder = kChannelOrderACN;
        if (h->mNormType == kNormalisationFuMa)
            h->mNormType = kNormalisationSN3D;
    }
}

void fieldrot_setChOrder(FieldRotator* h, int chOrder) noexcept
{
    if (chOrder == kChannelOrderFuMa && h->mOrder != 1)
        return;
    h->mChOrder = chOrder;
}

void fieldrot_setNormType(FieldRotator* h, int normType) noexcept
{
    if (normType == kNormalisationFuMa && h->mOrder != 1)
        return;
    h->mNormType = normType;
}

float fieldrot_getYaw(const FieldRotator* h) noexcept
{
    return h->mYaw * kRadiansToDegrees * signFor(h->mFlipYaw);
}

float fieldrot_getPitch(const FieldRotator* h) noexcept
{
    return h->mPitch * kRadiansToDegrees * signFor(h->mFlipPitch);
}

float fieldrot_getRoll(const FieldRotator* h) noexcept
{
    return h->mRoll * kRadiansToDegrees * signFor(h->mFlipRoll);
}

float fieldrot_getQuaternionW(const FieldRotator* h) noexcept
{
    return h->mQuaternion[0];
}

float fieldrot_getQuaternionX(const FieldRotator* h) noexcept
{
    return h->mQuaternion[1] * signFor(h->mFlipQuaternion);
}

float fieldrot_getQuaternionY(const FieldRotator* h) noexcept
{
    return h->mQuaternion[2] * signFor(h->mFlipQuaternion);
}

float fieldrot_getQuaternionZ(const FieldRotator* h) noexcept
{
    return h->mQuaternion[3] * signFor(h->mFlipQuaternion);
}

int fieldrot_getFlipYaw(const FieldRotator* h) noexcept
{
    return h->mFlipYaw;
}

int fieldrot_getFlipPitch(const FieldRotator* h) noexcept
{
    return h->mFlipPitch;
}

int fieldrot_getFlipRoll(const FieldRotator* h) noexcept
{
    return h->mFlipRoll;
}

int fieldrot_getFlipQuaternion(const FieldRotator* h) noexcept
{
    return h->mFlipQuaternion;
}

int fieldrot_getRPYflag(const FieldRotator* h) noexcept
{
    return h->mUseRollPitchYaw;
}

int fieldrot_getBypass(const FieldRotator* h) noexcept
{
    return h->mBypass;
}

int fieldrot_getChOrder(const FieldRotator* h) noexcept
{
    return h->mChOrder;
}

int fieldrot_getNormType(const FieldRotator* h) noexcept
{
    return h->mNormType;
}

int fieldrot_getOrder(const FieldRotator* h) noexcept
{
    return h->mOrder;
}

int fieldrot_getNSHrequired(const FieldRotator* h) noexcept
{
    return numSH(h->mOrder);
}

int fieldrot_getFrameSize(const FieldRotator*) noexcept
{
    return kFrameSize;
}

int fieldrot_getProcessingDelay(const FieldRotator*) noexcept
{
    return kFrameSize;
}
