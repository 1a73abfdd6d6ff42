// tests/convolution: the segment layout of the shared-spectrum engine, as
// tables worked out by hand from its rules: the first hop follows the caller's
// block, segment j of size S_j starts S_j / 2 samples into the response at zero
// latency ((S_j - S_0) / 2 with latency) and holds S_{j+1} / S_j - 1
// partitions, the final segment as many as the pair's capacity needs, and the
// sizes are the cheapest sequence of fourfold and eightfold steps.
#include "convolution/SegmentLayout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using dspkit::EConvolverLayout;
using dspkit::kRealTimeLayout;
using dspkit::kThroughputLayout;
using dspkit::LatencyMode;
using dspkit::SegmentLayout;
using dspkit::SegmentPlan;
using Sizes = std::vector<std::uint64_t>;

struct FirstHopCase {
    unsigned long block;
    EConvolverLayout layout;
    unsigned long maxLength;
    std::uint64_t firstHop;
};

// The largest power of two from 64 up to the limit that divides the block
// (128 when none does); the limit is 1024 in real time, and for throughput the
// smallest power of two from 1024 that reaches the longest response, at most
// 65536.
TEST(SegmentLayout, FirstHopIsTheLargestPowerOfTwoDividingTheBlockUpToTheLimit)
{
    const FirstHopCase cases[] = {
        {0, kRealTimeLayout, 16384, 128},
        {1, kRealTimeLayout, 16384, 128},
        {32, kRealTimeLayout, 16384, 128},
        {64, kRealTimeLayout, 16384, 64},
        {96, kRealTimeLayout, 16384, 128},
        {128, kRealTimeLayout, 16384, 128},
        {192, kRealTimeLayout, 16384, 64},
        {384, kRealTimeLayout, 16384, 128},
        {960, kRealTimeLayout, 16384, 64},
        {1000, kRealTimeLayout, 16384, 128},
        {1024, kRealTimeLayout, 16384, 1024},
        {1536, kRealTimeLayout, 16384, 512},
        {2048, kRealTimeLayout, 16384, 1024},
        {65536, kRealTimeLayout, 16384, 1024},
        {0, kThroughputLayout, 16384, 128},
        {1000, kThroughputLayout, 16384, 128},
        {8192, kThroughputLayout, 16384, 8192},
        {12288, kThroughputLayout, 16384, 4096},
        {16384, kThroughputLayout, 16384, 16384},
        {65536, kThroughputLayout, 16384, 16384},
        {65536, kThroughputLayout, 5000, 8192},
        {4096, kThroughputLayout, 512, 1024},
        {4096, kThroughputLayout, 1025, 2048},
        {131072, kThroughputLayout, 100000, 65536},
        {262144, kThroughputLayout, 1000000, 65536},
    };
    for (const FirstHopCase& c : cases) {
        EXPECT_EQ(SegmentLayout::firstHopFor(c.block, c.layout, c.maxLength), c.firstHop)
            << "block " << c.block << " layout " << c.layout << " longest " << c.maxLength;
    }
}

struct SizesCase {
    std::uint64_t firstHop;
    unsigned int numIns;
    unsigned int numOuts;
    Sizes sizes;
};

// The cheapest sizes by the engine's cost model (transforms per channel grow
// with the log of the size, products per pair and partition), for the two
// response lengths of decoder sets. Worked by hand for a 1024-sample first hop,
// 4 inputs and 2 outputs (6 channels, 8 pairs), in the model's units:
//   {2048}:       16384 samples: 11 * (5 * 6 + 16) + 8 * 8 * (1 + 15) = 1530
//                  1024 samples: 11 * (7 * 6 + 16) + 8 * 8 * 1        =  702
//   {2048, 8192}: 16384 samples: (11 + 13) * 46 + 8 * 8 * (1 + 3 + 3)  = 1552
//                  1024 samples: as {2048} (the second segment is not reached)
// so one segment wins by 22; with 9 inputs the second segment pays off.
TEST(SegmentLayout, ZeroLatencySizesAreTheCheapestForTheChannelCounts)
{
    const SizesCase cases[] = {
        {64, 1, 1, {128, 1024}},
        {64, 4, 2, {128, 512, 4096}},
        {64, 16, 2, {128, 512, 2048, 8192}},
        {64, 64, 2, {128, 512, 2048, 8192}},
        {128, 1, 2, {256, 2048}},
        {128, 4, 2, {256, 2048}},
        {128, 9, 2, {256, 2048, 8192}},
        {128, 64, 2, {256, 2048, 8192}},
        {128, 64, 64, {256, 1024, 4096, 16384}},
        {256, 9, 2, {512, 4096}},
        {256, 36, 2, {512, 2048, 8192}},
        {512, 1, 2, {1024}},
        {512, 16, 2, {1024, 4096}},
        {512, 64, 64, {1024, 4096, 16384}},
        {1024, 4, 2, {2048}},
        {1024, 9, 2, {2048, 8192}},
        {1024, 64, 2, {2048, 8192}},
        {2048, 64, 2, {4096}},
        {2048, 64, 64, {4096, 16384}},
        {4096, 64, 2, {8192}},
        {8192, 64, 2, {16384}},
        {16384, 64, 2, {32768}},
        {65536, 64, 2, {131072}},
    };
    for (const SizesCase& c : cases) {
        EXPECT_EQ(SegmentLayout::zeroLatencySizes(c.firstHop, c.numIns, c.numOuts), c.sizes)
            << "first hop " << c.firstHop << ", " << c.numIns << " x " << c.numOuts;
    }
}

// Whatever the channel counts: the first size is twice the first hop, each
// next one four or eight times the one before and at most 16384, and there are
// at most four.
TEST(SegmentLayout, ZeroLatencySizesGrowFourOrEightfoldUpTo16384)
{
    const unsigned int counts[] = {1, 2, 3, 4, 9, 16, 25, 36, 49, 64};
    for (std::uint64_t firstHop = 64; firstHop <= 65536; firstHop *= 2) {
        for (unsigned int ins : counts) {
            for (unsigned int outs : {0u, 1u, 2u, 64u}) {
                const Sizes sizes = SegmentLayout::zeroLatencySizes(firstHop, ins, outs);
                const std::string where =
                    "first hop " + std::to_string(firstHop) + ", " + std::to_string(ins) + " x " + std::to_string(outs);
                ASSERT_FALSE(sizes.empty()) << where;
                EXPECT_LE(sizes.size(), SegmentLayout::kMaxSegments) << where;
                EXPECT_EQ(sizes[0], 2 * firstHop) << where;
                for (std::size_t j = 1; j < sizes.size(); ++j) {
                    EXPECT_TRUE(sizes[j] == 4 * sizes[j - 1] || sizes[j] == 8 * sizes[j - 1]) << where;
                    EXPECT_LE(sizes[j], 16384u) << where;
                }
            }
        }
    }
}

struct LayoutCase {
    const char* name;
    LatencyMode latency;
    unsigned int numIns;
    unsigned int numOuts;
    unsigned long maxLength;
    unsigned long block;
    EConvolverLayout layout;
    std::uint64_t headTaps;
    unsigned long latencySamples;
    Sizes sizes;
    Sizes windowStarts;
    // Of every segment but the final one.
    Sizes maxPartitions;
};

const LayoutCase kLayouts[] = {
    // Real time: 64-sample blocks and blocks no power of two divides.
    {"64 x 2, block 960", dspkit::ZeroLatency, 64, 2, 16384, 960, kRealTimeLayout, 64, 0,
     {128, 512, 2048, 8192}, {64, 256, 1024, 4096}, {3, 3, 3}},
    {"64 x 2, block 1000", dspkit::ZeroLatency, 64, 2, 16384, 1000, kRealTimeLayout, 128, 0,
     {256, 2048, 8192}, {128, 1024, 4096}, {7, 3}},
    {"64 x 64, no block", dspkit::ZeroLatency, 64, 64, 16384, 0, kRealTimeLayout, 128, 0,
     {256, 1024, 4096, 16384}, {128, 512, 2048, 8192}, {3, 3, 3}},
    {"9 x 2, block 1536", dspkit::ZeroLatency, 9, 2, 16384, 1536, kRealTimeLayout, 512, 0,
     {1024, 4096}, {512, 2048}, {3}},
    {"64 x 2, block 4096", dspkit::ZeroLatency, 64, 2, 16384, 4096, kRealTimeLayout, 1024, 0,
     {2048, 8192}, {1024, 4096}, {3}},
    // Throughput: the head takes half the first size.
    {"64 x 2, throughput 8192", dspkit::ZeroLatency, 64, 2, 16384, 8192, kThroughputLayout, 8192, 0,
     {16384}, {8192}, {}},
    {"64 x 2, throughput 16384", dspkit::ZeroLatency, 64, 2, 16384, 16384, kThroughputLayout, 16384, 0,
     {32768}, {16384}, {}},
    // With latency: fixed sizes, no head, the first segment from sample 0.
    {"short latency", dspkit::ShortLatency, 16, 2, 16384, 512, kRealTimeLayout, 0, 128,
     {256, 1024, 4096, 16384}, {0, 384, 1920, 8064}, {3, 3, 3}},
    {"medium latency", dspkit::MediumLatency, 16, 2, 16384, 0, kThroughputLayout, 0, 512,
     {1024, 4096, 16384}, {0, 1536, 7680}, {3, 3}},
};

TEST(SegmentLayout, SegmentsFollowTheSizesFromTheHeadOn)
{
    for (const LayoutCase& c : kLayouts) {
        const SegmentLayout layout(c.latency, c.numIns, c.numOuts, c.maxLength, c.block, c.layout);
        EXPECT_EQ(layout.getHeadTaps(), c.headTaps) << c.name;
        EXPECT_EQ(layout.getLatency(), c.latencySamples) << c.name;
        const std::vector<SegmentPlan>& segments = layout.getSegments();
        ASSERT_EQ(segments.size(), c.sizes.size()) << c.name;
        for (std::size_t j = 0; j < segments.size(); ++j) {
            const SegmentPlan& s = segments[j];
            EXPECT_EQ(s.mSize, c.sizes[j]) << c.name << ", segment " << j;
            EXPECT_EQ(s.mHop, c.sizes[j] / 2) << c.name << ", segment " << j;
            EXPECT_EQ(std::uint64_t{1} << s.mLog2, c.sizes[j]) << c.name << ", segment " << j;
            EXPECT_EQ(s.mWindowStart, c.windowStarts[j]) << c.name << ", segment " << j;
            EXPECT_EQ(s.mFinal, j + 1 == segments.size()) << c.name << ", segment " << j;
            if (!s.mFinal) {
                EXPECT_EQ(s.mMaxPartitions, c.maxPartitions[j]) << c.name << ", segment " << j;
            }
        }
    }
}

TEST(SegmentLayout, LatencyModeWithoutSegmentsIsRefused)
{
    EXPECT_THROW(SegmentLayout(static_cast<LatencyMode>(7), 4, 2, 16384, 512, kRealTimeLayout), std::runtime_error);
}

struct PartitionCase {
    std::size_t layout; // index into kLayouts
    std::uint64_t length;
    std::uint64_t capacity;
    Sizes partitions; // per segment
};

// A response reaches partition p of a segment when it is longer than the
// segment's start plus p hops; the final segment holds at most what the
// pair's capacity needs (and one when the capacity ends within its size).
TEST(SegmentLayout, ResponsesReachThePartitionsUpToTheirLength)
{
    const PartitionCase cases[] = {
        // 64 x 2, block 1000: head 128, segments from 128 (hop 128), 1024 (hop 1024), 4096 (hop 4096).
        {1, 0, 16384, {0, 0, 0}},
        {1, 128, 16384, {0, 0, 0}},
        {1, 129, 16384, {1, 0, 0}},
        {1, 1024, 16384, {7, 0, 0}},
        {1, 1025, 16384, {7, 1, 0}},
        {1, 4096, 16384, {7, 3, 0}},
        {1, 4097, 16384, {7, 3, 1}},
        {1, 8192, 16384, {7, 3, 1}},
        {1, 8193, 16384, {7, 3, 2}},
        {1, 16384, 16384, {7, 3, 3}},
        {1, 16385, 16384, {7, 3, 3}},
        {1, 16385, 16385, {7, 3, 4}},
        {1, 5000, 100, {7, 3, 1}},
        // 64 x 2, block 960: segments from 64 (hop 64), 256, 1024, 4096.
        {0, 65, 16384, {1, 0, 0, 0}},
        {0, 257, 16384, {3, 1, 0, 0}},
        {0, 16384, 16384, {3, 3, 3, 3}},
        // Throughput, hop 8192 from 8192.
        {5, 8192, 16384, {0}},
        {5, 8193, 16384, {1}},
        {5, 16384, 16384, {1}},
        {5, 20000, 65536, {2}},
        // Throughput, hop 16384: a 16384-sample response lies wholly in the head.
        {6, 16384, 16384, {0}},
        {6, 16385, 16385, {1}},
        // Short latency: segments from 0 (hop 128), 384, 1920, 8064 (hop 8192).
        {7, 1, 16384, {1, 0, 0, 0}},
        {7, 384, 16384, {3, 0, 0, 0}},
        {7, 385, 16384, {3, 1, 0, 0}},
        {7, 16384, 16384, {3, 3, 3, 2}},
    };
    for (const PartitionCase& c : cases) {
        const LayoutCase& l = kLayouts[c.layout];
        const SegmentLayout layout(l.latency, l.numIns, l.numOuts, l.maxLength, l.block, l.layout);
        ASSERT_EQ(layout.getSegments().size(), c.partitions.size()) << l.name;
        for (std::size_t s = 0; s < c.partitions.size(); ++s) {
            EXPECT_EQ(layout.partitionsFor(s, c.length, c.capacity), c.partitions[s])
                << l.name << ", length " << c.length << ", capacity " << c.capacity << ", segment " << s;
        }
    }
}

struct FinalSlotsCase {
    std::size_t layout; // index into kLayouts
    std::uint64_t capacity;
    std::uint64_t slots;
};

TEST(SegmentLayout, FinalSegmentHoldsWhatTheCapacityNeeds)
{
    const FinalSlotsCase cases[] = {
        // Final segment of 8192 points from 4096.
        {1, 0, 1},
        {1, 8192, 1},
        {1, 8193, 2},
        {1, 16384, 3},
        {1, 65536, 15},
        // Throughput: 16384 points from 8192, 32768 from 16384.
        {5, 16384, 1},
        {5, 65536, 7},
        {6, 16384, 1},
        {6, 16385, 1},
        {6, 32769, 2},
        // Short latency: 16384 points from 8064, whose window alone is
        // longer than one hop.
        {7, 0, 2},
        {7, 16384, 2},
        {7, 24448, 2},
        {7, 24449, 3},
    };
    for (const FinalSlotsCase& c : cases) {
        const LayoutCase& l = kLayouts[c.layout];
        const SegmentLayout layout(l.latency, l.numIns, l.numOuts, l.maxLength, l.block, l.layout);
        EXPECT_EQ(layout.finalSlotsFor(c.capacity), c.slots) << l.name << ", capacity " << c.capacity;
    }
}

TEST(SegmentLayout, ExponentIsTheCeilingOfTheBinaryLogarithm)
{
    const std::uint64_t cases[][2] = {{1, 0}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {256, 8}, {16383, 14}, {16384, 14},
                                      {16385, 15}, {std::uint64_t{1} << 40, 40}};
    for (const auto& c : cases) {
        EXPECT_EQ(dspkit::exponentOf(c[0]), c[1]) << c[0];
    }
}

} // namespace
