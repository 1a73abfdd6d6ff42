// host/lv2: the framework's LV2 binding. It lays the plug-in out as LV2 ports
// (audio inputs and outputs, a MIDI input, one control input per host-visible
// parameter, a latency output), reads the control ports at the start of each
// run as parameter changes, cuts a run at the frames of its MIDI events so
// that every note takes effect at its own frame, saves and restores the
// plug-in's state as one versioned blob, passes background work to the host's
// worker thread and the plug-in's console lines to the host's log.
#pragma once

#include "framework/IAudioProcessor.h"
#include "framework/IHostAPIBase.h"
#include "framework/IMidiMsg.h"

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plugfw {

// One control input port: the parameter it carries and how its value maps onto
// the parameter's.
struct LV2ControlPort {
    const char* mSymbol = "";
    int mParamIdx = 0;
    // The parameter's value is the port's value times mScale, so that a port
    // can show the quantity a parameter stands for (true degrees, say).
    double mScale = 1.0;
    // The port's unit, as the local name of an LV2 unit ("degree" for
    // units:degree), or null for the parameter's own unit.
    const char* mUnit = nullptr;
};

// The port indices of a plug-in: its audio inputs, its audio outputs, its MIDI
// input (when it takes MIDI), its control inputs in table order, and the
// latency output, in that order.
class LV2PortLayout {
public:
    enum EPortKind { kAudioInput, kAudioOutput, kMidiInput, kControlInput, kLatencyOutput, kNoPort };

    LV2PortLayout(int nAudioInputs, int nAudioOutputs, bool midiInput, int nControlInputs) noexcept;

    [[nodiscard]] int NumAudioInputs() const noexcept { return mAudioInputs; }
    [[nodiscard]] int NumAudioOutputs() const noexcept { return mAudioOutputs; }
    [[nodiscard]] bool HasMidiInput() const noexcept { return mMidiInput; }
    [[nodiscard]] int NumControlInputs() const noexcept { return mControlInputs; }
    [[nodiscard]] uint32_t NumPorts() const noexcept { return LatencyOutput() + 1; }

    [[nodiscard]] uint32_t AudioInput(int channel) const noexcept { return static_cast<uint32_t>(channel); }
    [[nodiscard]] uint32_t AudioOutput(int channel) const noexcept
    {
        return static_cast<uint32_t>(mAudioInputs + channel);
    }
    // Meaningful only when HasMidiInput().
    [[nodiscard]] uint32_t MidiInput() const noexcept { return static_cast<uint32_t>(mAudioInputs + mAudioOutputs); }
    [[nodiscard]] uint32_t ControlInput(int k) const noexcept
    {
        return static_cast<uint32_t>(mAudioInputs + mAudioOutputs + (mMidiInput ? 1 : 0) + k);
    }
    [[nodiscard]] uint32_t LatencyOutput() const noexcept { return ControlInput(mControlInputs); }

    // The kind of a port and its place among the ports of that kind.
    [[nodiscard]] EPortKind KindOf(uint32_t port, int& index) const noexcept;

private:
    int mAudioInputs;
    int mAudioOutputs;
    bool mMidiInput;
    int mControlInputs;
};

// What the binding's factory is given: the host's instantiation arguments and
// the plug-in's LV2 description.
struct InstanceInfo {
    double mSampleRate = 48000.0;
    const char* mBundlePath = "";
    // The host's features (null-terminated), or null for none.
    const LV2_Feature* const* mFeatures = nullptr;
    // The plug-in's URI; its state is stored under this URI + "#state".
    const char* mPluginURI = "";
    const LV2ControlPort* mControlPorts = nullptr;
    int mNumControlPorts = 0;
};

// Background work that a plug-in leaves to the host's worker thread.
class ILV2Work {
public:
    // Audio thread, never waits: true while there is work to do.
    [[nodiscard]] virtual bool IsWorkWaiting() const noexcept = 0;
    // Worker thread (or the host's control thread while the audio thread is
    // stopped): does the work that waits.
    virtual void DoWork() = 0;

protected:
    ~ILV2Work() = default;
};

class ILV2Binding : public IHostAPIBase, public IAudioProcessor {
public:
    // Version of the state blob: the plug-in's unique ID (int32), this version
    // (uint32) and the plug-in's state chunk, all in the target's byte order
    // (little-endian).
    static constexpr uint32_t kStateVersion = 1;
    static constexpr int kStateHeaderBytes = 8;
    // Block length assumed when the host does not state one, and the longest
    // stretch processed at once: longer runs are taken in pieces.
    static constexpr int kDefaultMaxFrames = 4096;
    static constexpr int kMaxFramesLimit = 8192;

    ILV2Binding(const InstanceInfo& info, const Config& config);
    ~ILV2Binding() override;

    [[nodiscard]] const LV2PortLayout& GetPortLayout() const noexcept { return mLayout; }
    [[nodiscard]] const LV2ControlPort& GetControlPort(int k) const noexcept
    {
        return mControlPortInfo[static_cast<std::size_t>(k)];
    }
    // The longest stretch handed to the processor at once: the host's maximum
    // block length, within [1, kMaxFramesLimit].
    [[nodiscard]] int GetMaxFrames() const noexcept { return mMaxFrames; }
    [[nodiscard]] bool HasHostWorker() const noexcept { return mSchedule != nullptr; }
    [[nodiscard]] const std::string& GetBundlePath() const noexcept { return mBundlePath; }

    // Instantiation thread, before the first run: the plug-in's background work
    // (not owned; it must outlive the binding's use of it, see WaitForWork).
    void SetWork(ILV2Work* work) noexcept { mWork = work; }

    // LV2 entry points.
    // Audio thread: stores the pointer only.
    void ConnectPort(uint32_t port, void* data) noexcept;
    // Instantiation thread: prepares the processor for runs of up to
    // GetMaxFrames() frames at the instance's rate and resets the plug-in. A
    // host without a worker gets the waiting work done here instead.
    void Activate();
    void Deactivate() noexcept;
    // Audio thread: never waits, allocates nothing.
    void Run(uint32_t nFrames) noexcept;
    // Worker thread.
    LV2_Worker_Status Work(LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle handle, uint32_t size,
                           const void* data);
    // Audio thread.
    LV2_Worker_Status WorkResponse(uint32_t size, const void* body) noexcept;
    // Instantiation thread (the host does not run the instance meanwhile).
    LV2_State_Status SaveState(LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t flags,
                               const LV2_Feature* const* features);
    LV2_State_Status RestoreState(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle, uint32_t flags,
                                  const LV2_Feature* const* features);
    // Instantiation thread, before the instance goes: waits until a work call
    // that is still running on a worker thread has returned.
    void WaitForWork() const noexcept;

    // The state blob of the current settings, and applying one. ApplyStateBlob
    // refuses a blob of another plug-in, another version or a payload that does
    // not parse, logs why and leaves the settings as they were.
    [[nodiscard]] std::vector<uint8_t> MakeStateBlob() const;
    bool ApplyStateBlob(const void* data, std::size_t size);

    // No MIDI output port: nothing is sent.
    bool SendMidiMsg(const IMidiMsg& /*msg*/) noexcept override { return false; }
    // Console lines become notes in the host's log (standard error without one).
    void WriteConsoleLine(const char* line) override;
    // One line in the host's log; level is LV2_LOG__Error, __Warning or __Note.
    // Any thread but the audio thread.
    void LogLine(const char* level, const char* line) const;

    // The same for code that has no instance (yet): through the features'
    // log when they hold one and a URID map, else to standard error.
    static void LogLine(const LV2_Feature* const* features, const char* level, const char* line);

private:
    struct URIDs {
        LV2_URID atomChunk = 0;
        LV2_URID atomInt = 0;
        LV2_URID atomSequence = 0;
        LV2_URID atomFrameTime = 0;
        LV2_URID midiEvent = 0;
        LV2_URID maxBlockLength = 0;
        LV2_URID nominalBlockLength = 0;
        LV2_URID logError = 0;
        LV2_URID logWarning = 0;
        LV2_URID logNote = 0;
        LV2_URID stateKey = 0;
    };

    void ReadOptions(const LV2_Feature* const* features) noexcept;
    [[nodiscard]] LV2_URID LogLevel(const char* level) const noexcept;
    // Audio thread.
    void ApplyControlPorts() noexcept;
    void ScheduleWaitingWork() noexcept;
    void ProcessFrames(uint32_t start, uint32_t end) noexcept;
    void HandleMidiEvent(const LV2_Atom_Event& event) noexcept;

    LV2PortLayout mLayout;
    std::vector<LV2ControlPort> mControlPortInfo;
    std::string mBundlePath;
    double mInstanceSampleRate;
    LV2_URID_Map* mMap = nullptr;
    LV2_Log_Log* mLog = nullptr;
    LV2_Worker_Schedule* mSchedule = nullptr;
    URIDs mURIDs;
    int mMaxFrames = kDefaultMaxFrames;

    // Port buffers, as the host connected them (null when not connected).
    std::vector<const float*> mAudioInputPorts;
    std::vector<float*> mAudioOutputPorts;
    const LV2_Atom_Sequence* mMidiPort = nullptr;
    std::vector<const float*> mControlInputPorts;
    float* mLatencyPort = nullptr;

    // Audio thread: the port values last applied, and the pointers handed to
    // the processor for one stretch. Unconnected inputs read mSilence, and
    // unconnected outputs write mDiscard.
    std::vector<float> mLastPortValues;
    std::vector<float*> mInputPointers;
    std::vector<float*> mOutputPointers;
    std::vector<float> mSilence;
    std::vector<float> mDiscard;
    bool mActive = false;
    bool mToldNoWorker = false;
    // Set after a state restore: the next run applies every port again, so
    // the port values win over the settings of the blob.
    std::atomic<bool> mReapplyPorts{true};

    ILV2Work* mWork = nullptr;
    // Set by the audio thread before it schedules work and cleared by the work
    // call, so that at most one call is queued (the audio thread asks again
    // for work that arrives meanwhile).
    std::atomic<bool> mWorkScheduled{false};
    mutable std::atomic<int> mWorkInProgress{0};
};

// The plug-in factory, defined by the plug-in: creates one plug-in object.
// Construction is serialised across threads by a process-wide mutex.
[[nodiscard]] std::unique_ptr<ILV2Binding> MakePlugin(const InstanceInfo& info);

} // namespace plugfw
