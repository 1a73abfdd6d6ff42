// tests/lv2: a host for the decoder's LV2 bundle, driving it the way Linux
// hosts do: through lilv, from an installed prefix, with the features hosts
// offer (URID map, log, worker run on a thread of its own or inside
// schedule_work, buffer-size options), its own port buffers, atom sequences of
// MIDI events, port values set by symbol, and state and presets through lilv.
#pragma once

#include "tests/support/AudioFixtures.h"
#include "tests/support/SoundFields.h"

#include <lilv/lilv.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qirtest {

namespace fs = std::filesystem;

inline constexpr const char* kDecoderURI = "urn:qir:matrix-decoder";
inline constexpr int kAudioInputs = 64;
inline constexpr int kIRLength = 16384;
// The sound of a new instance reaches steady state within this many frames:
// the first decoder set has faded in and the output volume has settled.
inline constexpr int kPreRollFrames = 2048;

// The prefix the build installed the bundle into (cmake --install), and its
// LV2 folder.
fs::path InstalledPrefix();
fs::path InstalledLV2Path();
fs::path InstalledBundle();

// URIs to integers, shared by every instance of a process, as one host maps
// them; safe from any thread.
class URIDMap {
public:
    URIDMap();
    LV2_URID map(const char* uri);
    const char* unmap(LV2_URID urid);
    LV2_URID_Map* mapFeatureData() { return &mMap; }
    LV2_URID_Unmap* unmapFeatureData() { return &mUnmap; }

private:
    std::mutex mMutex;
    std::map<std::string, LV2_URID> mIds;
    std::vector<std::unique_ptr<std::string>> mUris;
    LV2_URID_Map mMap{};
    LV2_URID_Unmap mUnmap{};
};

URIDMap& SharedURIDMap();

// A lilv world that sees the LV2 folder given and nothing else.
class LV2World {
public:
    explicit LV2World(const fs::path& lv2Path = InstalledLV2Path());
    ~LV2World();
    LV2World(const LV2World&) = delete;
    LV2World& operator=(const LV2World&) = delete;

    [[nodiscard]] LilvWorld* get() const noexcept { return mWorld; }
    // The decoder, or null when the world does not find it.
    [[nodiscard]] const LilvPlugin* decoder() const noexcept { return mDecoder; }

private:
    LilvWorld* mWorld = nullptr;
    const LilvPlugin* mDecoder = nullptr;
};

struct MidiEvent {
    int64_t mFrame = 0; // frame of the stream
    uint8_t mBytes[3] = {0, 0, 0};
};

// A change of a control port, due at a frame of the stream (the host cuts its
// blocks there, so it lands at the start of a run).
struct PortChange {
    int64_t mFrame = 0;
    std::string mSymbol;
    float mValue = 0.0f;
};

class LV2Instance {
public:
    enum class Worker {
        kNone,        // no worker feature
        kSynchronous, // work() and work_response() inside schedule_work(), as hosts do offline
        kThread,      // a worker thread of the host's own
    };
    // How the host connects the plug-in's buffers.
    enum class Buffers {
        kSeparate,             // every port a buffer of its own
        kInPlace,              // out_l and out_r share in_0's and in_1's buffers
        kOptionalInputsAbsent, // the optional inputs a field does not use are left unconnected (null)
    };
    struct Setup {
        double mSampleRate = 48000.0;
        int mMaxBlock = 512;
        Worker mWorker = Worker::kSynchronous;
        Buffers mBuffers = Buffers::kSeparate;
        bool mConnectMidi = true;
    };

    LV2Instance(const LV2World& world, const Setup& setup);
    explicit LV2Instance(const LV2World& world) : LV2Instance(world, Setup{}) {}
    ~LV2Instance();
    LV2Instance(const LV2Instance&) = delete;
    LV2Instance& operator=(const LV2Instance&) = delete;

    // False when lilv could not instantiate the plug-in.
    [[nodiscard]] bool valid() const noexcept { return mInstance != nullptr; }
    [[nodiscard]] LilvInstance* get() const noexcept { return mInstance; }
    [[nodiscard]] const LilvPlugin* plugin() const noexcept { return mPlugin; }
    [[nodiscard]] const LV2_Feature* const* features() const noexcept { return mFeatures.data(); }

    void activate();
    void deactivate();

    // Control ports by symbol (the value the next run sees).
    void set(const std::string& symbol, float value);
    [[nodiscard]] float get(const std::string& symbol) const;
    [[nodiscard]] std::vector<std::string> controlSymbols() const;
    // The latency output as the last run left it.
    [[nodiscard]] float latency() const;

    // One run of n frames (at most the maximum block): input channel c of the
    // field from frame offset (silence beyond the field's channels or end) and
    // the MIDI events given, their frames relative to this run. The two output
    // channels are appended to out.
    void run(const Field& input, std::size_t offset, uint32_t n, const std::vector<MidiEvent>& events, Field& out);

    // The whole field in runs whose lengths come from nextBlock, with port
    // changes and MIDI events at their frames of the stream. Returns the output,
    // as long as the field.
    Field render(const Field& input, const std::function<uint32_t()>& nextBlock,
                 const std::vector<PortChange>& changes = {}, const std::vector<MidiEvent>& events = {});

    // Threaded worker: waits until nothing is scheduled or running; whether a
    // work call is running now.
    void waitForWork();
    [[nodiscard]] bool isWorking() const noexcept { return mWorkRunning.load(); }
    // Deactivates and frees the plug-in instance at once, whatever the worker
    // thread is doing (the instance must wait for it).
    void freeInstance();

    // Lines the plug-in logged so far (without their newlines), and forgets them.
    std::vector<std::string> takeLog();

    // The plug-in's run function, for code that times or counts it alone.
    void runOnly(uint32_t n) { lilv_instance_run(mInstance, n); }
    // Points the audio ports at the host's buffers for a run of n frames with
    // the field's frames from offset (what run() does before the plug-in runs).
    void prepareRun(const Field& input, std::size_t offset, uint32_t n, const std::vector<MidiEvent>& events);
    [[nodiscard]] const float* outputBuffer(int channel) const;

    // State through lilv: a snapshot of the instance and its ports, and
    // restoring one (its ports through set()).
    [[nodiscard]] LilvState* saveState();
    void restoreState(const LilvState* state);

private:
    static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data);
    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data);
    static int logPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...);
    static int logVprintf(LV2_Log_Handle handle, LV2_URID type, const char* format, va_list args);
    void workerLoop();
    void connectAudio(uint32_t n);
    void buildSequence(const std::vector<MidiEvent>& events, uint32_t n);

    const LV2World& mWorld;
    const LilvPlugin* mPlugin = nullptr;
    Setup mSetup;
    LilvInstance* mInstance = nullptr;
    const LV2_Worker_Interface* mWorkerInterface = nullptr;
    bool mActive = false;

    // Features.
    LV2_Log_Log mLog{};
    LV2_Worker_Schedule mSchedule{};
    int32_t mMaxBlockOption = 0;
    int32_t mNominalBlockOption = 0;
    std::array<LV2_Options_Option, 3> mOptions{};
    LV2_Feature mMapFeature{};
    LV2_Feature mUnmapFeature{};
    LV2_Feature mLogFeature{};
    LV2_Feature mScheduleFeature{};
    LV2_Feature mOptionsFeature{};
    std::vector<const LV2_Feature*> mFeatures;

    // Ports.
    uint32_t mNumPorts = 0;
    std::vector<int> mAudioInputPorts;  // by channel
    std::vector<int> mAudioOutputPorts; // by channel
    int mMidiPort = -1;
    int mLatencyPort = -1;
    std::map<std::string, uint32_t> mControlPorts;
    std::vector<float> mControlValues; // by port index
    std::vector<std::vector<float>> mInputBuffers;
    std::vector<std::vector<float>> mOutputBuffers;
    std::vector<uint64_t> mSequence; // 8-byte aligned atom sequence
    int mFieldChannels = 0;

    std::mutex mLogMutex;
    std::vector<std::string> mLogLines;

    // Threaded worker: one request at a time (the plug-in never queues more),
    // picked up by polling so that schedule_work neither locks nor allocates.
    std::atomic<int> mWorkRequests{0};
    std::atomic<bool> mWorkRunning{false};
    std::atomic<bool> mStopWorker{false};
    std::thread mWorkerThread;
};

// A mono impulse response of input i into output o of a decoder set file, read
// with libsndfile: ir[o][i].
struct DecoderSetResponses {
    std::vector<std::vector<float>> ir[2];
    [[nodiscard]] int numInputs() const { return static_cast<int>(ir[0].size()); }
};
DecoderSetResponses ReadDecoderSet(const fs::path& file);

} // namespace qirtest
