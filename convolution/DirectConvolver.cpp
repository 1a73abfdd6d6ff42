// convolution: zero-latency direct-form convolution.
#include "convolution/DirectConvolver.h"

#include "convolution/VectorKernels.h"

#include <algorithm>
#include <cstring>

namespace dspkit {

DirectConvolver::DirectConvolver(unsigned long offset, unsigned long length)
    : mImpulseBuffer(makeAlignedArray<float>(kImpulseBufferSize))
    , mInputBuffer(makeAlignedArray<float>(2 * kInputRingSize))
    , mOffset(offset)
    , mLength(std::min(length, kMaxImpulseLength))
{
    std::fill_n(mImpulseBuffer.get(), kImpulseBufferSize, 0.0f);
    std::fill_n(mInputBuffer.get(), 2 * kInputRingSize, 0.0f);
}

void DirectConvolver::setOffset(unsigned long offset) noexcept
{
    mOffset = offset;
}

ConvolveStatus DirectConvolver::setLength(unsigned long length) noexcept
{
    if (length > kMaxImpulseLength) {
        mLength = kMaxImpulseLength;
        return kConvolveTimeLengthOutOfRange;
    }
    mLength = length;
    return kConvolveOk;
}

ConvolveStatus DirectConvolver::set(const float* ir, unsigned long irLength) noexcept
{
    mImpulseLength = 0;
    const std::uint64_t available = (ir != nullptr && mOffset < irLength) ? irLength - mOffset : 0;
    if (available > 0) {
        const std::uint64_t limit = mLength != 0 ? mLength : kMaxImpulseLength;
        const std::uint64_t used = std::min(limit, available);
        float* impulse = mImpulseBuffer.get();
        for (std::uint64_t i = 0; i < used; ++i) {
            impulse[i] = ir[mOffset + used - 1 - i];
        }
        mImpulseLength = used;
    }
    mResetPending = true;
    return (mLength == 0 && available > kMaxImpulseLength) ? kConvolveTimeImpulseTooLong : kConvolveOk;
}

void DirectConvolver::reset() noexcept
{
    mResetPending = true;
}

bool DirectConvolver::process(const float* in, float* out, unsigned long numSamples) noexcept
{
    return processImpl<false>(in, out, numSamples);
}

bool DirectConvolver::processAccumulate(const float* in, float* out, unsigned long numSamples) noexcept
{
    return processImpl<true>(in, out, numSamples);
}

template <bool Accumulate>
bool DirectConvolver::processImpl(const float* in, float* out, unsigned long numSamples) noexcept
{
    float* buffer = mInputBuffer.get();
    if (mResetPending) {
        std::fill_n(buffer, 2 * kInputRingSize, 0.0f);
        mResetPending = false;
    }
    const std::uint64_t impulseLength = mImpulseLength;
    while (numSamples > 0) {
        const std::uint64_t chunk =
            std::min<std::uint64_t>({numSamples, kMaxChunk, kInputRingSize - mInputPosition});
        std::memcpy(buffer + mInputPosition, in, chunk * sizeof(float));
        std::memcpy(buffer + mInputPosition + kInputRingSize, in, chunk * sizeof(float));
        mInputPosition += chunk;
        if (mInputPosition == kInputRingSize) {
            mInputPosition = 0;
        }
        if (impulseLength > 0) {
            // The newest chunk ends at mInputPosition in the mirrored copy; the
            // window starts impulseLength - 1 samples of history before it.
            const std::uint64_t start = mInputPosition + kInputRingSize + 1 - chunk - impulseLength;
            if constexpr (Accumulate) {
                correlateAdd(buffer + start, mImpulseBuffer.get(), out, chunk, impulseLength);
            } else {
                correlate(buffer + start, mImpulseBuffer.get(), out, chunk, impulseLength);
            }
        } else if constexpr (!Accumulate) {
            std::fill_n(out, chunk, 0.0f);
        }
        in += chunk;
        out += chunk;
        numSamples -= chunk;
    }
    return impulseLength != 0;
}

void DirectConvolver::convolve(const float* in, const float* impulse, float* out,
                               unsigned long numSamples, unsigned long impulseLength) noexcept
{
    if (impulseLength == 0) {
        std::fill_n(out, numSamples, 0.0f);
        return;
    }
    correlate(in + 1 - impulseLength, impulse, out, numSamples, impulseLength);
}

} // namespace dspkit
