// soundfield: frame helpers shared by the rotator and the encoder.
#include "soundfield/FrameOps.h"

#include <algorithm>

namespace soundfield_detail {

void fillFadeRamps(float* fadeIn, float* fadeOut) noexcept
{
    for (int i = 0; i < kFrameSize; ++i) {
        fadeIn[i] = static_cast<float>(i + 1) / static_cast<float>(kFrameSize);
        fadeOut[i] = 1.0f - fadeIn[i];
    }
}

void crossfadeChannels(float* __restrict out, const float* __restrict old, const float* __restrict fadeIn,
                       const float* __restrict fadeOut, int nChannels) noexcept
{
    for (int c = 0; c < nChannels; ++c) {
        float* __restrict o = out + static_cast<std::size_t>(c) * kFrameSize;
        const float* __restrict p = old + static_cast<std::size_t>(c) * kFrameSize;
        for (int i = 0; i < kFrameSize; ++i)
            o[i] = fadeIn[i] * o[i] + fadeOut[i] * p[i];
    }
}

void silenceOutputs(float* const* outputs, int nOutputs, int nSamples) noexcept
{
    if (nSamples <= 0)
        return;
    for (int c = 0; c < nOutputs; ++c)
        std::fill(outputs[c], outputs[c] + nSamples, 0.0f);
}

void writeFrameToOutputs(const float* frame, int nChannels, float* const* outputs, int nOutputs) noexcept
{
    const int nCopy = std::clamp(std::min(nChannels, nOutputs), 0, kMaxChannels);
    for (int c = 0; c < nCopy; ++c) {
        const float* channel = frame + static_cast<std::size_t>(c) * kFrameSize;
        std::copy(channel, channel + kFrameSize, outputs[c]);
    }
    for (int c = nCopy; c < nOutputs; ++c)
        std::fill(outputs[c], outputs[c] + kFrameSize, 0.0f);
}

} // namespace soundfield_detail
