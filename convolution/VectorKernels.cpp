// convolution: the vectorised inner loops of the engine.
#include "convolution/VectorKernels.h"

#include "convolution/SimdDispatch.h"

namespace dspkit {

using simd::Float8;

DSPKIT_HOT
void multiplyAccumulateSpectra(float* __restrict cReal, float* __restrict cImag,
                               const float* __restrict aReal, const float* __restrict aImag,
                               const float* __restrict bReal, const float* __restrict bImag,
                               std::size_t numBins) noexcept
{
    for (std::size_t i = 0; i < numBins; ++i) {
        cReal[i] += aReal[i] * bReal[i] - aImag[i] * bImag[i];
        cImag[i] += aImag[i] * bReal[i] + aReal[i] * bImag[i];
    }
}

DSPKIT_HOT
void multiplySpectra(float* __restrict cReal, float* __restrict cImag,
                     const float* __restrict aReal, const float* __restrict aImag,
                     const float* __restrict bReal, const float* __restrict bImag,
                     std::size_t numBins) noexcept
{
    for (std::size_t i = 0; i < numBins; ++i) {
        cReal[i] = aReal[i] * bReal[i] - aImag[i] * bImag[i];
        cImag[i] = aImag[i] * bReal[i] + aReal[i] * bImag[i];
    }
}

DSPKIT_HOT
void scaledCopy(float* __restrict out, const float* __restrict in, float scale,
                std::size_t count) noexcept
{
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = in[i] * scale;
    }
}

DSPKIT_HOT
void addInPlace(float* __restrict out, const float* __restrict in, std::size_t count) noexcept
{
    for (std::size_t i = 0; i < count; ++i) {
        out[i] += in[i];
    }
}

// Output samples are computed in register blocks of 64 (eight vectors of
// eight): for each tap one broadcast and eight unaligned loads feed eight
// independent accumulators, enough to hide the multiply-add latency. Sums run in
// ascending tap order, exactly as the scalar definition; Add selects whether a
// finished sum replaces or is added to out[n].
template <bool Add>
[[gnu::always_inline]] inline void storeSum(float* out, const Float8& sum) noexcept
{
    if constexpr (Add) {
        simd::addStore8(out, sum);
    } else {
        simd::store8(out, sum);
    }
}

// Forced inline so that every clone compiles it for its own target.
template <bool Add>
[[gnu::always_inline]] inline void correlateImpl(const float* __restrict signal, const float* __restrict filter,
                                                 float* __restrict out, std::size_t count,
                                                 std::size_t filterLength) noexcept
{
    std::size_t n = 0;
    for (; n + 64 <= count; n += 64) {
        Float8 a0 = {}, a1 = {}, a2 = {}, a3 = {}, a4 = {}, a5 = {}, a6 = {}, a7 = {};
        const float* s = signal + n;
        for (std::size_t p = 0; p < filterLength; ++p) {
            const float f = filter[p];
            Float8 v0, v1, v2, v3, v4, v5, v6, v7;
            simd::load8(v0, s + p);
            simd::load8(v1, s + p + 8);
            simd::load8(v2, s + p + 16);
            simd::load8(v3, s + p + 24);
            simd::load8(v4, s + p + 32);
            simd::load8(v5, s + p + 40);
            simd::load8(v6, s + p + 48);
            simd::load8(v7, s + p + 56);
            a0 += v0 * f;
            a1 += v1 * f;
            a2 += v2 * f;
            a3 += v3 * f;
            a4 += v4 * f;
            a5 += v5 * f;
            a6 += v6 * f;
            a7 += v7 * f;
        }
        storeSum<Add>(out + n, a0);
        storeSum<Add>(out + n + 8, a1);
        storeSum<Add>(out + n + 16, a2);
        storeSum<Add>(out + n + 24, a3);
        storeSum<Add>(out + n + 32, a4);
        storeSum<Add>(out + n + 40, a5);
        storeSum<Add>(out + n + 48, a6);
        storeSum<Add>(out + n + 56, a7);
    }
    for (; n + 16 <= count; n += 16) {
        Float8 a0 = {}, a1 = {};
        const float* s = signal + n;
        for (std::size_t p = 0; p < filterLength; ++p) {
            const float f = filter[p];
            Float8 v0, v1;
            simd::load8(v0, s + p);
            simd::load8(v1, s + p + 8);
            a0 += v0 * f;
            a1 += v1 * f;
        }
        storeSum<Add>(out + n, a0);
        storeSum<Add>(out + n + 8, a1);
    }
    for (; n < count; ++n) {
        float sum = 0.0f;
        for (std::size_t p = 0; p < filterLength; ++p) {
            sum += signal[n + p] * filter[p];
        }
        if constexpr (Add) {
            out[n] += sum;
        } else {
            out[n] = sum;
        }
    }
}

DSPKIT_HOT
void correlate(const float* __restrict signal, const float* __restrict filter,
               float* __restrict out, std::size_t count, std::size_t filterLength) noexcept
{
    correlateImpl<false>(signal, filter, out, count, filterLength);
}

DSPKIT_HOT
void correlateAdd(const float* __restrict signal, const float* __restrict filter,
                  float* __restrict out, std::size_t count, std::size_t filterLength) noexcept
{
    correlateImpl<true>(signal, filter, out, count, filterLength);
}

DSPKIT_HOT
void deinterleaveScaled(const float* __restrict pairs, float* __restrict re,
                        float* __restrict im, float scale, std::size_t count) noexcept
{
    for (std::size_t k = 0; k < count; ++k) {
        re[k] = pairs[2 * k] * scale;
        im[k] = pairs[2 * k + 1] * scale;
    }
}

DSPKIT_HOT
void deinterleaveScaledAlternating(const float* __restrict pairs, float* __restrict re,
                                   float* __restrict im, float scale, std::size_t count) noexcept
{
    for (std::size_t k = 0; k < count; k += 2) {
        re[k] = pairs[2 * k] * scale;
        im[k] = pairs[2 * k + 1] * scale;
        re[k + 1] = pairs[2 * k + 2] * -scale;
        im[k + 1] = pairs[2 * k + 3] * -scale;
    }
}

DSPKIT_HOT
void deinterleaveScaled(const double* __restrict pairs, double* __restrict re,
                        double* __restrict im, double scale, std::size_t count) noexcept
{
    for (std::size_t k = 0; k < count; ++k) {
        re[k] = pairs[2 * k] * scale;
        im[k] = pairs[2 * k + 1] * scale;
    }
}

DSPKIT_HOT
void interleave(const float* __restrict re, const float* __restrict im,
                float* __restrict pairs, std::size_t count) noexcept
{
    for (std::size_t k = 0; k < count; ++k) {
        pairs[2 * k] = re[k];
        pairs[2 * k + 1] = im[k];
    }
}

DSPKIT_HOT
void interleave(const double* __restrict re, const double* __restrict im,
                double* __restrict pairs, std::size_t count) noexcept
{
    for (std::size_t k = 0; k < count; ++k) {
        pairs[2 * k] = re[k];
        pairs[2 * k + 1] = im[k];
    }
}

} // namespace dspkit
