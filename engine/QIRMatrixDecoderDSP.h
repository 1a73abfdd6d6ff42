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
//
// The engine composes three owned parts: the sound-field stage
// (SoundFieldStage), the exchange of decoder sets between the threads
// (DecoderSetExchange) and, in the throughput configuration, the worker that
// decodes batches (ConvolutionWorker). It keeps the signal chain between them:
// gathering the input into frames, the crossfade and the output queue.
#pragma once

#include "engine/DecoderParameters.h"
#include "engine/DecoderSetExchange.h"
#include "engine/EngineSizes.h"
#include "engine/SoundFieldStage.h"
#include "framework/IEditorDelegate.h"
#include "framework/IMidiMsg.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qir {

class ConvolutionWorker;
struct BatchJob;

class QIRMatrixDecoderDSP {
public:
    // Every run of the sound-field stage covers exactly this many frames.
    static constexpr int kSubBlockFrames = EngineSizes::kSubBlockFrames;
    // Output frame t is the decoding of input frame t - kLatency, for every call
    // pattern, every setting and every sample rate (in the default
    // configuration; see GetLatency).
    static constexpr int kLatency = kSubBlockFrames;
    // Frames the throughput configuration convolves per convolver call: its
    // partitions' hop. 8192 gives one 16384-point transform per input and
    // batch, the largest size whose quickly chosen transform plans run as fast
    // per sample as the smaller ones.
    static constexpr int kThroughputBatchFrames = 8192;
    static constexpr int kMaxInputChannels = EngineSizes::kMaxInputChannels;
    static constexpr int kNumOutputs = EngineSizes::kNumOutputs;
    // Length of every impulse response of a decoder set, and of one input's
    // segment in a set's regular file (a file made for one rate holds
    // responses of the same duration at that rate).
    static constexpr int kImpulseResponseLength = 16384;
    static constexpr int kNumTestSourceDirections = SoundFieldStage::kNumTestSourceDirections;
    // Length of the equal-gain crossfade from one decoder set to the next (and of
    // the first set's fade-in from silence), a whole number of frames.
    static constexpr int kCrossfadeFrames = EngineSizes::kCrossfadeFrames;

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
    void RetireFadedSet() noexcept;
    void TakeOverPendingSet() noexcept;
    void ProcessPiece(const float* const* inputs, float* const* outputs, int offset, int nFrames, int connected,
                      bool passThrough) noexcept;
    void ProcessSoundField(int frameStart) noexcept;
    void Convolve(int nFrames) noexcept;
    [[nodiscard]] BatchJob MakeJob(int nFrames) const noexcept;
    void AdvanceFade(int nFrames) noexcept;
    void ConvolveOnWorker(int complete, int connected, bool passThrough) noexcept;
    float* Channel(int channel) noexcept;
    float* QueueEnd(int output) noexcept;

    // Test source, rotation and convention fix-up, run on each frame.
    SoundFieldStage mStage;
    // Loads, hand-over and hand-back of the decoder sets; it owns the sets the
    // audio thread plays.
    DecoderSetExchange mSets;
    int mNumInputChans = 0;
    int mBlockSize = 1024;

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
    // The test source, sample for sample with mInput.
    std::vector<float> mSourceFrames;
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

    // The crossfade from the exchange's fading set to its current one (or
    // from silence to the first): whether it runs, and frames done.
    bool mFadeActive = false;
    int mFadePosition = 0;

    // The throughput configuration's worker, when it convolves on a thread of
    // its own; it finishes before the exchange frees the sets it runs.
    std::unique_ptr<ConvolutionWorker> mWorker;
};

} // namespace qir
