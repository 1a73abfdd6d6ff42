// convolution: convolution of one input stream with one impulse response at a
// latency fixed by its LatencyMode. The response is cut into segments of growing
// size: an optional direct-form head and up to four partitioned FFT convolvers,
// each starting where its own latency lines up with that of the whole, so the
// segment outputs add up to the full convolution. The last, largest segment (the
// only one whose memory depends on the response length) lives in swappable
// memory: a control thread loads responses while the audio thread runs, and the
// audio thread skips this convolver for any call in which it cannot get the lock.
#pragma once

#include "convolution/ConvolveStatus.h"
#include "convolution/DirectConvolver.h"
#include "convolution/PartitionedConvolver.h"
#include "convolution/SwappableMemory.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace dspkit {

class MonoConvolver {
public:
    using LargeAllocator = std::function<PartitionedConvolver*(std::uint64_t)>;

    // Segments of the standard latency modes, for responses of up to maxLength
    // samples. Throws std::runtime_error for a latency mode without segments and
    // std::bad_alloc when memory is short.
    MonoConvolver(unsigned long maxLength, LatencyMode latency);
    // Segments from FFT sizes given directly (0 skips a size); zeroLatency adds a
    // direct-form head of half the first size. Throws std::runtime_error
    // ("invalid FFT size or order", "no valid FFT sizes given").
    MonoConvolver(unsigned long maxLength, bool zeroLatency, unsigned int size1, unsigned int size2,
                  unsigned int size3, unsigned int size4);
    ~MonoConvolver() = default;

    MonoConvolver(const MonoConvolver&) = delete;
    MonoConvolver& operator=(const MonoConvolver&) = delete;
    // Moves must not overlap any other call on either convolver.
    MonoConvolver(MonoConvolver&& other) noexcept;
    MonoConvolver& operator=(MonoConvolver&& other) noexcept;

    // Control thread: places the FFT phase of every segment (offset < 0: a new
    // random phase). Waits for the lock.
    void setResetOffset(long offset);

    // Control thread: remakes the final segment for responses of length samples;
    // the convolver is silent until the next set. kConvolveMemoryUnavailable when
    // the memory could not be made.
    [[nodiscard]] ConvolveStatus resize(unsigned long length);

    // Control thread: loads a response (null or length 0: none). With
    // requestResize the final segment is remade for exactly irLength samples.
    // kConvolveMemoryUnavailable when there is no final segment,
    // kConvolveMemoryTooSmall when the response is longer than it holds (the
    // convolver then stays silent).
    [[nodiscard]] ConvolveStatus set(const float* ir, unsigned long irLength, bool requestResize);

    // Any thread: the next process clears all histories.
    ConvolveStatus reset() noexcept;

    // Audio thread, never waits: convolves numSamples samples of in and writes
    // (accumulate false) or adds (accumulate true) the result to out. temp is
    // scratch of numSamples floats (kept for callers; the segments add into out
    // directly). in must not overlap out. Leaves out as it was when no response
    // is loaded or a control thread holds the lock.
    void process(const float* in, float* temp, float* out, unsigned long numSamples,
                 bool accumulate) noexcept;

private:
    void setPartitions(unsigned long maxLength, bool zeroLatency, unsigned int size1, unsigned int size2,
                       unsigned int size3, unsigned int size4);
    void applyResetOffset(long offset, PartitionedConvolver* finalPart) noexcept;
    static void largeFree(PartitionedConvolver* part) noexcept;

    LargeAllocator mAllocator;
    std::vector<std::uint32_t> mSizes;
    std::unique_ptr<DirectConvolver> mTimePart;
    std::unique_ptr<PartitionedConvolver> mPart1;
    std::unique_ptr<PartitionedConvolver> mPart2;
    std::unique_ptr<PartitionedConvolver> mPart3;
    SwappableMemory<PartitionedConvolver> mFinalPart;
    std::atomic<std::uint64_t> mLength{0};
    long mResetOffset = 0;
    std::atomic<bool> mResetFlag{false};
    std::minstd_rand mRandGenerator;
    std::uniform_int_distribution<std::uint64_t> mRandDistribution;
};

} // namespace dspkit
