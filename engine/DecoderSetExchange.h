// engine: the exchange of decoder sets between the threads. A load request
// (from the parameters' choice of set, or a change of rate) is taken by a
// loader thread started from the idle timer, or by a host's worker thread;
// the loader reads the set, brings it to the running rate, builds and warms
// its convolver and leaves it in the hand-over slot. The audio thread adopts
// it from there (the set in use becoming the one it crossfades from) and,
// once the crossfade is over, hands the replaced set back through the retire
// slot to be freed on another thread. Requests are numbered, so the set in
// use always follows the last request however the loads race.
//
// Threads: each function says which thread may call it. The slots are single
// atomic pointers: the audio thread never waits, allocates or frees here; the
// loaders serialise their publishing with a mutex the audio thread never
// takes. Only the main thread touches the list of loader threads.
#pragma once

#include "engine/DecoderSet.h"
#include "engine/EngineSizes.h"
#include "framework/IEditorDelegate.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qir {

class DecoderSetExchange {
public:
    // Main thread. delegate (borrowed, may be null) provides the parameter
    // values and takes the console lines; it must outlive the exchange.
    explicit DecoderSetExchange(plugfw::IEditorDelegate* delegate);
    // Main thread, never the audio thread: stops the loader threads still
    // running, waits for them and frees every decoder set. A host's worker
    // thread must not be inside LoadRequestedSet meanwhile.
    ~DecoderSetExchange();
    DecoderSetExchange(const DecoderSetExchange&) = delete;
    DecoderSetExchange& operator=(const DecoderSetExchange&) = delete;

    // Main thread, before any load is requested: the folder sets are read from
    // (empty follows the process-wide resource folder), and the batch the
    // convolvers are laid out for (EngineSizes::kSubBlockFrames for the
    // real-time layout, a whole number of frames above it for the throughput
    // layout).
    void SetDecoderSetFolder(std::string folder);
    void SetBatchFrames(int batchFrames) noexcept { mBatchFrames = batchFrames; }
    // Main thread: true once a load has been started (by OnIdle or
    // LoadRequestedSet).
    [[nodiscard]] bool HasStartedLoads() const noexcept { return mLoadGeneration.load() != 0; }

    // Main thread: frames a freshly built convolver is run for on its loader
    // thread before it is published (the longest stretch the engine convolves
    // at once), so that the audio thread's first call after a takeover finds
    // its memory touched, its reset applied and its scratch grown.
    void SetWarmUpFrames(int frames) noexcept { mWarmUpFrames.store(frames); }
    // Main thread, while the audio thread is stopped: the running rate, which
    // loads bring sets to. Once a load has been started, a new rate requests a
    // reload; until then, the first load reads the rate given here.
    void SetSampleRate(double sampleRate) noexcept;

    // Any thread, several at once; audio-safe: records the set that parameter
    // paramIdx ("Decoder Mode" or "Decode Order") now chooses, and requests a
    // load when the choice changed.
    void RecordSetChoice(int paramIdx) noexcept;

    // Main thread (idle timer): frees the sets handed back, joins the loader
    // threads that have finished and starts a loader thread when a load was
    // requested.
    void OnIdle();
    // Main thread: waits until every started load has finished.
    void WaitForLoads();

    // Any thread, audio-safe: true while a load is requested and not yet started.
    [[nodiscard]] bool IsLoadRequested() const noexcept;
    // Worker thread, never the audio thread: takes the request and loads the
    // set it names on the calling thread, as a loader thread does. False when
    // no load was requested.
    bool LoadRequestedSet();
    // Any thread except the audio thread: frees the sets handed back.
    void ReleaseRetiredSets() noexcept;
    // Any thread, audio-safe: true while a set handed back waits to be freed.
    [[nodiscard]] bool HasRetiredSets() const noexcept;

    // Body of a loader: reads the set whose file is path (or the file made for
    // the running rate beside it, as it is), brings it to the running rate,
    // builds and warms its convolver and leaves it in the hand-over slot, then
    // frees the sets handed back. Prints "QIRMatrixDecoder loaded <file>" or
    // "QIRMatrixDecoder couldn't load IR at <file>", naming the file read. A
    // load that finishes after a later request's load has already published
    // (generation numbers the requests) is dropped without a line.
    void Load(std::filesystem::path path, uint64_t generation);

    // The set file name for the plain values of "Decoder Mode" and "Decode
    // Order".
    [[nodiscard]] static std::string DecoderSetFileName(double decoderMode, double decodeOrder);

    // Any thread: true while a set waits in the hand-over slot.
    [[nodiscard]] bool HasPendingDecoderSet() const noexcept;
    // Any thread: true while a load has not finished.
    [[nodiscard]] bool IsLoading() const noexcept;
    // Any thread: input count of the set adopted last, or -1 before the first.
    [[nodiscard]] int GetActiveInputCount() const noexcept;
    // Any thread: true from an adoption until EndCrossfade or DropFadingSet.
    [[nodiscard]] bool IsCrossfading() const noexcept;
    // Any thread, audio-safe: the true length in frames, at the running rate,
    // of the set adopted last; 0 before the first adoption.
    [[nodiscard]] int GetTailFrames() const noexcept;

    // Audio thread: the set in use (null before the first adoption) and the
    // one it replaced, kept until it is handed back.
    [[nodiscard]] DecoderSet* Current() const noexcept { return mCurrentSet.get(); }
    [[nodiscard]] DecoderSet* Fading() const noexcept { return mFadingSet.get(); }
    // Audio thread: one atomic exchange empties the hand-over slot; the set in
    // use becomes the fading one and the set taken out, returned, the current
    // one. Null, and nothing changes, while the slot is empty or the set
    // replaced last has not been handed back yet.
    DecoderSet* TakeOverPendingSet() noexcept;
    // Audio thread: the crossfade to the set adopted last is over.
    void EndCrossfade() noexcept { mCrossfading.store(false); }
    // Audio thread: hands the fading set back through the retire slot, unless
    // the slot is still occupied (the set is then kept, to be offered again).
    void RetireFadedSet() noexcept;
    // Main thread, while the audio thread is stopped: frees the fading set
    // and ends the crossfade.
    void DropFadingSet() noexcept;

private:
    struct LoaderThread {
        std::thread mThread;
        std::atomic<bool> mFinished{false};
    };

    std::string RequestedSetPath() const;
    void ReapFinishedLoaders(bool all);
    void WriteConsole(const char* format, const char* text) const noexcept;

    plugfw::IEditorDelegate* mDelegate;
    // Set before any load starts and only read afterwards.
    std::string mDecoderSetFolder;
    int mBatchFrames = EngineSizes::kSubBlockFrames;

    std::atomic<bool> mLoadRequested{true};
    // The set chosen by "Decoder Mode" and "Decode Order" (the order, 1 to 7),
    // as recorded by RecordSetChoice: what a load reads.
    std::atomic<int> mDecoderMode{0};
    std::atomic<int> mDecodeOrder{1};
    // The running rate: the framework's default until a reset says otherwise.
    std::atomic<double> mSampleRate{48000.0};
    std::atomic<int> mWarmUpFrames{EngineSizes::kSubBlockFrames};

    // Sets on the audio thread: the current one, and the one it replaced while
    // they crossfade (or until the retire slot takes it back).
    std::unique_ptr<DecoderSet> mCurrentSet;
    std::unique_ptr<DecoderSet> mFadingSet;
    // The hand-over slot: filled by a loader, emptied by the audio thread, each
    // with a single atomic exchange.
    std::atomic<DecoderSet*> mPendingSet{nullptr};
    // The retire slot: filled by the audio thread (only when empty), emptied by
    // ReleaseRetiredSets with an atomic exchange.
    std::atomic<DecoderSet*> mRetiredSet{nullptr};
    std::atomic<int> mActiveInputCount{-1};
    std::atomic<bool> mCrossfading{false};
    std::atomic<int> mTailFrames{0};

    // Loader threads; only the main thread touches the list.
    std::vector<std::unique_ptr<LoaderThread>> mLoaders;
    std::atomic<int> mLoadsInFlight{0};
    std::atomic<bool> mShuttingDown{false};
    // Numbers the load requests.
    std::atomic<uint64_t> mLoadGeneration{0};
    // Held by a loader while it publishes and prints, so the console lines come
    // in the order the sets entered the slot and the last "loaded" line names
    // the set that will be adopted. Guards mPublishedGeneration. The audio
    // thread never takes it.
    std::mutex mPublishMutex;
    uint64_t mPublishedGeneration = 0;
};

} // namespace qir
