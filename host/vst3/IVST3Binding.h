// host/vst3: the framework's VST3 binding. One object serves as the VST3
// component, audio processor and edit controller of a plug-in (hosts find the
// controller by asking the component for it): one audio input bus whose
// arrangement is ambisonic (ACN, orders 1 to 7) or any of the plug-in's input
// channel counts, one stereo output bus, one event input bus. Parameters are
// the plug-in's table, plus a bypass parameter; automation points and events
// take effect at their own frames, because a process call is cut at them. The
// state is one versioned chunk; background work runs on a thread of the
// binding's own, woken by the audio thread without waiting.
#pragma once

#include "framework/IAudioProcessor.h"
#include "framework/IHostAPIBase.h"
#include "framework/IMidiMsg.h"

#include <vst3_c_api.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plugfw {

// What the binding's factory is given.
struct InstanceInfo {
    // The bundle ("<name>.vst3") the module was loaded from, or "" when unknown.
    const char* mBundlePath = "";
    // Sample rates the plug-in serves: setupProcessing refuses others.
    double mMinSampleRate = 8000.0;
    double mMaxSampleRate = 384000.0;
    // The parameter that follows the order of an input arrangement the host
    // sets (its value is the order minus one: a list of the orders from 1),
    // or -1 for none.
    int mOrderParamIdx = -1;
};

// Background work that a plug-in leaves to the binding's worker thread.
class IVST3Work {
public:
    virtual ~IVST3Work() = default;
    // Any thread, never waits: true while there is work to do.
    [[nodiscard]] virtual bool IsWorkWaiting() const noexcept = 0;
    // Worker thread (or the control thread, see IVST3Binding::DoWaitingWork).
    virtual void DoWork() = 0;
};

class IVST3Binding : public IHostAPIBase, public IAudioProcessor {
public:
    // The state chunk: the plug-in's unique ID (int32), this version (uint32)
    // and the plug-in's state (for a plug-in without chunks of its own, one
    // double per parameter in table order), little-endian.
    static constexpr uint32_t kStateVersion = 1;
    static constexpr int kStateHeaderBytes = 8;
    // Block length assumed before the host states one, and the longest
    // stretch processed at once: longer calls are taken in pieces.
    static constexpr int kDefaultMaxFrames = 4096;
    static constexpr int kMaxFramesLimit = 8192;
    // Parameter changes of at most this many parameters are followed through
    // a call at their own frames; a host's further queues act at its start.
    static constexpr int kMaxParameterQueues = 64;
    // Bypass fades between the processed output and the dry first input
    // channel (delayed by the latency) over this many frames.
    static constexpr int kBypassFadeFrames = 128;

    IVST3Binding(const InstanceInfo& info, const Config& config);
    ~IVST3Binding() override;

    IVST3Binding(const IVST3Binding&) = delete;
    IVST3Binding& operator=(const IVST3Binding&) = delete;

    // The object as the factory hands it out (its component interface), with
    // one reference held by the caller.
    [[nodiscard]] Steinberg_FUnknown* GetUnknown() noexcept;
    // Any thread.
    Steinberg_tresult QueryInterface(const Steinberg_TUID iid, void** obj) noexcept;
    Steinberg_uint32 AddRef() noexcept;
    // The last release stops the worker thread and deletes the object.
    Steinberg_uint32 Release() noexcept;

    // Parameter ID of the bypass parameter: the one after the plug-in's.
    [[nodiscard]] Steinberg_Vst_ParamID BypassParamID() const noexcept
    {
        return static_cast<Steinberg_Vst_ParamID>(NParams());
    }
    [[nodiscard]] const std::string& GetBundlePath() const noexcept { return mBundlePath; }
    // Channels of the input bus's arrangement.
    [[nodiscard]] int NumInputChannels() const noexcept { return mInputChannels; }

    // Instantiation thread: the plug-in's background work (owned from now on).
    void SetWork(std::unique_ptr<IVST3Work> work) noexcept { mWork = std::move(work); }

    // The state chunk of the current settings, and applying one. ApplyStateChunk
    // refuses a chunk of another plug-in, another version or a payload that
    // does not parse, says why on standard error and leaves the settings as
    // they were.
    [[nodiscard]] std::vector<uint8_t> MakeStateChunk() const;
    bool ApplyStateChunk(const void* data, std::size_t size);

    // The decode order of an input arrangement: 1 to 7 for an ambisonic one or
    // a plain one of (order + 1)^2 channels, else 0.
    [[nodiscard]] static int AmbisonicOrderOf(Steinberg_Vst_SpeakerArrangement arrangement) noexcept;

    // No MIDI output: nothing is sent.
    bool SendMidiMsg(const IMidiMsg& /*msg*/) noexcept override { return false; }
    // Console lines go to standard error.
    void WriteConsoleLine(const char* line) override;
    // Control thread: tells the host (through its component handler) when the
    // latency changes.
    void SetLatency(int samples) override;

protected:
    // Control thread: sets a parameter as the processor sees it, keeps the
    // controller's value in step and tells the host.
    void SetParameterFromProcessor(int paramIdx, double value);

private:
    struct Thunks;
    friend struct Thunks;

    // One interface of the object: the pointer a host holds is the address of
    // the slot, whose first member is the interface's table.
    struct InterfaceSlot {
        const void* mTable;
        IVST3Binding* mOwner;
    };

    // A parameter queue of the current process call and its next point.
    struct QueueCursor {
        Steinberg_Vst_IParamValueQueue* mQueue = nullptr;
        Steinberg_Vst_ParamID mID = 0;
        int32_t mCount = 0;
        int32_t mIndex = 0;
        int32_t mOffset = 0;
        double mValue = 0.0;
    };

    // IPluginBase, IComponent.
    Steinberg_tresult Initialize(Steinberg_FUnknown* context) noexcept;
    Steinberg_tresult Terminate() noexcept;
    Steinberg_int32 GetBusCount(Steinberg_Vst_MediaType type, Steinberg_Vst_BusDirection dir) const noexcept;
    Steinberg_tresult GetBusInfo(Steinberg_Vst_MediaType type, Steinberg_Vst_BusDirection dir, Steinberg_int32 index,
                                 Steinberg_Vst_BusInfo* bus) const noexcept;
    Steinberg_tresult ActivateBus(Steinberg_Vst_MediaType type, Steinberg_Vst_BusDirection dir, Steinberg_int32 index,
                                  Steinberg_TBool state) noexcept;
    Steinberg_tresult SetActive(Steinberg_TBool state) noexcept;
    Steinberg_tresult SetState(Steinberg_IBStream* stream) noexcept;
    Steinberg_tresult GetState(Steinberg_IBStream* stream) const noexcept;

    // IAudioProcessor.
    Steinberg_tresult SetBusArrangements(const Steinberg_Vst_SpeakerArrangement* inputs, Steinberg_int32 numIns,
                                         const Steinberg_Vst_SpeakerArrangement* outputs,
                                         Steinberg_int32 numOuts) noexcept;
    Steinberg_tresult GetBusArrangement(Steinberg_Vst_BusDirection dir, Steinberg_int32 index,
                                        Steinberg_Vst_SpeakerArrangement* arrangement) const noexcept;
    Steinberg_tresult SetupProcessing(const Steinberg_Vst_ProcessSetup* setup) noexcept;
    // Audio thread: never waits, allocates nothing.
    Steinberg_tresult Process(Steinberg_Vst_ProcessData* data) noexcept;

    // IEditController.
    Steinberg_tresult SetComponentState(Steinberg_IBStream* stream) noexcept;
    Steinberg_tresult GetParameterInfo(Steinberg_int32 paramIndex, Steinberg_Vst_ParameterInfo* info) const noexcept;
    Steinberg_tresult GetParamStringByValue(Steinberg_Vst_ParamID id, Steinberg_Vst_ParamValue normalized,
                                            Steinberg_Vst_String128 text) const noexcept;
    Steinberg_tresult GetParamValueByString(Steinberg_Vst_ParamID id, const Steinberg_Vst_TChar* text,
                                            Steinberg_Vst_ParamValue* normalized) const noexcept;
    Steinberg_Vst_ParamValue NormalizedParamToPlain(Steinberg_Vst_ParamID id,
                                                    Steinberg_Vst_ParamValue normalized) const noexcept;
    Steinberg_Vst_ParamValue PlainParamToNormalized(Steinberg_Vst_ParamID id,
                                                    Steinberg_Vst_ParamValue plain) const noexcept;
    Steinberg_Vst_ParamValue GetParamNormalized(Steinberg_Vst_ParamID id) const noexcept;
    Steinberg_tresult SetParamNormalized(Steinberg_Vst_ParamID id, Steinberg_Vst_ParamValue value) noexcept;
    Steinberg_tresult SetComponentHandler(Steinberg_Vst_IComponentHandler* handler) noexcept;

    // Reads the whole stream; false when it fails.
    static bool ReadStream(Steinberg_IBStream* stream, std::vector<uint8_t>& bytes);
    // Checks a state chunk and takes out its payload; on failure why says why.
    bool ParseStateChunk(const void* data, std::size_t size, const uint8_t*& payload, std::size_t& payloadSize,
                         char* why, std::size_t whySize) const;
    void SyncControllerFromParams() noexcept;
    void RestartComponent(Steinberg_int32 flags) noexcept;

    // Audio thread.
    void ApplyPoint(Steinberg_Vst_ParamID id, double value, int32_t offset) noexcept;
    void HandleEvent(const Steinberg_Vst_Event& event) noexcept;
    void ProcessFrames(const Steinberg_Vst_ProcessData& data, int32_t start, int32_t end) noexcept;
    void MixBypass(float* const* outputs, const float* dry, int32_t n) noexcept;
    // Any thread but the audio thread's waiting: wakes the worker when work waits.
    void ScheduleWaitingWork() noexcept;
    // Control thread (or the audio thread of an offline render): does the
    // waiting work here and now, after any run of the worker.
    void DoWaitingWork();
    void StartWorker();
    void StopWorker() noexcept;
    void WorkerLoop();

    InterfaceSlot mComponentSlot;
    InterfaceSlot mProcessorSlot;
    InterfaceSlot mControllerSlot;
    InterfaceSlot mContextRequirementsSlot;
    std::atomic<Steinberg_uint32> mRefCount{1};

    std::string mBundlePath;
    double mMinSampleRate;
    double mMaxSampleRate;
    int mOrderParamIdx;
    int mInitializeCount = 0;
    Steinberg_Vst_IComponentHandler* mComponentHandler = nullptr; // one reference held
    int mReportedLatency = -1;

    // Buses and processing setup (control thread).
    Steinberg_Vst_SpeakerArrangement mInputArrangement = 0;
    int mInputChannels = 0;
    bool mBusActive[3] = {true, true, true}; // audio in, audio out, event in
    double mSetupSampleRate = 48000.0;
    int mMaxFrames = kDefaultMaxFrames;
    int32_t mProcessMode = 0;
    bool mActive = false;

    // Controller: the normalised values the host's controls show, bypass last.
    std::vector<double> mControllerValues;

    // Audio thread.
    std::vector<QueueCursor> mCursors;
    std::vector<float*> mInputPointers;
    std::vector<float*> mOutputPointers;
    std::vector<float> mSilence;
    std::vector<float> mDiscard;
    std::vector<float> mDryInput;   // the first input channel of a stretch
    std::vector<float> mDryDelay;   // ring of the latency's frames of it
    std::size_t mDryDelayHead = 0;
    std::atomic<double> mBypassTarget{0.0};
    double mBypassGain = 0.0;

    // Background work: the worker waits on mWorkSignal; the audio thread sets
    // and notifies it without waiting. mWorkMutex keeps the worker and the
    // control thread from working at once (never taken by the audio thread
    // of a real-time render).
    std::unique_ptr<IVST3Work> mWork;
    std::thread mWorker;
    std::atomic<int> mWorkSignal{0};
    std::atomic<bool> mWorkerQuit{false};
    std::mutex mWorkMutex;
};

// The plug-in factory, defined by the plug-in: creates one plug-in object.
[[nodiscard]] std::unique_ptr<IVST3Binding> MakePlugin(const InstanceInfo& info);

} // namespace plugfw
