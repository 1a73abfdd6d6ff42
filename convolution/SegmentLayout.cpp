// convolution: the segment layout of the shared-spectrum engine.
#include "convolution/SegmentLayout.h"

#include <algorithm>
#include <stdexcept>

namespace dspkit {

unsigned long exponentOf(std::uint64_t size) noexcept
{
    unsigned long e = 0;
    while ((std::uint64_t{1} << e) < size) {
        ++e;
    }
    return e;
}

std::uint64_t SegmentLayout::firstHopFor(unsigned long blockSize, EConvolverLayout layout,
                                         unsigned long maxLength) noexcept
{
    // The largest power of two from 64 up to the layout's limit that divides
    // the block size: calls of whole blocks are then whole hops of the smallest
    // segment, whose head comes from its spectra. Other block sizes keep the
    // 128-sample hop. In real time the limit is 1024, so that no call has to
    // end a hop of a larger transform for every input; for throughput it is
    // the longest response (at most 65536), beyond which a longer hop only
    // transforms more zeros.
    if (blockSize == 0 || blockSize % 64 != 0) {
        return 128;
    }
    std::uint64_t limit = 1024;
    if (layout == kThroughputLayout) {
        while (limit < maxLength && limit < 65536) {
            limit *= 2;
        }
    }
    std::uint64_t hop = 64;
    while (hop < limit && blockSize % (hop * 2) == 0) {
        hop *= 2;
    }
    return hop;
}

std::vector<std::uint64_t> SegmentLayout::zeroLatencySizes(std::uint64_t firstHop, unsigned int numIns,
                                                           unsigned int numOuts)
{
    // FFT sizes from twice the first hop up to at most 16384 (a throughput
    // layout's first size alone may be larger), each four or eight times the
    // one before; each segment starts one hop into the
    // response, so it holds three or seven partitions, the last one as many
    // as the rest of the response needs (all fourfold up to 16384 is the mono
    // convolver's layout). A segment that a response reaches costs a forward transform per
    // input and an inverse per output each hop, a partition a product per
    // pair each hop. Of all the sequences of factors, the one is taken that
    // costs least for the two response lengths decoder sets have: 16384
    // samples (rooms) and 1024 (anechoic sets, whose tails are zeros). The
    // weights are this engine's measured costs per sample: a transform of one
    // channel at 256 points costs about five products whose responses stream
    // from the outer caches, or seven of a short set's, which stay in the inner
    // ones, and a transform's cost per sample grows with the log of its size.
    const std::uint64_t channels = static_cast<std::uint64_t>(numIns) + numOuts;
    const std::uint64_t pairs = static_cast<std::uint64_t>(numIns) * std::max(1u, numOuts);
    const auto costFor = [&](const std::vector<std::uint64_t>& sizes, std::uint64_t length, std::uint64_t weight) {
        std::uint64_t partitions = 1; // the head
        std::uint64_t transforms = 0; // in eighths of a 256-point one per channel
        std::uint64_t start = firstHop;
        for (std::size_t j = 0; j < sizes.size() && (j == 0 || start < length); ++j) {
            const std::uint64_t hop = sizes[j] / 2;
            const std::uint64_t end = std::min(j + 1 < sizes.size() ? sizes[j + 1] / 2 : length, length);
            partitions += (std::max(end, start) - start + hop - 1) / hop;
            transforms += exponentOf(sizes[j]) * (weight * channels + 16);
            start = end;
        }
        return transforms + 8 * partitions * pairs;
    };
    std::vector<std::uint64_t> best;
    std::uint64_t bestCost = 0;
    // Bit k of the choice picks the factor after the k-th size (set: eight);
    // the layout may also end at any size, its last segment then holding the
    // rest of the response in more partitions.
    for (unsigned choice = 0; choice < 16; ++choice) {
        std::vector<std::uint64_t> sizes{2 * firstHop};
        while (true) {
            const std::uint64_t cost = costFor(sizes, 16384, 5) + costFor(sizes, 1024, 7);
            if (best.empty() || cost < bestCost) {
                best = sizes;
                bestCost = cost;
            }
            const std::uint64_t next = sizes.back() * ((choice >> (sizes.size() - 1)) & 1u ? 8 : 4);
            if (next > 16384 || sizes.size() == kMaxSegments) {
                break;
            }
            sizes.push_back(next);
        }
    }
    return best;
}

SegmentLayout::SegmentLayout(LatencyMode latency, unsigned int numIns, unsigned int numOuts, unsigned long maxLength,
                             unsigned long blockSize, EConvolverLayout layout)
{
    std::vector<std::uint64_t> sizes;
    bool zeroLatency = false;
    switch (latency) {
    case ZeroLatency:
        zeroLatency = true;
        sizes = zeroLatencySizes(firstHopFor(blockSize, layout, maxLength), numIns, numOuts);
        break;
    case ShortLatency:
        sizes = {256, 1024, 4096, 16384};
        break;
    case MediumLatency:
        sizes = {1024, 4096, 16384};
        break;
    default:
        throw std::runtime_error("invalid latency mode");
    }
    mHeadTaps = zeroLatency ? sizes[0] / 2 : 0;
    mLatency = zeroLatency ? 0 : static_cast<unsigned long>(sizes[0] / 2);

    std::uint64_t windowStart = mHeadTaps;
    for (std::size_t j = 0; j < sizes.size(); ++j) {
        SegmentPlan segment;
        segment.mSize = sizes[j];
        segment.mHop = sizes[j] / 2;
        segment.mLog2 = exponentOf(sizes[j]);
        segment.mWindowStart = windowStart;
        segment.mFinal = j + 1 == sizes.size();
        if (!segment.mFinal) {
            const std::uint64_t window = (sizes[j + 1] - sizes[j]) / 2;
            segment.mMaxPartitions = window / segment.mHop;
            windowStart += window;
        }
        mSegments.push_back(segment);
    }
}

std::uint64_t SegmentLayout::finalSlotsFor(std::uint64_t capacity) const noexcept
{
    const SegmentPlan& last = mSegments.back();
    const std::uint64_t window = std::max(capacity, last.mSize) - last.mWindowStart;
    return (window + last.mHop - 1) / last.mHop;
}

std::uint64_t SegmentLayout::partitionsFor(std::size_t index, std::uint64_t length,
                                           std::uint64_t capacity) const noexcept
{
    const SegmentPlan& segment = mSegments[index];
    const std::uint64_t start = segment.mWindowStart;
    const std::uint64_t available = length > start ? length - start : 0;
    const std::uint64_t most = segment.mFinal ? finalSlotsFor(capacity) : segment.mMaxPartitions;
    return std::min(most, (available + segment.mHop - 1) / segment.mHop);
}

} // namespace dspkit
