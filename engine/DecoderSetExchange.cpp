// engine: the exchange of decoder sets: loads on loader threads, the hand-over
// to the audio thread and the sets handed back.
#include "engine/DecoderSetExchange.h"

#include "convolution/Convolver.h"
#include "engine/ConsoleLine.h"
#include "engine/DecoderParameters.h"
#include "engine/DecoderSetResponses.h"
#include "engine/platform/ResourceDirectory.h"

#include <algorithm>
#include <bit>
#include <exception>
#include <sstream>
#include <system_error>

namespace qir {

namespace {

constexpr int kFrames = EngineSizes::kSubBlockFrames;
constexpr int kMaxChans = EngineSizes::kMaxInputChannels;
constexpr int kNumOutputs = EngineSizes::kNumOutputs;

// The block a throughput configuration's convolver is laid out for: its first
// hop, a power of two that divides the batch, so that every batch is whole
// hops. As long as the batch allows, but no longer than the set's longest
// response (at least 1024): an anechoic set's responses end after 1024 taps,
// and with hops of that length their spectra stay in cache where hops of a
// whole batch would stream eight times as many.
unsigned long ThroughputLayoutBlock(int batchFrames, int trueLength) noexcept
{
    const auto batch = static_cast<unsigned long>(batchFrames);
    const unsigned long batchHop = batch & (~batch + 1);
    return std::min(batchHop, std::bit_ceil(std::max<unsigned long>(static_cast<unsigned long>(trueLength), 1024)));
}

// The smallest ambisonic order whose channels hold n inputs (0 to 7).
int OrderForChannels(int n) noexcept
{
    int order = 0;
    while (order < 7 && (order + 1) * (order + 1) < n) {
        ++order;
    }
    return order;
}

} // namespace

DecoderSetExchange::DecoderSetExchange(plugfw::IEditorDelegate* delegate) : mDelegate(delegate) {}

DecoderSetExchange::~DecoderSetExchange()
{
    // Loaders write into this object: stop them early and wait for every one
    // before anything they could touch goes away.
    mShuttingDown.store(true);
    ReapFinishedLoaders(true);
    delete mPendingSet.exchange(nullptr);
    ReleaseRetiredSets();
}

void DecoderSetExchange::SetDecoderSetFolder(std::string folder)
{
    mDecoderSetFolder = std::move(folder);
}

void DecoderSetExchange::SetSampleRate(double sampleRate) noexcept
{
    // main thread, audio stopped.
    if (mSampleRate.exchange(sampleRate) != sampleRate && mLoadGeneration.load() > 0) {
        mLoadRequested.exchange(true);
    }
}

void DecoderSetExchange::RecordSetChoice(int paramIdx) noexcept
{
    // Any thread, several at once (a host's automation and its interface); on
    // the audio thread it never waits, going round again only when another
    // thread has changed the parameter meanwhile. The choice is recorded, then
    // the parameter read again, until the two agree.
    // However the threads interleave, the record ends on the parameter's last
    // value; a plain compare and store could keep a value that another thread's
    // change had already replaced, and the next change back to it would then
    // load nothing. The load is requested after the record changes, and the
    // loader reads the record.
    std::atomic<int>* choice = nullptr;
    int offset = 0;
    switch (paramIdx) {
    case kDecoderMode: choice = &mDecoderMode; break;
    case kDecodeOrder:
        choice = &mDecodeOrder;
        offset = 1;
        break;
    default: return;
    }
    int value = static_cast<int>(ParamValue(mDelegate, paramIdx)) + offset;
    for (;;) {
        if (choice->exchange(value) != value) {
            mLoadRequested.store(true);
        }
        const int again = static_cast<int>(ParamValue(mDelegate, paramIdx)) + offset;
        if (again == value) {
            return;
        }
        value = again;
    }
}

bool DecoderSetExchange::HasPendingDecoderSet() const noexcept
{
    return mPendingSet.load(std::memory_order_acquire) != nullptr;
}

bool DecoderSetExchange::IsLoading() const noexcept
{
    return mLoadsInFlight.load() > 0;
}

int DecoderSetExchange::GetActiveInputCount() const noexcept
{
    return mActiveInputCount.load();
}

bool DecoderSetExchange::IsCrossfading() const noexcept
{
    return mCrossfading.load();
}

int DecoderSetExchange::GetTailFrames() const noexcept
{
    return mTailFrames.load();
}

bool DecoderSetExchange::IsLoadRequested() const noexcept
{
    return mLoadRequested.load(std::memory_order_relaxed);
}

bool DecoderSetExchange::HasRetiredSets() const noexcept
{
    return mRetiredSet.load(std::memory_order_acquire) != nullptr;
}

void DecoderSetExchange::ReleaseRetiredSets() noexcept
{
    // any thread but the audio thread: each set handed back is taken by exactly
    // one caller.
    delete mRetiredSet.exchange(nullptr, std::memory_order_acq_rel);
}

DecoderSet* DecoderSetExchange::TakeOverPendingSet() noexcept
{
    // audio thread: the set taken out of the slot is ours alone from then on.
    // One crossfade at a time: while the set replaced last has not been handed
    // back, the next set waits in the slot (where a later load may still
    // replace it).
    if (mFadingSet != nullptr || mPendingSet.load(std::memory_order_relaxed) == nullptr) {
        return nullptr;
    }
    DecoderSet* set = mPendingSet.exchange(nullptr, std::memory_order_acq_rel);
    if (set == nullptr) {
        return nullptr;
    }
    mFadingSet = std::move(mCurrentSet);
    mCurrentSet.reset(set);
    mCrossfading.store(true);
    mActiveInputCount.store(std::clamp(set->mNumChans, 0, kMaxChans));
    mTailFrames.store(set->mTailFrames);
    return set;
}

void DecoderSetExchange::RetireFadedSet() noexcept
{
    // audio thread: never waits; the set stays ours while the slot is occupied.
    if (mFadingSet == nullptr) {
        return;
    }
    DecoderSet* expected = nullptr;
    if (mRetiredSet.compare_exchange_strong(expected, mFadingSet.get(), std::memory_order_acq_rel)) {
        (void)mFadingSet.release(); // the slot owns it now
    }
}

void DecoderSetExchange::DropFadingSet() noexcept
{
    // main thread, audio stopped.
    mFadingSet.reset();
    mCrossfading.store(false);
}

std::string DecoderSetExchange::DecoderSetFileName(double decoderMode, double decodeOrder)
{
    const int mode = static_cast<int>(decoderMode);
    if (mode == 2) {
        return "AMBIX_2_UHJ.wav";
    }
    std::ostringstream name;
    name << static_cast<int>(decodeOrder) + 1 << "OA-decoder-" << (mode == 0 ? "anechoic" : "room") << ".wav";
    return name.str();
}

std::string DecoderSetExchange::RequestedSetPath() const
{
    // The choice RecordSetChoice recorded, not the parameters: a parameter may
    // already hold a value that has not been recorded (and never will be, when
    // another thread sets the old value again first); loading it would leave a
    // set in use that no request ever replaces.
    const int order = mDecodeOrder.load();
    const int mode = mDecoderMode.load();
    std::ostringstream path;
    path << (mDecoderSetFolder.empty() ? platform::GetResourceDirectory() : mDecoderSetFolder) << "/"
         << DecoderSetFileName(mode, order - 1);
    return path.str();
}

void DecoderSetExchange::WriteConsole(const char* format, const char* text) const noexcept
{
    WriteConsoleLine(mDelegate, format, text);
}

void DecoderSetExchange::OnIdle()
{
    // main thread.
    ReleaseRetiredSets();
    ReapFinishedLoaders(false);
    // Cleared before the parameters are read, so a change that arrives while
    // this call runs requests a load of its own instead of being wiped out; and
    // before the thread starts, so a failure to start is not retried until the
    // next request.
    if (!mLoadRequested.exchange(false)) {
        return;
    }
    const std::filesystem::path path = RequestedSetPath();
    const uint64_t generation = mLoadGeneration.fetch_add(1) + 1;

    try {
        auto loader = std::make_unique<LoaderThread>();
        LoaderThread* record = loader.get();
        mLoaders.push_back(std::move(loader));
        mLoadsInFlight.fetch_add(1);
        try {
            record->mThread = std::thread([this, record, generation, path]() {
                Load(path, generation);
                mLoadsInFlight.fetch_sub(1);
                record->mFinished.store(true);
            });
        } catch (...) {
            mLoadsInFlight.fetch_sub(1);
            mLoaders.pop_back();
        }
    } catch (const std::exception&) {
        // No memory for the record: the request is dropped like a failed start.
    }
}

bool DecoderSetExchange::LoadRequestedSet()
{
    // worker thread.
    if (!mLoadRequested.exchange(false)) {
        return false;
    }
    const uint64_t generation = mLoadGeneration.fetch_add(1) + 1;
    mLoadsInFlight.fetch_add(1);
    try {
        Load(RequestedSetPath(), generation);
    } catch (const std::exception&) {
        // No memory for the path: the request is dropped like a failed load.
    }
    mLoadsInFlight.fetch_sub(1);
    return true;
}

void DecoderSetExchange::ReapFinishedLoaders(bool all)
{
    // main thread.
    auto it = mLoaders.begin();
    while (it != mLoaders.end()) {
        LoaderThread& loader = **it;
        if (all || loader.mFinished.load()) {
            if (loader.mThread.joinable()) {
                loader.mThread.join();
            }
            it = mLoaders.erase(it);
        } else {
            ++it;
        }
    }
}

void DecoderSetExchange::WaitForLoads()
{
    // main thread.
    ReapFinishedLoaders(true);
}

void DecoderSetExchange::Load(std::filesystem::path path, uint64_t generation)
{
    // loader thread: touches only its own reader, buffers and convolver, and at
    // the end the hand-over and retire slots.
    // A file made for the running rate beside the set's regular one is read as
    // it is, without resampling; the console lines name the file read.
    const double sampleRate = mSampleRate.load();
    const DecoderSetFile file = ChooseDecoderSetFile(path.string(), sampleRate);
    path = file.mPath;
    // However the load ends, the sets the audio thread has handed back are freed
    // here rather than wait for the next idle call.
    struct ReleaseRetiredOnExit {
        DecoderSetExchange* mExchange;
        ~ReleaseRetiredOnExit() { mExchange->ReleaseRetiredSets(); }
    } releaseRetired{this};
    const std::string pathText = path.string();
    const auto fail = [this, &pathText]() { WriteConsole("QIRMatrixDecoder couldn't load IR at %s", pathText.c_str()); };

    // A status that cannot be queried (no permission, a name too long, ...) is
    // treated like a missing file.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status)) {
        fail();
        return;
    }

    try {
        // The engine never has more than 64 input channels; later segments of an
        // oversized file are ignored rather than read. A file that holds no
        // response, or is made for a rate the sets cannot be brought from, and a
        // running rate they cannot be brought to, keep the set in use instead of
        // silencing the decoder.
        DecoderSetResponses responses;
        std::string error;
        if (!ReadDecoderSetResponses(file, sampleRate, kMaxChans, responses, error, &mShuttingDown)) {
            if (!mShuttingDown.load(std::memory_order_relaxed)) {
                fail();
            }
            return;
        }
        const auto numIns = static_cast<uint32_t>(responses.mNumInputs);
        // Every pair is made for the set's true length: the samples beyond are
        // zeros in every response, so they would add nothing but work.
        const auto length = static_cast<unsigned long>(std::max(responses.mTrueLength, 1));

        // The engine replaces whole convolvers and never changes a pair of a
        // running one, so it takes the shared-spectrum engine; in the
        // throughput configuration laid out for its batches.
        const bool batched = mBatchFrames != kFrames;
        auto convolver = std::make_unique<dspkit::Convolver>(
            numIns, kNumOutputs, dspkit::LatencyMode::ZeroLatency, dspkit::kSharedSpectrumEngine,
            batched ? ThroughputLayoutBlock(mBatchFrames, responses.mTrueLength) : 0ul,
            batched ? dspkit::kThroughputLayout : dspkit::kRealTimeLayout);
        for (uint32_t i = 0; i < numIns; ++i) {
            if (mShuttingDown.load(std::memory_order_relaxed)) {
                return;
            }
            const auto in = static_cast<int>(i);
            if (convolver->set(i, 0, responses.Response(in, 0), length, true) != dspkit::kConvolveOk ||
                convolver->set(i, 1, responses.Response(in, 1), length, true) != dspkit::kConvolveOk) {
                fail();
                return;
            }
        }
        convolver->reset();
        // One call on silence here applies the reset, touches the convolver's
        // working memory, adopts the rings it grew for responses longer than
        // 16384 samples and grows its scratch for the longest stretch the engine
        // convolves at once; the history it leaves is silence, as after the reset.
        const int warmUp = std::max(mWarmUpFrames.load(), kFrames);
        {
            const std::vector<float> silence(static_cast<std::size_t>(warmUp), 0.0f);
            std::vector<float> sink(static_cast<std::size_t>(warmUp) * kNumOutputs);
            const std::vector<const float*> ins(numIns, silence.data());
            float* outs[kNumOutputs] = {sink.data(), sink.data() + warmUp};
            convolver->process(ins.data(), outs, numIns, kNumOutputs, static_cast<unsigned long>(warmUp));
        }

        auto set = std::make_unique<DecoderSet>();
        set->mConvolver = std::move(convolver);
        set->mNumChans = static_cast<int>(numIns);
        set->mOrder = OrderForChannels(set->mNumChans);
        set->mWarmFrames = warmUp;
        set->mTailFrames = responses.mTrueLength;
        // One exchange publishes the set; a set still waiting in the slot comes
        // back and is destroyed here, never seen by the audio thread.
        DecoderSet* replaced = nullptr;
        {
            std::lock_guard<std::mutex> lock(mPublishMutex);
            if (generation < mPublishedGeneration) {
                // A later request's set is already published: this one is out of
                // date and is destroyed here, unseen by the audio thread.
                return;
            }
            mPublishedGeneration = generation;
            replaced = mPendingSet.exchange(set.release(), std::memory_order_acq_rel);
            WriteConsole("QIRMatrixDecoder loaded %s", pathText.c_str());
        }
        delete replaced;
    } catch (const std::exception&) {
        fail();
    }
}

} // namespace qir
