// convolution: uniformly partitioned overlap-save FFT convolution.
#include "convolution/PartitionedConvolver.h"
#include "convolution/RandomSeed.h"

#include "convolution/VectorKernels.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace dspkit {

PartitionedConvolver::PartitionedConvolver(unsigned long maxFFTSize, unsigned long maxLength,
                                           unsigned long offset, unsigned long length)
    : mMaxImpulseLength(maxLength)
    , mRandGenerator(randomSeed())
{
    (void)setMaxFFTSize(maxFFTSize);
    mFFTSizeLog2 = mMaxFFTSizeLog2;
    const std::uint64_t maxFFTSizeNow = std::uint64_t{1} << mMaxFFTSizeLog2;
    mRandDistribution.param(decltype(mRandDistribution)::param_type(0, maxFFTSizeNow / 2 - 1));

    mOffset = offset;
    mLength = std::min<std::uint64_t>(length, maxLength);

    const std::uint64_t half = maxFFTSizeNow / 2;
    // Capacity beyond what four arrays of it can address is refused outright.
    if (mMaxImpulseLength > std::numeric_limits<std::size_t>::max() / 8) {
        throw std::bad_alloc();
    }
    mMaxImpulseLength = (mMaxImpulseLength + half - 1) / half * half;

    mSpectraMemory = makeAlignedArray<float>(4 * mMaxImpulseLength);
    mTimeMemory = makeAlignedArray<float>(4 * maxFFTSizeNow);
    dspkit_create_setup(&mFFTSetup, mMaxFFTSizeLog2);
    if (mFFTSetup == nullptr) {
        throw std::bad_alloc();
    }

    float* spectra = mSpectraMemory.get();
    mImpulseSpectra = {spectra, spectra + mMaxImpulseLength};
    mInputSpectra = {spectra + 2 * mMaxImpulseLength, spectra + 3 * mMaxImpulseLength};

    float* time = mTimeMemory.get();
    for (int i = 0; i < 2; ++i) {
        mFFTBuffers[i] = time + i * maxFFTSizeNow;
    }
    mAccumSpectrum = {time + 2 * maxFFTSizeNow, time + 2 * maxFFTSizeNow + half};
    mPartitionTemp = time + 3 * maxFFTSizeNow;
}

PartitionedConvolver::~PartitionedConvolver()
{
    dspkit_destroy_setup(mFFTSetup);
}

unsigned long PartitionedConvolver::log2(unsigned long value) noexcept
{
    unsigned long exponent = 0;
    while (exponent < 63 && (1ul << exponent) < value) {
        ++exponent;
    }
    return exponent;
}

ConvolveStatus PartitionedConvolver::setMaxFFTSize(unsigned long maxFFTSize) noexcept
{
    unsigned long exponent = log2(maxFFTSize);
    exponent = std::min(exponent, kMaxFFTSizeLog2);
    // Sizes 0 and 1 are raised like the other small ones, so every convolver has
    // a usable FFT size.
    exponent = std::max(exponent, kMinFFTSizeLog2);
    mMaxFFTSizeLog2 = exponent;

    if (maxFFTSize < (1ul << kMinFFTSizeLog2)) {
        return kConvolveMaxFFTSizeTooSmall;
    }
    if (maxFFTSize > (1ul << kMaxFFTSizeLog2)) {
        return kConvolveMaxFFTSizeTooLarge;
    }
    if ((maxFFTSize & (maxFFTSize - 1)) != 0) {
        return kConvolveMaxFFTSizeNotPowerOfTwo;
    }
    return kConvolveOk;
}

ConvolveStatus PartitionedConvolver::setFFTSize(unsigned long fftSize) noexcept
{
    const unsigned long exponent = log2(fftSize);
    if (exponent < kMinFFTSizeLog2 || exponent > mMaxFFTSizeLog2) {
        return kConvolveFFTSizeOutOfRange;
    }
    if (exponent != mFFTSizeLog2) {
        mNumPartitions = 0;
        mFFTSizeLog2 = exponent;
    }
    mRandDistribution.param(decltype(mRandDistribution)::param_type(0, fftSize / 2 - 1));
    return (fftSize & (fftSize - 1)) != 0 ? kConvolveFFTSizeNotPowerOfTwo : kConvolveOk;
}

void PartitionedConvolver::setOffset(unsigned long offset) noexcept
{
    mOffset = offset;
}

ConvolveStatus PartitionedConvolver::setLength(unsigned long length) noexcept
{
    mLength = std::min<std::uint64_t>(length, mMaxImpulseLength);
    return length > mMaxImpulseLength ? kConvolvePartitionLengthTooLarge : kConvolveOk;
}

void PartitionedConvolver::setResetOffset(long offset) noexcept
{
    mResetOffset = offset;
}

DSPSplitComplex PartitionedConvolver::irPartition(std::uint64_t index) const noexcept
{
    DSPSplitComplex partition;
    offsetSplitPointer(partition, mImpulseSpectra, index << (mFFTSizeLog2 - 1));
    return partition;
}

DSPSplitComplex PartitionedConvolver::inputSlot(std::uint64_t slot) const noexcept
{
    DSPSplitComplex spectrum;
    offsetSplitPointer(spectrum, mInputSpectra, slot << (mFFTSizeLog2 - 1));
    return spectrum;
}

ConvolveStatus PartitionedConvolver::set(const float* ir, unsigned long irLength) noexcept
{
    const std::uint64_t fftSize = std::uint64_t{1} << mFFTSizeLog2;
    const std::uint64_t half = fftSize / 2;

    const std::uint64_t available = (ir != nullptr && irLength >= mOffset) ? irLength - mOffset : 0;
    const std::uint64_t window = mLength != 0 ? std::min(mLength, available) : available;
    const std::uint64_t used = std::min(window, mMaxImpulseLength);

    std::uint64_t partitions = 0;
    for (std::uint64_t start = 0; start < used; start += half, ++partitions) {
        const std::uint64_t count = std::min(used - start, half);
        std::memcpy(mPartitionTemp, ir + mOffset + start, count * sizeof(float));
        std::fill(mPartitionTemp + count, mPartitionTemp + fftSize, 0.0f);
        const DSPSplitComplex spectrum = irPartition(partitions);
        dspkit_rfft(mFFTSetup, mPartitionTemp, &spectrum, fftSize, mFFTSizeLog2);
    }
    mNumPartitions = partitions;
    mResetFlag = true;
    return window > mMaxImpulseLength ? kConvolveMemoryTooSmall : kConvolveOk;
}

void PartitionedConvolver::reset() noexcept
{
    mResetFlag = true;
}

void PartitionedConvolver::resetNow() noexcept
{
    const std::uint64_t maxFFTSize = std::uint64_t{1} << mMaxFFTSizeLog2;
    const std::uint64_t half = (std::uint64_t{1} << mFFTSizeLog2) / 2;
    std::fill_n(mTimeMemory.get(), 3 * maxFFTSize, 0.0f);
    if (mResetOffset >= 0) {
        mRWCounter = static_cast<std::uint64_t>(mResetOffset) & (half - 1);
    } else {
        mRWCounter = mRandDistribution(mRandGenerator);
    }
    mInputPosition = 0;
    mPartitionsDone = 0;
    mLastPartition = 0;
    mValidPartitions = 1;
    mResetFlag = false;
}

void PartitionedConvolver::processPartition(const DSPSplitComplex& in1, const DSPSplitComplex& in2,
                                            const DSPSplitComplex& out, unsigned long numBins) noexcept
{
    // Bin 0 holds two unrelated real terms; it is run through the complex loop
    // like the others and then put right from the saved accumulator values.
    const float dc = out.realp[0] + in1.realp[0] * in2.realp[0];
    const float nyquist = out.imagp[0] + in1.imagp[0] * in2.imagp[0];
    multiplyAccumulateSpectra(out.realp, out.imagp, in1.realp, in1.imagp, in2.realp, in2.imagp, numBins);
    out.realp[0] = dc;
    out.imagp[0] = nyquist;
}

void PartitionedConvolver::accumulatePartition(const DSPSplitComplex& in1, const DSPSplitComplex& in2,
                                               bool first) noexcept
{
    const std::uint64_t numBins = (std::uint64_t{1} << mFFTSizeLog2) / 2;
    if (!first) {
        processPartition(in1, in2, mAccumSpectrum, numBins);
        return;
    }
    const DSPSplitComplex& out = mAccumSpectrum;
    const float dc = in1.realp[0] * in2.realp[0];
    const float nyquist = in1.imagp[0] * in2.imagp[0];
    multiplySpectra(out.realp, out.imagp, in1.realp, in1.imagp, in2.realp, in2.imagp, numBins);
    out.realp[0] = dc;
    out.imagp[0] = nyquist;
}

bool PartitionedConvolver::process(const float* in, float* out, unsigned long numSamples) noexcept
{
    return processImpl<false>(in, out, numSamples);
}

bool PartitionedConvolver::processAccumulate(const float* in, float* out, unsigned long numSamples) noexcept
{
    return processImpl<true>(in, out, numSamples);
}

template <bool Accumulate>
bool PartitionedConvolver::processImpl(const float* in, float* out, unsigned long numSamples) noexcept
{
    if (mNumPartitions == 0) {
        return false;
    }
    if (mResetFlag) {
        resetNow();
    }

    const std::uint64_t fftSize = std::uint64_t{1} << mFFTSizeLog2;
    const std::uint64_t half = fftSize / 2;
    const float scale = 1.0f / static_cast<float>(fftSize * 4);
    float* const input = mFFTBuffers[0];
    float* const output = mFFTBuffers[1];

    std::uint64_t counter = mRWCounter;
    while (numSamples > 0) {
        const std::uint64_t hopPosition = counter & (half - 1);
        const std::uint64_t chunk = std::min<std::uint64_t>(numSamples, half - hopPosition);

        // Input goes in before output comes out, so in and out may alias.
        std::memcpy(input + counter, in, chunk * sizeof(float));
        if constexpr (Accumulate) {
            addInPlace(out, output + counter, chunk);
        } else {
            std::memcpy(out, output + counter, chunk * sizeof(float));
        }

        counter += chunk;
        const std::uint64_t hopDone = counter & (half - 1);

        // Spread the products of this hop over its samples in proportion.
        const std::uint64_t target =
            hopDone != 0 ? ((mValidPartitions - 1) * hopDone) / half : mValidPartitions - 1;
        std::uint64_t toDo = target - mPartitionsDone;
        while (toDo > 0) {
            const std::uint64_t start = mLastPartition < mNumPartitions ? mLastPartition : 0;
            const std::uint64_t end = std::min(start + toDo, mNumPartitions);
            mLastPartition = end;
            toDo = start + toDo - end;
            for (std::uint64_t slot = start; slot < end; ++slot) {
                const bool first = mPartitionsDone == 0;
                accumulatePartition(inputSlot(slot), irPartition(++mPartitionsDone), first);
            }
        }

        if (hopDone == 0) {
            // The block to transform is the last fftSize samples, newest half
            // first: the input buffer as it stands after the first half-hop,
            // rotated by half a block after the second.
            const DSPSplitComplex newest = inputSlot(mInputPosition);
            if (counter == fftSize) {
                dspkit_rfft_rotated(mFFTSetup, input, &newest, mFFTSizeLog2);
            } else {
                dspkit_rfft(mFFTSetup, input, &newest, fftSize, mFFTSizeLog2);
            }
            accumulatePartition(newest, irPartition(0), mPartitionsDone == 0);
            dspkit_rifft_scaled(mFFTSetup, &mAccumSpectrum, output + (counter == fftSize ? 0 : half), half,
                                scale, mFFTSizeLog2);

            mValidPartitions = std::min(mValidPartitions + 1, mNumPartitions);
            mLastPartition = mInputPosition != 0 ? mInputPosition : mNumPartitions;
            mInputPosition = mLastPartition - 1;
            mPartitionsDone = 0;
            counter &= fftSize - 1;
        }

        in += chunk;
        out += chunk;
        numSamples -= chunk;
    }
    mRWCounter = counter;
    return true;
}

} // namespace dspkit
