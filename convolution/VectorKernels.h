// convolution: the vectorised inner loops of the engine. Each is compiled for
// several instruction sets and picks one at load time (see SimdDispatch.h), so the
// library runs on any x86-64 processor and uses AVX2/FMA where present.
#pragma once

#include <cstddef>

namespace dspkit {

// c += a * b, bin by bin, for complex spectra held as separate real and
// imaginary arrays. Every bin is treated as an ordinary complex number; the
// caller corrects the packed DC/Nyquist bin.
void multiplyAccumulateSpectra(float* __restrict cReal, float* __restrict cImag,
                               const float* __restrict aReal, const float* __restrict aImag,
                               const float* __restrict bReal, const float* __restrict bImag,
                               std::size_t numBins) noexcept;

// c = a * b, bin by bin, like multiplyAccumulateSpectra without the sum.
void multiplySpectra(float* __restrict cReal, float* __restrict cImag,
                     const float* __restrict aReal, const float* __restrict aImag,
                     const float* __restrict bReal, const float* __restrict bImag,
                     std::size_t numBins) noexcept;

// out[i] = in[i] * scale.
void scaledCopy(float* __restrict out, const float* __restrict in, float scale,
                std::size_t count) noexcept;

// out[i] += in[i].
void addInPlace(float* __restrict out, const float* __restrict in, std::size_t count) noexcept;

// Direct-form correlation: out[n] = sum_{p < filterLength} signal[n + p] * filter[p],
// for n < count, each sum taken in ascending p.
void correlate(const float* __restrict signal, const float* __restrict filter,
               float* __restrict out, std::size_t count, std::size_t filterLength) noexcept;

// As correlate, but adds each finished sum to out[n].
void correlateAdd(const float* __restrict signal, const float* __restrict filter,
                  float* __restrict out, std::size_t count, std::size_t filterLength) noexcept;

// Interleaved pairs to separate arrays, times scale: re[k] = scale * pairs[2k],
// im[k] = scale * pairs[2k + 1], k < count.
void deinterleaveScaled(const float* __restrict pairs, float* __restrict re,
                        float* __restrict im, float scale, std::size_t count) noexcept;
void deinterleaveScaled(const double* __restrict pairs, double* __restrict re,
                        double* __restrict im, double scale, std::size_t count) noexcept;

// As deinterleaveScaled with the sign of every odd-numbered pair flipped:
// re[k] = (-1)^k * scale * pairs[2k], im[k] = (-1)^k * scale * pairs[2k + 1].
// count must be even.
void deinterleaveScaledAlternating(const float* __restrict pairs, float* __restrict re,
                                   float* __restrict im, float scale, std::size_t count) noexcept;

// Separate arrays to interleaved pairs: pairs[2k] = re[k], pairs[2k + 1] = im[k].
void interleave(const float* __restrict re, const float* __restrict im,
                float* __restrict pairs, std::size_t count) noexcept;
void interleave(const double* __restrict re, const double* __restrict im,
                double* __restrict pairs, std::size_t count) noexcept;

} // namespace dspkit
