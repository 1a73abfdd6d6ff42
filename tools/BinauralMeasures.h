// tools: the measurements of the decoder-set quality report: third-octave band levels,
// interaural time difference, reverberation time and interaural coherence.
#pragma once

#include <complex>
#include <string>
#include <vector>

namespace qirtools {

class RealFft;

// Third-octave bands with nominal centres 200 Hz to 16 kHz (exact centres 1000 * 2^(k/3)).
struct ThirdOctaveBand {
    std::string label;
    double centreHz = 0.0;
    double lowHz = 0.0;
    double highHz = 0.0;
};
const std::vector<ThirdOctaveBand>& reportBands();

// Band levels in dB (10 log10 of the summed bin power) of a one-sided spectrum.
std::vector<double> bandLevelsDb(const std::complex<double>* spectrum, int numBins, double binHz);

// Interaural time difference in seconds: the lag of the maximum of the cross-correlation of
// the two responses low-passed at 1.5 kHz, searched within +-1 ms and refined by a parabola
// through the peak. Positive when the left ear leads (a source on the left).
// The spectra are one-sided, of the transform fft.
double interauralTimeDifference(RealFft& fft, const std::complex<double>* left, const std::complex<double>* right,
                                double sampleRate);

// Reverberation time (T30: the -5 to -35 dB part of the Schroeder decay, extrapolated to
// -60 dB) of one octave band of a response; a negative value when the decay is too short
// to fit.
double reverberationTime(const std::vector<double>& response, double sampleRate, double bandCentreHz);

// Interaural coherence (real part of the normalised cross-spectrum) of two responses in one
// octave band, from the given start sample on.
double interauralCoherence(const std::vector<double>& left, const std::vector<double>& right,
                           double sampleRate, double bandCentreHz, int startSample);

} // namespace qirtools
