// tests/convolution: running a convolver over a signal in a sequence of block
// sizes, and the references its output is compared with.
#pragma once

#include "tests/support/ReferenceConvolution.h"

#include <algorithm>
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

} // namespace convtest
