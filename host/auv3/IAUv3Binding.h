// host/auv3: the framework's audio-unit v3 binding. It maps parameter addresses
// to indices, takes parameter values from the host's parameter tree, prepares
// the processor for rendering, attaches the host's buffers and renders a call in
// slices cut at the timestamps of the host's parameter and MIDI events, so that
// every event takes effect at exactly its sample.
#pragma once

#include "framework/IAudioProcessor.h"
#include "framework/IHostAPIBase.h"
#include "framework/IMidiMsg.h"
#include "framework/ISysEx.h"
#include "framework/ITimeInfo.h"
#include "host/auv3/platform/AURenderEvent.h"
#include "host/auv3/platform/CoreAudioTypes.h"

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace plugfw {

// What the binding's factory is given; this binding needs nothing.
struct InstanceInfo {};

// The messages the binding sends to the audio unit object that owns it.
class IAUv3HostMessages {
public:
    virtual void beginInformHostOfParamChange(uint64_t address) = 0;
    virtual void informHostOfParamChange(uint64_t address, float value) = 0;
    virtual void endInformHostOfParamChange(uint64_t address) = 0;
    // Render thread. True when the host accepted the bytes.
    virtual bool sendMidiData(int64_t sampleTime, NSInteger length, const uint8_t* bytes) = 0;
    // Control thread: the plug-in's latency has changed.
    virtual void informHostOfLatencyChange() = 0;

protected:
    ~IAUv3HostMessages() = default;
};

class IAUv3Binding : public IHostAPIBase, public IAudioProcessor {
public:
    IAUv3Binding(const InstanceInfo& info, const Config& config);
    ~IAUv3Binding() override;

    // Host notifications (IHostAPIBase).
    void BeginInformHostOfParamChange(int paramIdx) override;
    void InformHostOfParamChange(int paramIdx, double normalizedValue) override;
    void EndInformHostOfParamChange(int paramIdx) override;
    void InformHostOfPresetChange() override {}

    // Control thread. Stores the latency and, when it differs from the one in
    // effect, tells the audio unit, which tells the host.
    void SetLatency(int samples) override;

    // MIDI towards the host. Render thread: never waits.
    bool SendMidiMsg(const IMidiMsg& msg) noexcept override;
    bool SendSysEx(const ISysEx& msg) noexcept override;
    // Bytes for the host from outside the plug-in: none; size is left unchanged.
    virtual const uint8_t* GetDataFromExternal(int& size);

    // The audio unit object that receives the binding's messages; not owned.
    void SetAUAudioUnit(IAUv3HostMessages* audioUnit) noexcept { mAUAudioUnit = audioUnit; }
    // Registers one parameter address. An index or address already present keeps
    // its first mapping. Before rendering starts only.
    void AddParamAddress(int paramIdx, uint64_t address);

    // Parameter-tree callbacks; any thread. The getters expect an address below
    // the number of parameters.
    [[nodiscard]] float GetParameter(uint64_t address) const noexcept;
    // The text stays valid until the next call, so callers on different threads
    // must not share it: they use the form with their own buffer.
    [[nodiscard]] const char* GetParamDisplay(uint64_t address, float value);
    void GetParamDisplay(uint64_t address, float value, TextBuf& text) const;
    [[nodiscard]] float GetParamStringToValue(uint64_t address, const char* text) const;
    void SetParameterFromValueObserver(uint64_t address, float value) noexcept;
    void SendParameterValueFromObserver(uint64_t address, float value) noexcept;

    // Control thread, while rendering is stopped.
    void Prepare(double sampleRate, uint32_t maxFrames);

    // Render thread: never waits, allocates nothing.
    void AttachInputBuffers(AudioBufferList* list) noexcept;
    void AttachOutputBuffers(AudioBufferList* list, uint32_t busNumber) noexcept;
    void ProcessWithEvents(const AudioTimeStamp* timestamp, uint32_t frameCount, const AURenderEvent* events,
                           ITimeInfo& timeInfo) noexcept;

protected:
    // Render thread.
    void HandleOneEvent(const AURenderEvent* event, int64_t startTime) noexcept;
    void PerformAllSimultaneousEvents(int64_t now, const AURenderEvent*& event) noexcept;

private:
    [[nodiscard]] int IndexForAddress(uint64_t address) const noexcept;
    void AttachBufferList(ERoute direction, AudioBufferList* list, int firstRecord) noexcept;

    std::unordered_map<int32_t, uint64_t> mIndexToAddress;
    std::unordered_map<uint64_t, int32_t> mAddressToIndex;
    IAUv3HostMessages* mAUAudioUnit = nullptr;
    AudioTimeStamp mLastTimeStamp{};
};

// The plug-in factory, defined by the plug-in: creates one plug-in object.
// Construction is serialised across threads by a process-wide mutex.
[[nodiscard]] std::unique_ptr<IAUv3Binding> MakePlugin(const InstanceInfo& info);

} // namespace plugfw
