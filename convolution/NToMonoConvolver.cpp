// convolution: one output of a multichannel convolver.
#include "convolution/NToMonoConvolver.h"

#include <algorithm>

namespace dspkit {

NToMonoConvolver::NToMonoConvolver(unsigned int numIns, unsigned long maxLength, LatencyMode latency)
{
    mConvolvers.reserve(numIns);
    for (unsigned int i = 0; i < numIns; ++i) {
        mConvolvers.emplace_back(maxLength, latency);
    }
    mNumIns = numIns;
}

ConvolveStatus NToMonoConvolver::resize(unsigned int in, unsigned long length)
{
    if (in >= mNumIns) {
        return kConvolveInputOutOfRange;
    }
    return mConvolvers[in].resize(length);
}

ConvolveStatus NToMonoConvolver::set(unsigned int in, const float* ir, unsigned long length,
                                     bool requestResize)
{
    if (in >= mNumIns) {
        return kConvolveInputOutOfRange;
    }
    return mConvolvers[in].set(ir, length, requestResize);
}

ConvolveStatus NToMonoConvolver::reset(unsigned int in) noexcept
{
    if (in >= mNumIns) {
        return kConvolveInputOutOfRange;
    }
    return mConvolvers[in].reset();
}

void NToMonoConvolver::process(const float* const* ins, float* out, float* temp,
                               unsigned long numSamples, unsigned long activeIns) noexcept
{
    std::fill_n(out, numSamples, 0.0f);
    const unsigned long count = std::min<unsigned long>(mNumIns, activeIns);
    for (unsigned long i = 0; i < count; ++i) {
        mConvolvers[i].process(ins[i], temp, out, numSamples, true);
    }
}

} // namespace dspkit
