// tools: report measurements.
#include "tools/BinauralMeasures.h"

#include "tools/RealFft.h"

#include <algorithm>
#include <cmath>

namespace qirtools {

namespace {

constexpr double kItdLowPassHz = 1500.0;
constexpr double kItdSearchSeconds = 0.001;

int nextPowerOfTwo(int n)
{
    int size = 1;
    while (size < n)
        size *= 2;
    return size;
}

// The octave band of a response: a zero-phase mask in the frequency domain with raised-cosine
// skirts on a logarithmic axis, so that neighbouring bands sum to one.
std::vector<double> octaveBand(const std::vector<double>& response, double sampleRate, double centreHz)
{
    const int size = nextPowerOfTwo(static_cast<int>(response.size()) * 2);
    RealFft fft(size);
    std::vector<double> padded(static_cast<size_t>(size), 0.0);
    std::copy(response.begin(), response.end(), padded.begin());
    std::vector<std::complex<double>> spectrum(static_cast<size_t>(fft.numBins()));
    fft.forward(padded.data(), spectrum.data());
    const double binHz = sampleRate / size;
    for (int k = 0; k < fft.numBins(); ++k) {
        const double f = std::max(k * binHz, 1e-3);
        const double octaves = std::abs(std::log2(f / centreHz));
        double gain = 0.0;
        if (octaves <= 0.5 - 0.25)
            gain = 1.0;
        else if (octaves < 0.5 + 0.25)
            gain = 0.5 * (1.0 + std::cos(3.14159265358979323846 * (octaves - 0.25) / 0.5));
        spectrum[static_cast<size_t>(k)] *= gain;
    }
    fft.inverse(spectrum.data(), padded.data());
    padded.resize(response.size());
    return padded;
}

} // namespace

const std::vector<ThirdOctaveBand>& reportBands()
{
    static const std::vector<ThirdOctaveBand> bands = [] {
        static const char* const labels[] = {"200", "250", "315", "400", "500", "630", "800", "1k", "1.25k", "1.6k",
            "2k", "2.5k", "3.15k", "4k", "5k", "6.3k", "8k", "10k", "12.5k", "16k"};
        std::vector<ThirdOctaveBand> result;
        for (int k = -7; k <= 12; ++k) {
            ThirdOctaveBand band;
            band.label = labels[k + 7];
            band.centreHz = 1000.0 * std::pow(2.0, k / 3.0);
            band.lowHz = band.centreHz * std::pow(2.0, -1.0 / 6.0);
            band.highHz = band.centreHz * std::pow(2.0, 1.0 / 6.0);
            result.push_back(band);
        }
        return result;
    }();
    return bands;
}

std::vector<double> bandLevelsDb(const std::complex<double>* spectrum, int numBins, double binHz)
{
    const auto& bands = reportBands();
    std::vector<double> levels;
    levels.reserve(bands.size());
    for (const auto& band : bands) {
        const int lo = std::max(0, static_cast<int>(std::ceil(band.lowHz / binHz)));
        const int hi = std::min(numBins - 1, static_cast<int>(std::floor(band.highHz / binHz)));
        double power = 0.0;
        for (int k = lo; k <= hi; ++k)
            power += std::norm(spectrum[k]);
        levels.push_back(10.0 * std::log10(std::max(power, 1e-30)));
    }
    return levels;
}

double interauralTimeDifference(RealFft& fft, const std::complex<double>* left, const std::complex<double>* right,
                                double sampleRate)
{
    const int transformSize = fft.size();
    const double binHz = sampleRate / transformSize;
    std::vector<std::complex<double>> cross(static_cast<size_t>(fft.numBins()));
    for (int k = 0; k < fft.numBins(); ++k) {
        const double ratio = k * binHz / kItdLowPassHz;
        // Both responses through a fourth-order Butterworth low-pass: its power response.
        const double lowPass = 1.0 / (1.0 + std::pow(ratio, 8.0));
        cross[static_cast<size_t>(k)] = left[k] * std::conj(right[k]) * lowPass;
    }
    std::vector<double> correlation(static_cast<size_t>(transformSize));
    fft.inverse(cross.data(), correlation.data());
    // correlation[tau] = sum_t l(t + tau) r(t): a positive lag means the left ear is late.
    const int maxLag = static_cast<int>(std::ceil(kItdSearchSeconds * sampleRate));
    auto at = [&](int lag) { return correlation[static_cast<size_t>((lag + transformSize) % transformSize)]; };
    int bestLag = 0;
    double best = -1e300;
    for (int lag = -maxLag; lag <= maxLag; ++lag)
        if (at(lag) > best) {
            best = at(lag);
            bestLag = lag;
        }
    double refined = bestLag;
    if (bestLag > -maxLag && bestLag < maxLag) {
        const double a = at(bestLag - 1);
        const double b = at(bestLag);
        const double c = at(bestLag + 1);
        const double denominator = a - 2.0 * b + c;
        if (denominator < 0.0)
            refined += 0.5 * (a - c) / denominator;
    }
    return -refined / sampleRate;
}

double reverberationTime(const std::vector<double>& response, double sampleRate, double bandCentreHz)
{
    const std::vector<double> band = octaveBand(response, sampleRate, bandCentreHz);
    std::vector<double> decay(band.size());
    double sum = 0.0;
    for (size_t n = band.size(); n-- > 0;) {
        sum += band[n] * band[n];
        decay[n] = sum;
    }
    if (!(sum > 0.0))
        return -1.0;
    const double total = decay[0];
    // Least-squares line through the decay between -5 and -35 dB.
    double sx = 0.0;
    double sy = 0.0;
    double sxx = 0.0;
    double sxy = 0.0;
    int count = 0;
    bool reached = false;
    for (size_t n = 0; n < decay.size(); ++n) {
        const double db = 10.0 * std::log10(std::max(decay[n] / total, 1e-30));
        if (db <= -35.0) {
            reached = true;
            break;
        }
        if (db > -5.0)
            continue;
        const double t = n / sampleRate;
        sx += t;
        sy += db;
        sxx += t * t;
        sxy += t * db;
        ++count;
    }
    if (!reached || count < 10)
        return -1.0;
    const double slope = (count * sxy - sx * sy) / (count * sxx - sx * sx);
    return slope < 0.0 ? -60.0 / slope : -1.0;
}

double interauralCoherence(const std::vector<double>& left, const std::vector<double>& right,
                           double sampleRate, double bandCentreHz, int startSample)
{
    const std::vector<double> l = octaveBand(left, sampleRate, bandCentreHz);
    const std::vector<double> r = octaveBand(right, sampleRate, bandCentreHz);
    double cross = 0.0;
    double leftPower = 0.0;
    double rightPower = 0.0;
    for (size_t n = static_cast<size_t>(std::max(startSample, 0)); n < std::min(l.size(), r.size()); ++n) {
        cross += l[n] * r[n];
        leftPower += l[n] * l[n];
        rightPower += r[n] * r[n];
    }
    return cross / std::sqrt(std::max(leftPower * rightPower, 1e-60));
}

} // namespace qirtools
