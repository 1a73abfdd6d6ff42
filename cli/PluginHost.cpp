// cli: the plug-in host.
#include "cli/PluginHost.h"

#include "framework/platform/MainRunLoop.h"
#include "host/auv3/QIRMatrixDecoder.h"

#include <cmath>
#include <cstring>

namespace qircli {

namespace {

AudioComponentDescription DecoderDescription()
{
    AudioComponentDescription desc;
    desc.componentType = MakeFourCharCode("aumf");
    desc.componentSubType = MakeFourCharCode("QiR1");
    desc.componentManufacturer = MakeFourCharCode("Mrwf");
    return desc;
}

AudioBufferList* AsList(std::vector<std::max_align_t>& storage)
{
    return reinterpret_cast<AudioBufferList*>(storage.data());
}

} // namespace

std::unique_ptr<PluginHost> PluginHost::Create(std::string& error)
{
    std::unique_ptr<PluginHost> host(new PluginHost());
    host->mController = std::make_unique<QIRMatrixDecoderViewController>();
    host->mController->initWithNibName("QIRMatrixDecoderView", nullptr);
    NSError nsError;
    host->mUnit = std::static_pointer_cast<QIRMatrixDecoderAudioUnit>(
        host->mController->createAudioUnitWithComponentDescription(DecoderDescription(), &nsError));
    if (!host->mUnit || !host->mUnit->plug()) {
        error = "the decoder plug-in could not be created (" + nsError.domain + " " + std::to_string(nsError.code) + ")";
        return nullptr;
    }
    // The unit's deferred initialisation (idle timer, first preset) runs on the
    // main queue; parameters set before it ran would be overwritten by the
    // preset. The timer's first tick, which starts the decoder-set load, comes
    // only with the next pass, after the caller has set the parameters.
    plugfw::MainRunLoop::Main().RunOnce();

    const std::size_t words =
        (AudioBufferListByteSize(2) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    host->mOutputListStorage.assign(words, std::max_align_t{});
    AsList(host->mOutputListStorage)->mNumberBuffers = 2;

    // Render thread (here the thread that calls Render): copies, never waits or
    // allocates.
    PluginHost* self = host.get();
    host->mPullBlock = [self](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frameCount,
                              NSInteger, AudioBufferList* inputData) -> AUAudioUnitStatus {
        for (UInt32 c = 0; c < inputData->mNumberBuffers; ++c) {
            float* destination = static_cast<float*>(inputData->mBuffers[c].mData);
            if (self->mPullSource && c < self->mInputChannels) {
                std::memcpy(destination, self->mPullSource[c], frameCount * sizeof(float));
            } else {
                std::memset(destination, 0, frameCount * sizeof(float));
            }
        }
        return noErr;
    };
    return host;
}

PluginHost::~PluginHost()
{
    mRenderBlock = nullptr;
    if (mUnit && mUnit->renderResourcesAllocated()) {
        mUnit->deallocateRenderResources();
    }
    mUnit.reset();
    mController.reset();
    plugfw::MainRunLoop::Main().RunOnce();
}

qir::QIRMatrixDecoderDSP& PluginHost::Engine() const noexcept
{
    return static_cast<QIRMatrixDecoder*>(mUnit->plug())->GetDSP();
}

void PluginHost::setParameter(AUParameterAddress address, AUValue value)
{
    if (auto parameter = mUnit->parameterTree()->parameterWithAddress(address)) {
        parameter->setValue(value);
    }
}

bool PluginHost::UseThroughputConfiguration() { return Engine().UseThroughputConfiguration(); }

bool PluginHost::Allocate(double sampleRate, UInt32 inputChannels, AUAudioFrameCount maxFrames, std::string& error)
{
    NSError nsError;
    const auto input = AVAudioFormat::initStandardFormatWithSampleRate(
        sampleRate, AVAudioChannelLayout::layoutWithLayoutTag(kAudioChannelLayoutTag_HOA_ACN_SN3D | inputChannels));
    const auto output = AVAudioFormat::initStandardFormatWithSampleRate(
        sampleRate, AVAudioChannelLayout::layoutWithLayoutTag(kAudioChannelLayoutTag_Stereo));
    if (!(*mUnit->inputBusses())[0]->setFormat(input, &nsError) ||
        !(*mUnit->outputBusses())[0]->setFormat(output, &nsError)) {
        error = "the decoder plug-in refused " + std::to_string(inputChannels) + " channels at " +
                std::to_string(static_cast<long>(sampleRate)) + " Hz";
        return false;
    }
    mUnit->setMaximumFramesToRender(maxFrames);
    mUnit->setRenderingOffline(true);
    if (!mUnit->allocateRenderResourcesAndReturnError(&nsError)) {
        error = "the decoder plug-in could not allocate its render resources (" + nsError.domain + " " +
                std::to_string(nsError.code) + ")";
        return false;
    }
    mInputChannels = inputChannels;
    mSampleRate = sampleRate;
    mRenderBlock = mUnit->internalRenderBlock();
    return true;
}

bool PluginHost::WaitForDecoderSet(std::chrono::milliseconds timeout)
{
    qir::QIRMatrixDecoderDSP& engine = Engine();
    return plugfw::MainRunLoop::Main().RunUntil(
        [&engine] { return engine.HasPendingDecoderSet() && !engine.IsLoading(); }, timeout);
}

AUAudioUnitStatus PluginHost::Render(AUAudioFrameCount frames, const float* const* input, float* out0, float* out1,
                                     const AURenderEvent* events)
{
    AudioBufferList* list = AsList(mOutputListStorage);
    const UInt32 bytes = frames * static_cast<UInt32>(sizeof(float));
    list->mBuffers[0] = AudioBuffer{1, bytes, out0};
    list->mBuffers[1] = AudioBuffer{1, bytes, out1};
    mPullSource = input;
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp;
    timestamp.mSampleTime = mSampleTime;
    timestamp.mFlags = kAudioTimeStampSampleTimeValid;
    const AUAudioUnitStatus status = mRenderBlock(&flags, &timestamp, frames, 0, list, events, mPullBlock);
    mPullSource = nullptr;
    mSampleTime += frames;
    return status;
}

int PluginHost::ActiveInputCount() const noexcept { return Engine().GetActiveInputCount(); }

int PluginHost::LatencyFrames() { return static_cast<int>(std::lround(mUnit->latency() * mSampleRate)); }

int PluginHost::TailFrames() { return static_cast<int>(std::lround(mUnit->tailTime() * mSampleRate)); }

} // namespace qircli
