// cli: hosts the decoder plug-in the way an audio-unit host does, through the
// audio-unit host side (host/auv3/AudioUnitHost.h): the view controller creates
// the audio unit; the host sets parameters through the parameter tree, sets the
// bus formats, allocates render resources, pumps the main run loop (the idle
// timer that loads decoder sets, queued work) and calls the render block with a
// pull-input block, its own output buffers and timestamped render events.
#pragma once

#include "host/auv3/AudioUnitHost.h"
#include "host/auv3/platform/AURenderEvent.h"

#include <chrono>
#include <memory>
#include <string>

namespace qir {
class QIRMatrixDecoderDSP;
}

namespace qircli {

class PluginHost {
public:
    // Creates the view controller and the audio unit, and runs the unit's
    // deferred initialisation on the main queue. Returns null with error set
    // when the unit cannot be created.
    [[nodiscard]] static std::unique_ptr<PluginHost> Create(std::string& error);
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    [[nodiscard]] AUParameterTree& parameterTree() { return *mHost->unit().parameterTree(); }
    void setParameter(AUParameterAddress address, AUValue value);

    // Before Allocate: has the plug-in's engine render in its throughput
    // configuration (large batches convolved on a worker thread, a latency of
    // two batches) instead of the real-time configuration an audio-unit host
    // gets. False when the engine cannot start its worker.
    [[nodiscard]] bool UseThroughputConfiguration();

    // Sets both bus formats and the maximum frames, marks the render offline
    // and allocates render resources.
    [[nodiscard]] bool Allocate(double sampleRate, UInt32 inputChannels, AUAudioFrameCount maxFrames, std::string& error);

    // Pumps the main run loop until the decoder set requested by the current
    // parameters has been loaded and waits in the engine's hand-over slot (the
    // next render call adopts it). False after the timeout.
    [[nodiscard]] bool WaitForDecoderSet(std::chrono::milliseconds timeout);

    // Renders frames: pulls input[c] for every input channel, writes both
    // output channels. The timestamp advances by frames after each call that
    // succeeds.
    [[nodiscard]] AUAudioUnitStatus Render(AUAudioFrameCount frames, const float* const* input, float* out0,
                                           float* out1, const AURenderEvent* events);

    // Input count of the decoder set in use, -1 before the first adoption.
    [[nodiscard]] int ActiveInputCount() const noexcept;
    // The unit's reported latency (the output's delay behind the input, the same
    // for every call) and tail, in frames at the allocated rate.
    [[nodiscard]] int LatencyFrames();
    [[nodiscard]] int TailFrames();

private:
    PluginHost() = default;
    [[nodiscard]] qir::QIRMatrixDecoderDSP& Engine() const noexcept;

    std::unique_ptr<AudioUnitHost> mHost;
    double mSampleRate = 48000.0;
};

} // namespace qircli
