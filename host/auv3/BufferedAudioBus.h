// host/auv3: an audio-unit bus together with the PCM buffer it renders into,
// allocated with the render resources. The input kind prepares its buffer list
// before each pull; the output kind lends its buffers to a host output list that
// comes without data pointers.
#pragma once

#include "host/auv3/platform/AUAudioUnit.h"
#include "host/auv3/platform/AVAudioPCMBuffer.h"

#include <memory>

class BufferedAudioBus {
public:
    virtual ~BufferedAudioBus() = default;

    // Control thread: creates the bus with its default format and maximum channel
    // count.
    void init(std::shared_ptr<AVAudioFormat> defaultFormat, UInt32 maxChannels);
    // Control thread: a PCM buffer of maxFrames frames in the bus's current format.
    void allocateRenderResources(AUAudioFrameCount maxFrames);
    void deallocateRenderResources();

    std::shared_ptr<AUAudioUnitBus> mBus;
    AUAudioFrameCount mMaxFrames = 0;
    std::shared_ptr<AVAudioPCMBuffer> mPCMBuffer;
    const AudioBufferList* mOwnBufferList = nullptr;
    AudioBufferList* mMutableBufferList = nullptr;
};

class BufferedInputBus final : public BufferedAudioBus {
public:
    // Render thread: points every buffer of the mutable list back at the PCM
    // buffer's own memory, sized for frameCount frames, before a pull (which may
    // have re-pointed them last time).
    void prepareInputBufferList(AUAudioFrameCount frameCount) noexcept;
};

class BufferedOutputBus final : public BufferedAudioBus {
public:
    // Render thread: fills in the channel counts and sizes of the host's list,
    // lends the bus's own buffers where the host gave no data pointer and zeroes
    // frameCount samples of every buffer.
    void prepareOutputBufferList(AudioBufferList* outBufferList, AUAudioFrameCount frameCount) noexcept;
};
