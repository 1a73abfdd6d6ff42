// convolution: the vectorised inner loops of the engine.
#include "convolution/VectorKernels.h"

#include <cstring>

// Runtime dispatch: one clone for x86-64-v3 (AVX2 + FMA) and a baseline clone;
// the loader picks the best one for the processor it runs on. ThreadSanitizer
// builds use the plain loops: their runtime is not ready when the loader runs
// the clone resolvers, and the programs crash at start.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define DSPKIT_HOT __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define DSPKIT_HOT
#endif

namespace dspkit {

namespace {

// Eight floats; the baseline clone splits it into two SSE registers.
typedef float Float8 __attribute__((vector_size(32)));

} // namespace

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
    Float8 v = sum;
    if constexpr (Add) {
        Float8 old;
        std::memcpy(&old, out, sizeof old);
        v = old + v;
    }
    std::memcpy(out, &v, sizeof v);
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
            std::memcpy(&v0, s + p, sizeof v0);
            std::memcpy(&v1, s + p + 8, sizeof v1);
            std::memcpy(&v2, s + p + 16, sizeof v2);
            std::memcpy(&v3, s + p + 24, sizeof v3);
            std::memcpy(&v4, s + p + 32, sizeof v4);
            std::memcpy(&v5, s + p + 40, sizeof v5);
            std::memcpy(&v6, s + p + 48, sizeof v6);
            std::memcpy(&v7, s + p + 56, sizeof v7);
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
            std::memcpy(&v0, s + p, sizeof v0);
            std::memcpy(&v1, s + p + 8, sizeof v1);
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
