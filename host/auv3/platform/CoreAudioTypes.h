// host/auv3/platform: stands in for the Apple CoreAudio and AudioToolbox record
// types (CoreAudioTypes.h, AUComponent.h) that the audio-unit object reads and
// writes. Field names, types and status values are those of the Apple headers;
// only the fields this system uses are kept.
#pragma once

#include <cstddef>
#include <cstdint>

using OSStatus = int32_t;
using Float64 = double;
using UInt32 = uint32_t;
using UInt64 = uint64_t;
using NSInteger = long;
using NSUInteger = unsigned long;

using AUAudioUnitStatus = OSStatus;
using AUAudioFrameCount = uint32_t;
using AUEventSampleTime = int64_t;
using AUParameterAddress = uint64_t;
using AUValue = float;
using AudioChannelLayoutTag = uint32_t;
using AudioUnitRenderActionFlags = uint32_t;
using FourCharCode = uint32_t;
using OSType = FourCharCode;

constexpr OSStatus noErr = 0;

// Audio-unit status codes used at the host boundary.
constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
constexpr OSStatus kAudioUnitErr_FailedInitialization = -10875;
constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;

// Channel-layout tags: the layout code in the upper 16 bits, the channel count in
// the lower 16.
constexpr AudioChannelLayoutTag kAudioChannelLayoutTag_Stereo = (101U << 16) | 2U;
constexpr AudioChannelLayoutTag kAudioChannelLayoutTag_HOA_ACN_SN3D = 190U << 16;

constexpr UInt32 AudioChannelLayoutTag_GetNumberOfChannels(AudioChannelLayoutTag tag) noexcept
{
    return tag & 0x0000FFFFU;
}

struct AudioTimeStamp {
    Float64 mSampleTime = 0.0;
    UInt64 mHostTime = 0;
    Float64 mRateScalar = 0.0;
    UInt64 mWordClockTime = 0;
    UInt32 mFlags = 0;
    UInt32 mReserved = 0;
};

constexpr UInt32 kAudioTimeStampSampleTimeValid = 1U << 0;

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
};

// A variable-length record: mNumberBuffers buffers follow in memory, of which
// the declaration shows the first, as in the Apple header. Storage for n buffers
// is AudioBufferListByteSize(n) bytes.
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};

constexpr std::size_t AudioBufferListByteSize(UInt32 numberBuffers) noexcept
{
    return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (numberBuffers > 0 ? numberBuffers : 1);
}

struct AudioComponentDescription {
    OSType componentType = 0;
    OSType componentSubType = 0;
    OSType componentManufacturer = 0;
    UInt32 componentFlags = 0;
    UInt32 componentFlagsMask = 0;
};

using AudioComponentInstantiationOptions = UInt32;

constexpr FourCharCode MakeFourCharCode(const char (&code)[5]) noexcept
{
    return (static_cast<FourCharCode>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<FourCharCode>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<FourCharCode>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<FourCharCode>(static_cast<unsigned char>(code[3]));
}
