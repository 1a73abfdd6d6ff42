// engine: the decoder engine. It turns each host block of ambisonic input (4 to
// 64 channels) into two output channels: a sound-field stage (test source,
// rotation, convention fix-up) on 128-frame sub-blocks, then a multichannel
// convolver holding the current decoder set. Decoder sets are read on loader
// threads and adopted by the audio thread at the start of a block.
#pragma once

#include "engine/DecoderParameters.h"
#include "engine/FloatQueue.h"
#include "framework/ADSREnvelope.h"
#include "framework/IEditorDelegate.h"
#include "framework/IMidiMsg.h"
#include "framework/PtrList.h"
#include "framework/TypedBuf.h"

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

class QIRMatrixDecoderDSP {
public:
    // Every run of the sound-field stage covers exactly this many frames.
    static constexpr int kSubBlockFrames = 128;
    static constexpr int kMaxInputChannels = 64;
    static constexpr int kNumOutputs = 2;
    // Length of every impulse response of a decoder set, and of one input's
    // segment in a decoder-set file.
    static constexpr int kImpulseResponseLength = 16384;
    static constexpr int kNumTestSourceDirections = 26;
    // Delay that FIFO mode adds to the output (see ProcessBlock).
    static constexpr int kFifoDelay = kSubBlockFrames;

    // Parameter indices the engine reads.
    using enum EParams;

    // Main thread. delegate (borrowed) provides the parameter values; it must
    // outlive the engine. Throws std::bad_alloc when the rotator or the encoder
    // cannot be created.
    explicit QIRMatrixDecoderDSP(plugfw::IEditorDelegate* delegate);
    // Main thread, never the audio thread: waits for loads still in flight.
    ~QIRMatrixDecoderDSP();

    QIRMatrixDecoderDSP(const QIRMatrixDecoderDSP&) = delete;
    QIRMatrixDecoderDSP& operator=(const QIRMatrixDecoderDSP&) = delete;

    // Main thread, while the audio thread is stopped: sizes the buffers for
    // blocks of up to blockSize frames and initialises the rotator and encoder.
    // Returns the latency in samples, always 0.
    int OnReset(int blockSize, double sampleRate);

    // Any thread: value is the parameter's normalised value in [0, 1]. Settings
    // of the rotator and encoder reach them at the next 128-frame sub-block.
    void OnParamChange(int paramIdx, double value) noexcept;

    // Main thread (idle timer): starts a decoder-set load when one was requested
    // and joins the loader threads that have finished.
    void OnIdle();

    // Audio thread: note on and off for the test source.
    void ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept;

    // Audio thread: never waits. inputs holds nChans connected input channels
    // (the stage rewrites them in place), outputs two channels, each of nFrames
    // frames. Blocks whose lengths are all multiples of 128 are processed without
    // delay; from the first block of another length until the next OnReset, the
    // output is delayed by kFifoDelay frames (GetAddedDelay).
    void ProcessBlock(float** inputs, float** outputs, int nFrames, int nChans) noexcept;

    // Body of a loader thread: reads the decoder set at path, builds a convolver
    // from it and leaves it in the hand-over slot of engine (a
    // QIRMatrixDecoderDSP). Prints "QIRMatrixDecoder loaded <path>" or
    // "QIRMatrixDecoder couldn't load IR at <path>".
    static void LoadIR(std::filesystem::path path, void* engine);

    // The decoder-set file name for the plain values of "Decoder Mode" and
    // "Decode Order".
    [[nodiscard]] static std::string DecoderSetFileName(double decoderMode, double decodeOrder);

    // Frames by which the output currently lags the aligned output: 0, or
    // kFifoDelay once a block of a length that is not a multiple of 128 has
    // been processed since the last reset. Any thread.
    [[nodiscard]] int GetAddedDelay() const noexcept;

    // Any thread: true while a decoder set waits in the hand-over slot.
    [[nodiscard]] bool HasPendingDecoderSet() const noexcept;
    // Any thread: true while a loader thread has not finished.
    [[nodiscard]] bool IsLoading() const noexcept;
    // Any thread: input count of the decoder set in use, or -1 before the first
    // adoption.
    [[nodiscard]] int GetActiveInputCount() const noexcept;

    // Main thread: waits until every started load has finished (so its set, if
    // any, is in the hand-over slot).
    void WaitForLoads();

private:
    // A finished decoder set: the convolver and its input count travel together
    // through the hand-over slot.
    struct DecoderSet {
        std::unique_ptr<dspkit::Convolver> mConvolver;
        int mNumChans = 0;
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
    void TakeOverPendingSet() noexcept;
    void ApplyTransformSettings() noexcept;
    void ProcessSoundField(float* const* channels) noexcept;
    void ProcessAligned(float** inputs, float** outputs, int nFrames, int connected) noexcept;
    void ProcessFifo(float** inputs, float** outputs, int nFrames, int connected) noexcept;
    void EnterFifoMode() noexcept;
    void Convolve(const float* const* inputs, float* out0, float* out1, int nFrames) noexcept;
    float* UnconnectedChannel(int channel) noexcept;
    void ReapFinishedLoaders(bool all);

    FieldRotator* mRotator = nullptr;
    FieldEncoder* mEncoder = nullptr;
    int mNumInputChans = 0;
    int mBlockSize = 1024;
    std::atomic<bool> mLoadRequested{true};
    int mNumChans = 4;
    // 64 channels of max(mBlockSize, 128) frames: the test source's encoding.
    plugfw::TypedBuf<float> mEncoderScratch{4096};
    plugfw::PtrList<float> mEncoderChans{4096};
    std::array<FloatQueue, kMaxInputChannels> mInputFifos;
    std::array<FloatQueue, kNumOutputs> mOutputFifos;
    std::unique_ptr<dspkit::Convolver> mConvolver;
    // The hand-over slot: filled by a loader, emptied by the audio thread, each
    // with a single atomic exchange.
    std::atomic<DecoderSet*> mPendingSet{nullptr};
    std::atomic<int> mDecoderMode{0};
    std::atomic<int> mDecodeOrder{1};
    uint32_t mNoiseSeed = 0;
    int mTestSourceIndex = -1;
    plugfw::ADSREnvelope<float> mEnvelope;
    plugfw::IEditorDelegate* mDelegate;

    // Stands in for the channels above the connected ones: the stage and the
    // convolver read them as silence (zeroed before every use). 64 channels of
    // mChunkFrames frames.
    plugfw::TypedBuf<float> mUnconnectedScratch{4096};
    // Frames per channel of mUnconnectedScratch: the longest aligned stretch
    // processed in one go (a multiple of 128).
    int mChunkFrames = 0;
    bool mPrepared = false;
    std::atomic<bool> mFifoMode{false};
    std::atomic<int> mActiveInputCount{-1};

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
    // Held by a loader while it publishes and prints, so the console lines come
    // in the order the sets entered the slot and the last "loaded" line names
    // the set that will be adopted. The audio thread never takes it.
    std::mutex mPublishMutex;
};

} // namespace qir
