// soundfield: small helpers shared by the rotator and the encoder for their 128-sample,
// channel-major frames.
#pragma once

#include <cstddef>

namespace soundfield_detail {

constexpr int kFrameSize = 128;
constexpr int kMaxChannels = 64;
constexpr std::size_t kFrameFloats = static_cast<std::size_t>(kMaxChannels) * kFrameSize;

inline float* frameChannel(float* frame, int channel) noexcept
{
    return frame + static_cast<std::size_t>(channel) * kFrameSize;
}

// fadeIn[i] = (i + 1) / 128 and fadeOut[i] = 1 - fadeIn[i].
void fillFadeRamps(float* fadeIn, float* fadeOut) noexcept;

// For the first nChannels channels: out = fadeIn * out + fadeOut * old, sample by sample.
void crossfadeChannels(float* __restrict out, const float* __restrict old, const float* __restrict fadeIn,
                       const float* __restrict fadeOut, int nChannels) noexcept;

// Writes zeros to the first nSamples samples of each of nOutputs outputs (nothing for counts <= 0).
void silenceOutputs(float* const* outputs, int nOutputs, int nSamples) noexcept;

// Copies min(nChannels, nOutputs) channels of a frame to the outputs and zeroes the remaining
// outputs up to nOutputs.
void writeFrameToOutputs(const float* frame, int nChannels, float* const* outputs, int nOutputs) noexcept;

} // namespace soundfield_detail
