// tools: spherical-harmonic binaural decoder fit (least squares below a cutoff, magnitude
// least squares above it) on a diffuse-field equalised HRTF set.
#include "tools/AnechoicDesigner.h"

#include "tools/CholeskySolver.h"
#include "tools/RealFft.h"
#include "tools/SphereGeometry.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qirtools {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFourPi = 4.0 * kPi;
// Lattice that measures the solid angle each measured direction stands for.
constexpr int kAreaLatticeSize = 20000;
// Lattice whose points in the unmeasured region stand in for the missing cap.
constexpr int kCapLatticeSize = 2000;
// A lattice point further than this fraction of the grid's largest neighbour spacing from
// every measured direction lies in a hole of the measurement.
constexpr double kHoleFraction = 0.6;
// Band of the level reference of the equaliser.
constexpr double kReferenceLowHz = 200.0;
constexpr double kReferenceHighHz = 1000.0;
// Limits of the equaliser, dB around the reference: the measurement's own loudspeaker
// leaves little energy at the lowest and highest bins, which must not be boosted blindly.
constexpr double kMaxBoostDb = 12.0;
constexpr double kMaxCutDb = 18.0;

std::vector<Vec3> unitVectors(const std::vector<float>& directionsDeg)
{
    std::vector<Vec3> vectors(directionsDeg.size() / 2);
    for (size_t d = 0; d < vectors.size(); ++d)
        vectors[d] = unitVector(directionsDeg[2 * d], directionsDeg[2 * d + 1]);
    return vectors;
}

int nearestIndex(const std::vector<Vec3>& set, const Vec3& v, double* cosine)
{
    int best = 0;
    double bestDot = -2.0;
    for (size_t i = 0; i < set.size(); ++i) {
        const double c = dot(set[i], v);
        if (c > bestDot) {
            bestDot = c;
            best = static_cast<int>(i);
        }
    }
    if (cosine != nullptr)
        *cosine = bestDot;
    return best;
}

// Power average over a window of the given width in octaves centred on each bin.
std::vector<double> smoothPower(const std::vector<double>& power, double octaves)
{
    const int bins = static_cast<int>(power.size());
    if (octaves <= 0.0)
        return power;
    std::vector<double> prefix(static_cast<size_t>(bins) + 1, 0.0);
    for (int k = 0; k < bins; ++k)
        prefix[static_cast<size_t>(k) + 1] = prefix[static_cast<size_t>(k)] + power[static_cast<size_t>(k)];
    const double half = std::pow(2.0, octaves / 2.0);
    std::vector<double> smoothed(power.size());
    for (int k = 0; k < bins; ++k) {
        int lo = static_cast<int>(std::floor(k / half));
        int hi = static_cast<int>(std::ceil(k * half));
        lo = std::clamp(lo, 0, k);
        hi = std::clamp(hi, k, bins - 1);
        smoothed[static_cast<size_t>(k)] = (prefix[static_cast<size_t>(hi) + 1] - prefix[static_cast<size_t>(lo)]) / (hi - lo + 1);
    }
    return smoothed;
}

// Minimum-phase spectrum with the given magnitude (homomorphic method).
std::vector<std::complex<double>> minimumPhase(const std::vector<double>& magnitude, RealFft& fft)
{
    const int size = fft.size();
    const int bins = fft.numBins();
    std::vector<std::complex<double>> logSpectrum(static_cast<size_t>(bins));
    for (int k = 0; k < bins; ++k)
        logSpectrum[static_cast<size_t>(k)] = std::log(std::max(magnitude[static_cast<size_t>(k)], 1e-12));
    std::vector<double> cepstrum(static_cast<size_t>(size));
    fft.inverse(logSpectrum.data(), cepstrum.data());
    for (int n = 1; n < size / 2; ++n)
        cepstrum[static_cast<size_t>(n)] *= 2.0;
    for (int n = size / 2 + 1; n < size; ++n)
        cepstrum[static_cast<size_t>(n)] = 0.0;
    std::vector<std::complex<double>> folded(static_cast<size_t>(bins));
    fft.forward(cepstrum.data(), folded.data());
    for (auto& value : folded)
        value = std::exp(value);
    return folded;
}

} // namespace

AnechoicDesigner::AnechoicDesigner(const HrtfSet& hrtf, const AnechoicDesignParameters& parameters)
    : mHrtf(hrtf)
    , mParameters(parameters)
{
    const int size = mParameters.fftSize;
    const int bins = numBins();
    const int numDirections = hrtf.numDirections();
    if (numDirections < 4)
        throw std::runtime_error("the HRTF set has too few directions for a decoder fit");
    if (hrtf.length() > size)
        throw std::runtime_error("the HRTF responses are longer than the fit's transform");

    // Solid angle of every measured direction: the share of a dense lattice closest to it.
    // Lattice points far from every measured direction form the unmeasured region.
    const std::vector<Vec3> measured = unitVectors(hrtf.directionsDeg());
    double largestSpacing = 0.0;
    for (size_t d = 0; d < measured.size(); ++d) {
        double bestDot = -2.0;
        for (size_t e = 0; e < measured.size(); ++e)
            if (e != d)
                bestDot = std::max(bestDot, dot(measured[d], measured[e]));
        largestSpacing = std::max(largestSpacing, std::acos(std::clamp(bestDot, -1.0, 1.0)));
    }
    const double holeCosine = std::cos(kHoleFraction * largestSpacing);

    mWeights.assign(static_cast<size_t>(numDirections), 0.0);
    const std::vector<Vec3> areaLattice = unitVectors(fibonacciDirections(kAreaLatticeSize));
    for (const Vec3& point : areaLattice) {
        double cosine = 0.0;
        const int nearest = nearestIndex(measured, point, &cosine);
        if (cosine >= holeCosine)
            mWeights[static_cast<size_t>(nearest)] += kFourPi / kAreaLatticeSize;
    }
    const std::vector<float> capLattice = fibonacciDirections(kCapLatticeSize);
    for (size_t p = 0; p < capLattice.size() / 2; ++p) {
        double cosine = 0.0;
        const Vec3 point = unitVector(capLattice[2 * p], capLattice[2 * p + 1]);
        const int nearest = nearestIndex(measured, point, &cosine);
        if (cosine < holeCosine) {
            mCapDirectionsDeg.push_back(capLattice[2 * p]);
            mCapDirectionsDeg.push_back(capLattice[2 * p + 1]);
            mCapNearest.push_back(nearest);
        }
    }
    mCapPointWeight = kFourPi / kCapLatticeSize;

    // Spectra of the measured responses.
    RealFft fft(size);
    std::vector<std::complex<double>> raw(static_cast<size_t>(numDirections) * 2 * static_cast<size_t>(bins));
    for (int d = 0; d < numDirections; ++d)
        for (int ear = 0; ear < 2; ++ear) {
            const auto spectrum = fft.forwardFloat(hrtf.response(d, ear), hrtf.length());
            std::copy(spectrum.begin(), spectrum.end(), raw.begin() + static_cast<std::ptrdiff_t>((static_cast<size_t>(d) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(bins)));
        }

    // Diffuse-field power over the measured part of the sphere, both ears.
    std::vector<double> diffuse(static_cast<size_t>(bins), 0.0);
    double totalWeight = 0.0;
    for (int d = 0; d < numDirections; ++d) {
        const double w = mWeights[static_cast<size_t>(d)];
        totalWeight += w;
        for (int ear = 0; ear < 2; ++ear)
            for (int k = 0; k < bins; ++k)
                diffuse[static_cast<size_t>(k)] += 0.5 * w * std::norm(raw[(static_cast<size_t>(d) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(bins) + static_cast<size_t>(k)]);
    }
    for (auto& p : diffuse)
        p /= totalWeight;
    const std::vector<double> smoothed = smoothPower(diffuse, 1.0 / 3.0);
    const double binHz = hrtf.sampleRate() / size;
    double reference = 0.0;
    int referenceBins = 0;
    for (int k = 0; k < bins; ++k) {
        const double f = k * binHz;
        if (f >= kReferenceLowHz && f <= kReferenceHighHz) {
            reference += smoothed[static_cast<size_t>(k)];
            ++referenceBins;
        }
    }
    reference /= std::max(referenceBins, 1);
    mEqualiserGain.resize(static_cast<size_t>(bins));
    for (int k = 0; k < bins; ++k) {
        double gainDb = 10.0 * std::log10(reference / std::max(smoothed[static_cast<size_t>(k)], 1e-30));
        gainDb = std::clamp(gainDb, -kMaxCutDb, kMaxBoostDb);
        mEqualiserGain[static_cast<size_t>(k)] = std::pow(10.0, gainDb / 20.0);
    }
    const std::vector<std::complex<double>> equaliser = minimumPhase(mEqualiserGain, fft);

    mTargets.resize(raw.size());
    mMagnitudes.resize(raw.size());
    for (size_t i = 0; i < raw.size(); ++i)
        mTargets[i] = raw[i] * equaliser[i % static_cast<size_t>(bins)];

    // Target magnitudes for the magnitude fit, optionally smoothed over frequency.
    std::vector<double> power(static_cast<size_t>(bins));
    for (size_t r = 0; r < raw.size() / static_cast<size_t>(bins); ++r) {
        for (int k = 0; k < bins; ++k)
            power[static_cast<size_t>(k)] = std::norm(mTargets[r * static_cast<size_t>(bins) + static_cast<size_t>(k)]);
        const std::vector<double> smoothedPower = smoothPower(power, mParameters.smoothingOctaves);
        for (int k = 0; k < bins; ++k)
            mMagnitudes[r * static_cast<size_t>(bins) + static_cast<size_t>(k)] = std::sqrt(smoothedPower[static_cast<size_t>(k)]);
    }

    // Diffuse-field statistics after equalisation.
    mDiffuseCoherence.assign(static_cast<size_t>(bins), 0.0);
    mDiffusePower.assign(static_cast<size_t>(bins), 0.0);
    for (int k = 0; k < bins; ++k) {
        std::complex<double> cross = 0.0;
        double leftPower = 0.0;
        double rightPower = 0.0;
        for (int d = 0; d < numDirections; ++d) {
            const double w = mWeights[static_cast<size_t>(d)];
            const auto& l = target(d, 0, k);
            const auto& r = target(d, 1, k);
            cross += w * l * std::conj(r);
            leftPower += w * std::norm(l);
            rightPower += w * std::norm(r);
        }
        mDiffuseCoherence[static_cast<size_t>(k)] = cross.real() / std::sqrt(std::max(leftPower * rightPower, 1e-30));
        mDiffusePower[static_cast<size_t>(k)] = 0.5 * (leftPower + rightPower) / totalWeight;
    }

    // Equalised responses in the time domain, for rendering reflections.
    mEqualisedLength = std::min(size, hrtf.length() + size / 4);
    mEqualised.assign(static_cast<size_t>(numDirections) * 2 * static_cast<size_t>(mEqualisedLength), 0.0f);
    std::vector<double> time(static_cast<size_t>(size));
    for (int d = 0; d < numDirections; ++d)
        for (int ear = 0; ear < 2; ++ear) {
            fft.inverse(&target(d, ear, 0), time.data());
            float* out = mEqualised.data() + (static_cast<size_t>(d) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(mEqualisedLength);
            for (int n = 0; n < mEqualisedLength; ++n)
                out[n] = static_cast<float>(time[static_cast<size_t>(n)]);
        }
}

std::vector<std::complex<double>> AnechoicDesigner::fitCoefficients(int order) const
{
    const int numChannels = (order + 1) * (order + 1);
    const int bins = numBins();
    const int numDirections = mHrtf.numDirections();
    const int numCap = static_cast<int>(mCapNearest.size());
    const std::vector<double> ym = harmonicsN3d(order, mHrtf.directionsDeg());
    const std::vector<double> yc = harmonicsN3d(order, mCapDirectionsDeg);

    // Normal equations: measured directions with their solid angles, plus (for the magnitude
    // fit) the cap points, plus a degree-weighted Tikhonov term.
    std::vector<double> gramMeasured(static_cast<size_t>(numChannels * numChannels), 0.0);
    std::vector<double> gramCap(gramMeasured.size(), 0.0);
    for (int d = 0; d < numDirections; ++d) {
        const double w = mWeights[static_cast<size_t>(d)];
        const double* y = ym.data() + static_cast<size_t>(d * numChannels);
        for (int i = 0; i < numChannels; ++i)
            for (int j = 0; j < numChannels; ++j)
                gramMeasured[static_cast<size_t>(i * numChannels + j)] += w * y[i] * y[j];
    }
    for (int p = 0; p < numCap; ++p) {
        const double w = mCapPointWeight * mParameters.capWeight;
        const double* y = yc.data() + static_cast<size_t>(p * numChannels);
        for (int i = 0; i < numChannels; ++i)
            for (int j = 0; j < numChannels; ++j)
                gramCap[static_cast<size_t>(i * numChannels + j)] += w * y[i] * y[j];
    }
    std::vector<double> leastSquares = gramMeasured;
    std::vector<double> magnitude = gramMeasured;
    for (int i = 0; i < numChannels; ++i) {
        const int n = degreeOfChannel(i);
        const double penalty = kFourPi * mParameters.regularisation * (1.0 + n * (n + 1.0));
        leastSquares[static_cast<size_t>(i * numChannels + i)] += penalty;
        for (int j = 0; j < numChannels; ++j)
            magnitude[static_cast<size_t>(i * numChannels + j)] += gramCap[static_cast<size_t>(i * numChannels + j)];
        magnitude[static_cast<size_t>(i * numChannels + i)] += penalty;
    }
    const CholeskySolver leastSquaresSolver(leastSquares, numChannels);
    const CholeskySolver magnitudeSolver(magnitude, numChannels);

    const double binHz = mHrtf.sampleRate() / mParameters.fftSize;
    const double cutoffHz = mParameters.cutoffHzPerOrder * order;
    std::vector<std::complex<double>> coefficients(static_cast<size_t>(bins) * 2 * static_cast<size_t>(numChannels));
    std::vector<std::complex<double>> rhs(static_cast<size_t>(numChannels));
    std::vector<std::complex<double>> previous(static_cast<size_t>(numChannels));

    auto estimate = [&](const double* y, const std::complex<double>* c) {
        std::complex<double> sum = 0.0;
        for (int i = 0; i < numChannels; ++i)
            sum += y[i] * c[i];
        return sum;
    };
    auto withPhaseOf = [](double magnitudeValue, const std::complex<double>& phaseSource) {
        const double a = std::abs(phaseSource);
        return a > 1e-20 ? phaseSource * (magnitudeValue / a) : std::complex<double>(magnitudeValue, 0.0);
    };

    for (int ear = 0; ear < 2; ++ear) {
        for (int k = 0; k < bins; ++k) {
            std::complex<double>* c = coefficients.data() + (static_cast<size_t>(k) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(numChannels);
            if (k * binHz < cutoffHz || k == 0) {
                std::fill(rhs.begin(), rhs.end(), 0.0);
                for (int d = 0; d < numDirections; ++d) {
                    const std::complex<double> t = mWeights[static_cast<size_t>(d)] * target(d, ear, k);
                    const double* y = ym.data() + static_cast<size_t>(d * numChannels);
                    for (int i = 0; i < numChannels; ++i)
                        rhs[static_cast<size_t>(i)] += y[i] * t;
                }
                leastSquaresSolver.solve(rhs.data());
            } else {
                const std::complex<double>* phaseFrom = previous.data();
                for (int pass = 0; pass < std::max(mParameters.magnitudeIterations, 1); ++pass) {
                    std::vector<std::complex<double>> next(static_cast<size_t>(numChannels), 0.0);
                    for (int d = 0; d < numDirections; ++d) {
                        const double* y = ym.data() + static_cast<size_t>(d * numChannels);
                        const double m = mMagnitudes[(static_cast<size_t>(d) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(bins) + static_cast<size_t>(k)];
                        const std::complex<double> t = mWeights[static_cast<size_t>(d)] * withPhaseOf(m, estimate(y, phaseFrom));
                        for (int i = 0; i < numChannels; ++i)
                            next[static_cast<size_t>(i)] += y[i] * t;
                    }
                    for (int p = 0; p < numCap; ++p) {
                        const double* y = yc.data() + static_cast<size_t>(p * numChannels);
                        const int source = mCapNearest[static_cast<size_t>(p)];
                        const double m = mMagnitudes[(static_cast<size_t>(source) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(bins) + static_cast<size_t>(k)];
                        const std::complex<double> t = mCapPointWeight * mParameters.capWeight * withPhaseOf(m, estimate(y, phaseFrom));
                        for (int i = 0; i < numChannels; ++i)
                            next[static_cast<size_t>(i)] += y[i] * t;
                    }
                    magnitudeSolver.solve(next.data());
                    rhs = next;
                    phaseFrom = rhs.data();
                }
            }
            std::copy(rhs.begin(), rhs.end(), c);
            previous = rhs;
        }
    }
    return coefficients;
}

DecoderSet AnechoicDesigner::design(int order) const
{
    if (order < 0 || order > 7)
        throw std::runtime_error("decoder order must be 0 to 7");
    const int numChannels = (order + 1) * (order + 1);
    const int bins = numBins();
    const int size = mParameters.fftSize;
    const std::vector<std::complex<double>> coefficients = fitCoefficients(order);

    DecoderSet set(numChannels);
    RealFft fft(size);
    std::vector<std::complex<double>> spectrum(static_cast<size_t>(bins));
    std::vector<double> time(static_cast<size_t>(size));
    const int kept = std::min({mParameters.filterLength, size, kDecoderSetResponseLength});
    const int fade = kept / 8;
    for (int ear = 0; ear < 2; ++ear)
        for (int i = 0; i < numChannels; ++i) {
            // N3D coefficients to SN3D inputs: an SN3D channel of degree n carries the N3D
            // value divided by sqrt(2n+1), so its filter is multiplied by the same factor.
            const double toSn3d = std::sqrt(2.0 * degreeOfChannel(i) + 1.0);
            for (int k = 0; k < bins; ++k)
                spectrum[static_cast<size_t>(k)] = toSn3d * coefficients[(static_cast<size_t>(k) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(numChannels) + static_cast<size_t>(i)];
            fft.inverse(spectrum.data(), time.data());
            float* out = set.response(i, ear);
            for (int n = 0; n < kept; ++n) {
                double gain = 1.0;
                if (n >= kept - fade)
                    gain = 0.5 * (1.0 + std::cos(kPi * (n - (kept - fade) + 1) / (fade + 1)));
                out[n] = static_cast<float>(gain * time[static_cast<size_t>(n)]);
            }
        }
    return set;
}

} // namespace qirtools
