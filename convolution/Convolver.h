// convolution: the multichannel convolver, a matrix of impulse responses mapping
// N inputs to M outputs (or, one-to-one, output k from input k only). Audio may
// be single or double precision; the convolution itself runs in single precision
// with denormals flushed to zero. Responses can be loaded pair by pair on a
// control thread while the audio thread processes: a pair being changed is
// silent for the calls that overlap the change.
//
// The N-to-M mode runs on one of two engines, chosen at construction:
//   - one mono convolver per pair (kPerPairEngine), the default. It keeps the
//     convolver's full contract for changes on a running convolver: a pair
//     that is set, cleared, reset or resized is silent for the calls that
//     overlap the change and then sounds its new response from a cleared
//     history (a cleared or resized pair stays silent), and inputs beyond the
//     numIns of a call contribute nothing, earlier tails included;
//   - the shared-spectrum engine (kSharedSpectrumEngine, SharedSpectrumConvolver:
//     each input transformed once, each output inverse-transformed once per
//     hop), several times cheaper for many inputs. It gives the same results,
//     statuses and latency for a convolver that is loaded, reset and then run,
//     but a pair changed while it runs settles over two of its largest hops
//     plus the response's length, and inputs beyond numIns count as silence,
//     so their tails ring on (exact terms in SharedSpectrumConvolver.h). Owners that replace whole
//     convolvers rather than change pairs, such as the decoder engine, choose it.
// The one-to-one mode always uses mono convolvers.
#pragma once

#include "convolution/ConvolveStatus.h"
#include "convolution/NToMonoConvolver.h"
#include "convolution/SharedSpectrumConvolver.h"
#include "convolution/SwappableMemory.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace dspkit {

// Engine of an N-to-M convolver.
enum EConvolverEngine : int {
    kSharedSpectrumEngine = 0,
    kPerPairEngine = 1,
};

class Convolver {
public:
    static constexpr unsigned long kDefaultMaxLength = 16384;

    // Sets flush-to-zero and denormals-are-zero for its scope and restores the
    // caller's floating-point control word afterwards.
    class DenormalGuard {
    public:
        DenormalGuard() noexcept;
        ~DenormalGuard();
        DenormalGuard(const DenormalGuard&) = delete;
        DenormalGuard& operator=(const DenormalGuard&) = delete;

    private:
        std::uint32_t mSavedControlWord = 0;
    };

    // N-to-M: every output takes every input (at least one input), on the
    // per-pair engine or the one given. blockSize, when known, is the number of
    // samples of every process call (the host's block, not a maximum): the
    // shared-spectrum engine lays its segments out for it at zero latency. Any
    // call gives the same output, but calls that are not whole multiples of
    // the largest power of two (64 to 1024) dividing blockSize cost more, up
    // to several times for a 1024-sample layout called in short blocks (the
    // head of each response is then summed in direct form). 0 (unknown)
    // gives the layout for 128-sample blocks. kThroughputLayout lets that
    // power of two reach 16384 (the longest response a pair takes without a
    // resize) instead of 1024, for callers that render in long whole blocks
    // (see EConvolverLayout). The per-pair engine ignores both.
    Convolver(unsigned int numIns, unsigned int numOuts, LatencyMode latency);
    Convolver(unsigned int numIns, unsigned int numOuts, LatencyMode latency, EConvolverEngine engine,
              unsigned long blockSize = 0, EConvolverLayout layout = kRealTimeLayout);
    // One-to-one: max(1, numIO) channels, output k from input k.
    Convolver(unsigned int numIO, LatencyMode latency);
    virtual ~Convolver();
    Convolver(const Convolver&) = delete;
    Convolver& operator=(const Convolver&) = delete;

    // Control thread: loads the response of pair (in, out); length 0 loads none.
    // kConvolveOutputOutOfRange, kConvolveInputOutOfRange, or the mono
    // convolver's status.
    [[nodiscard]] ConvolveStatus set(unsigned int in, unsigned int out, const float* ir,
                                     unsigned long length, bool requestResize);
    [[nodiscard]] ConvolveStatus set(unsigned int in, unsigned int out, const double* ir,
                                     unsigned long length, bool requestResize);
    // Control thread: empties every pair, or one pair (an output out of range is
    // ignored).
    void clear(bool requestResize);
    void clear(unsigned int in, unsigned int out, bool requestResize);
    // Any thread: every pair (or one) clears its history at the next process.
    void reset() noexcept;
    ConvolveStatus reset(unsigned int in, unsigned int out) noexcept;
    // Control thread: remakes a pair's final segment for responses of length
    // samples. kConvolveInputOutOfRange when out is out of range.
    [[nodiscard]] ConvolveStatus resize(unsigned int in, unsigned int out, unsigned long length);

    // Audio thread, never waits. Allocates only when (inputs + 2) * numSamples
    // exceeds every earlier value. Outputs must not overlap inputs. In one-to-one
    // mode an output whose input is not among the numIns given is set to
    // silence.
    void process(const float* const* ins, float** outs, unsigned long numIns, unsigned long numOuts,
                 unsigned long numSamples) noexcept;
    void process(const double* const* ins, double** outs, unsigned long numIns, unsigned long numOuts,
                 unsigned long numSamples) noexcept;

    [[nodiscard]] EConvolverEngine getEngine() const noexcept
    {
        return mShared ? kSharedSpectrumEngine : kPerPairEngine;
    }

    [[nodiscard]] unsigned int getNumIns() const noexcept { return mNumIns; }
    [[nodiscard]] unsigned int getNumOuts() const noexcept { return mNumOuts; }

private:
    void tempSetup(float* memory, unsigned long size) noexcept;
    [[nodiscard]] unsigned int mappedInput(unsigned int in, unsigned int out) const noexcept;

    unsigned int mNumIns;
    unsigned int mNumOuts;
    bool mN2M;
    std::vector<float*> mInTemps;
    float* mTemp1 = nullptr;
    float* mTemp2 = nullptr;
    SwappableMemory<float> mTemporaryMemory;
    std::vector<std::unique_ptr<NToMonoConvolver>> mConvolvers;
    std::unique_ptr<SharedSpectrumConvolver> mShared;
    std::vector<float*> mSharedOuts;
};

} // namespace dspkit
