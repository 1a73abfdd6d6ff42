// convolution: mono convolver with latency modes.
#include "convolution/MonoConvolver.h"
#include "convolution/RandomSeed.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace dspkit {

MonoConvolver::MonoConvolver(unsigned long maxLength, LatencyMode latency)
    : mRandGenerator(randomSeed())
{
    switch (latency) {
    case ZeroLatency:
        setPartitions(maxLength, true, 256, 1024, 4096, 16384);
        break;
    case ShortLatency:
        setPartitions(maxLength, false, 256, 1024, 4096, 16384);
        break;
    case MediumLatency:
        setPartitions(maxLength, false, 1024, 4096, 16384, 0);
        break;
    default:
        // A convolver without segments would silently never produce output.
        throw std::runtime_error("invalid latency mode");
    }
}

MonoConvolver::MonoConvolver(unsigned long maxLength, bool zeroLatency, unsigned int size1,
                             unsigned int size2, unsigned int size3, unsigned int size4)
    : mRandGenerator(randomSeed())
{
    setPartitions(maxLength, zeroLatency, size1, size2, size3, size4);
}

MonoConvolver::MonoConvolver(MonoConvolver&& other) noexcept
{
    *this = std::move(other);
}

MonoConvolver& MonoConvolver::operator=(MonoConvolver&& other) noexcept
{
    if (this != &other) {
        mAllocator = std::move(other.mAllocator);
        mSizes = std::move(other.mSizes);
        mTimePart = std::move(other.mTimePart);
        mPart1 = std::move(other.mPart1);
        mPart2 = std::move(other.mPart2);
        mPart3 = std::move(other.mPart3);
        mFinalPart = std::move(other.mFinalPart);
        mLength.store(other.mLength.exchange(0));
        mResetOffset = other.mResetOffset;
        mResetFlag.store(other.mResetFlag.load());
        mRandGenerator = other.mRandGenerator;
        mRandDistribution = other.mRandDistribution;
    }
    return *this;
}

void MonoConvolver::largeFree(PartitionedConvolver* part) noexcept
{
    delete part;
}

void MonoConvolver::setPartitions(unsigned long maxLength, bool zeroLatency, unsigned int size1,
                                  unsigned int size2, unsigned int size3, unsigned int size4)
{
    constexpr unsigned int kMinSize = 1u << PartitionedConvolver::kMinFFTSizeLog2;
    constexpr unsigned int kMaxSize = 1u << PartitionedConvolver::kMaxFFTSizeLog2;
    for (const unsigned int size : {size1, size2, size3, size4}) {
        if (size == 0) {
            continue;
        }
        // Sizes that are not powers of two are refused as well: a segment would
        // round its size up and its latency would no longer match its window.
        const bool valid = size >= kMinSize && size <= kMaxSize && (size & (size - 1)) == 0 &&
                           (mSizes.empty() || size > mSizes.back());
        if (!valid) {
            throw std::runtime_error("invalid FFT size or order");
        }
        mSizes.push_back(size);
    }
    if (mSizes.empty()) {
        throw std::runtime_error("no valid FFT sizes given");
    }
    // The direct head covers half the first FFT size; it holds at most 2044 taps.
    if (zeroLatency && mSizes[0] / 2 > DirectConvolver::kMaxImpulseLength) {
        throw std::runtime_error("invalid FFT size or order");
    }

    SwappableMemory<PartitionedConvolver>::Ptr finalPart = mFinalPart.acquire();

    std::uint32_t offset = 0;
    if (zeroLatency) {
        offset = mSizes[0] / 2;
        mTimePart = std::make_unique<DirectConvolver>(0, mSizes[0] / 2);
    }
    const std::size_t n = mSizes.size();
    if (n == 4) {
        const std::uint32_t d = (mSizes[1] - mSizes[0]) / 2;
        mPart1 = std::make_unique<PartitionedConvolver>(mSizes[0], d, offset, d);
        offset += d;
    }
    if (n >= 3) {
        const std::uint32_t d = (mSizes[n - 2] - mSizes[n - 3]) / 2;
        mPart2 = std::make_unique<PartitionedConvolver>(mSizes[n - 3], d, offset, d);
        offset += d;
    }
    if (n >= 2) {
        const std::uint32_t d = (mSizes[n - 1] - mSizes[n - 2]) / 2;
        mPart3 = std::make_unique<PartitionedConvolver>(mSizes[n - 2], d, offset, d);
        offset += d;
    }

    const std::uint64_t largest = mSizes[n - 1];
    const std::uint64_t finalOffset = offset;
    // Failures become a null part (status kConvolveMemoryUnavailable in set and
    // resize) rather than an exception through the swap.
    mAllocator = [largest, finalOffset](std::uint64_t size) -> PartitionedConvolver* {
        try {
            return new PartitionedConvolver(largest, std::max(size, largest) - finalOffset, finalOffset, 0);
        } catch (const std::exception&) {
            return nullptr;
        }
    };
    finalPart.equal(mAllocator, largeFree, maxLength);
    if (finalPart.get() == nullptr) {
        throw std::bad_alloc();
    }
    mRandDistribution.param(decltype(mRandDistribution)::param_type(0, largest / 2 - 1));
    applyResetOffset(-1, finalPart.get());
}

void MonoConvolver::applyResetOffset(long offset, PartitionedConvolver* finalPart) noexcept
{
    if (offset < 0) {
        offset = static_cast<long>(mRandDistribution(mRandGenerator));
    }
    // Each middle part is offset by the next larger FFT size / 8, a whole number
    // of its hops in the standard modes: all parts of one convolver run at one
    // phase, while convolvers drawn independently run at different ones.
    const std::size_t n = mSizes.size();
    if (mPart1) {
        mPart1->setResetOffset(offset + static_cast<long>(mSizes[n - 3] / 8));
    }
    if (mPart2) {
        mPart2->setResetOffset(offset + static_cast<long>(mSizes[n - 2] / 8));
    }
    if (mPart3) {
        mPart3->setResetOffset(offset + static_cast<long>(mSizes[n - 1] / 8));
    }
    if (finalPart != nullptr) {
        finalPart->setResetOffset(offset);
    }
    mResetOffset = offset;
}

void MonoConvolver::setResetOffset(long offset)
{
    SwappableMemory<PartitionedConvolver>::Ptr finalPart = mFinalPart.acquire();
    applyResetOffset(offset, finalPart.get());
}

ConvolveStatus MonoConvolver::resize(unsigned long length)
{
    mLength.store(0);
    SwappableMemory<PartitionedConvolver>::Ptr finalPart = mFinalPart.equal(mAllocator, largeFree, length);
    if (finalPart.get() == nullptr) {
        return kConvolveMemoryUnavailable;
    }
    finalPart->setResetOffset(mResetOffset);
    return finalPart.getSize() == length ? kConvolveOk : kConvolveMemoryUnavailable;
}

ConvolveStatus MonoConvolver::set(const float* ir, unsigned long irLength, bool requestResize)
{
    // Silent from the audio thread's next call until the new response is in.
    mLength.store(0);
    // A null response is an empty one, whatever length comes with it.
    const std::uint64_t length = ir != nullptr ? irLength : 0;
    SwappableMemory<PartitionedConvolver>::Ptr finalPart =
        requestResize ? mFinalPart.equal(mAllocator, largeFree, length) : mFinalPart.acquire();
    if (finalPart.get() == nullptr) {
        return length != 0 ? kConvolveMemoryUnavailable : kConvolveOk;
    }
    // Each segment takes its own window; their truncation statuses say nothing
    // the final check does not.
    if (mTimePart) {
        (void)mTimePart->set(ir, irLength);
    }
    for (PartitionedConvolver* part : {mPart1.get(), mPart2.get(), mPart3.get()}) {
        if (part != nullptr) {
            (void)part->set(ir, irLength);
        }
    }
    (void)finalPart->set(ir, irLength);
    finalPart->setResetOffset(mResetOffset);
    mLength.store(length);
    mResetFlag.store(true);
    return finalPart.getSize() < length ? kConvolveMemoryTooSmall : kConvolveOk;
}

ConvolveStatus MonoConvolver::reset() noexcept
{
    mResetFlag.store(true);
    return kConvolveOk;
}

void MonoConvolver::process(const float* in, [[maybe_unused]] float* temp, float* out, unsigned long numSamples,
                            bool accumulate) noexcept
{
    SwappableMemory<PartitionedConvolver>::Ptr finalPart = mFinalPart.tryAcquire();
    const std::uint64_t length = mLength.load();
    if (length == 0 || finalPart.getSize() < length) {
        return;
    }
    // A plain load first: the locked exchange is only paid when a reset waits.
    if (mResetFlag.load(std::memory_order_relaxed) && mResetFlag.exchange(false)) {
        if (mTimePart) {
            mTimePart->reset();
        }
        for (PartitionedConvolver* part : {mPart1.get(), mPart2.get(), mPart3.get(), finalPart.get()}) {
            if (part != nullptr) {
                part->reset();
            }
        }
    }

    // With accumulate false the first segment that produces output writes out
    // and every later one adds to it. Segments add straight into out, which
    // gives the same sums as adding their output through temp.
    bool outWritten = accumulate;
    const auto addSegment = [&](auto* part) {
        if (outWritten) {
            (void)part->processAccumulate(in, out, numSamples);
        } else {
            outWritten = part->process(in, out, numSamples);
        }
    };
    if (mTimePart) {
        addSegment(mTimePart.get());
    }
    for (PartitionedConvolver* part : {mPart1.get(), mPart2.get(), mPart3.get(), finalPart.get()}) {
        if (part != nullptr) {
            addSegment(part);
        }
    }
    if (!outWritten) {
        std::fill_n(out, numSamples, 0.0f);
    }
}

} // namespace dspkit
