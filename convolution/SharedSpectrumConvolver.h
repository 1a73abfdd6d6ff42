// convolution: the N-to-M convolution engine that shares work between the
// (input, output) pairs. It cuts every response into segments as the mono
// convolver of the chosen latency mode does: a direct-form head, then uniformly
// partitioned FFT segments of growing size, each starting one hop into the
// response. At zero latency the layout follows the caller's block size: the
// first hop is the largest power of two from 64 to 1024 that divides it (128
// when none does), and the sizes grow fourfold (the mono convolver's layout at
// a 128-sample hop) or eightfold, whichever costs less for the numbers of
// inputs and outputs. The throughput layout, for callers that render files in
// long blocks rather than keep up with an audio device, lets the first hop grow
// with the block up to the responses' length: a 16384-sample block over
// 16384-sample responses makes one 32768-point segment whose head, taken from
// spectra, is the whole response. Beyond that
//   - a response costs only up to its last non-zero sample: a pair holds the
//     partitions that reach it, and a segment that no response reaches has no
//     buffers and no work;
//   - each input is transformed once per hop of each segment size, and its
//     spectrum, while still in cache, is multiplied with every partition of
//     every pair it feeds, into per-output accumulation spectra of the hops to
//     come (one per partition): the responses stream through once per hop and
//     no spectra of past input are kept;
//   - each output is inverse-transformed once per hop of each segment;
//   - the heads (the first half-size taps of the smallest segment) of all
//     inputs are summed for two outputs at a time in one pass over the input
//     history (a long head in a pass per few inputs, to keep rounding small);
//     for every hop of the smallest segment that falls wholly inside one call
//     they are taken instead from that hop's input spectra, already formed for
//     the segment, times the head spectra: one inverse transform per output
//     replaces the direct-form sums;
//   - the hops of the segment sizes, and of groups of inputs within the larger
//     sizes, fall at fixed staggered phases, so that the large transforms of a
//     hop are spread over different audio blocks.
// Every output is the sum over the inputs of input ⊛ response, at the latency of
// the mode, as with one mono convolver per pair.
//
// Changes on a running convolver. These differ from the per-pair engine's
// (the multichannel convolver's contract); with t the first sample of the first
// call that sees a change, H the largest hop among the segments (at most
// 8192 samples in the real-time layouts and the other latency modes; a
// throughput layout's first hop, when larger) and L the pair's new response
// length:
//   - clear or resize of a pair: its head stops at t; terms its FFT segments
//     had already added from the old response (of length L0) into the hops to
//     come still play out. From t + 2·H + L0 on the output is exactly that of
//     the other pairs.
//   - set or reset of a pair: the pair starts afresh, contributing only terms
//     of input from t on. Its head does so at once; an FFT segment adds its
//     terms from the first hop whose transform window lies wholly after t, so
//     until then some new terms are missing while old ones play out as above.
//     From t + 2·H + max(L, L0) on the pair is exactly the convolution of the
//     input since t with its response.
//   - inputs beyond a call's activeIns count as silence from that call on: the
//     input they had before rings on through their pairs' responses, exactly
//     as if it had fallen silent (the per-pair engine drops them, tails and
//     all).
//   - the whole-convolver reset clears every history at once and restarts
//     from silence exactly, as the per-pair engine does.
// Each pair has its own spin lock. The audio thread tries it once per call and
// leaves a pair it cannot get out of that call (its products and head are
// skipped), so a control thread loading one pair never holds up the others.
#pragma once

#include "convolution/AlignedMemory.h"
#include "convolution/ConvolveStatus.h"
#include "convolution/FFT.h"
#include "convolution/SegmentLayout.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace dspkit {

class SharedSpectrumConvolver {
public:
    // numIns inputs (at least 1) and numOuts outputs, every pair accepting
    // responses of up to maxLength samples. blockSize is the number of samples
    // the caller processes per call (0: not known); at zero latency the segments
    // are laid out for it, so that calls of whole blocks, each one starting where
    // the last ended from the last whole reset on, take the head from spectra
    // (calls of other lengths give the same output at more cost); layout says
    // how large its first hop may grow. Throws std::runtime_error for a latency
    // mode without segments and std::bad_alloc when memory is short.
    SharedSpectrumConvolver(unsigned int numIns, unsigned int numOuts, unsigned long maxLength,
                            LatencyMode latency, unsigned long blockSize = 0,
                            EConvolverLayout layout = kRealTimeLayout);
    ~SharedSpectrumConvolver();
    SharedSpectrumConvolver(const SharedSpectrumConvolver&) = delete;
    SharedSpectrumConvolver& operator=(const SharedSpectrumConvolver&) = delete;

    // Control thread: loads the response of pair (in, out) (null or length 0:
    // none). With requestResize the pair is remade for exactly irLength samples.
    // kConvolveInputOutOfRange / kConvolveOutputOutOfRange for bad indices,
    // kConvolveMemoryUnavailable when the pair has no memory,
    // kConvolveMemoryTooSmall when the response is longer than the pair holds
    // (the pair then stays silent).
    [[nodiscard]] ConvolveStatus set(unsigned int in, unsigned int out, const float* ir,
                                     unsigned long irLength, bool requestResize);
    // Control thread: remakes the pair for responses of length samples; the pair
    // is silent until its next set.
    [[nodiscard]] ConvolveStatus resize(unsigned int in, unsigned int out, unsigned long length);
    // Any thread: the pair starts afresh at the next process (see above).
    ConvolveStatus reset(unsigned int in, unsigned int out) noexcept;
    // Any thread: every history is cleared at the next process.
    void reset() noexcept;

    // Audio thread, never waits, never allocates: outs holds one array per
    // output, all of which are written. Inputs from activeIns on count as
    // silence. Outputs must not overlap inputs.
    void process(const float* const* ins, float* const* outs, unsigned long activeIns,
                 unsigned long numSamples) noexcept;

    [[nodiscard]] unsigned int getNumIns() const noexcept { return mNumIns; }
    [[nodiscard]] unsigned int getNumOuts() const noexcept { return mNumOuts; }
    // Latency of every output in samples.
    [[nodiscard]] unsigned long getLatency() const noexcept { return mLatency; }
    // Samples of the smallest segment's hop: calls of whole multiples of it,
    // from a whole reset on, take every head from spectra.
    [[nodiscard]] unsigned long getFirstHop() const noexcept;

private:
    static constexpr std::size_t kMaxSegments = SegmentLayout::kMaxSegments;
    static constexpr std::size_t kHeadChunk = 1024;
    // Products one direct-form sum of the head adds up in a register.
    static constexpr std::size_t kHeadSumProducts = 8192;

    struct Pair;
    struct Ring;
    struct Group;
    struct Segment;

    [[nodiscard]] Pair& pair(unsigned int in, unsigned int out) const noexcept;
    void makeLive(Segment& segment, std::uint64_t finalSlots);
    void ensureLive(std::size_t count, std::uint64_t finalSlots);
    void requestFinalRing(std::uint64_t slots);
    void releaseRetiredRing() noexcept;
    void loadSpectra(unsigned int in, unsigned int out, const float* ir, std::uint64_t length);
    [[nodiscard]] float* irPartition(unsigned int in, unsigned int out, const Segment& segment,
                                     std::uint64_t partition) const noexcept;

    void adoptPendingRing() noexcept;
    void resetAllNow(std::size_t live) noexcept;
    void startPairAfresh(unsigned int in, Pair& target) noexcept;
    void processHead(const float* const* ins, float* const* outs, unsigned long activeIns,
                     unsigned long numSamples, unsigned long spectralBegin, unsigned long spectralEnd) noexcept;
    void headSums(float* const* outs, std::uint64_t chunkStart, std::uint64_t from, std::uint64_t to) noexcept;
    void processGroup(Segment& segment, Group& group, const float* const* ins, float* const* outs,
                      unsigned long activeIns, unsigned long numSamples) noexcept;
    template <class Uses, class Accumulator, class Response>
    void accumulateInputs(const float* const* spectra, unsigned int firstInput, unsigned int count, std::uint64_t size,
                          const Uses& uses, const Accumulator& accumulator, const Response& response) noexcept;
    void completeHop(Segment& segment, Group& group, bool secondHalf, float* const* headOuts,
                     unsigned long headOffset) noexcept;

    unsigned int mNumIns;
    unsigned int mNumOuts;
    SegmentLayout mLayout;
    unsigned long mLatency = 0;
    std::uint64_t mHeadTaps = 0;
    std::vector<std::unique_ptr<Segment>> mSegments;
    // Segments with buffers, from the first: those that some response set so
    // far reaches. Raised by control threads (under mControlMutex), never
    // lowered; the audio thread processes only these.
    std::atomic<std::size_t> mLiveSegments{0};
    std::unique_ptr<Pair[]> mPairs;

    // The final segment's rings grow when a pair is remade for longer responses:
    // a control thread leaves the larger rings here, the audio thread adopts them
    // at the start of a call and adds the old ones to the retired list, which
    // the next set or resize (or the destructor) frees.
    std::atomic<Ring*> mPendingRing{nullptr};
    std::atomic<Ring*> mRetiredRing{nullptr};
    std::mutex mControlMutex;
    std::uint64_t mRequestedFinalSlots = 0;

    // Head: per input, headTaps - 1 samples of history followed by the chunk,
    // filled from the smallest segment's time buffer by each call that needs it.
    AlignedArray<float> mHeadHistory;
    AlignedArray<float> mZeroTaps;
    std::vector<const float*> mHeadSignals;
    std::vector<const float*> mHeadFilters;
    // Head spectra at the smallest segment's size, laid out by input and
    // output; per output an accumulation spectrum; one hop of inverse output.
    AlignedArray<float> mHeadSpectra;
    AlignedArray<float> mHeadAccum;
    AlignedArray<float> mHeadOutput;

    std::atomic<bool> mResetAll{true};
};

} // namespace dspkit
