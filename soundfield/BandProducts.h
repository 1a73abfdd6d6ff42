// soundfield: the rotator's matrix products on 128-sample frames. A spherical-harmonic rotation
// mixes channels only within a band (order l: channels l^2 .. (l+1)^2 - 1), so the products sum
// over the diagonal blocks alone: 680 of the 4096 entries at order 7.
//
// Any thread: the products allocate nothing and never wait.
#pragma once

#include "soundfield/FrameOps.h"

namespace soundfield_detail {

// Instruction sets a product can be run with; a level above bestProductLevel() must not be asked.
enum EProductLevel {
    kProductBaseline = 0, // the compiler's baseline (SSE2 on x86-64)
    kProductAVX2 = 1,     // x86-64-v3: AVX2 and FMA
    kProductAVX512 = 2,   // x86-64-v4: AVX-512
};

// The widest level this processor runs.
EProductLevel bestProductLevel() noexcept;

// out = matrix x frame over the bands 0..order (0 <= order <= 7). matrix has row stride `stride`
// (at least (order + 1)^2) and only its diagonal blocks are read; frame is a channel-major frame of kFrameSize
// samples per channel, out[c] receives the kFrameSize samples of channel c < (order + 1)^2, and
// no output overlaps the frame.
void multiplyBands(const float* matrix, int stride, const float* frame, float* const* out, int order,
                   EProductLevel level = bestProductLevel()) noexcept;

// out = fadeIn * (matrix x frame) + fadeOut * (previous x frame), sample by sample: the frame
// crossfaded from the previous matrix to the new one, in one pass over the input. Both matrices
// have row stride `stride`.
void crossfadeBands(const float* matrix, const float* previous, int stride, const float* fadeIn, const float* fadeOut,
                    const float* frame, float* const* out, int order,
                    EProductLevel level = bestProductLevel()) noexcept;

} // namespace soundfield_detail
