// convolution: the inner loops of the shared-spectrum engine, which work on
// many inputs and two outputs at a time: the direct-form head sums and the
// products of input spectra with the responses of two outputs. Compiled for
// several instruction sets like the vector kernels (see SimdDispatch.h); any
// thread may call them, and they never allocate.
#pragma once

#include "convolution/VectorKernels.h"

#include <cstddef>
#include <cstdint>

namespace dspkit {

// out[k][n] += sum over inputs i < numInputs, taps p < taps of
// signals[i][n + p] * filters[i·2 + k][p], for k < 2 and n < count: the
// direct-form heads of all inputs for two outputs at once.
void headSumTwo(const float* const* signals, const float* const* filters, std::size_t numInputs,
                float* const* out, std::size_t count, std::size_t taps) noexcept;
// As headSumTwo for one output (filters[i] belongs to input i).
void headSumOne(const float* const* signals, const float* const* filters, std::size_t numInputs,
                float* const* out, std::size_t count, std::size_t taps) noexcept;

// c0 += a * b0 and c1 += a * b1, bin by bin as ordinary complex numbers, with
// input = {a real, a imag, b0 real, b0 imag, b1 real, b1 imag}. next, when not
// null, holds the six arrays the following call reads, prefetched while this
// call ends.
void multiplyAccumulateTwo(float* c0Real, float* c0Imag, float* c1Real, float* c1Imag, const float* const* input,
                           std::size_t numBins, const float* const* next) noexcept;
// As multiplyAccumulateTwo for the sum of two inputs, each given as six arrays.
void multiplyAccumulateTwoByTwo(float* c0Real, float* c0Imag, float* c1Real, float* c1Imag,
                                const float* const* first, const float* const* second, std::size_t numBins,
                                const float* const* next) noexcept;

// A packed spectrum of an FFT of size `size` at p: realp then imagp, size/2 each.
struct PackedSpectrum {
    float* realp;
    float* imagp;
};

inline PackedSpectrum spectrumAt(float* p, std::uint64_t size) noexcept
{
    return {p, p + size / 2};
}

// c += a * b for packed spectra: the complex product in every bin but bin 0,
// which holds the real DC and Nyquist terms, multiplied separately.
inline void multiplyAccumulatePacked(const PackedSpectrum& c, const PackedSpectrum& a, const PackedSpectrum& b,
                                     std::uint64_t bins) noexcept
{
    const float dc = c.realp[0] + a.realp[0] * b.realp[0];
    const float nyquist = c.imagp[0] + a.imagp[0] * b.imagp[0];
    multiplyAccumulateSpectra(c.realp, c.imagp, a.realp, a.imagp, b.realp, b.imagp, bins);
    c.realp[0] = dc;
    c.imagp[0] = nyquist;
}

// c0 += a * b0 and c1 += a * b1 for packed spectra; next as for
// multiplyAccumulateTwo.
inline void multiplyAccumulatePackedTwo(const PackedSpectrum& c0, const PackedSpectrum& c1, const PackedSpectrum& a,
                                        const PackedSpectrum& b0, const PackedSpectrum& b1, std::uint64_t bins,
                                        const float* const* next = nullptr) noexcept
{
    const float dc0 = c0.realp[0] + a.realp[0] * b0.realp[0];
    const float nyquist0 = c0.imagp[0] + a.imagp[0] * b0.imagp[0];
    const float dc1 = c1.realp[0] + a.realp[0] * b1.realp[0];
    const float nyquist1 = c1.imagp[0] + a.imagp[0] * b1.imagp[0];
    const float* const input[6] = {a.realp, a.imagp, b0.realp, b0.imagp, b1.realp, b1.imagp};
    multiplyAccumulateTwo(c0.realp, c0.imagp, c1.realp, c1.imagp, input, bins, next);
    c0.realp[0] = dc0;
    c0.imagp[0] = nyquist0;
    c1.realp[0] = dc1;
    c1.imagp[0] = nyquist1;
}

// c0 += a0 * b00 + a1 * b10 and c1 += a0 * b01 + a1 * b11 for packed
// spectra, two inputs in one pass; next as for multiplyAccumulateTwo.
inline void multiplyAccumulatePackedTwoByTwo(const PackedSpectrum& c0, const PackedSpectrum& c1,
                                             const PackedSpectrum (&a)[2], const PackedSpectrum (&b0)[2],
                                             const PackedSpectrum (&b1)[2], std::uint64_t bins,
                                             const float* const* next) noexcept
{
    float dc0 = c0.realp[0];
    float nyquist0 = c0.imagp[0];
    float dc1 = c1.realp[0];
    float nyquist1 = c1.imagp[0];
    for (int k = 0; k < 2; ++k) {
        dc0 += a[k].realp[0] * b0[k].realp[0];
        nyquist0 += a[k].imagp[0] * b0[k].imagp[0];
        dc1 += a[k].realp[0] * b1[k].realp[0];
        nyquist1 += a[k].imagp[0] * b1[k].imagp[0];
    }
    const float* const first[6] = {a[0].realp, a[0].imagp, b0[0].realp, b0[0].imagp, b1[0].realp, b1[0].imagp};
    const float* const second[6] = {a[1].realp, a[1].imagp, b0[1].realp, b0[1].imagp, b1[1].realp, b1[1].imagp};
    multiplyAccumulateTwoByTwo(c0.realp, c0.imagp, c1.realp, c1.imagp, first, second, bins, next);
    c0.realp[0] = dc0;
    c0.imagp[0] = nyquist0;
    c1.realp[0] = dc1;
    c1.imagp[0] = nyquist1;
}

} // namespace dspkit
