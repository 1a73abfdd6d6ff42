// convolution: the inner loops of the shared-spectrum engine.
#include "convolution/SpectrumKernels.h"

#include "convolution/SimdDispatch.h"

namespace dspkit {

using simd::addStore8;
using simd::Float8;
using simd::load8;
using simd::store8;

namespace {

// out[k][n] += sum over inputs i, taps p of signals[i][n + p] * filters[i·Outs + k][p]:
// the direct-form heads of all inputs for Outs outputs at once. The sums of a
// block of 32 samples stay in registers over all inputs and taps, and every
// signal load feeds all the outputs.
template <int Outs, bool Pinned = false>
[[gnu::always_inline]] inline void headSumImpl(const float* const* signals, const float* const* filters,
                                               std::size_t numInputs, float* const* out, std::size_t count,
                                               std::size_t taps) noexcept
{
    std::size_t n = 0;
    for (; n + 32 <= count; n += 32) {
        Float8 acc[Outs][4] = {};
        for (std::size_t i = 0; i < numInputs; ++i) {
            const float* s = signals[i] + n;
            const float* const* f = filters + i * Outs;
            for (std::size_t p = 0; p < taps; ++p) {
                Float8 v0, v1, v2, v3;
                load8(v0, s + p);
                load8(v1, s + p + 8);
                load8(v2, s + p + 16);
                load8(v3, s + p + 24);
                if constexpr (Pinned) {
                    // Keeps the four signal vectors in registers: left to
                    // itself the compiler folds each load into every
                    // multiply-add that uses it, and the loop then waits on
                    // loads instead of on the multiply-adds.
                    __asm__("" : "+x"(v0), "+x"(v1), "+x"(v2), "+x"(v3));
                }
                for (int k = 0; k < Outs; ++k) {
                    const float c = f[k][p];
                    acc[k][0] += v0 * c;
                    acc[k][1] += v1 * c;
                    acc[k][2] += v2 * c;
                    acc[k][3] += v3 * c;
                }
            }
        }
        for (int k = 0; k < Outs; ++k) {
            for (int j = 0; j < 4; ++j) {
                addStore8(out[k] + n + 8 * j, acc[k][j]);
            }
        }
    }
    for (; n + 8 <= count; n += 8) {
        Float8 acc[Outs] = {};
        for (std::size_t i = 0; i < numInputs; ++i) {
            const float* s = signals[i] + n;
            const float* const* f = filters + i * Outs;
            for (std::size_t p = 0; p < taps; ++p) {
                Float8 v;
                load8(v, s + p);
                for (int k = 0; k < Outs; ++k) {
                    acc[k] += v * f[k][p];
                }
            }
        }
        for (int k = 0; k < Outs; ++k) {
            addStore8(out[k] + n, acc[k]);
        }
    }
    for (; n < count; ++n) {
        for (int k = 0; k < Outs; ++k) {
            float sum = 0.0f;
            for (std::size_t i = 0; i < numInputs; ++i) {
                const float* s = signals[i] + n;
                const float* c = filters[i * Outs + k];
                for (std::size_t p = 0; p < taps; ++p) {
                    sum += s[p] * c[p];
                }
            }
            out[k][n] += sum;
        }
    }
}

#if DSPKIT_CLONES
DSPKIT_X86_V3 void headSumTwoPinned(const float* const* signals, const float* const* filters, std::size_t numInputs,
                                    float* const* out, std::size_t count, std::size_t taps) noexcept
{
    headSumImpl<2, true>(signals, filters, numInputs, out, count, taps);
}
#endif

DSPKIT_HOT
void headSumTwoPlain(const float* const* signals, const float* const* filters, std::size_t numInputs,
                     float* const* out, std::size_t count, std::size_t taps) noexcept
{
    headSumImpl<2>(signals, filters, numInputs, out, count, taps);
}

// c0 += sum over the inputs n of a_n * b0_n and c1 += sum of a_n * b1_n, bin
// by bin as ordinary complex numbers: each input spectrum is read once for two
// outputs, and with two inputs the sums of a block of bins stay in registers
// over both, so that the accumulators are read and written once for two
// inputs. Each input is given as {a real, a imag, b0 real, b0 imag, b1 real,
// b1 imag}. The response spectra stream from the outer caches (all pairs'
// spectra are far larger than the inner ones), so they and the input spectra
// are prefetched a few lines ahead; next, when not null, holds the six arrays
// of the input the following call reads, prefetched while this call ends (the
// spectra of one step are too short for the hardware prefetcher to pick them
// up in time).
template <int Inputs>
[[gnu::always_inline]] inline void multiplyAccumulateImpl(float* c0Real, float* c0Imag, float* c1Real,
                                                          float* c1Imag, const float* const* const* inputs,
                                                          std::size_t numBins, const float* const* next) noexcept
{
    constexpr std::size_t kAhead = 128;
    std::size_t i = 0;
    for (; i + 16 <= numBins; i += 16) {
        const std::size_t ahead = i + kAhead;
        if (ahead < numBins) {
            for (int n = 0; n < Inputs; ++n) {
                for (int k = 0; k < 6; ++k) {
                    __builtin_prefetch(inputs[n][k] + ahead);
                }
            }
        } else if (next != nullptr) {
            for (int k = 0; k < 6; ++k) {
                __builtin_prefetch(next[k] + (ahead - numBins));
            }
        }
        for (std::size_t j = i; j < i + 16; j += 8) {
            Float8 r0, i0, r1, i1;
            load8(r0, c0Real + j);
            load8(i0, c0Imag + j);
            load8(r1, c1Real + j);
            load8(i1, c1Imag + j);
            for (int n = 0; n < Inputs; ++n) {
                const float* const* in = inputs[n];
                Float8 re, im, br0, bi0, br1, bi1;
                load8(re, in[0] + j);
                load8(im, in[1] + j);
                load8(br0, in[2] + j);
                load8(bi0, in[3] + j);
                load8(br1, in[4] + j);
                load8(bi1, in[5] + j);
                r0 += re * br0;
                i0 += im * br0;
                r1 += re * br1;
                i1 += im * br1;
                r0 -= im * bi0;
                i0 += re * bi0;
                r1 -= im * bi1;
                i1 += re * bi1;
            }
            store8(c0Real + j, r0);
            store8(c0Imag + j, i0);
            store8(c1Real + j, r1);
            store8(c1Imag + j, i1);
        }
    }
    for (; i < numBins; ++i) {
        for (int n = 0; n < Inputs; ++n) {
            const float* const* in = inputs[n];
            const float re = in[0][i];
            const float im = in[1][i];
            c0Real[i] += re * in[2][i] - im * in[3][i];
            c0Imag[i] += im * in[2][i] + re * in[3][i];
            c1Real[i] += re * in[4][i] - im * in[5][i];
            c1Imag[i] += im * in[4][i] + re * in[5][i];
        }
    }
}

} // namespace

void headSumTwo(const float* const* signals, const float* const* filters, std::size_t numInputs,
                float* const* out, std::size_t count, std::size_t taps) noexcept
{
#if DSPKIT_CLONES
    if (simd::hasX86V3) {
        headSumTwoPinned(signals, filters, numInputs, out, count, taps);
        return;
    }
#endif
    headSumTwoPlain(signals, filters, numInputs, out, count, taps);
}

DSPKIT_HOT
void headSumOne(const float* const* signals, const float* const* filters, std::size_t numInputs,
                float* const* out, std::size_t count, std::size_t taps) noexcept
{
    headSumImpl<1>(signals, filters, numInputs, out, count, taps);
}

DSPKIT_HOT
void multiplyAccumulateTwo(float* c0Real, float* c0Imag, float* c1Real, float* c1Imag, const float* const* input,
                           std::size_t numBins, const float* const* next) noexcept
{
    const float* const* inputs[1] = {input};
    multiplyAccumulateImpl<1>(c0Real, c0Imag, c1Real, c1Imag, inputs, numBins, next);
}

DSPKIT_HOT
void multiplyAccumulateTwoByTwo(float* c0Real, float* c0Imag, float* c1Real, float* c1Imag,
                                const float* const* first, const float* const* second, std::size_t numBins,
                                const float* const* next) noexcept
{
    const float* const* inputs[2] = {first, second};
    multiplyAccumulateImpl<2>(c0Real, c0Imag, c1Real, c1Imag, inputs, numBins, next);
}

} // namespace dspkit
