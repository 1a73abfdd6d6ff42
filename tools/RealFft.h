// tools: double-precision real FFT of one size for the decoder-set design and report.
#pragma once

#include <complex>
#include <vector>

namespace qirtools {

// Forward transform unscaled, inverse scaled by 1/size, so inverse(forward(x)) == x.
// Planned with estimation only: a measured plan may pick a different algorithm on the next
// run, and the generated decoder sets must come out bit for bit the same every time.
class RealFft {
public:
    explicit RealFft(int size);
    ~RealFft();
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    int size() const { return mSize; }
    int numBins() const { return mSize / 2 + 1; }

    // input: size() samples; spectrum: numBins() values.
    void forward(const double* input, std::complex<double>* spectrum);
    // spectrum: numBins() values (imaginary parts of DC and Nyquist ignored); output: size().
    void inverse(const std::complex<double>* spectrum, double* output);

    // Convenience forms: input shorter than size() is zero-padded.
    std::vector<std::complex<double>> forward(const std::vector<double>& input);
    std::vector<std::complex<double>> forwardFloat(const float* input, int length);

private:
    int mSize;
    double* mTime;
    void* mFreq;
    void* mForwardPlan;
    void* mInversePlan;
};

} // namespace qirtools
