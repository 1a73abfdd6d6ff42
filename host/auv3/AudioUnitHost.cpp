// host/auv3: the host side of an audio unit.
#include "host/auv3/AudioUnitHost.h"

#include "framework/platform/MainRunLoop.h"

#include <cstring>
#include <string>

namespace {

std::shared_ptr<AVAudioFormat> Format(double sampleRate, AudioChannelLayoutTag tag)
{
    return AVAudioFormat::initStandardFormatWithSampleRate(sampleRate, AVAudioChannelLayout::layoutWithLayoutTag(tag));
}

AudioComponentDescription ComponentDescription(const plugfw::Config& config)
{
    AudioComponentDescription desc;
    switch (config.plugType) {
    case 1: desc.componentType = MakeFourCharCode("aumu"); break;
    case 2: desc.componentType = MakeFourCharCode("aumi"); break;
    default: desc.componentType = MakeFourCharCode(config.plugDoesMidiIn ? "aumf" : "aufx"); break;
    }
    desc.componentSubType = static_cast<OSType>(config.uniqueID);
    desc.componentManufacturer = static_cast<OSType>(config.mfrID);
    return desc;
}

} // namespace

HostBufferList::HostBufferList(UInt32 numberBuffers)
    : mStorage((AudioBufferListByteSize(numberBuffers) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t))
{
    get()->mNumberBuffers = numberBuffers;
    for (UInt32 i = 0; i < numberBuffers; ++i) {
        get()->mBuffers[i] = AudioBuffer{1, 0, nullptr};
    }
}

void HostBufferList::set(UInt32 index, float* data, UInt32 byteSize)
{
    get()->mBuffers[index] = AudioBuffer{1, byteSize, data};
}

std::unique_ptr<AudioUnitHost> AudioUnitHost::create(const plugfw::Config& config, NSError& error)
{
    std::unique_ptr<AudioUnitHost> host(new AudioUnitHost());
    host->mController = std::make_unique<PluginViewController>();
    host->mController->initWithNibName(std::string(config.pluginName) + "View", nullptr);
    host->mUnit = std::static_pointer_cast<PluginAudioUnit>(
        host->mController->createAudioUnitWithComponentDescription(ComponentDescription(config), &error));
    if (!host->mUnit || !host->mUnit->plug()) {
        return nullptr;
    }
    plugfw::MainRunLoop::Main().RunOnce();

    // Host blocks, made once: a render call allocates nothing on the host side.
    // Render thread: copies, never waits or allocates.
    AudioUnitHost* self = host.get();
    host->mPullBlock = [self](AudioUnitRenderActionFlags* /*flags*/, const AudioTimeStamp* /*timestamp*/,
                              AUAudioFrameCount frameCount, NSInteger /*bus*/,
                              AudioBufferList* inputData) -> AUAudioUnitStatus {
        ++self->mPullCount;
        if (self->mPullStatus != noErr) {
            return self->mPullStatus;
        }
        for (UInt32 c = 0; c < inputData->mNumberBuffers; ++c) {
            float* dst = static_cast<float*>(inputData->mBuffers[c].mData);
            const float* src = (self->mPullSource && c < self->mInputChannels) ? self->mPullSource[c] : nullptr;
            if (src) {
                std::memcpy(dst, src, frameCount * sizeof(float));
            } else {
                std::memset(dst, 0, frameCount * sizeof(float));
            }
        }
        return noErr;
    };
    return host;
}

AudioUnitHost::~AudioUnitHost()
{
    mRenderBlock = nullptr;
    if (mUnit && mUnit->renderResourcesAllocated()) {
        mUnit->deallocateRenderResources();
    }
    mUnit.reset();
    mController.reset();
    plugfw::MainRunLoop::Main().RunOnce();
}

bool AudioUnitHost::setBusFormats(double sampleRate, UInt32 inputChannels, NSError* error)
{
    if (mUnit->renderResourcesAllocated()) {
        deallocate();
    }
    NSError local;
    NSError* err = error ? error : &local;
    if (!(*mUnit->inputBusses())[0]->setFormat(Format(sampleRate, kAudioChannelLayoutTag_HOA_ACN_SN3D | inputChannels),
                                                err) ||
        !(*mUnit->outputBusses())[0]->setFormat(Format(sampleRate, kAudioChannelLayoutTag_Stereo), err)) {
        return false;
    }
    mInputChannels = inputChannels;
    return true;
}

bool AudioUnitHost::allocate(AUAudioFrameCount maxFrames, NSError* error)
{
    NSError local;
    mUnit->setMaximumFramesToRender(maxFrames);
    if (!mUnit->allocateRenderResourcesAndReturnError(error ? error : &local)) {
        return false;
    }
    refreshRenderBlock();
    return true;
}

void AudioUnitHost::deallocate()
{
    mRenderBlock = nullptr;
    mUnit->deallocateRenderResources();
}

void AudioUnitHost::refreshRenderBlock() { mRenderBlock = mUnit->internalRenderBlock(); }

AUAudioUnitStatus AudioUnitHost::render(AUAudioFrameCount frames, const float* const* input, float* const* output,
                                        const AURenderEvent* events)
{
    for (UInt32 c = 0; c < 2; ++c) {
        mOutputList.set(c, output ? output[c] : nullptr, frames * static_cast<UInt32>(sizeof(float)));
    }
    mPullSource = input;
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp;
    timestamp.mSampleTime = mSampleTime;
    timestamp.mFlags = kAudioTimeStampSampleTimeValid;
    const AUAudioUnitStatus status = mRenderBlock(&flags, &timestamp, frames, 0, mOutputList.get(), events, mPullBlock);
    mPullSource = nullptr;
    if (status == noErr) {
        mSampleTime += frames;
    }
    return status;
}

AUAudioUnitStatus AudioUnitHost::renderWithoutPull(AUAudioFrameCount frames, float* const* output)
{
    for (UInt32 c = 0; c < 2; ++c) {
        mOutputList.set(c, output ? output[c] : nullptr, frames * static_cast<UInt32>(sizeof(float)));
    }
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp;
    timestamp.mSampleTime = mSampleTime;
    return mRenderBlock(&flags, &timestamp, frames, 0, mOutputList.get(), nullptr, mNoPullBlock);
}

void AudioUnitHost::setParameter(AUParameterAddress address, AUValue value)
{
    if (auto parameter = mUnit->parameterTree()->parameterWithAddress(address)) {
        parameter->setValue(value);
    }
}

AUValue AudioUnitHost::parameter(AUParameterAddress address)
{
    const auto parameter = mUnit->parameterTree()->parameterWithAddress(address);
    return parameter ? parameter->value() : 0.0f;
}
