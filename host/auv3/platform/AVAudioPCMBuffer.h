// host/auv3/platform: stands in for the Apple AVFoundation class AVAudioPCMBuffer
// for standard (deinterleaved float32) formats: one buffer of frameCapacity
// samples per channel, described by two buffer lists. The mutable list may be
// re-pointed by its users (a pull-input block may render in place); the other
// list always describes the buffer's own memory.
#pragma once

#include "host/auv3/platform/AVAudioFormat.h"
#include "host/auv3/platform/CoreAudioTypes.h"

#include <memory>
#include <vector>

class AVAudioPCMBuffer {
public:
    // initWithPCMFormat:frameCapacity: nil for a null format.
    [[nodiscard]] static std::shared_ptr<AVAudioPCMBuffer> initWithPCMFormat(std::shared_ptr<AVAudioFormat> format,
                                                                             AUAudioFrameCount frameCapacity);

    AVAudioPCMBuffer(const AVAudioPCMBuffer&) = delete;
    AVAudioPCMBuffer& operator=(const AVAudioPCMBuffer&) = delete;

    [[nodiscard]] const std::shared_ptr<AVAudioFormat>& format() const noexcept { return mFormat; }
    [[nodiscard]] AUAudioFrameCount frameCapacity() const noexcept { return mFrameCapacity; }
    [[nodiscard]] AUAudioFrameCount frameLength() const noexcept { return mFrameLength; }
    [[nodiscard]] UInt32 stride() const noexcept { return 1; }

    // Sets the valid length (at most the capacity) and the byte size of every
    // buffer of both lists.
    void setFrameLength(AUAudioFrameCount frames) noexcept;

    [[nodiscard]] float* const* floatChannelData() const noexcept { return mChannelPointers.data(); }
    [[nodiscard]] const AudioBufferList* audioBufferList() const noexcept { return list(mOwnList); }
    [[nodiscard]] AudioBufferList* mutableAudioBufferList() noexcept { return list(mMutableList); }

private:
    AVAudioPCMBuffer(std::shared_ptr<AVAudioFormat> format, AUAudioFrameCount frameCapacity);

    static AudioBufferList* list(std::vector<std::max_align_t>& storage) noexcept
    {
        return reinterpret_cast<AudioBufferList*>(storage.data());
    }
    static const AudioBufferList* list(const std::vector<std::max_align_t>& storage) noexcept
    {
        return reinterpret_cast<const AudioBufferList*>(storage.data());
    }

    std::shared_ptr<AVAudioFormat> mFormat;
    AUAudioFrameCount mFrameCapacity;
    AUAudioFrameCount mFrameLength = 0;
    std::vector<float> mSamples;
    std::vector<float*> mChannelPointers;
    std::vector<std::max_align_t> mOwnList;
    std::vector<std::max_align_t> mMutableList;
};
