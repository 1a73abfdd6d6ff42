// convolution: uniformly partitioned overlap-save FFT convolution of one mono
// stream with one window of an impulse response, with a frequency-domain delay
// line. Latency is exactly half the FFT size. The spectral products of one hop
// are spread over the samples of the hop, and the phase at which the FFTs fall is
// set at reset by a chosen or random offset, so that many instances do not all
// transform in the same audio block. No locking: one thread at a time.
#pragma once

#include "convolution/AlignedMemory.h"
#include "convolution/ConvolveStatus.h"
#include "convolution/FFT.h"

#include <cstdint>
#include <random>

namespace dspkit {

class PartitionedConvolver {
public:
    static constexpr unsigned long kMinFFTSizeLog2 = 5;
    static constexpr unsigned long kMaxFFTSizeLog2 = 20;

    // maxFFTSize is rounded up to a power of two in [32, 1048576]; the FFT size
    // starts at that maximum. maxLength (the capacity for impulse-response
    // samples) is rounded up to a multiple of half the maximum FFT size. offset
    // and length select the window of the impulse response that set uses (length
    // 0: everything after the offset). Throws std::bad_alloc when memory or the
    // FFT setup cannot be made.
    PartitionedConvolver(unsigned long maxFFTSize, unsigned long maxLength,
                         unsigned long offset, unsigned long length);
    ~PartitionedConvolver();
    PartitionedConvolver(const PartitionedConvolver&) = delete;
    PartitionedConvolver& operator=(const PartitionedConvolver&) = delete;

    // Control: selects the FFT size (rounded up to a power of two). A size that
    // differs from the current one unloads the impulse response.
    [[nodiscard]] ConvolveStatus setFFTSize(unsigned long fftSize) noexcept;
    // Control: take effect at the next set.
    void setOffset(unsigned long offset) noexcept;
    [[nodiscard]] ConvolveStatus setLength(unsigned long length) noexcept;
    // Control: >= 0 places the FFT phase at offset modulo the hop; < 0 draws it
    // at random. Takes effect at the next reset.
    void setResetOffset(long offset) noexcept;

    // Control: partitions and transforms the window of ir and marks a reset
    // pending. Returns kConvolveMemoryTooSmall when the window is longer than
    // the capacity (it is then truncated).
    [[nodiscard]] ConvolveStatus set(const float* ir, unsigned long irLength) noexcept;

    // Owner thread: the next process clears the history and places the phase.
    void reset() noexcept;

    // Audio thread, never waits: writes numSamples output samples (half the FFT
    // size late). Returns false, leaving out and all state untouched, when no
    // impulse response is loaded. in and out may be the same array.
    [[nodiscard]] bool process(const float* in, float* out, unsigned long numSamples) noexcept;
    // Audio thread: as process, but adds the output to out (in and out must not
    // overlap).
    [[nodiscard]] bool processAccumulate(const float* in, float* out, unsigned long numSamples) noexcept;

    // out += in1 * in2 for packed real spectra of numBins bins: ordinary complex
    // products in bins 1..numBins-1, and in bin 0 the real DC product and the real
    // Nyquist product.
    static void processPartition(const DSPSplitComplex& in1, const DSPSplitComplex& in2,
                                 const DSPSplitComplex& out, unsigned long numBins) noexcept;

    // Exponent of the smallest power of two >= value (0 for 0 and 1).
    [[nodiscard]] static unsigned long log2(unsigned long value) noexcept;

    [[nodiscard]] unsigned long getFFTSize() const noexcept { return 1ul << mFFTSizeLog2; }
    [[nodiscard]] unsigned long getMaxImpulseLength() const noexcept { return mMaxImpulseLength; }
    [[nodiscard]] unsigned long getNumPartitions() const noexcept { return mNumPartitions; }

private:
    template <bool Accumulate>
    bool processImpl(const float* in, float* out, unsigned long numSamples) noexcept;
    [[nodiscard]] ConvolveStatus setMaxFFTSize(unsigned long maxFFTSize) noexcept;
    void resetNow() noexcept;
    // The first product of a hop writes the accumulation spectrum, later ones
    // add to it, so it never needs clearing between hops.
    void accumulatePartition(const DSPSplitComplex& in1, const DSPSplitComplex& in2, bool first) noexcept;
    [[nodiscard]] DSPSplitComplex irPartition(std::uint64_t index) const noexcept;
    [[nodiscard]] DSPSplitComplex inputSlot(std::uint64_t slot) const noexcept;

    std::uint64_t mOffset = 0;
    std::uint64_t mLength = 0;
    std::uint64_t mMaxImpulseLength = 0;

    FFTSetup mFFTSetup = nullptr;
    std::uint64_t mMaxFFTSizeLog2 = 0;
    std::uint64_t mFFTSizeLog2 = 0;

    std::uint64_t mRWCounter = 0;
    std::uint64_t mInputPosition = 0;
    std::uint64_t mPartitionsDone = 0;
    std::uint64_t mLastPartition = 0;
    std::uint64_t mNumPartitions = 0;
    std::uint64_t mValidPartitions = 0;

    // Spectra: IR real, IR imaginary, input real, input imaginary, each of the
    // maximum impulse length.
    AlignedArray<float> mSpectraMemory;
    // Time buffers: input, output (maximum FFT size each), accumulation real
    // and imaginary (half each), partition scratch. The input buffer is one
    // ring of the last FFT-size samples, transformed in rotated order when the
    // newest half sits at its end; the inverse transform runs in the FFT layer's
    // scratch, which stays in cache.
    AlignedArray<float> mTimeMemory;
    float* mFFTBuffers[2] = {};
    DSPSplitComplex mImpulseSpectra{};
    DSPSplitComplex mInputSpectra{};
    DSPSplitComplex mAccumSpectrum{};
    float* mPartitionTemp = nullptr;

    long mResetOffset = -1;
    bool mResetFlag = true;
    std::minstd_rand mRandGenerator;
    std::uniform_int_distribution<std::uint64_t> mRandDistribution;
};

} // namespace dspkit
