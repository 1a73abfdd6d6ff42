// host/auv3/platform: stands in for the Apple AVFoundation classes
// AVAudioChannelLayout and AVAudioFormat. Only standard formats exist here:
// deinterleaved 32-bit float at a sample rate, with a channel layout.
#pragma once

#include "host/auv3/platform/CoreAudioTypes.h"

#include <memory>

class AVAudioChannelLayout {
public:
    // layoutWithLayoutTag:
    [[nodiscard]] static std::shared_ptr<AVAudioChannelLayout> layoutWithLayoutTag(AudioChannelLayoutTag tag)
    {
        return std::shared_ptr<AVAudioChannelLayout>(new AVAudioChannelLayout(tag));
    }

    [[nodiscard]] AudioChannelLayoutTag layoutTag() const noexcept { return mLayoutTag; }
    [[nodiscard]] UInt32 channelCount() const noexcept { return AudioChannelLayoutTag_GetNumberOfChannels(mLayoutTag); }

private:
    explicit AVAudioChannelLayout(AudioChannelLayoutTag tag) noexcept : mLayoutTag(tag) {}

    AudioChannelLayoutTag mLayoutTag;
};

enum AVAudioCommonFormat : unsigned {
    AVAudioOtherFormat = 0,
    AVAudioPCMFormatFloat32 = 1,
};

class AVAudioFormat {
public:
    // initStandardFormatWithSampleRate:channelLayout: deinterleaved float32 with
    // the layout's channel count.
    [[nodiscard]] static std::shared_ptr<AVAudioFormat>
    initStandardFormatWithSampleRate(double sampleRate, std::shared_ptr<AVAudioChannelLayout> layout)
    {
        if (!layout) {
            return nullptr;
        }
        const UInt32 channels = layout->channelCount();
        return std::shared_ptr<AVAudioFormat>(new AVAudioFormat(sampleRate, channels, std::move(layout)));
    }

    // initStandardFormatWithSampleRate:channels: a format without a layout; nil
    // for 0 channels.
    [[nodiscard]] static std::shared_ptr<AVAudioFormat> initStandardFormatWithSampleRate(double sampleRate,
                                                                                         UInt32 channels)
    {
        if (channels == 0) {
            return nullptr;
        }
        return std::shared_ptr<AVAudioFormat>(new AVAudioFormat(sampleRate, channels, nullptr));
    }

    [[nodiscard]] double sampleRate() const noexcept { return mSampleRate; }
    [[nodiscard]] UInt32 channelCount() const noexcept { return mChannelCount; }
    [[nodiscard]] bool isInterleaved() const noexcept { return false; }
    [[nodiscard]] bool isStandard() const noexcept { return true; }
    [[nodiscard]] AVAudioCommonFormat commonFormat() const noexcept { return AVAudioPCMFormatFloat32; }
    [[nodiscard]] const std::shared_ptr<AVAudioChannelLayout>& channelLayout() const noexcept { return mLayout; }

private:
    AVAudioFormat(double sampleRate, UInt32 channels, std::shared_ptr<AVAudioChannelLayout> layout) noexcept
        : mSampleRate(sampleRate), mChannelCount(channels), mLayout(std::move(layout))
    {
    }

    double mSampleRate;
    UInt32 mChannelCount;
    std::shared_ptr<AVAudioChannelLayout> mLayout;
};
