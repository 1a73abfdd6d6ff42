// host/auv3: the host side of an audio unit, as an audio-unit host and the
// system's validation tool drive one: create it through the view controller,
// set its bus formats and allocate its render resources, pump the main run loop
// (timers, queued work), render with a pull-input block, host output buffers
// and timestamped events, and set parameters through the parameter tree. The
// command line and the tests host the plug-in through it.
#pragma once

#include "framework/Config.h"
#include "host/auv3/PluginAudioUnit.h"
#include "host/auv3/PluginViewController.h"
#include "host/auv3/platform/AURenderEvent.h"
#include "host/auv3/platform/CoreAudioTypes.h"

#include <cstddef>
#include <memory>
#include <vector>

// A host's buffer list of one-channel buffers; null pointers ask the audio unit
// to render into its own buffers.
class HostBufferList {
public:
    explicit HostBufferList(UInt32 numberBuffers);
    void set(UInt32 index, float* data, UInt32 byteSize);
    [[nodiscard]] AudioBufferList* get() noexcept { return reinterpret_cast<AudioBufferList*>(mStorage.data()); }
    [[nodiscard]] float* channel(UInt32 index) noexcept { return static_cast<float*>(get()->mBuffers[index].mData); }

private:
    std::vector<std::max_align_t> mStorage;
};

class AudioUnitHost {
public:
    // Main thread. Creates the view controller and, through it, the audio unit
    // of the plug-in that config describes, found as the app extension registers
    // it (component type from the plug-in type, an effect that takes MIDI being
    // a music effect; subtype and manufacturer from the plug-in's IDs; view named
    // after the plug-in). Then pumps the main queue once so that the unit's
    // deferred initialisation (idle timer, first preset) has run: parameters set
    // before it would be overwritten by the preset. Null, with error filled in,
    // when the audio unit or its plug-in cannot be created.
    [[nodiscard]] static std::unique_ptr<AudioUnitHost> create(const plugfw::Config& config, NSError& error);
    ~AudioUnitHost();
    AudioUnitHost(const AudioUnitHost&) = delete;
    AudioUnitHost& operator=(const AudioUnitHost&) = delete;

    [[nodiscard]] PluginViewController& controller() noexcept { return *mController; }
    [[nodiscard]] PluginAudioUnit& unit() noexcept { return *mUnit; }

    // Deallocates the render resources when they are allocated, then sets both
    // bus formats: inputChannels of ambisonics (ACN, SN3D) and stereo, at
    // sampleRate. False, with error filled in, when a bus refuses its format.
    [[nodiscard]] bool setBusFormats(double sampleRate, UInt32 inputChannels, NSError* error);
    // Sets the maximum frames, allocates render resources and fetches the render
    // block. False, with error filled in, when the unit cannot allocate.
    [[nodiscard]] bool allocate(AUAudioFrameCount maxFrames, NSError* error);
    void deallocate();
    // Fetches the render block again (after changing host blocks).
    void refreshRenderBlock();

    // Render thread (the thread that calls it). Renders frames. Input: one
    // pointer per input channel of the bus (null for silence). Output: two
    // channel pointers, or null to let the unit render into its own buffers
    // (read them with output()). The timestamp advances by frames after every
    // call that succeeds.
    AUAudioUnitStatus render(AUAudioFrameCount frames, const float* const* input, float* const* output,
                             const AURenderEvent* events = nullptr);
    // Renders without a pull-input block.
    AUAudioUnitStatus renderWithoutPull(AUAudioFrameCount frames, float* const* output);
    [[nodiscard]] const float* output(UInt32 channel) noexcept { return mOutputList.channel(channel); }

    // The pull-input block returns this status (noErr by default).
    void setPullStatus(AUAudioUnitStatus status) noexcept { mPullStatus = status; }
    [[nodiscard]] int pullCount() const noexcept { return mPullCount; }
    [[nodiscard]] double sampleTime() const noexcept { return mSampleTime; }

    // Parameter access through the host's parameter tree; an address the tree
    // does not hold is ignored (and reads 0).
    void setParameter(AUParameterAddress address, AUValue value);
    [[nodiscard]] AUValue parameter(AUParameterAddress address);

private:
    AudioUnitHost() = default;

    std::unique_ptr<PluginViewController> mController;
    std::shared_ptr<PluginAudioUnit> mUnit;
    AUInternalRenderBlock mRenderBlock;
    AURenderPullInputBlock mPullBlock;
    AURenderPullInputBlock mNoPullBlock;
    HostBufferList mOutputList{2};
    const float* const* mPullSource = nullptr;
    UInt32 mInputChannels = 0;
    AUAudioUnitStatus mPullStatus = noErr;
    int mPullCount = 0;
    double mSampleTime = 0.0;
};
