// tests/support: a host for the decoder's audio unit, driving it the way an
// audio-unit host and the system's validation tool do, through the audio-unit
// host side (host/auv3/AudioUnitHost.h): create it through the view controller,
// set bus formats and allocate render resources, pump the main run loop (timer,
// queued work), render with a pull-input block, host output buffers and
// timestamped events, and save and restore its state. On top of it: the test
// resource folder, event lists and waiting for a decoder set.
#pragma once

#include "host/auv3/AudioUnitHost.h"
#include "host/auv3/platform/AURenderEvent.h"
#include "host/auv3/platform/CoreAudioTypes.h"
#include "plugin/QIRMatrixDecoder.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace qirtest {

using ::HostBufferList;

// A render call's event list, linked in insertion order (hosts send them sorted
// by time).
class RenderEventList {
public:
    RenderEventList();
    RenderEventList& parameter(int64_t sampleTime, AUParameterAddress address, AUValue value,
                               AURenderEventType type = AURenderEventParameter);
    RenderEventList& midi(int64_t sampleTime, uint8_t status, uint8_t data1, uint8_t data2);
    RenderEventList& sysEx(int64_t sampleTime);
    void clear() noexcept { mEvents.clear(); }
    // The head of the linked list, or null when empty. Valid until the next change.
    [[nodiscard]] const AURenderEvent* head() noexcept;

private:
    std::vector<AURenderEvent> mEvents;
};

// Decoder sets for tests: two-channel 32-bit float WAV files of nInputs segments
// of 16384 frames. Each impulse response has `taps` random samples (fixed seed)
// followed by zeros.
void WriteDecoderSet(const std::filesystem::path& file, int nInputs, uint32_t seed, int taps = 32);
// A decoder set with given impulse-response heads: responses[i][o] is the start
// of the response from input i to output o (zeros follow).
void WriteDecoderSet(const std::filesystem::path& file, const std::vector<std::array<std::vector<float>, 2>>& responses);

// A temporary resource folder, made once per process, to which the engine is
// pointed: random first- and third-order anechoic sets, and a first-order room
// set that routes the Y dipole (input 1) to output 0 and the X dipole (input 3)
// to output 1, unchanged.
const std::filesystem::path& TestResourceDirectory();

class HostHarness {
public:
    static constexpr AUAudioFrameCount kDefaultMaxFrames = 512;

    // Creates the view controller and, through it, the audio unit, then pumps the
    // main queue once so the unit's deferred initialisation has run.
    HostHarness();
    ~HostHarness();
    HostHarness(const HostHarness&) = delete;
    HostHarness& operator=(const HostHarness&) = delete;

    [[nodiscard]] PluginViewController& controller() noexcept { return mHost->controller(); }
    [[nodiscard]] PluginAudioUnit& unit() noexcept { return mHost->unit(); }
    [[nodiscard]] QIRMatrixDecoder& plugin() noexcept;

    // The main run loop (timers, main queue).
    static void pumpMainLoop(std::chrono::milliseconds duration);
    static int pumpMainQueue();

    // Sets both bus formats (inputChannels of ambisonics, stereo, at sampleRate)
    // and the maximum frames, allocates render resources and fetches the render
    // block.
    bool allocate(double sampleRate, AUAudioFrameCount maxFrames, UInt32 inputChannels, NSError* error = nullptr);
    void deallocate() { mHost->deallocate(); }
    // Fetches the render block again (after changing host blocks).
    void refreshRenderBlock() { mHost->refreshRenderBlock(); }

    // Renders frames. Input: one pointer per input channel of the bus (null for
    // silence). Output: two channel pointers, or null to let the unit render into
    // its own buffers (read them with output()). The timestamp advances by
    // frames after every call.
    AUAudioUnitStatus render(AUAudioFrameCount frames, const float* const* input, float* const* output,
                             const AURenderEvent* events = nullptr)
    {
        return mHost->render(frames, input, output, events);
    }
    // Renders without a pull-input block.
    AUAudioUnitStatus renderWithoutPull(AUAudioFrameCount frames, float* const* output)
    {
        return mHost->renderWithoutPull(frames, output);
    }
    [[nodiscard]] const float* output(UInt32 channel) noexcept { return mHost->output(channel); }

    // The pull-input block returns this status (noErr by default).
    void setPullStatus(AUAudioUnitStatus status) noexcept { mHost->setPullStatus(status); }
    [[nodiscard]] int pullCount() const noexcept { return mHost->pullCount(); }
    [[nodiscard]] double sampleTime() const noexcept { return mHost->sampleTime(); }

    // Pumps the main loop and renders silence until the engine uses a decoder set
    // with expectedInputs inputs, with no load requested or running, nothing
    // waiting in the hand-over slot and the crossfade over; false after the
    // timeout.
    bool waitForDecoderSet(int expectedInputs, std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Parameter access through the host's parameter tree.
    void setParameter(AUParameterAddress address, AUValue value) { mHost->setParameter(address, value); }
    [[nodiscard]] AUValue parameter(AUParameterAddress address) { return mHost->parameter(address); }

private:
    std::unique_ptr<AudioUnitHost> mHost;
};

} // namespace qirtest
