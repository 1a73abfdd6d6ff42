// engine: the decoder engine. It turns a stream of ambisonic input (4 to 64
// channels) into two output channels with a constant latency of one 128-frame
// processing frame: the input is gathered into frames in the engine's own
// memory, a sound-field stage (test source, rotation, convention fix-up) runs on
// each frame as it completes, and a multichannel convolver holding the current
// decoder set decodes the completed frames into an output queue that runs one
// frame behind. Decoder sets are read on loader threads (or a host's worker
// thread), adopted by the audio thread at the start of a call with a crossfade
// from the set they replace, and handed back to a non-audio thread to be freed.
//
// For rendering files, where latency costs nothing, a caller may choose the
// throughput configuration instead (UseThroughputConfiguration): the stage
// still runs on every frame as it completes, but the convolver, laid out in a
// few large partitions, decodes batches of many frames at once on a worker
// thread while the caller gathers the next batch; the output queue then runs
// two batches behind. Hosts of an audio device keep the default.
#pragma once

#include "engine/DecoderParameters.h"
#include "framework/ADSREnvelope.h"
#include "framework/IEditorDelegate.h"
#include "framework/IMidiMsg.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FieldRotator;
struct FieldEncoder;

namespace dspkit {
class Convolver;
}

namespace qir {

class ConvolutionWorker;

class QIRMatrixDecoderDSP {
public:
    // Every run of the sound-field stage covers exactly this many frames.
    static constexpr int kSubBlockFrames = 128;
    // Output frame t is the decoding of input frame t - kLatency, for every call
    // pattern, every setting and every sample rate (in the default
    // configuration; see GetLatency).
    static constexpr int kLatency = kSubBlockFrames;
    // Frames the throughput configuration convolves per convolver call: its
    // partitions' hop. 8192 gives one 16384-point transform per input and
    // batch, the largest size whose quickly chosen transform plans run as fast
    // per sample as the smaller ones.
    static constexpr int kThroughputBatchFrames = 8192;
    static constexpr int kMaxInputChannels = 64;
    static constexpr int kNumOutputs = 2;
    // Length of every impulse response of a decoder set, and of one input's
    // segment in a set's regular file (a file made for one rate holds
    // responses of the same duration at that rate).
    static constexpr int kImpulseResponseLength = 16384;
    static constexpr int kNumTestSourceDirections = 26;
    // Length of the equal-gain crossfade from one decoder set to the next (and of
    // the first set's fade-in from silence), a whole number of frames.
    static constexpr int kCrossfadeFrames = 8 * kSubBlockFrames;

    // Parameter indices the engine reads.
    using enum EParams;

    // Main thread. delegate (borrowed) provides the parameter values; it must
    // outlive the engine. Throws std::bad_alloc when the rotator or the encoder
    // cannot be created.
    explicit QIRMatrixDecoderDSP(plugfw::IEditorDelegate* delegate);
    // Main thread, never the audio thread: waits for the loader threads still
    // running and frees every decoder set. A host's worker thread must not be
    // inside LoadRequestedSet meanwhile.
    ~QIRMatrixDecoderDSP();

    QIRMatrixDecoderDSP(const QIRMatrixDecoderDSP&) = delete;
    QIRMatrixDecoderDSP& operator=(const QIRMatrixDecoderDSP&) = delete;

    // Main thread, before the first OnReset and before any decoder set is
    // loaded: chooses the throughput configuration, for rendering files. The
    // convolver of every set is then laid out for batches of batchFrames frames
    // (rounded up to whole frames) and runs once per batch, on a worker thread
    // of the engine's own when convolveOnWorker, so that the caller gathers the
    // next batch meanwhile. The latency becomes one batch, or two with the
    // worker, constant like the default's; events still act at their own
    // frames, and the output equals the default configuration's, that much
    // later, up to float rounding. ProcessBlock then waits for the worker:
    // hosts of an audio device never choose this. False, and nothing changes,
    // when called too late or when the worker cannot be started.
    bool UseThroughputConfiguration(int batchFrames = kThroughputBatchFrames, bool convolveOnWorker = true);

    // Main thread: the latency in frames that OnReset reports (kLatency unless
    // the throughput configuration was chosen); it does not change once the
    // engine has been reset.
    [[nodiscard]] int GetLatency() const noexcept { return mLatencyFrames; }

    // Main thread, while the audio thread is stopped: sizes every buffer for calls
    // of up to blockSize frames (longer calls are taken in pieces), starts a fresh
    // stream (the latency's silence ahead of the output, cleared histories) and
    // initialises the rotator and encoder. Decoder sets are brought to
    // sampleRate as they load: a rate other than the last one requests a reload
    // once a set has been loaded, and the set in use keeps playing until the
    // reloaded one crossfades in. Returns the latency in frames, GetLatency().
    int OnReset(int blockSize, double sampleRate);

    // Any thread: value is the parameter's normalised value in [0, 1]. Settings
    // of the rotator and encoder apply from the frame that is completed next.
    void OnParamChange(int paramIdx, double value) noexcept;

    // Main thread (idle timer): frees the decoder sets handed back, joins the
    // loader threads that have finished and starts a loader thread when a load
    // was requested.
    void OnIdle();

    // Audio thread: note on and off for the test source, from the next frame of
    // the stream on.
    void ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept;

    // Audio thread: never waits, allocates and frees nothing. inputs holds nChans
    // connected input channels, outputs two channels, each of nFrames frames;
    // inputs are only read, and are all read before any output is written, so
    // the two may share memory. One or two channels pass through (the first to
    // both outputs when there is one), GetLatency() frames late like everything
    // else. In the throughput configuration with its worker, a call that
    // completes a batch waits for the worker's previous batch.
    void ProcessBlock(const float* const* inputs, float* const* outputs, int nFrames, int nChans) noexcept;

    // Decoder-set loading for hosts that run it themselves on a worker thread
    // instead of OnIdle's loader threads.
    // Any thread, audio-safe: true while a load is requested and not yet started.
    [[nodiscard]] bool IsLoadRequested() const noexcept;
    // Worker thread, never the audio thread: takes the request, loads the set it
    // names on the calling thread (as a loader thread does) and leaves it in the
    // hand-over slot. False when no load was requested.
    bool LoadRequestedSet();
    // Any thread except the audio thread: frees the decoder sets that the audio
    // thread has handed back.
    void ReleaseRetiredSets() noexcept;
    // Any thread, audio-safe: true while a set handed back waits to be freed.
    [[nodiscard]] bool HasRetiredSets() const noexcept;

    // Body of a loader thread: reads the decoder set whose file is path (or the
    // file made for the running rate beside it, "<name>-<rate>.wav", as it is),
    // brings it to the running rate, builds a convolver from it and leaves it
    // in the hand-over slot of engine (a QIRMatrixDecoderDSP), then frees the
    // sets handed back. Prints "QIRMatrixDecoder loaded <file>" or
    // "QIRMatrixDecoder couldn't load IR at <file>", naming the file read.
    // generation numbers the requests: a load that finishes after a later
    // request's load has already published is out of date and is dropped
    // without a line, so the set in use always follows the last request,
    // however the loads race.
    static void LoadIR(std::filesystem::path path, void* engine, uint64_t generation);

    // Main thread, before the first load is requested: the folder this engine
    // reads its decoder sets from (a plug-in bundle's own, say). Empty, as
    // after construction, follows the process-wide resource folder
    // (platform::GetResourceDirectory).
    void SetDecoderSetFolder(std::string folder);

    // The decoder-set file name for the plain values of "Decoder Mode" and
    // "Decode Order".
    [[nodiscard]] static std::string DecoderSetFileName(double decoderMode, double decodeOrder);

    // Any thread: true while a decoder set waits in the hand-over slot.
    [[nodiscard]] bool HasPendingDecoderSet() const noexcept;
    // Any thread: true while a loader thread has not finished.
    [[nodiscard]] bool IsLoading() const noexcept;
    // Any thread: input count of the decoder set adopted last, or -1 before the
    // first adoption.
    [[nodiscard]] int GetActiveInputCount() const noexcept;
    // Any thread: true while the output crossfades to the set adopted last (or
    // fades it in from silence).
    [[nodiscard]] bool IsCrossfading() const noexcept;
    // Any thread, audio-safe: the true length in frames, at the running rate, of
    // the decoder set adopted last: its responses are exactly zero from there
    // on, so the output of an input that stops has ended that many frames
    // (plus kLatency) later. 0 before the first adoption.
    [[nodiscard]] int GetTailFrames() const noexcept;

    // Main thread: waits until every started load has finished (so its set, if
    // any, is in the hand-over slot).
    void WaitForLoads();

private:
    // A finished decoder set, the unit that moves between the threads: built by
    // a loader, handed over to the audio thread, handed back to be freed.
    struct DecoderSet {
        std::unique_ptr<dspkit::Convolver> mConvolver;
        // Inputs of the set: the channels its convolver reads.
        int mNumChans = 0;
        // The decode order the set was requested for: the order of the rotator
        // and encoder while it is in use.
        int mOrder = 1;
        // The longest call the convolver was run with before it was published:
        // longer stretches are convolved in pieces of this length, so that the
        // audio thread never grows its scratch.
        int mWarmFrames = 0;
        // The responses' true length at the rate the set was loaded for.
        int mTailFrames = 0;
    };

    // One batch's decoding, handed to the convolution worker: the sets and the
    // crossfade as they stand when the batch completes.
    struct BatchJob {
        DecoderSet* mCurrent = nullptr;
        DecoderSet* mFading = nullptr;
        bool mFade = false;
        int mFadePosition = 0;
        int mFrames = 0;
    };

    struct LoaderThread {
        std::thread mThread;
        std::atomic<bool> mFinished{false};
    };

    // Bits of mTransformSettingsChanged.
    enum ETransformSetting : uint32_t {
        kSettingYaw = 1u << 0,
        kSettingPitch = 1u << 1,
        kSettingRoll = 1u << 2,
        kSettingFlipYaw = 1u << 3,
        kSettingFlipPitch = 1u << 4,
        kSettingFlipRoll = 1u << 5,
        kSettingRPY = 1u << 6,
        kSettingChOrder = 1u << 7,
        kSettingNormType = 1u << 8,
        kAllTransformSettings = (1u << 9) - 1,
    };

    double ParamValue(int paramIdx) const noexcept;
    // One console line, format holding one %s for text: to the delegate, which
    // may pass it on to its host's log. Not the audio thread.
    void WriteConsole(const char* format, const char* text) const noexcept;
    void RecordSetChoice(std::atomic<int>& choice, int paramIdx, int offset) noexcept;
    std::string RequestedSetPath() const;
    void RetireFadedSet() noexcept;
    void TakeOverPendingSet() noexcept;
    void SetStageOrder(int order) noexcept;
    void ApplyTransformSettings() noexcept;
    void ProcessPiece(const float* const* inputs, float* const* outputs, int offset, int nFrames, int connected,
                      bool passThrough) noexcept;
    void GenerateTestSource(float* destination, int nFrames) noexcept;
    void ProcessSoundField(int frameStart) noexcept;
    void Convolve(int nFrames) noexcept;
    [[nodiscard]] BatchJob MakeJob(int nFrames) const noexcept;
    static void Decode(const BatchJob& job, const float* const* inputs, float* out0, float* out1, float* old0,
                       float* old1) noexcept;
    void AdvanceFade(int nFrames) noexcept;
    void ConvolveOnWorker(int complete, int connected, bool passThrough) noexcept;
    void CollectBatch() noexcept;
    static void RunBatch(void* engine) noexcept;
    static void RunConvolver(DecoderSet& set, const float* const* inputs, float* out0, float* out1,
                             int nFrames) noexcept;
    float* Channel(int channel) noexcept;
    float* QueueEnd(int output) noexcept;
    void ReapFinishedLoaders(bool all);

    FieldRotator* mRotator = nullptr;
    FieldEncoder* mEncoder = nullptr;
    int mNumInputChans = 0;
    int mBlockSize = 1024;
    std::atomic<bool> mLoadRequested{true};
    // Stage channel count: the current set's inputs, or the larger of the two
    // sets' while one crossfades into the other.
    int mNumChans = 4;
    // Order of the rotator and encoder.
    int mStageOrder = 1;
    // 64 channels of one frame: the test source's encoding.
    std::vector<float> mEncoderScratch;
    std::array<float*, kMaxInputChannels> mEncoderChans{};
    // The decoder set chosen by "Decoder Mode" and "Decode Order" (the order,
    // 1 to 7), as recorded by OnParamChange: what a load reads.
    std::atomic<int> mDecoderMode{0};
    std::atomic<int> mDecodeOrder{1};
    uint32_t mNoiseSeed = 0;
    int mTestSourceIndex = -1;
    plugfw::ADSREnvelope<float> mEnvelope;
    plugfw::IEditorDelegate* mDelegate;
    // Set before any load starts and only read afterwards.
    std::string mDecoderSetFolder;

    // The input, gathered into frames: 64 channels of mInputStride frames, the
    // partial frame at the start of each. Connected channels are copied, the
    // others are zero, so every channel holds valid data whatever a set reads.
    std::vector<float> mInput;
    std::array<const float*, kMaxInputChannels> mInputChans{};
    int mInputStride = 0;
    // Frames of the partial frame gathered so far (0 to 127).
    int mInputFill = 0;
    // Channels that may hold non-zero samples anywhere in mInput; the channels
    // from here up are zero throughout.
    int mWrittenChannels = 0;
    // The test source, sample for sample with mInput, and whether it sounded in
    // the frame being gathered.
    std::vector<float> mSourceFrames;
    bool mSourceInFrame = false;
    // The output queue: two channels of decoded frames, starting with the
    // latency's silence after a reset; each call takes its frames from the
    // front, at mQueueRead (below the latency at the start of a call).
    std::vector<float> mQueue;
    int mQueueStride = 0;
    int mQueueFill = 0;
    int mQueueRead = 0;
    // The replaced set's output during a crossfade (two channels of a piece).
    std::vector<float> mFadeScratch;
    // The longest stretch convolved at once (a whole number of batches): the
    // reset's block size rounded up.
    int mChunkFrames = 0;
    bool mPrepared = false;
    // Frames convolved together: one frame, or the throughput configuration's
    // batch. The latency: one batch, or two with the worker.
    int mBatchFrames = kSubBlockFrames;
    int mLatencyFrames = kLatency;
    // Set by the first OnReset: the configuration is fixed from then on.
    bool mConfigurationFixed = false;

    // Decoder sets on the audio thread: the current one, and the one it
    // replaced while they crossfade (or until the retire slot takes it back).
    std::unique_ptr<DecoderSet> mCurrentSet;
    std::unique_ptr<DecoderSet> mFadingSet;
    bool mFadeActive = false;
    int mFadePosition = 0;
    // The hand-over slot: filled by a loader, emptied by the audio thread, each
    // with a single atomic exchange.
    std::atomic<DecoderSet*> mPendingSet{nullptr};
    // The retire slot: filled by the audio thread (only when empty), emptied by
    // ReleaseRetiredSets with an atomic exchange.
    std::atomic<DecoderSet*> mRetiredSet{nullptr};
    std::atomic<int> mActiveInputCount{-1};
    std::atomic<bool> mCrossfading{false};
    std::atomic<int> mTailFrames{0};
    // The running rate, which loads bring decoder sets to: the framework's
    // default until the first reset says otherwise.
    std::atomic<double> mSampleRate{48000.0};

    // Rotator and encoder settings from OnParamChange, applied on the audio
    // thread so that the transforms are only ever touched by one thread.
    std::atomic<float> mYawDegrees{0.0f};
    std::atomic<float> mPitchDegrees{0.0f};
    std::atomic<float> mRollDegrees{0.0f};
    std::atomic<int> mFlipYaw{0};
    std::atomic<int> mFlipPitch{0};
    std::atomic<int> mFlipRoll{0};
    std::atomic<int> mUseRPY{0};
    std::atomic<int> mChOrder{1};
    std::atomic<int> mNormType{2};
    std::atomic<uint32_t> mTransformSettingsChanged{0};

    // Loader threads; only the main thread touches the list.
    std::vector<std::unique_ptr<LoaderThread>> mLoaders;
    std::atomic<int> mLoadsInFlight{0};
    std::atomic<bool> mShuttingDown{false};
    // Numbers the load requests.
    std::atomic<uint64_t> mLoadGeneration{0};
    // Frames a freshly built convolver is run for on its loader thread before
    // it is published (the longest stretch the engine convolves at once), so
    // that the audio thread's first call after a takeover finds its memory
    // touched, its reset applied and its scratch grown.
    std::atomic<int> mWarmUpFrames{kSubBlockFrames};
    // Held by a loader while it publishes and prints, so the console lines come
    // in the order the sets entered the slot and the last "loaded" line names
    // the set that will be adopted. Guards mPublishedGeneration. The audio
    // thread never takes it.
    std::mutex mPublishMutex;
    uint64_t mPublishedGeneration = 0;

    // The throughput configuration's worker and what it works on: a copy of
    // the batch's stage output (the caller goes on gathering into mInput), the
    // job, and its two outputs followed by the replaced set's two during a
    // crossfade. While mBatchInFlight the worker owns all of these and runs
    // the job's convolvers; the rendering thread collects the output before it
    // hands over the next batch, and keeps a set the job uses.
    std::unique_ptr<ConvolutionWorker> mWorker;
    std::vector<float> mBatchInput;
    std::array<const float*, kMaxInputChannels> mBatchChans{};
    std::vector<float> mBatchOutput;
    BatchJob mJob;
    bool mBatchInFlight = false;
};

} // namespace qir
