// tests/convolution: running a convolver over a signal in a sequence of block
// sizes, and the references its output is compared with.
#pragma once

#include "tests/support/ReferenceConvolution.h"

#include <fftw3.h>

#include <algorithm>
#include <complex>
#include <cstddef>
#include <vector>

namespace convtest {

// Feeds x through process(in, out, count) in blocks drawn from sizes; returns the
// concatenated output.
template <class Process>
std::vector<float> runInBlocks(const std::vector<float>& x, qirtest::RandomSizes& sizes, Process&& process)
{
    std::vector<float> y(x.size(), 0.0f);
    std::size_t done = 0;
    while (done < x.size()) {
        const std::size_t count = std::min(sizes.next(), x.size() - done);
        process(x.data() + done, y.data() + done, count);
        done += count;
    }
    return y;
}

// Reference convolution of x with h, delayed by delay samples (output as long as x).
inline std::vector<double> delayedReference(const std::vector<float>& x, const std::vector<float>& h,
                                            std::size_t delay)
{
    const std::vector<double> y = qirtest::directConvolve(x, h);
    std::vector<double> out(x.size(), 0.0);
    for (std::size_t t = delay; t < x.size(); ++t) {
        out[t] = y[t - delay];
    }
    return out;
}

// The window [offset, offset + length) of ir, cut at its end.
inline std::vector<float> window(const std::vector<float>& ir, std::size_t offset, std::size_t length)
{
    if (offset >= ir.size()) {
        return {};
    }
    const std::size_t end = std::min(ir.size(), offset + length);
    return std::vector<float>(ir.begin() + static_cast<std::ptrdiff_t>(offset),
                              ir.begin() + static_cast<std::ptrdiff_t>(end));
}

// Sum over inputs of x_i convolved with h_i, by one long FFT per signal in
// double precision with FFTW directly (no code shared with the convolver); cut
// to the input length. ConvolverReference checks it against the direct form.
inline std::vector<double> fftConvolveSum(const std::vector<std::vector<float>>& xs,
                                          const std::vector<std::vector<float>>& hs)
{
    const std::size_t length = xs[0].size();
    std::size_t longest = 0;
    for (const auto& h : hs) {
        longest = std::max(longest, h.size());
    }
    std::size_t n = 1;
    while (n < length + longest) {
        n *= 2;
    }
    const std::size_t bins = n / 2 + 1;
    std::vector<double> time(n);
    std::vector<std::complex<double>> spectrum(bins), sum(bins), other(bins);
    fftw_plan forward = fftw_plan_dft_r2c_1d(static_cast<int>(n), time.data(),
                                             reinterpret_cast<fftw_complex*>(spectrum.data()), FFTW_ESTIMATE);
    fftw_plan inverse = fftw_plan_dft_c2r_1d(static_cast<int>(n), reinterpret_cast<fftw_complex*>(sum.data()),
                                             time.data(), FFTW_ESTIMATE);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        std::fill(time.begin(), time.end(), 0.0);
        std::copy(hs[i].begin(), hs[i].end(), time.begin());
        fftw_execute(forward);
        other = spectrum;
        std::fill(time.begin(), time.end(), 0.0);
        std::copy(xs[i].begin(), xs[i].end(), time.begin());
        fftw_execute(forward);
        for (std::size_t k = 0; k < bins; ++k) {
            sum[k] += spectrum[k] * other[k];
        }
    }
    fftw_execute(inverse);
    fftw_destroy_plan(forward);
    fftw_destroy_plan(inverse);
    std::vector<double> out(length);
    for (std::size_t t = 0; t < length; ++t) {
        out[t] = time[t] / static_cast<double>(n);
    }
    return out;
}

} // namespace convtest
