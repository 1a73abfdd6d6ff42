// host/auv3/platform: the PCM buffer stand-in.
#include "host/auv3/platform/AVAudioPCMBuffer.h"

#include <algorithm>

std::shared_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::initWithPCMFormat(std::shared_ptr<AVAudioFormat> format,
                                                                      AUAudioFrameCount frameCapacity)
{
    if (!format) {
        return nullptr;
    }
    return std::shared_ptr<AVAudioPCMBuffer>(new AVAudioPCMBuffer(std::move(format), frameCapacity));
}

AVAudioPCMBuffer::AVAudioPCMBuffer(std::shared_ptr<AVAudioFormat> format, AUAudioFrameCount frameCapacity)
    : mFormat(std::move(format)), mFrameCapacity(frameCapacity)
{
    const UInt32 channels = mFormat->channelCount();
    mSamples.assign(static_cast<std::size_t>(channels) * frameCapacity, 0.0f);
    mChannelPointers.resize(channels);
    const std::size_t listWords =
        (AudioBufferListByteSize(channels) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    mOwnList.assign(listWords, std::max_align_t{});
    mMutableList.assign(listWords, std::max_align_t{});
    AudioBufferList* own = list(mOwnList);
    AudioBufferList* mutableList = list(mMutableList);
    own->mNumberBuffers = channels;
    mutableList->mNumberBuffers = channels;
    for (UInt32 c = 0; c < channels; ++c) {
        float* data = mSamples.data() + static_cast<std::size_t>(c) * frameCapacity;
        mChannelPointers[c] = data;
        own->mBuffers[c] = AudioBuffer{1, 0, data};
        mutableList->mBuffers[c] = AudioBuffer{1, 0, data};
    }
}

void AVAudioPCMBuffer::setFrameLength(AUAudioFrameCount frames) noexcept
{
    mFrameLength = std::min(frames, mFrameCapacity);
    const UInt32 bytes = mFrameLength * static_cast<UInt32>(sizeof(float));
    AudioBufferList* own = list(mOwnList);
    AudioBufferList* mutableList = list(mMutableList);
    for (UInt32 c = 0; c < own->mNumberBuffers; ++c) {
        own->mBuffers[c].mDataByteSize = bytes;
        mutableList->mBuffers[c].mDataByteSize = bytes;
    }
}
