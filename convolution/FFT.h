// convolution: the FFT layer. Radix-2 complex and real transforms in single and
// double precision on split-complex buffers, with one fixed packing of real
// spectra that the convolvers rely on:
//   - a real signal x[0..N) is held as its even/odd split: realp[k] = x[2k],
//     imagp[k] = x[2k + 1], k < N/2;
//   - the forward real transform leaves 2·X[k] in bin k for 1 <= k < N/2, and
//     packs the two real terms 2·X[0] (DC) in realp[0] and 2·X[N/2] (Nyquist) in
//     imagp[0];
//   - the inverse real transform is the plain (unnormalised) inverse sum, so a
//     forward transform followed by an inverse returns 2N·x.
// The complex transforms are unnormalised both ways (forward then inverse gives
// N·x). Sizes are given as exponents: N = 2^log2n, supported from 2^1 to 2^20.
//
// A setup is made for a maximum exponent and serves every smaller size. It holds
// shared, read-only transform plans (made once per size for the whole process,
// under a lock) and scratch memory of its own, so the transforms allocate nothing
// and take no lock. A setup must be used by one thread at a time.
#pragma once

#include <cstddef>

namespace dspkit {

struct DSPSplitComplex {
    float* realp;
    float* imagp;
};

struct DSPDoubleSplitComplex {
    double* realp;
    double* imagp;
};

struct OpaqueFFTSetup;
struct OpaqueFFTSetupD;
using FFTSetup = OpaqueFFTSetup*;
using FFTSetupD = OpaqueFFTSetupD*;

// Largest supported size exponent.
inline constexpr unsigned long kMaxFFTLog2 = 20;

// How thoroughly transform plans are chosen for the sizes that setups are made
// for. Estimate picks a plan at once; Measure times candidate plans on this
// processor (a few hundred milliseconds per size, once per process) and gives
// faster transforms at the larger sizes. Setups made afterwards use the rigour
// in force when they are made; the default is Estimate.
enum class FFTPlanning { Estimate, Measure };
void dspkit_set_fft_planning(FFTPlanning planning) noexcept;
[[nodiscard]] FFTPlanning dspkit_get_fft_planning() noexcept;

// Creates a setup for sizes up to 2^maxLog2n and stores it through setup; stores
// null when maxLog2n is 0 or above 20, or when memory is short.
void dspkit_create_setup(FFTSetup* setup, unsigned long maxLog2n);
void dspkit_create_setup(FFTSetupD* setup, unsigned long maxLog2n);

// Destroys a setup; null is ignored.
void dspkit_destroy_setup(FFTSetup setup) noexcept;
void dspkit_destroy_setup(FFTSetupD setup) noexcept;

// In-place complex transforms of N points (N elements in each array).
// A size above the setup's maximum leaves the buffer unchanged.
void dspkit_fft(FFTSetup setup, const DSPSplitComplex* buffer, unsigned long log2n) noexcept;
void dspkit_fft(FFTSetupD setup, const DSPDoubleSplitComplex* buffer, unsigned long log2n) noexcept;
void dspkit_ifft(FFTSetup setup, const DSPSplitComplex* buffer, unsigned long log2n) noexcept;
void dspkit_ifft(FFTSetupD setup, const DSPDoubleSplitComplex* buffer, unsigned long log2n) noexcept;

// In-place real transforms (N/2 elements in each array): forward from the
// even/odd split to the packed spectrum, inverse from the packed spectrum to the
// even/odd split.
void dspkit_rfft(FFTSetup setup, const DSPSplitComplex* buffer, unsigned long log2n) noexcept;
void dspkit_rfft(FFTSetupD setup, const DSPDoubleSplitComplex* buffer, unsigned long log2n) noexcept;
void dspkit_rifft(FFTSetup setup, const DSPSplitComplex* buffer, unsigned long log2n) noexcept;
void dspkit_rifft(FFTSetupD setup, const DSPDoubleSplitComplex* buffer, unsigned long log2n) noexcept;

// Even/odd split of N real samples, and back.
void dspkit_unzip(const float* input, const DSPSplitComplex* output, unsigned long log2n) noexcept;
void dspkit_unzip(const double* input, const DSPDoubleSplitComplex* output, unsigned long log2n) noexcept;
void dspkit_zip(const DSPSplitComplex* input, float* output, unsigned long log2n) noexcept;
void dspkit_zip(const DSPDoubleSplitComplex* input, double* output, unsigned long log2n) noexcept;

// Even/odd split of the first inputLength samples of input, truncated or
// zero-padded to N samples. An input length of 0 does not read input. The float
// to double form widens every sample.
void dspkit_unzip_zero(const float* input, const DSPSplitComplex* output,
                       unsigned long inputLength, unsigned long log2n) noexcept;
void dspkit_unzip_zero(const double* input, const DSPDoubleSplitComplex* output,
                       unsigned long inputLength, unsigned long log2n) noexcept;
void dspkit_unzip_zero(const float* input, const DSPDoubleSplitComplex* output,
                       unsigned long inputLength, unsigned long log2n) noexcept;

// Forward real transform of input, truncated or zero-padded to N samples, into
// output (the result is the same as dspkit_unzip_zero then dspkit_rfft).
void dspkit_rfft(FFTSetup setup, const float* input, const DSPSplitComplex* output,
                 unsigned long inputLength, unsigned long log2n) noexcept;
void dspkit_rfft(FFTSetupD setup, const double* input, const DSPDoubleSplitComplex* output,
                 unsigned long inputLength, unsigned long log2n) noexcept;
void dspkit_rfft(FFTSetupD setup, const float* input, const DSPDoubleSplitComplex* output,
                 unsigned long inputLength, unsigned long log2n) noexcept;

// Inverse real transform of the packed spectrum in input, written as N
// interleaved samples to output. The contents of input are unspecified
// afterwards.
void dspkit_rifft(FFTSetup setup, const DSPSplitComplex* input, float* output,
                  unsigned long log2n) noexcept;
void dspkit_rifft(FFTSetupD setup, const DSPDoubleSplitComplex* input, double* output,
                  unsigned long log2n) noexcept;

// Forward real transform of the N samples of input taken in rotated order,
// input[N/2 .. N) then input[0 .. N/2), into output: the same result as
// dspkit_rfft of the rotated block, without rotating it (rotation by half a
// block flips the sign of every odd bin). input must hold N samples.
void dspkit_rfft_rotated(FFTSetup setup, const float* input, const DSPSplitComplex* output,
                         unsigned long log2n) noexcept;

// Inverse real transform of the packed spectrum in input, of which the first
// count samples (count <= N), each times scale, are written to output; the
// transform itself runs in scratch memory. The contents of input are
// unspecified afterwards. This is the convolver's per-hop inverse: it needs
// only the first half of the block, scaled.
void dspkit_rifft_scaled(FFTSetup setup, const DSPSplitComplex* input, float* output,
                         unsigned long count, float scale, unsigned long log2n) noexcept;

// Buffers are allocated at exactly the length asked for.
inline constexpr unsigned long padded_length(unsigned long length) noexcept
{
    return length;
}

// Points out at the elements of in starting at offset (partition k of a spectrum
// array lives at offset k·N/2).
inline void offsetSplitPointer(DSPSplitComplex& out, const DSPSplitComplex& in,
                               unsigned long offset) noexcept
{
    out.realp = in.realp + offset;
    out.imagp = in.imagp + offset;
}

inline void offsetSplitPointer(DSPDoubleSplitComplex& out, const DSPDoubleSplitComplex& in,
                               unsigned long offset) noexcept
{
    out.realp = in.realp + offset;
    out.imagp = in.imagp + offset;
}

} // namespace dspkit
