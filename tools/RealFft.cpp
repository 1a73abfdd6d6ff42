// tools: double-precision real FFT through FFTW.
#include "tools/RealFft.h"

#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qirtools {

RealFft::RealFft(int size)
    : mSize(size)
{
    if (size < 2 || (size & (size - 1)) != 0)
        throw std::runtime_error("RealFft: size must be a power of two of at least 2");
    mTime = fftw_alloc_real(static_cast<size_t>(size));
    auto* freq = fftw_alloc_complex(static_cast<size_t>(size / 2 + 1));
    mFreq = freq;
    if (mTime == nullptr || freq == nullptr)
        throw std::runtime_error("RealFft: out of memory");
    mForwardPlan = fftw_plan_dft_r2c_1d(size, mTime, freq, FFTW_ESTIMATE);
    mInversePlan = fftw_plan_dft_c2r_1d(size, freq, mTime, FFTW_ESTIMATE);
    if (mForwardPlan == nullptr || mInversePlan == nullptr)
        throw std::runtime_error("RealFft: planning failed");
}

RealFft::~RealFft()
{
    fftw_destroy_plan(static_cast<fftw_plan>(mForwardPlan));
    fftw_destroy_plan(static_cast<fftw_plan>(mInversePlan));
    fftw_free(mTime);
    fftw_free(mFreq);
}

void RealFft::forward(const double* input, std::complex<double>* spectrum)
{
    std::memcpy(mTime, input, sizeof(double) * static_cast<size_t>(mSize));
    fftw_execute(static_cast<fftw_plan>(mForwardPlan));
    const auto* freq = static_cast<const fftw_complex*>(mFreq);
    for (int k = 0; k < numBins(); ++k)
        spectrum[k] = {freq[k][0], freq[k][1]};
}

void RealFft::inverse(const std::complex<double>* spectrum, double* output)
{
    auto* freq = static_cast<fftw_complex*>(mFreq);
    for (int k = 0; k < numBins(); ++k) {
        freq[k][0] = spectrum[k].real();
        freq[k][1] = spectrum[k].imag();
    }
    freq[0][1] = 0.0;
    freq[mSize / 2][1] = 0.0;
    fftw_execute(static_cast<fftw_plan>(mInversePlan));
    const double scale = 1.0 / mSize;
    for (int n = 0; n < mSize; ++n)
        output[n] = mTime[n] * scale;
}

std::vector<std::complex<double>> RealFft::forward(const std::vector<double>& input)
{
    std::vector<double> padded(static_cast<size_t>(mSize), 0.0);
    std::copy_n(input.begin(), std::min<size_t>(input.size(), padded.size()), padded.begin());
    std::vector<std::complex<double>> spectrum(static_cast<size_t>(numBins()));
    forward(padded.data(), spectrum.data());
    return spectrum;
}

std::vector<std::complex<double>> RealFft::forwardFloat(const float* input, int length)
{
    std::vector<double> padded(static_cast<size_t>(mSize), 0.0);
    std::copy_n(input, std::min(length, mSize), padded.begin());
    std::vector<std::complex<double>> spectrum(static_cast<size_t>(numBins()));
    forward(padded.data(), spectrum.data());
    return spectrum;
}

} // namespace qirtools
