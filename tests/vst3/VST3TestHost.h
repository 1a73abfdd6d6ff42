// tests/vst3: a small VST3 host for the decoder's bundle, written against the
// C interface the way hosts drive a plug-in: it loads the module with dlopen,
// takes the factory, creates the object and asks it for its component,
// processor and controller, sets bus arrangements and the processing setup,
// and processes blocks of its own buffers with parameter changes (one queue
// per parameter, points at sample offsets) and note events. It supplies the
// host's side of the interface: a memory stream for state, parameter-change
// queues, an event list and a component handler that records what the
// plug-in tells it.
#pragma once

#include "tests/support/SoundFields.h"

#include <vst3_c_api.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qirtest {

namespace fs = std::filesystem;

// The prefix the build installed the bundle into (cmake --install, component
// vst3), its bundle and its module.
fs::path InstalledVST3Prefix();
fs::path InstalledVST3Bundle();
fs::path InstalledVST3Module();

// The sound of a new instance reaches steady state within this many frames.
inline constexpr int kVST3PreRollFrames = 2048;

// The address of a TUID constant as the FIDString the factory takes.
inline const char* AsFID(const Steinberg_TUID id)
{
    return reinterpret_cast<const char*>(id);
}

// A reference-counted host object: the counts are read back by the tests.
// A copy is a new object with a count of its own.
struct HostObject {
    HostObject() = default;
    HostObject(const HostObject& other) : mTable(other.mTable) {}
    HostObject& operator=(const HostObject& other)
    {
        mTable = other.mTable;
        return *this;
    }
    const void* mTable = nullptr;
    std::atomic<uint32_t> mRefs{1};
};

// IBStream over bytes in memory.
struct MemoryStream : HostObject {
    MemoryStream();
    std::vector<uint8_t> mBytes;
    int64_t mPosition = 0;
    Steinberg_IBStream* stream() { return reinterpret_cast<Steinberg_IBStream*>(this); }
};

// IParamValueQueue and IParameterChanges over vectors.
struct ParamQueue : HostObject {
    ParamQueue();
    Steinberg_Vst_ParamID mID = 0;
    std::vector<std::pair<int32_t, double>> mPoints;
};

struct ParameterChanges : HostObject {
    ParameterChanges();
    std::vector<ParamQueue> mQueues;
    // Adds a point to the queue of id (made when missing).
    void add(Steinberg_Vst_ParamID id, int32_t offset, double normalized);
    Steinberg_Vst_IParameterChanges* changes() { return reinterpret_cast<Steinberg_Vst_IParameterChanges*>(this); }
};

struct EventList : HostObject {
    EventList();
    std::vector<Steinberg_Vst_Event> mEvents;
    void noteOn(int32_t offset, int pitch, float velocity = 0.8f);
    void noteOff(int32_t offset, int pitch);
    Steinberg_Vst_IEventList* list() { return reinterpret_cast<Steinberg_Vst_IEventList*>(this); }
};

struct ComponentHandler : HostObject {
    ComponentHandler();
    std::vector<int32_t> mRestartFlags;
    Steinberg_Vst_IComponentHandler* handler() { return reinterpret_cast<Steinberg_Vst_IComponentHandler*>(this); }
};

// The module: loaded with dlopen, entered and its factory taken; released,
// left and closed at the end.
class VST3Module {
public:
    explicit VST3Module(const fs::path& module = InstalledVST3Module());
    ~VST3Module();
    VST3Module(const VST3Module&) = delete;
    VST3Module& operator=(const VST3Module&) = delete;

    [[nodiscard]] Steinberg_IPluginFactory* factory() const { return mFactory; }
    // Creates the decoder and asks for iid; null when refused.
    [[nodiscard]] void* create(const Steinberg_TUID iid) const;

private:
    void* mHandle = nullptr;
    Steinberg_IPluginFactory* mFactory = nullptr;
};

// A scheduled parameter change or note, at a frame of the stream.
struct ScheduledChange {
    int64_t mFrame = 0;
    Steinberg_Vst_ParamID mID = 0;
    double mNormalized = 0.0;
};
struct ScheduledNote {
    int64_t mFrame = 0;
    int mPitch = 0;
    bool mOn = true;
};

// One decoder object: component, processor and controller, initialised, with
// the test's component handler set.
class VST3Instance {
public:
    explicit VST3Instance(const VST3Module& module);
    ~VST3Instance();
    VST3Instance(const VST3Instance&) = delete;
    VST3Instance& operator=(const VST3Instance&) = delete;

    Steinberg_Vst_IComponent* component() const { return mComponent; }
    Steinberg_Vst_IAudioProcessor* processor() const { return mProcessor; }
    Steinberg_Vst_IEditController* controller() const { return mController; }
    ComponentHandler& handler() { return mHandler; }

    // Input arrangement (with a stereo output); the plug-in's answer.
    Steinberg_tresult arrange(Steinberg_Vst_SpeakerArrangement input);
    Steinberg_tresult setup(double rate, int maxBlock, int32_t sampleSize = 0, int32_t mode = 0);
    Steinberg_tresult activate(bool on = true);
    // Sets a parameter the way a host does before processing: the controller's
    // value and a change at the next call's first frame.
    void set(Steinberg_Vst_ParamID id, double normalized);
    [[nodiscard]] int inputChannels() const;
    [[nodiscard]] uint32_t latency() const;
    [[nodiscard]] std::vector<uint8_t> state() const;
    Steinberg_tresult restore(const std::vector<uint8_t>& bytes);

    // One process call of n frames: inputs and outputs from offset of the
    // fields (outputs written there).
    Steinberg_tresult process(const Field& input, std::size_t offset, int32_t n, ParameterChanges* changes,
                              EventList* events, Field& output);
    // While on, the allocations and frees of the plug-in's process calls
    // (and of them only) are counted.
    void countAllocations(bool on) { mCountAllocations = on; }
    [[nodiscard]] std::size_t allocations() const { return mAllocations; }

    // The whole input in calls whose lengths nextBlock gives, changes and notes
    // at their frames; two output channels as long as the input.
    Field render(const Field& input, const std::function<int32_t()>& nextBlock,
                 const std::vector<ScheduledChange>& changes, const std::vector<ScheduledNote>& notes);

private:
    Steinberg_Vst_IComponent* mComponent = nullptr;
    Steinberg_Vst_IAudioProcessor* mProcessor = nullptr;
    Steinberg_Vst_IEditController* mController = nullptr;
    ComponentHandler mHandler;
    std::vector<std::pair<Steinberg_Vst_ParamID, double>> mPending;
    bool mActive = false;
    bool mCountAllocations = false;
    std::size_t mAllocations = 0;
};

} // namespace qirtest
