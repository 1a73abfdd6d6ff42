// host/auv3: busses with render buffers.
#include "host/auv3/BufferedAudioBus.h"

#include <algorithm>
#include <cstring>

void BufferedAudioBus::init(std::shared_ptr<AVAudioFormat> defaultFormat, UInt32 maxChannels)
{
    mBus = AUAudioUnitBus::initWithFormat(std::move(defaultFormat), nullptr);
    if (mBus) {
        mBus->setMaximumChannelCount(maxChannels);
    }
}

void BufferedAudioBus::allocateRenderResources(AUAudioFrameCount maxFrames)
{
    mMaxFrames = maxFrames;
    mPCMBuffer = AVAudioPCMBuffer::initWithPCMFormat(mBus ? mBus->format() : nullptr, maxFrames);
    mOwnBufferList = mPCMBuffer ? mPCMBuffer->audioBufferList() : nullptr;
    mMutableBufferList = mPCMBuffer ? mPCMBuffer->mutableAudioBufferList() : nullptr;
}

void BufferedAudioBus::deallocateRenderResources()
{
    mPCMBuffer.reset();
    mOwnBufferList = nullptr;
    mMutableBufferList = nullptr;
}

// Render thread: never waits.
void BufferedInputBus::prepareInputBufferList(AUAudioFrameCount frameCount) noexcept
{
    const UInt32 byteSize = std::min(frameCount, mMaxFrames) * static_cast<UInt32>(sizeof(float));
    mMutableBufferList->mNumberBuffers = mOwnBufferList->mNumberBuffers;
    for (UInt32 i = 0; i < mOwnBufferList->mNumberBuffers; ++i) {
        mMutableBufferList->mBuffers[i].mNumberChannels = mOwnBufferList->mBuffers[i].mNumberChannels;
        mMutableBufferList->mBuffers[i].mData = mOwnBufferList->mBuffers[i].mData;
        mMutableBufferList->mBuffers[i].mDataByteSize = byteSize;
    }
}

// Render thread: never waits. Host buffers beyond the bus's own count have no
// buffer to match: they keep their channel count and pointer, and are cleared
// when they have memory.
void BufferedOutputBus::prepareOutputBufferList(AudioBufferList* outBufferList, AUAudioFrameCount frameCount) noexcept
{
    const UInt32 byteSize = frameCount * static_cast<UInt32>(sizeof(float));
    for (UInt32 i = 0; i < outBufferList->mNumberBuffers; ++i) {
        AudioBuffer& buffer = outBufferList->mBuffers[i];
        if (i < mOwnBufferList->mNumberBuffers) {
            buffer.mNumberChannels = mOwnBufferList->mBuffers[i].mNumberChannels;
            buffer.mDataByteSize = byteSize;
            if (!buffer.mData) {
                buffer.mData = mOwnBufferList->mBuffers[i].mData;
            }
        }
        if (buffer.mData) {
            std::memset(buffer.mData, 0, byteSize);
        }
    }
}
