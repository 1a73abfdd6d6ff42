// convolution: one output of a multichannel convolver: the sum over its inputs of
// each input convolved with its own impulse response.
#pragma once

#include "convolution/ConvolveStatus.h"
#include "convolution/MonoConvolver.h"

#include <vector>

namespace dspkit {

class NToMonoConvolver {
public:
    // numIns mono convolvers, each for responses of up to maxLength samples.
    NToMonoConvolver(unsigned int numIns, unsigned long maxLength, LatencyMode latency);

    // Control thread: the operations of mono convolver in;
    // kConvolveInputOutOfRange when in is not an input.
    [[nodiscard]] ConvolveStatus resize(unsigned int in, unsigned long length);
    [[nodiscard]] ConvolveStatus set(unsigned int in, const float* ir, unsigned long length,
                                     bool requestResize);
    ConvolveStatus reset(unsigned int in) noexcept;

    // Audio thread, never waits: out = sum over the first min(inputs, activeIns)
    // inputs, in ascending order, of ins[i] convolved with response i. temp is
    // scratch of numSamples floats; out must not overlap ins or temp.
    void process(const float* const* ins, float* out, float* temp, unsigned long numSamples,
                 unsigned long activeIns) noexcept;

    [[nodiscard]] unsigned int getNumIns() const noexcept { return mNumIns; }

private:
    std::vector<MonoConvolver> mConvolvers;
    unsigned int mNumIns = 0;
};

} // namespace dspkit
