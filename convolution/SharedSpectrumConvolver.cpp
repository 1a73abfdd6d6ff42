// convolution: the N-to-M convolution engine that shares work between pairs.
#include "convolution/SharedSpectrumConvolver.h"

#include "convolution/SpectrumKernels.h"
#include "convolution/VectorKernels.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace dspkit {

namespace {

void spinPause() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
}

// An FFT setup owned by one control call (setups serve one thread at a time).
class ControlSetup {
public:
    explicit ControlSetup(unsigned long log2n)
    {
        dspkit_create_setup(&mSetup, log2n);
        if (mSetup == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~ControlSetup() { dspkit_destroy_setup(mSetup); }
    ControlSetup(const ControlSetup&) = delete;
    ControlSetup& operator=(const ControlSetup&) = delete;
    [[nodiscard]] FFTSetup get() const noexcept { return mSetup; }

private:
    FFTSetup mSetup = nullptr;
};

} // namespace

struct SharedSpectrumConvolver::Pair {
    // Held by a control thread while it changes the fields below, tried once
    // per call by the audio thread.
    std::atomic<bool> mBusy{false};
    // Length of the loaded response; 0 while there is none or while a control
    // thread is changing the pair.
    std::atomic<std::uint64_t> mLength{0};
    std::atomic<bool> mResetPending{false};

    // Written under mBusy by control threads. The capacity is the longest
    // response the pair accepts; its final-segment spectra are held only for
    // the partitions its response needs up to its last non-zero sample.
    std::uint64_t mCapacity = 0;
    AlignedArray<float> mHead;
    AlignedArray<float> mFinal;
    std::uint64_t mFinalSlots = 0;
    std::uint64_t mPartitions[kMaxSegments] = {};
    bool mHeadLoaded = false;

    // Audio thread only.
    bool mActive = false;
    std::int64_t mFirstClean[kMaxSegments] = {};
    std::uint64_t mHeadAge = 0;
};

// Accumulation spectra of the hops to come: per group and output, one slot per
// partition the segment holds; slot (current + p) of a group sums the products
// that its hop p hops from now will inverse-transform.
struct SharedSpectrumConvolver::Ring {
    AlignedArray<float> mData;
    std::uint64_t mSlots = 0;
    // The ring retired before this one, while both wait for a control thread
    // to free them.
    Ring* mNextRetired = nullptr;
};

struct SharedSpectrumConvolver::Group {
    unsigned int mIndex = 0;
    unsigned int mBegin = 0;
    unsigned int mEnd = 0;
    std::uint64_t mPhase = 0;
    std::uint64_t mCounter = 0;
    // Index of the next hop boundary since the last full reset.
    std::uint64_t mHopIndex = 0;
    // Ring slot of the accumulation spectrum the next hop boundary completes.
    std::uint64_t mCurrent = 0;
};

// A segment as the layout plans it, with its buffers.
struct SharedSpectrumConvolver::Segment : SegmentPlan {
    std::size_t mIndex = 0;
    std::uint64_t mNumIns = 0;
    FFTSetup mSetup = nullptr;
    // The buffers below exist once the segment is live: from the first set of
    // a response that reaches it (they are never released before the
    // convolver is).
    // Per input: the last mSize samples, written at the group's counter.
    AlignedArray<float> mInputTime;
    // Per group and output: the accumulation spectra of the hops to come, and
    // the output buffer.
    std::unique_ptr<Ring> mRing;
    AlignedArray<float> mOutput;
    // Two input spectra of scratch: each input's spectrum is formed at its
    // hop boundary and multiplied with every partition at once, while it is
    // in cache.
    AlignedArray<float> mScratch;
    // Segments before the final one: the response spectra of all pairs, laid
    // out by input, partition and output, so that one input's products read
    // one contiguous stretch.
    AlignedArray<float> mSpectra;
    std::vector<Group> mGroups;
    std::vector<unsigned int> mGroupOfInput;

    Segment() = default;
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
    ~Segment() { dspkit_destroy_setup(mSetup); }

    [[nodiscard]] float* inputTime(unsigned int in) const noexcept { return mInputTime.get() + mSize * in; }
    [[nodiscard]] float* accum(const Group& g, unsigned int out, unsigned int numOuts, std::uint64_t slot) const noexcept
    {
        return mRing->mData.get() +
               ((static_cast<std::uint64_t>(g.mIndex) * numOuts + out) * mRing->mSlots + slot) * mSize;
    }
    [[nodiscard]] float* output(const Group& g, unsigned int out, unsigned int numOuts) const noexcept
    {
        return mOutput.get() + (static_cast<std::uint64_t>(g.mIndex) * numOuts + out) * mSize;
    }
};

SharedSpectrumConvolver::SharedSpectrumConvolver(unsigned int numIns, unsigned int numOuts,
                                                 unsigned long maxLength, LatencyMode latency,
                                                 unsigned long blockSize, EConvolverLayout layout)
    : mNumIns(std::max(1u, numIns))
    , mNumOuts(numOuts)
    , mLayout(latency, mNumIns, mNumOuts, maxLength, blockSize, layout)
    , mLatency(mLayout.getLatency())
    , mHeadTaps(mLayout.getHeadTaps())
{
    const std::vector<SegmentPlan>& plans = mLayout.getSegments();
    for (std::size_t j = 0; j < plans.size(); ++j) {
        auto segment = std::make_unique<Segment>();
        static_cast<SegmentPlan&>(*segment) = plans[j];
        segment->mIndex = j;
        segment->mNumIns = mNumIns;
        mSegments.push_back(std::move(segment));
    }

    // Larger hops run their inputs in groups at phases spread over the hop, and
    // the sizes at phases apart from each other: in blocks of the first hop
    // (128 samples in the standard layout) no two of the larger sizes' groups
    // end in the same block, for sixteen inputs and more. The second size's hops end at multiples of
    // twice the first hop (of four), the third's one first hop later, the
    // fourth's two.
    const std::uint64_t firstHop = mSegments.front()->mHop;
    for (auto& segment : mSegments) {
        const std::uint64_t hop = segment->mHop;
        // Groups of fewer than four inputs would cost more in products (the
        // kernel takes two inputs per pass) than they save in spread.
        const unsigned int groups = hop >= 8 * firstHop && mNumIns >= 16 ? 4 : 1;
        const std::uint64_t base = segment->mIndex > 0 ? (segment->mIndex - 1) * firstHop : 0;
        segment->mGroupOfInput.resize(mNumIns);
        for (unsigned int g = 0; g < groups; ++g) {
            Group group;
            group.mIndex = g;
            group.mBegin = static_cast<unsigned int>(static_cast<std::uint64_t>(g) * mNumIns / groups);
            group.mEnd = static_cast<unsigned int>(static_cast<std::uint64_t>(g + 1) * mNumIns / groups);
            const std::uint64_t boundary = (base + g * (hop / groups)) % hop;
            group.mPhase = (hop - boundary) % hop;
            group.mCounter = group.mPhase;
            for (unsigned int i = group.mBegin; i < group.mEnd; ++i) {
                segment->mGroupOfInput[i] = g;
            }
            segment->mGroups.push_back(group);
        }
        dspkit_create_setup(&segment->mSetup, segment->mLog2);
        if (segment->mSetup == nullptr) {
            throw std::bad_alloc();
        }
    }

    const std::uint64_t pairs = static_cast<std::uint64_t>(mNumIns) * mNumOuts;
    mPairs = std::make_unique<Pair[]>(pairs);
    for (std::uint64_t p = 0; p < pairs; ++p) {
        Pair& target = mPairs[p];
        if (mHeadTaps > 0) {
            target.mHead = makeAlignedArray<float>(mHeadTaps);
        }
        target.mCapacity = maxLength;
    }

    if (mHeadTaps > 0) {
        const std::uint64_t stride = mHeadTaps - 1 + kHeadChunk;
        mHeadHistory = makeAlignedArray<float>(stride * mNumIns);
        std::fill_n(mHeadHistory.get(), stride * mNumIns, 0.0f);
        mZeroTaps = makeAlignedArray<float>(mHeadTaps);
        std::fill_n(mZeroTaps.get(), mHeadTaps, 0.0f);
        mHeadSignals.resize(mNumIns);
        mHeadFilters.resize(static_cast<std::size_t>(mNumIns) * 2);
        const std::uint64_t size = mSegments.front()->mSize;
        mHeadSpectra = makeAlignedArray<float>(pairs * size);
        std::fill_n(mHeadSpectra.get(), pairs * size, 0.0f);
        mHeadAccum = makeAlignedArray<float>(std::max(1u, mNumOuts) * size);
        std::fill_n(mHeadAccum.get(), std::max(1u, mNumOuts) * size, 0.0f);
        mHeadOutput = makeAlignedArray<float>(mHeadTaps);
    }
}

void SharedSpectrumConvolver::makeLive(Segment& segment, std::uint64_t finalSlots)
{
    // Everything is written once here, so that the audio thread never touches
    // a page for the first time.
    const std::uint64_t size = segment.mSize;
    const std::uint64_t perGroup = static_cast<std::uint64_t>(segment.mGroups.size()) * std::max(1u, mNumOuts) * size;
    const auto zeroed = [](std::uint64_t count) {
        AlignedArray<float> array = makeAlignedArray<float>(count);
        std::fill_n(array.get(), count, 0.0f);
        return array;
    };
    segment.mInputTime = zeroed(size * mNumIns);
    segment.mOutput = zeroed(perGroup);
    segment.mScratch = zeroed(2 * size);
    if (!segment.mFinal) {
        segment.mSpectra = zeroed(segment.mMaxPartitions * size * mNumIns * mNumOuts);
    }
    auto ring = std::make_unique<Ring>();
    ring->mSlots = segment.mFinal ? std::max<std::uint64_t>(finalSlots, 1) : segment.mMaxPartitions;
    ring->mData = zeroed(ring->mSlots * perGroup);
    segment.mRing = std::move(ring);
    if (segment.mFinal) {
        mRequestedFinalSlots = segment.mRing->mSlots;
    }
}

void SharedSpectrumConvolver::ensureLive(std::size_t count, std::uint64_t finalSlots)
{
    std::lock_guard<std::mutex> lock(mControlMutex);
    const std::size_t live = mLiveSegments.load(std::memory_order_relaxed);
    if (count <= live) {
        if (count == mSegments.size() && finalSlots > mRequestedFinalSlots) {
            requestFinalRing(finalSlots);
        }
        return;
    }
    for (std::size_t s = live; s < count; ++s) {
        makeLive(*mSegments[s], finalSlots);
    }
    // Published before the pair that needs the segments is, so that the audio
    // thread, which reads this after taking the pairs' locks, processes them
    // from the first call in which that pair sounds.
    mLiveSegments.store(count, std::memory_order_release);
}

SharedSpectrumConvolver::~SharedSpectrumConvolver()
{
    delete mPendingRing.exchange(nullptr);
    releaseRetiredRing();
}

unsigned long SharedSpectrumConvolver::getFirstHop() const noexcept
{
    return static_cast<unsigned long>(mSegments.front()->mHop);
}

SharedSpectrumConvolver::Pair& SharedSpectrumConvolver::pair(unsigned int in, unsigned int out) const noexcept
{
    return mPairs[static_cast<std::uint64_t>(in) * mNumOuts + out];
}

namespace {

// Waits for a pair's lock: at most the rest of one audio-thread call.
void lockPair(std::atomic<bool>& busy) noexcept
{
    while (busy.exchange(true, std::memory_order_acquire)) {
        for (int spin = 0; busy.load(std::memory_order_relaxed); ++spin) {
            if (spin < 64) {
                spinPause();
            } else {
                std::this_thread::yield();
            }
        }
    }
}

} // namespace

void SharedSpectrumConvolver::releaseRetiredRing() noexcept
{
    for (Ring* ring = mRetiredRing.exchange(nullptr, std::memory_order_acquire); ring != nullptr;) {
        Ring* next = ring->mNextRetired;
        delete ring;
        ring = next;
    }
}

void SharedSpectrumConvolver::requestFinalRing(std::uint64_t slots)
{
    // Called with the control mutex held.
    if (slots <= mRequestedFinalSlots) {
        return;
    }
    const Segment& last = *mSegments.back();
    const std::uint64_t floats = slots * last.mGroups.size() * std::max(1u, mNumOuts) * last.mSize;
    auto ring = std::make_unique<Ring>();
    ring->mSlots = slots;
    ring->mData = makeAlignedArray<float>(floats);
    std::fill_n(ring->mData.get(), floats, 0.0f);
    // A larger ring the audio thread has not taken yet is never seen by it.
    delete mPendingRing.exchange(ring.release(), std::memory_order_acq_rel);
    mRequestedFinalSlots = slots;
}

float* SharedSpectrumConvolver::irPartition(unsigned int in, unsigned int out, const Segment& segment,
                                            std::uint64_t partition) const noexcept
{
    if (segment.mFinal) {
        return pair(in, out).mFinal.get() + partition * segment.mSize;
    }
    return segment.mSpectra.get() + ((in * segment.mMaxPartitions + partition) * mNumOuts + out) * segment.mSize;
}

void SharedSpectrumConvolver::loadSpectra(unsigned int in, unsigned int out, const float* ir, std::uint64_t length)
{
    // length is the response's true length; the pair's segments hold exactly
    // the partitions it needs.
    Pair& target = pair(in, out);
    if (mHeadTaps > 0) {
        float* head = target.mHead.get();
        for (std::uint64_t p = 0; p < mHeadTaps; ++p) {
            const std::uint64_t tap = mHeadTaps - 1 - p;
            head[p] = tap < length ? ir[tap] : 0.0f;
        }
        target.mHeadLoaded = length > 0;
    }
    std::uint64_t partitions[kMaxSegments] = {};
    unsigned long largest = mSegments.front()->mLog2;
    for (std::size_t s = 0; s < mSegments.size(); ++s) {
        partitions[s] = mLayout.partitionsFor(s, length, target.mCapacity);
        if (partitions[s] > 0) {
            largest = mSegments[s]->mLog2;
        }
    }
    if (length == 0) {
        std::fill(std::begin(target.mPartitions), std::end(target.mPartitions), 0);
        return;
    }
    ControlSetup setup(largest);
    AlignedArray<float> scratch = makeAlignedArray<float>(std::uint64_t{1} << largest);
    if (mHeadTaps > 0) {
        // The head taps in plain order, zero-padded to the smallest segment's
        // size: times the spectrum of a hop's input window, its inverse starts
        // with that hop's head output (the window is transformed newest half
        // first).
        const Segment& first = *mSegments.front();
        const std::uint64_t count = std::min<std::uint64_t>(length, mHeadTaps);
        std::memcpy(scratch.get(), ir, count * sizeof(float));
        std::fill(scratch.get() + count, scratch.get() + first.mSize, 0.0f);
        float* spectrum = mHeadSpectra.get() + (static_cast<std::uint64_t>(in) * mNumOuts + out) * first.mSize;
        const DSPSplitComplex split{spectrum, spectrum + first.mSize / 2};
        dspkit_rfft(setup.get(), scratch.get(), &split, first.mSize, first.mLog2);
    }
    for (std::size_t s = 0; s < mSegments.size(); ++s) {
        const Segment& segment = *mSegments[s];
        const std::uint64_t start = segment.mWindowStart;
        const std::uint64_t used = std::min(length - std::min(length, start), partitions[s] * segment.mHop);
        for (std::uint64_t p = 0; p < partitions[s]; ++p) {
            const std::uint64_t offset = p * segment.mHop;
            const std::uint64_t count = std::min(used - offset, segment.mHop);
            std::memcpy(scratch.get(), ir + start + offset, count * sizeof(float));
            std::fill(scratch.get() + count, scratch.get() + segment.mSize, 0.0f);
            PackedSpectrum spectrum = spectrumAt(irPartition(in, out, segment, p), segment.mSize);
            const DSPSplitComplex split{spectrum.realp, spectrum.imagp};
            dspkit_rfft(setup.get(), scratch.get(), &split, segment.mSize, segment.mLog2);
        }
        target.mPartitions[s] = partitions[s];
    }
}

ConvolveStatus SharedSpectrumConvolver::set(unsigned int in, unsigned int out, const float* ir,
                                            unsigned long irLength, bool requestResize)
{
    if (out >= mNumOuts) {
        return kConvolveOutputOutOfRange;
    }
    if (in >= mNumIns) {
        return kConvolveInputOutOfRange;
    }
    releaseRetiredRing();
    Pair& target = pair(in, out);
    // Silent from the audio thread's next call until the new response is in.
    target.mLength.store(0, std::memory_order_release);
    const std::uint64_t length = ir != nullptr ? irLength : 0;
    // Trailing exact zeros add nothing to any output: the response is held and
    // convolved up to its last non-zero sample only, which gives the same
    // sums as the whole response.
    std::uint64_t trueLength = length;
    while (trueLength > 0 && ir[trueLength - 1] == 0.0f) {
        --trueLength;
    }
    // Only control threads write the capacity, and calls on one pair are
    // serialised by the caller.
    const std::uint64_t capacity = requestResize ? length : target.mCapacity;

    // The segments the response reaches are made live, and the final
    // segment's shared ring grown, before the pair can sound.
    std::size_t reached = 0;
    for (std::size_t s = 0; s < mSegments.size(); ++s) {
        if (mLayout.partitionsFor(s, trueLength, capacity) > 0 || (s == 0 && trueLength > 0)) {
            reached = s + 1;
        }
    }
    const Segment& last = *mSegments.back();
    const std::uint64_t finalPartitions = mLayout.partitionsFor(mSegments.size() - 1, trueLength, capacity);
    AlignedArray<float> fresh;
    try {
        ensureLive(reached, finalPartitions);
        if (finalPartitions > target.mFinalSlots) {
            fresh = makeAlignedArray<float>(finalPartitions * last.mSize);
        }
    } catch (const std::bad_alloc&) {
        return kConvolveMemoryUnavailable;
    }

    lockPair(target.mBusy);
    if (fresh) {
        target.mFinal = std::move(fresh);
        target.mFinalSlots = finalPartitions;
    }
    target.mCapacity = capacity;
    try {
        loadSpectra(in, out, ir, trueLength);
    } catch (const std::bad_alloc&) {
        target.mBusy.store(false, std::memory_order_release);
        return kConvolveMemoryUnavailable;
    }
    target.mResetPending.store(true, std::memory_order_relaxed);
    target.mLength.store(length, std::memory_order_relaxed);
    target.mBusy.store(false, std::memory_order_release);
    return capacity < length ? kConvolveMemoryTooSmall : kConvolveOk;
}

ConvolveStatus SharedSpectrumConvolver::resize(unsigned int in, unsigned int out, unsigned long length)
{
    if (out >= mNumOuts || in >= mNumIns) {
        return kConvolveInputOutOfRange;
    }
    releaseRetiredRing();
    Pair& target = pair(in, out);
    target.mLength.store(0, std::memory_order_release);
    // Memory follows the responses set later, so only the capacity changes.
    lockPair(target.mBusy);
    target.mCapacity = length;
    target.mBusy.store(false, std::memory_order_release);
    return kConvolveOk;
}

ConvolveStatus SharedSpectrumConvolver::reset(unsigned int in, unsigned int out) noexcept
{
    if (out >= mNumOuts) {
        return kConvolveOutputOutOfRange;
    }
    if (in >= mNumIns) {
        return kConvolveInputOutOfRange;
    }
    pair(in, out).mResetPending.store(true, std::memory_order_relaxed);
    return kConvolveOk;
}

void SharedSpectrumConvolver::reset() noexcept
{
    mResetAll.store(true, std::memory_order_relaxed);
}

void SharedSpectrumConvolver::adoptPendingRing() noexcept
{
    // Taken over whether or not the rings retired before have been freed yet:
    // the control call that made this one may have been the last.
    if (mPendingRing.load(std::memory_order_relaxed) == nullptr) {
        return;
    }
    Ring* fresh = mPendingRing.exchange(nullptr, std::memory_order_acq_rel);
    if (fresh == nullptr) {
        return;
    }
    Segment& last = *mSegments.back();
    std::unique_ptr<Ring> old = std::move(last.mRing);
    // The current accumulation to slot 0 and the later ones after it, so that
    // the ring runs on as before with the larger slot count (the new slots
    // are empty).
    const unsigned int outs = std::max(1u, mNumOuts);
    for (Group& group : last.mGroups) {
        for (unsigned int o = 0; o < outs; ++o) {
            const std::uint64_t base = static_cast<std::uint64_t>(group.mIndex) * outs + o;
            for (std::uint64_t k = 0; k < old->mSlots; ++k) {
                const std::uint64_t from = (group.mCurrent + k) % old->mSlots;
                std::memcpy(fresh->mData.get() + (base * fresh->mSlots + k) * last.mSize,
                            old->mData.get() + (base * old->mSlots + from) * last.mSize, last.mSize * sizeof(float));
            }
        }
        group.mCurrent = 0;
    }
    last.mRing.reset(fresh);
    // The old ring joins those not yet freed; a control thread that takes the
    // list meanwhile finds it empty and leaves it to the next one.
    old->mNextRetired = mRetiredRing.exchange(nullptr, std::memory_order_acquire);
    mRetiredRing.store(old.release(), std::memory_order_release);
}

void SharedSpectrumConvolver::resetAllNow(std::size_t live) noexcept
{
    for (std::size_t s = 0; s < live; ++s) {
        Segment* segment = mSegments[s].get();
        const std::uint64_t groups = segment->mGroups.size();
        const std::uint64_t perGroup = groups * std::max(1u, mNumOuts) * segment->mSize;
        std::fill_n(segment->mInputTime.get(), segment->mSize * mNumIns, 0.0f);
        std::fill_n(segment->mRing->mData.get(), perGroup * segment->mRing->mSlots, 0.0f);
        std::fill_n(segment->mOutput.get(), perGroup, 0.0f);
        for (Group& group : segment->mGroups) {
            group.mCounter = group.mPhase;
            group.mHopIndex = 0;
            group.mCurrent = 0;
        }
    }
    const std::uint64_t pairs = static_cast<std::uint64_t>(mNumIns) * mNumOuts;
    for (std::uint64_t p = 0; p < pairs; ++p) {
        std::fill(std::begin(mPairs[p].mFirstClean), std::end(mPairs[p].mFirstClean), 0);
        mPairs[p].mHeadAge = mHeadTaps;
    }
}

void SharedSpectrumConvolver::startPairAfresh(unsigned int in, Pair& target) noexcept
{
    // The first hop whose transform window (the last size samples before its
    // boundary) lies wholly after now: the next but one, or the next when a hop
    // starts exactly now.
    for (std::size_t s = 0; s < mSegments.size(); ++s) {
        const Segment& segment = *mSegments[s];
        const Group& group = segment.mGroups[segment.mGroupOfInput[in]];
        const bool atHopStart = (group.mCounter & (segment.mHop - 1)) == 0;
        target.mFirstClean[s] = static_cast<std::int64_t>(group.mHopIndex + (atHopStart ? 1 : 2));
    }
    target.mHeadAge = 0;
}

void SharedSpectrumConvolver::process(const float* const* ins, float* const* outs, unsigned long activeIns,
                                      unsigned long numSamples) noexcept
{
    if (mNumOuts == 0) {
        return;
    }
    activeIns = std::min<unsigned long>(activeIns, mNumIns);
    adoptPendingRing();
    std::size_t live = mLiveSegments.load(std::memory_order_acquire);
    bool cleared = false;
    if (mResetAll.load(std::memory_order_relaxed) && mResetAll.exchange(false, std::memory_order_acquire)) {
        resetAllNow(live);
        cleared = true;
    }

    const std::size_t finalIndex = mSegments.size() - 1;
    const std::uint64_t finalSlots = live > finalIndex ? mSegments.back()->mRing->mSlots : 0;
    for (unsigned int i = 0; i < mNumIns; ++i) {
        for (unsigned int o = 0; o < mNumOuts; ++o) {
            Pair& target = pair(i, o);
            target.mActive = false;
            if (target.mLength.load(std::memory_order_acquire) == 0 ||
                target.mBusy.exchange(true, std::memory_order_acquire)) {
                continue;
            }
            const std::uint64_t length = target.mLength.load(std::memory_order_relaxed);
            if (length == 0 || target.mCapacity < length || target.mPartitions[finalIndex] > finalSlots) {
                target.mBusy.store(false, std::memory_order_release);
                continue;
            }
            target.mActive = true;
            if (target.mResetPending.load(std::memory_order_relaxed) &&
                target.mResetPending.exchange(false, std::memory_order_relaxed)) {
                if (cleared) {
                    std::fill(std::begin(target.mFirstClean), std::end(target.mFirstClean), 0);
                    target.mHeadAge = mHeadTaps;
                } else {
                    startPairAfresh(i, target);
                }
            }
        }
    }

    // Segments made live for a pair held now were published before that pair:
    // read after taking the pairs' locks, this covers every pair that sounds.
    // A segment that became live since the load above starts as after a reset.
    live = mLiveSegments.load(std::memory_order_acquire);

    for (unsigned int o = 0; o < mNumOuts; ++o) {
        std::fill_n(outs[o], numSamples, 0.0f);
    }
    if (numSamples > 0 && live > 0) {
        if (mHeadTaps > 0) {
            // The hops of the smallest segment that lie wholly inside this call
            // take their head output from the spectra (see completeHop).
            const Group& first = mSegments.front()->mGroups.front();
            const std::uint64_t hop = mSegments.front()->mHop;
            const std::uint64_t lead = (hop - (first.mCounter & (hop - 1))) & (hop - 1);
            const std::uint64_t hops = numSamples >= lead ? (numSamples - lead) / hop : 0;
            const unsigned long begin = hops > 0 ? static_cast<unsigned long>(lead) : numSamples;
            const unsigned long end = hops > 0 ? static_cast<unsigned long>(lead + hops * hop) : numSamples;
            processHead(ins, outs, activeIns, numSamples, begin, end);
        }
        for (std::size_t s = 0; s < live; ++s) {
            for (Group& group : mSegments[s]->mGroups) {
                processGroup(*mSegments[s], group, ins, outs, activeIns, numSamples);
            }
        }
    }

    const std::uint64_t pairs = static_cast<std::uint64_t>(mNumIns) * mNumOuts;
    for (std::uint64_t p = 0; p < pairs; ++p) {
        Pair& target = mPairs[p];
        if (target.mActive) {
            target.mHeadAge = std::min<std::uint64_t>(target.mHeadAge + numSamples, mHeadTaps);
            target.mActive = false;
            target.mBusy.store(false, std::memory_order_release);
        }
    }
}

void SharedSpectrumConvolver::processHead(const float* const* ins, float* const* outs, unsigned long activeIns,
                                          unsigned long numSamples, unsigned long spectralBegin,
                                          unsigned long spectralEnd) noexcept
{
    const std::uint64_t history = mHeadTaps - 1;
    const std::uint64_t stride = history + kHeadChunk;
    // Inputs from activeIns on are silent in this call but their earlier
    // input still rings through the head, as it does through the segments.
    bool young = false;
    for (unsigned int i = 0; i < mNumIns && !young; ++i) {
        for (unsigned int o = 0; o < mNumOuts && !young; ++o) {
            const Pair& target = pair(i, o);
            young = target.mActive && target.mHeadLoaded && target.mHeadAge < history;
        }
    }
    if (!young && spectralBegin == 0 && spectralEnd == numSamples) {
        return;
    }
    // The history before this call: the last head-length samples of each
    // input, which the smallest segment's time buffer holds as a ring ending
    // at its counter (this runs before the segments take the call's input).
    const Segment& first = *mSegments.front();
    const std::uint64_t position = first.mGroups.front().mCounter & (first.mSize - 1);
    for (unsigned int i = 0; i < mNumIns; ++i) {
        float* buffer = mHeadHistory.get() + stride * i;
        const float* ring = first.inputTime(i);
        const std::uint64_t start = (position + first.mSize - history) & (first.mSize - 1);
        const std::uint64_t straight = std::min<std::uint64_t>(history, first.mSize - start);
        std::memcpy(buffer, ring + start, straight * sizeof(float));
        std::memcpy(buffer + straight, ring, (history - straight) * sizeof(float));
    }
    for (unsigned long done = 0; done < numSamples;) {
        const std::uint64_t chunk = std::min<std::uint64_t>(numSamples - done, kHeadChunk);
        for (unsigned int i = 0; i < mNumIns; ++i) {
            float* buffer = mHeadHistory.get() + stride * i;
            if (i < activeIns) {
                std::memcpy(buffer + history, ins[i] + done, chunk * sizeof(float));
            } else {
                std::fill_n(buffer + history, chunk, 0.0f);
            }
        }
        // Direct-form sums outside the samples the spectra cover.
        const std::uint64_t chunkEnd = done + chunk;
        const std::uint64_t beforeEnd = std::min<std::uint64_t>(chunkEnd, spectralBegin);
        if (done < beforeEnd) {
            headSums(outs, done, done, beforeEnd);
        }
        const std::uint64_t afterBegin = std::max<std::uint64_t>(done, spectralEnd);
        if (afterBegin < chunkEnd) {
            headSums(outs, done, afterBegin, chunkEnd);
        }
        // Pairs that started afresh less than a head ago use only input since then.
        for (unsigned int i = 0; i < mNumIns; ++i) {
            const float* buffer = mHeadHistory.get() + stride * i;
            for (unsigned int o = 0; o < mNumOuts; ++o) {
                const Pair& target = pair(i, o);
                if (!target.mActive || !target.mHeadLoaded || target.mHeadAge >= history) {
                    continue;
                }
                const float* head = target.mHead.get();
                float* out = outs[o] + done;
                for (std::uint64_t n = 0; n < chunk; ++n) {
                    const std::uint64_t age = target.mHeadAge + done + n;
                    const std::uint64_t taps = std::min(age, history);
                    float sum = 0.0f;
                    for (std::uint64_t q = 0; q <= taps; ++q) {
                        sum += head[history - q] * buffer[history + n - q];
                    }
                    out[n] += sum;
                }
            }
        }
        done += chunk;
        if (done < numSamples) {
            for (unsigned int i = 0; i < mNumIns; ++i) {
                float* buffer = mHeadHistory.get() + stride * i;
                std::memmove(buffer, buffer + chunk, history * sizeof(float));
            }
        }
    }
}

void SharedSpectrumConvolver::headSums(float* const* outs, std::uint64_t chunkStart,
                                       std::uint64_t from, std::uint64_t to) noexcept
{
    // Samples [from, to) of the call, whose input sits in the history buffers
    // from chunkStart on.
    const std::uint64_t history = mHeadTaps - 1;
    const std::uint64_t stride = history + kHeadChunk;
    const std::uint64_t offset = from - chunkStart;
    const float* zeros = mZeroTaps.get();
    // Outputs two at a time; only inputs with a sounding pair take part.
    for (unsigned int o = 0; o < mNumOuts; o += 2) {
        const unsigned int width = std::min(2u, mNumOuts - o);
        std::size_t used = 0;
        for (unsigned int i = 0; i < mNumIns; ++i) {
            bool any = false;
            for (unsigned int k = 0; k < width; ++k) {
                const Pair& target = pair(i, o + k);
                const bool sounding = target.mActive && target.mHeadLoaded && target.mHeadAge >= history;
                mHeadFilters[used * width + k] = sounding ? target.mHead.get() : zeros;
                any = any || sounding;
            }
            if (any) {
                mHeadSignals[used] = mHeadHistory.get() + stride * i + offset;
                ++used;
            }
        }
        if (used == 0) {
            continue;
        }
        float* const pairOuts[2] = {outs[o] + from, width > 1 ? outs[o + 1] + from : nullptr};
        // A run of the kernel sums each output sample in one register; it
        // takes inputs whose taps number at most kHeadSumProducts together
        // (all of them with the 128-tap head), so that a long head rounds as
        // little as the spectra do.
        const std::size_t perRun = std::max<std::size_t>(1, kHeadSumProducts / mHeadTaps);
        for (std::size_t first = 0; first < used; first += perRun) {
            const std::size_t count = std::min(perRun, used - first);
            const float* const* signals = mHeadSignals.data() + first;
            const float* const* filters = mHeadFilters.data() + first * width;
            if (width == 2) {
                headSumTwo(signals, filters, count, pairOuts, to - from, mHeadTaps);
            } else {
                headSumOne(signals, filters, count, pairOuts, to - from, mHeadTaps);
            }
        }
    }
}

void SharedSpectrumConvolver::processGroup(Segment& segment, Group& group, const float* const* ins,
                                           float* const* outs, unsigned long activeIns,
                                           unsigned long numSamples) noexcept
{
    const std::uint64_t size = segment.mSize;
    const std::uint64_t hop = segment.mHop;
    std::uint64_t counter = group.mCounter;
    for (unsigned long done = 0; done < numSamples;) {
        const std::uint64_t position = counter & (hop - 1);
        const std::uint64_t chunk = std::min<std::uint64_t>(numSamples - done, hop - position);
        for (unsigned int i = group.mBegin; i < group.mEnd; ++i) {
            float* time = segment.inputTime(i);
            if (i < activeIns) {
                std::memcpy(time + counter, ins[i] + done, chunk * sizeof(float));
            } else {
                std::fill_n(time + counter, chunk, 0.0f);
            }
        }
        for (unsigned int o = 0; o < mNumOuts; ++o) {
            addInPlace(outs[o] + done, segment.output(group, o, mNumOuts) + counter, chunk);
        }
        counter += chunk;
        if ((counter & (hop - 1)) == 0) {
            // A hop of the smallest segment that lies wholly inside this call
            // also gives the head output of its samples.
            const bool head = segment.mIndex == 0 && mHeadTaps > 0 && chunk == hop;
            completeHop(segment, group, counter == size, head ? outs : nullptr, done);
            counter &= size - 1;
        }
        done += chunk;
    }
    group.mCounter = counter;
}

template <class Uses, class Accumulator, class Response>
void SharedSpectrumConvolver::accumulateInputs(const float* const* spectra, unsigned int firstInput,
                                               unsigned int count, std::uint64_t size, const Uses& uses,
                                               const Accumulator& accumulator, const Response& response) noexcept
{
    // For every output pair, the products of one or two inputs' spectra with
    // their responses; two inputs whose four pairs all take part go through
    // the kernel together, so that the accumulators are read and written once
    // for both.
    const std::uint64_t bins = size / 2;
    for (unsigned int o = 0; o < mNumOuts; o += 2) {
        const bool two = o + 1 < mNumOuts;
        const PackedSpectrum acc0 = spectrumAt(accumulator(o), size);
        const PackedSpectrum acc1 = two ? spectrumAt(accumulator(o + 1), size) : acc0;
        bool use[2][2] = {};
        for (unsigned int k = 0; k < count; ++k) {
            use[k][0] = uses(firstInput + k, o);
            use[k][1] = two && uses(firstInput + k, o + 1);
        }
        if (count == 2 && use[0][0] && use[0][1] && use[1][0] && use[1][1]) {
            const PackedSpectrum inputs[2] = {spectrumAt(const_cast<float*>(spectra[0]), size),
                                              spectrumAt(const_cast<float*>(spectra[1]), size)};
            const PackedSpectrum first[2] = {response(firstInput, o), response(firstInput + 1, o)};
            const PackedSpectrum second[2] = {response(firstInput, o + 1), response(firstInput + 1, o + 1)};
            multiplyAccumulatePackedTwoByTwo(acc0, acc1, inputs, first, second, bins, nullptr);
            continue;
        }
        for (unsigned int k = 0; k < count; ++k) {
            const PackedSpectrum input = spectrumAt(const_cast<float*>(spectra[k]), size);
            if (use[k][0] && use[k][1]) {
                multiplyAccumulatePackedTwo(acc0, acc1, input, response(firstInput + k, o),
                                            response(firstInput + k, o + 1), bins);
            } else if (use[k][0]) {
                multiplyAccumulatePacked(acc0, input, response(firstInput + k, o), bins);
            } else if (use[k][1]) {
                multiplyAccumulatePacked(acc1, input, response(firstInput + k, o + 1), bins);
            }
        }
    }
}

void SharedSpectrumConvolver::completeHop(Segment& segment, Group& group, bool secondHalf, float* const* headOuts,
                                          unsigned long headOffset) noexcept
{
    const std::size_t index = segment.mIndex;
    const std::uint64_t size = segment.mSize;
    const std::uint64_t hop = segment.mHop;
    const std::uint64_t slots = segment.mRing->mSlots;
    const std::uint64_t current = group.mCurrent;
    const std::uint64_t history = mHeadTaps > 0 ? mHeadTaps - 1 : 0;
    // A pair takes part in partition p with this hop's spectrum when it is
    // sounding, holds that partition and the spectrum's window lies wholly
    // after the pair last started afresh; its head when it is sounding and has
    // been for a head's length.
    const std::int64_t hopIndex = static_cast<std::int64_t>(group.mHopIndex);
    const auto clean = [&](const Pair& target) { return target.mActive && hopIndex >= target.mFirstClean[index]; };
    const auto heard = [&](const Pair& target) {
        return target.mActive && target.mHeadLoaded && target.mHeadAge >= history;
    };
    const auto needed = [&](unsigned int in) {
        for (unsigned int o = 0; o < mNumOuts; ++o) {
            const Pair& target = pair(in, o);
            if ((clean(target) && target.mPartitions[index] > 0) || (headOuts != nullptr && heard(target))) {
                return true;
            }
        }
        return false;
    };
    // Spectra are of the last size samples rotated by half, newest half first:
    // the time buffer holds them so when the counter is at its middle, and in
    // plain order when it has reached its end.
    const auto transform = [&](unsigned int in, float* spectrum) {
        const DSPSplitComplex split{spectrum, spectrum + size / 2};
        if (secondHalf) {
            dspkit_rfft_rotated(segment.mSetup, segment.inputTime(in), &split, segment.mLog2);
        } else {
            dspkit_rfft(segment.mSetup, segment.inputTime(in), &split, size, segment.mLog2);
        }
    };
    const std::uint64_t partitions = segment.mFinal ? slots : segment.mMaxPartitions;
    const std::uint64_t headSize = mSegments.front()->mSize;
    for (unsigned int i = group.mBegin; i < group.mEnd;) {
        // The next input that takes part, and its neighbour when that does
        // too (the kernel takes neighbouring inputs two at a time); each is
        // transformed once.
        if (!needed(i)) {
            ++i;
            continue;
        }
        const unsigned int first = i;
        const unsigned int count = i + 1 < group.mEnd && needed(i + 1) ? 2 : 1;
        i += count;
        const unsigned int taken[1] = {first};
        const float* spectra[2] = {segment.mScratch.get(), segment.mScratch.get() + size};
        for (unsigned int k = 0; k < count; ++k) {
            transform(taken[0] + k, const_cast<float*>(spectra[k]));
        }
        for (std::uint64_t p = 0; p < partitions; ++p) {
            accumulateInputs(
                spectra, taken[0], count, size,
                [&](unsigned int in, unsigned int out) {
                    const Pair& target = pair(in, out);
                    return clean(target) && target.mPartitions[index] > p;
                },
                [&](unsigned int out) { return segment.accum(group, out, mNumOuts, (current + p) % slots); },
                [&](unsigned int in, unsigned int out) {
                    return spectrumAt(irPartition(in, out, segment, p), size);
                });
        }
        if (headOuts != nullptr) {
            // The head output of the hop just ended: the start of the inverse
            // of its window's spectrum times the head spectra.
            accumulateInputs(
                spectra, taken[0], count, size, [&](unsigned int in, unsigned int out) { return heard(pair(in, out)); },
                [&](unsigned int out) { return mHeadAccum.get() + static_cast<std::uint64_t>(out) * size; },
                [&](unsigned int in, unsigned int out) {
                    return spectrumAt(mHeadSpectra.get() + (static_cast<std::uint64_t>(in) * mNumOuts + out) * headSize,
                                      size);
                });
        }
    }
    const float scale = 1.0f / static_cast<float>(size * 4);
    for (unsigned int o = 0; o < mNumOuts; ++o) {
        float* acc = segment.accum(group, o, mNumOuts, current);
        const DSPSplitComplex split{acc, acc + size / 2};
        dspkit_rifft_scaled(segment.mSetup, &split, segment.output(group, o, mNumOuts) + (secondHalf ? 0 : hop), hop,
                            scale, segment.mLog2);
        std::fill_n(acc, size, 0.0f);
        if (headOuts != nullptr) {
            float* headAcc = mHeadAccum.get() + static_cast<std::uint64_t>(o) * size;
            bool any = false;
            for (unsigned int in = 0; in < mNumIns && !any; ++in) {
                any = heard(pair(in, o));
            }
            if (any) {
                const DSPSplitComplex headSplit{headAcc, headAcc + size / 2};
                dspkit_rifft_scaled(segment.mSetup, &headSplit, mHeadOutput.get(), mHeadTaps, scale, segment.mLog2);
                std::fill_n(headAcc, size, 0.0f);
                addInPlace(headOuts[o] + headOffset, mHeadOutput.get(), mHeadTaps);
            }
        }
    }
    group.mCurrent = (current + 1) % slots;
    ++group.mHopIndex;
}

} // namespace dspkit
