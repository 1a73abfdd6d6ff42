// convolution: how the shared-spectrum engine cuts every response into
// segments, worked out once when the engine is made; pure arithmetic, no
// buffers. At zero latency a response is a direct-form head of headTaps
// samples followed by FFT segments of growing size, segment j (of size S_j,
// hop S_j / 2) starting S_j / 2 samples into the response; at 128 or 512
// samples of latency there is no head and the first segment starts at 0. Every
// segment but the last holds S_{j+1} / S_j - 1 partitions; the last holds as
// many as the longest response it is given needs.
#pragma once

#include "convolution/ConvolveStatus.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dspkit {

// How the shared-spectrum engine lays out its segments for the caller's block
// size (zero latency only).
enum EConvolverLayout : int {
    // First hop at most 1024 samples: every call does about the same work,
    // whatever its block, as an audio device's callbacks need.
    kRealTimeLayout = 0,
    // First hop as large as the block allows, up to the longest response the
    // pairs accept: the fewest, largest transforms, paid in the calls that end
    // a hop. Calls that are not whole hops take the head in direct form and
    // cost far more; callers give whole blocks.
    kThroughputLayout = 1,
};

// One uniformly partitioned segment: transforms of mSize points, one each
// mHop = mSize / 2 samples, covering the response from mWindowStart on.
struct SegmentPlan {
    std::uint64_t mSize = 0;
    std::uint64_t mHop = 0;
    unsigned long mLog2 = 0;
    std::uint64_t mWindowStart = 0;
    // Partitions of a segment before the final one (the final one's depend
    // on the pair: see SegmentLayout::partitionsFor).
    std::uint64_t mMaxPartitions = 0;
    bool mFinal = false;
};

class SegmentLayout {
public:
    static constexpr std::size_t kMaxSegments = 4;

    // The layout of a convolver of numIns inputs and numOuts outputs whose
    // pairs accept responses of up to maxLength samples, called with blocks
    // of blockSize samples (0: not known). Throws std::runtime_error for a
    // latency mode without segments.
    SegmentLayout(LatencyMode latency, unsigned int numIns, unsigned int numOuts, unsigned long maxLength,
                  unsigned long blockSize, EConvolverLayout layout);

    [[nodiscard]] const std::vector<SegmentPlan>& getSegments() const noexcept { return mSegments; }
    // Taps of the direct-form head (zero latency), else 0.
    [[nodiscard]] std::uint64_t getHeadTaps() const noexcept { return mHeadTaps; }
    [[nodiscard]] unsigned long getLatency() const noexcept { return mLatency; }

    // Partitions of the final segment a pair accepting responses of up to
    // capacity samples may need (at least one).
    [[nodiscard]] std::uint64_t finalSlotsFor(std::uint64_t capacity) const noexcept;
    // Partitions of segment `index` that a response of length samples
    // reaches, in a pair of the given capacity.
    [[nodiscard]] std::uint64_t partitionsFor(std::size_t index, std::uint64_t length,
                                              std::uint64_t capacity) const noexcept;

    // The hop of the smallest segment at zero latency: the largest power of
    // two from 64 up to the layout's limit that divides blockSize, else 128.
    [[nodiscard]] static std::uint64_t firstHopFor(unsigned long blockSize, EConvolverLayout layout,
                                                   unsigned long maxLength) noexcept;
    // The FFT sizes at zero latency for a first hop, cheapest for the numbers
    // of inputs and outputs.
    [[nodiscard]] static std::vector<std::uint64_t> zeroLatencySizes(std::uint64_t firstHop, unsigned int numIns,
                                                                     unsigned int numOuts);

private:
    std::vector<SegmentPlan> mSegments;
    std::uint64_t mHeadTaps = 0;
    unsigned long mLatency = 0;
};

// The smallest e with 2^e >= size.
[[nodiscard]] unsigned long exponentOf(std::uint64_t size) noexcept;

} // namespace dspkit
