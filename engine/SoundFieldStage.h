// engine: the sound-field stage. It runs in place on each processing frame of
// the gathered input as the frame completes: it adds the test source (a burst
// of noise that MIDI notes place at one of 26 directions), rotates the field
// and brings first-order FuMa channel order and FuMa or N3D normalisation to
// the decoder sets' ACN/SN3D.
//
// Threads: settings arrive on any thread (OnParamChange) and are applied on the
// audio thread as the next frame starts, so that the rotator and the encoder
// are only ever touched by one thread: the audio thread, or the main thread
// while the audio thread is stopped (construction, Reset). On the audio thread
// the stage never waits, allocates or frees.
#pragma once

#include "engine/EngineSizes.h"
#include "framework/ADSREnvelope.h"
#include "framework/IEditorDelegate.h"
#include "framework/IMidiMsg.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

struct FieldRotator;
struct FieldEncoder;

namespace qir {

class SoundFieldStage {
public:
    static constexpr int kNumTestSourceDirections = 26;

    // Main thread. delegate (borrowed, may be null) provides the parameter
    // values and takes the toolkit's console banner; it must outlive the
    // stage. Throws std::bad_alloc when the rotator or the encoder cannot be
    // created.
    explicit SoundFieldStage(plugfw::IEditorDelegate* delegate);
    // Main thread, never the audio thread.
    ~SoundFieldStage();
    SoundFieldStage(const SoundFieldStage&) = delete;
    SoundFieldStage& operator=(const SoundFieldStage&) = delete;

    // Main thread, while the audio thread is stopped: initialises the rotator
    // and the encoder for sampleRate; they follow every parameter again from
    // the next frame on, whatever they were told before.
    void Reset(double sampleRate) noexcept;

    // Any thread: value is the parameter's normalised value in [0, 1]. Settings
    // of the rotator and encoder apply from the frame that is completed next;
    // parameters the stage does not follow are ignored.
    void OnParamChange(int paramIdx, double value) noexcept;

    // Audio thread: note on and off for the test source, from the next sample
    // generated on.
    void ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept;

    // Audio thread: the next nFrames samples of the test source (silence while
    // no note sounds), sample for sample with the input, so that a note starts
    // and stops at its own frame of the stream.
    void GenerateTestSource(float* destination, int nFrames) noexcept;

    // Audio thread: runs the stage in place on one frame: channels holds
    // kMaxInputChannels channel pointers at the frame's start, source the test
    // source's samples of the frame. Returns the number of leading channels
    // the stage may have written to (the channels it covers, or more for the
    // convention fix-up).
    [[nodiscard]] int ProcessFrame(float* const* channels, const float* source) noexcept;

    // Audio thread: the frame being gathered is complete, run through the
    // stage or passed by; the next starts without test source.
    void EndFrame() noexcept { mSourceInFrame = false; }

    // Audio thread, or the main thread while the audio thread is stopped: the
    // channels the stage covers and the order of the rotator and encoder.
    void SetChannels(int numChans, int order) noexcept;
    // Audio thread: the order of the rotator and encoder.
    [[nodiscard]] int GetOrder() const noexcept { return mStageOrder; }

private:
    static constexpr int kFrames = EngineSizes::kSubBlockFrames;
    static constexpr int kMaxChans = EngineSizes::kMaxInputChannels;

    // Bits of mTransformSettingsChanged.
    enum ETransformSetting : uint32_t {
        kSettingYaw = 1u << 0,
        kSettingPitch = 1u << 1,
        kSettingRoll = 1u << 2,
        kSettingFlipYaw = 1u << 3,
        kSettingFlipPitch = 1u << 4,
        kSettingFlipRoll = 1u << 5,
        kSettingRPY = 1u << 6,
        kSettingChOrder = 1u << 7,
        kSettingNormType = 1u << 8,
        kAllTransformSettings = (1u << 9) - 1,
    };

    double ParamValue(int paramIdx) const noexcept;
    void SetOrder(int order) noexcept;
    void ApplyTransformSettings() noexcept;

    plugfw::IEditorDelegate* mDelegate;
    FieldRotator* mRotator = nullptr;
    FieldEncoder* mEncoder = nullptr;
    // Channels the stage covers: the current set's inputs, or the larger of
    // the two sets' while one crossfades into the other.
    int mNumChans = 4;
    // Order of the rotator and encoder.
    int mStageOrder = 1;
    // 64 channels of one frame: the test source's encoding.
    std::vector<float> mEncoderScratch;
    std::array<float*, kMaxChans> mEncoderChans{};
    uint32_t mNoiseSeed = 0;
    int mTestSourceIndex = -1;
    // Whether the test source sounded in the frame being gathered.
    bool mSourceInFrame = false;
    plugfw::ADSREnvelope<float> mEnvelope;

    // Rotator and encoder settings from OnParamChange, applied on the audio
    // thread so that the transforms are only ever touched by one thread.
    std::atomic<float> mYawDegrees{0.0f};
    std::atomic<float> mPitchDegrees{0.0f};
    std::atomic<float> mRollDegrees{0.0f};
    std::atomic<int> mFlipYaw{0};
    std::atomic<int> mFlipPitch{0};
    std::atomic<int> mFlipRoll{0};
    std::atomic<int> mUseRPY{0};
    std::atomic<int> mChOrder{1};
    std::atomic<int> mNormType{2};
    std::atomic<uint32_t> mTransformSettingsChanged{0};
};

} // namespace qir
