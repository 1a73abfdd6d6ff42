// convolution: zero-latency direct-form convolution of one mono stream with a
// short impulse-response window (at most 2044 taps), used for the head of the
// impulse response in the zero-latency mode.
#pragma once

#include "convolution/AlignedMemory.h"
#include "convolution/ConvolveStatus.h"

#include <cstdint>

namespace dspkit {

class DirectConvolver {
public:
    static constexpr unsigned long kMaxImpulseLength = 2044;
    static constexpr unsigned long kImpulseBufferSize = 2048;
    static constexpr unsigned long kInputRingSize = 4096;
    static constexpr unsigned long kMaxChunk = 2048;

    // Uses length samples of the impulse response from offset on (length 0 or
    // above 2044 means 2044). Throws std::bad_alloc when memory is short.
    DirectConvolver(unsigned long offset, unsigned long length);
    ~DirectConvolver() = default;
    DirectConvolver(const DirectConvolver&) = delete;
    DirectConvolver& operator=(const DirectConvolver&) = delete;

    // Control: take effect at the next set.
    void setOffset(unsigned long offset) noexcept;
    [[nodiscard]] ConvolveStatus setLength(unsigned long length) noexcept;

    // Control: loads the window of ir and marks a reset pending. Returns
    // kConvolveTimeImpulseTooLong when no length is set and more than 2044
    // samples follow the offset (the window is then cut to 2044).
    [[nodiscard]] ConvolveStatus set(const float* ir, unsigned long irLength) noexcept;

    // Any owner thread: the next process clears the input history.
    void reset() noexcept;

    // Audio thread: writes numSamples samples of the convolution to out (in and
    // out may be the same array). Returns false when no impulse response is
    // loaded; out then holds silence.
    [[nodiscard]] bool process(const float* in, float* out, unsigned long numSamples) noexcept;
    // Audio thread: as process, but adds the convolution to out (in and out must
    // not overlap); out is left alone when no impulse response is loaded.
    [[nodiscard]] bool processAccumulate(const float* in, float* out, unsigned long numSamples) noexcept;

    // The direct-form kernel: out[n] = sum_{p < impulseLength}
    // in[n + 1 - impulseLength + p] * impulse[p], for n < numSamples, with impulse
    // stored reversed and impulseLength - 1 samples of history before in.
    static void convolve(const float* in, const float* impulse, float* out,
                         unsigned long numSamples, unsigned long impulseLength) noexcept;

private:
    template <bool Accumulate>
    bool processImpl(const float* in, float* out, unsigned long numSamples) noexcept;

    AlignedArray<float> mImpulseBuffer;
    AlignedArray<float> mInputBuffer;
    std::uint64_t mInputPosition = 0;
    std::uint64_t mImpulseLength = 0;
    std::uint64_t mOffset = 0;
    std::uint64_t mLength = 0;
    bool mResetPending = false;
};

} // namespace dspkit
