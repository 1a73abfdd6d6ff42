// engine: a finished decoder set.
#include "engine/DecoderSet.h"

#include "convolution/Convolver.h"
#include "engine/EngineSizes.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qir {

namespace {

constexpr int kFrames = EngineSizes::kSubBlockFrames;
constexpr int kMaxChans = EngineSizes::kMaxInputChannels;
constexpr int kNumOutputs = EngineSizes::kNumOutputs;

} // namespace

DecoderSet::DecoderSet() = default;

DecoderSet::~DecoderSet() = default;

void DecoderSet::Convolve(const float* const* inputs, float* out0, float* out1, int nFrames) noexcept
{
    // audio thread, or the throughput configuration's worker.
    std::memset(out0, 0, sizeof(float) * static_cast<std::size_t>(nFrames));
    std::memset(out1, 0, sizeof(float) * static_cast<std::size_t>(nFrames));
    const int step = std::max(kFrames, mWarmFrames / kFrames * kFrames);
    std::array<const float*, kMaxChans> pieceInputs;
    for (int offset = 0; offset < nFrames; offset += step) {
        const int frames = std::min(step, nFrames - offset);
        const float* const* ins = inputs;
        if (offset > 0) {
            for (int c = 0; c < kMaxChans; ++c) {
                pieceInputs[static_cast<std::size_t>(c)] = inputs[c] + offset;
            }
            ins = pieceInputs.data();
        }
        float* outs[kNumOutputs] = {out0 + offset, out1 + offset};
        mConvolver->process(ins, outs, static_cast<unsigned long>(mNumChans), kNumOutputs,
                            static_cast<unsigned long>(frames));
    }
}

void DecoderSet::StartStream(const float* const* silence, float* sink0, float* sink1, int frames) noexcept
{
    // main thread, audio stopped.
    if (mWarmFrames < frames) {
        float* sink[kNumOutputs] = {sink0, sink1};
        mConvolver->process(silence, sink, static_cast<unsigned long>(mNumChans), kNumOutputs,
                            static_cast<unsigned long>(frames));
        mWarmFrames = frames;
    }
    mConvolver->reset();
}

} // namespace qir
