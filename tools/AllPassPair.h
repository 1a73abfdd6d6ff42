// tools: a pair of causal all-pass filters whose phase responses differ by 90 degrees over a
// wide band, for the +-90 degree shift of the UHJ encoding equations.
#pragma once

#include <complex>
#include <vector>

namespace qirtools {

// Each branch is a cascade of first-order all-pass sections (c + z^-1) / (1 + c z^-1), so
// both are exactly flat in magnitude and causal, with no bulk delay; the sections are placed
// so that the phase of the leading branch exceeds that of the reference branch by 90 degrees
// with an equal ripple across the design band (bilinear-warped analog design, refined by
// reweighted least squares towards the minimax solution).
class AllPassPair {
public:
    static AllPassPair design(double sampleRate, double lowHz, double highHz, int sectionsPerBranch);

    // branch 0: the leading ("j") branch, branch 1: the reference branch.
    const std::vector<double>& coefficients(int branch) const { return mCoefficients[branch]; }
    std::complex<double> response(int branch, double frequencyHz) const;
    // Phase of branch 0 minus branch 1, degrees, unwrapped to (-180, 180].
    double phaseDifferenceDeg(double frequencyHz) const;
    // The largest departure of that difference from 90 degrees from lowHz to highHz (on a
    // grid of 0.05 % steps).
    double maxPhaseErrorDeg(double lowHz, double highHz) const;
    double sampleRate() const { return mSampleRate; }
    // The impulse response of one branch, computed by running the recursion.
    std::vector<double> impulseResponse(int branch, int length) const;

private:
    double mSampleRate = 0.0;
    std::vector<double> mCoefficients[2];
};

} // namespace qirtools
