// cli: the plug-in host.
#include "cli/PluginHost.h"

#include "framework/platform/MainRunLoop.h"
#include "plugin/QIRMatrixDecoder.h"

#include <cmath>

namespace qircli {

std::unique_ptr<PluginHost> PluginHost::Create(std::string& error)
{
    std::unique_ptr<PluginHost> host(new PluginHost());
    NSError nsError;
    host->mHost = AudioUnitHost::create(QIRMatrixDecoder::MakeConfig(), nsError);
    if (!host->mHost) {
        error = "the decoder plug-in could not be created (" + nsError.domain + " " + std::to_string(nsError.code) + ")";
        return nullptr;
    }
    // The timer's first tick, which starts the decoder-set load, comes only
    // with the next pass of the main run loop, after the caller has set the
    // parameters.
    return host;
}

PluginHost::~PluginHost() = default;

qir::QIRMatrixDecoderDSP& PluginHost::Engine() const noexcept
{
    return static_cast<QIRMatrixDecoder*>(mHost->unit().plug())->GetDSP();
}

void PluginHost::setParameter(AUParameterAddress address, AUValue value) { mHost->setParameter(address, value); }

bool PluginHost::UseThroughputConfiguration() { return Engine().UseThroughputConfiguration(); }

bool PluginHost::Allocate(double sampleRate, UInt32 inputChannels, AUAudioFrameCount maxFrames, std::string& error)
{
    NSError nsError;
    if (!mHost->setBusFormats(sampleRate, inputChannels, &nsError)) {
        error = "the decoder plug-in refused " + std::to_string(inputChannels) + " channels at " +
                std::to_string(static_cast<long>(sampleRate)) + " Hz";
        return false;
    }
    mHost->unit().setRenderingOffline(true);
    if (!mHost->allocate(maxFrames, &nsError)) {
        error = "the decoder plug-in could not allocate its render resources (" + nsError.domain + " " +
                std::to_string(nsError.code) + ")";
        return false;
    }
    mSampleRate = sampleRate;
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
    float* const output[2] = {out0, out1};
    return mHost->render(frames, input, output, events);
}

int PluginHost::ActiveInputCount() const noexcept { return Engine().GetActiveInputCount(); }

int PluginHost::LatencyFrames()
{
    return static_cast<int>(std::lround(mHost->unit().latency() * mSampleRate));
}

int PluginHost::TailFrames() { return static_cast<int>(std::lround(mHost->unit().tailTime() * mSampleRate)); }

} // namespace qircli
