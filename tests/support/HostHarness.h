// tests/support: a host for the decoder's audio unit, driving it the way an
// audio-unit host and the system's validation tool do: create it through the
// view controller, set bus formats and allocate render resources, pump the main
// run loop (timer, queued work), render with a pull-input block, host output
// buffers and timestamped events, and save and restore its state.
#pragma once

#include "host/auv3/QIRMatrixDecoder.h"
#include "host/auv3/QIRMatrixDecoderAudioUnit.h"
#include "host/auv3/QIRMatrixDecoderViewController.h"
#include "host/auv3/platform/AURenderEvent.h"
#include "host/auv3/platform/CoreAudioTypes.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace qirtest {

// A host's buffer list of one-channel buffers; null pointers ask the audio unit
// to render into its own buffers.
class HostBufferList {
public:
    explicit HostBufferList(UInt32 numberBuffers);
    void set(UInt32 index, float* data, UInt32 byteSize);
    [[nodiscard]] AudioBufferList* get() noexcept { return reinterpret_cast<AudioBufferList*>(mStorage.data()); }
    [[nodiscard]] float* channel(UInt32 index) noexcept { return static_cast<float*>(get()->mBuffers[index].mData); }

private:
    std::vector<std::max_align_t> mStorage;
};

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

    [[nodiscard]] QIRMatrixDecoderViewController& controller() noexcept { return *mController; }
    [[nodiscard]] QIRMatrixDecoderAudioUnit& unit() noexcept { return *mUnit; }
    [[nodiscard]] QIRMatrixDecoder& plugin() noexcept;

    // The main run loop (timers, main queue).
    static void pumpMainLoop(std::chrono::milliseconds duration);
    static int pumpMainQueue();

    // Sets both bus formats (inputChannels of ambisonics, stereo, at sampleRate)
    // and the maximum frames, allocates render resources and fetches the render
    // block.
    bool allocate(double sampleRate, AUAudioFrameCount maxFrames, UInt32 inputChannels, NSError* error = nullptr);
    void deallocate();
    // Fetches the render block again (after changing host blocks).
    void refreshRenderBlock();

    // Renders frames. Input: one pointer per input channel of the bus (null for
    // silence). Output: two channel pointers, or null to let the unit render into
    // its own buffers (read them with output()). The timestamp advances by
    // frames after every call.
    AUAudioUnitStatus render(AUAudioFrameCount frames, const float* const* input, float* const* output,
                             const AURenderEvent* events = nullptr);
    // Renders without a pull-input block.
    AUAudioUnitStatus renderWithoutPull(AUAudioFrameCount frames, float* const* output);
    [[nodiscard]] const float* output(UInt32 channel) noexcept { return mOutputList.channel(channel); }

    // The pull-input block returns this status (noErr by default).
    void setPullStatus(AUAudioUnitStatus status) noexcept { mPullStatus = status; }
    [[nodiscard]] int pullCount() const noexcept { return mPullCount; }
    [[nodiscard]] double sampleTime() const noexcept { return mSampleTime; }

    // Pumps the main loop and renders silence until the engine uses a decoder set
    // with expectedInputs inputs, with no load requested or running, nothing
    // waiting in the hand-over slot and the crossfade over; false after the
    // timeout.
    bool waitForDecoderSet(int expectedInputs, std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Parameter access through the host's parameter tree.
    void setParameter(AUParameterAddress address, AUValue value);
    [[nodiscard]] AUValue parameter(AUParameterAddress address);

private:
    std::unique_ptr<QIRMatrixDecoderViewController> mController;
    std::shared_ptr<QIRMatrixDecoderAudioUnit> mUnit;
    AUInternalRenderBlock mRenderBlock;
    AURenderPullInputBlock mPullBlock;
    AURenderPullInputBlock mNoPullBlock;
    HostBufferList mOutputList{2};
    const float* const* mPullSource = nullptr;
    UInt32 mInputChannels = 0;
    AUAudioUnitStatus mPullStatus = noErr;
    int mPullCount = 0;
    double mSampleTime = 0.0;
    std::vector<float> mSilence;
};

} // namespace qirtest
