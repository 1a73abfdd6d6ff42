// tools: binaural decoder sets fitted to a measured HRTF set in the spherical-harmonic domain.
#pragma once

#include "tools/DecoderSet.h"
#include "tools/HrtfSet.h"

#include <complex>
#include <vector>

namespace qirtools {

struct AnechoicDesignParameters {
    // Transform size of the per-bin fit at 48 kHz (23.4 Hz bins).
    int fftSize = 2048;
    // Least squares on the complex responses below orderCutoffHz * order, magnitude least
    // squares above (phase carried over from the previous bin's fit).
    double cutoffHzPerOrder = 650.0;
    // Tikhonov weight relative to the full sphere (4 pi); grows with degree n as
    // 1 + n(n+1) so that the high degrees, which the missing cap leaves undetermined, are
    // the ones held back.
    double regularisation = 1e-3;
    // Weight of the points of the unmeasured cap in the magnitude fit, relative to their area.
    double capWeight = 0.5;
    // Magnitude-least-squares passes per bin (the first takes the previous bin's phase).
    int magnitudeIterations = 2;
    // Width of the frequency smoothing of the target magnitudes above the cutoff, octaves.
    double smoothingOctaves = 0.0;
    // Taps kept of each fitted filter (the rest of the 16384 stays zero).
    int filterLength = 1024;
};

// Prepares the HRTF set once (quadrature weights of its uneven grid, the unmeasured cap,
// diffuse-field equalisation) and fits decoders of any order from it.
//
// The equalisation makes a diffuse field decode with a flat spectrum; it is scaled to 0 dB
// on average between 200 Hz and 1 kHz, where the head barely colours the sound, so that a
// plane wave of amplitude 1 (SN3D, W = 1) decodes at the level of the measured response of
// its direction.
class AnechoicDesigner {
public:
    explicit AnechoicDesigner(const HrtfSet& hrtf, const AnechoicDesignParameters& parameters = {});

    // The decoder set of the given order: (order+1)^2 SN3D inputs into left and right.
    DecoderSet design(int order) const;

    // Per-bin N3D decoder coefficients of the fit, [bin][ear][channel], fftSize/2+1 bins.
    std::vector<std::complex<double>> fitCoefficients(int order) const;

    const HrtfSet& hrtf() const { return mHrtf; }
    const AnechoicDesignParameters& parameters() const { return mParameters; }
    int numBins() const { return mParameters.fftSize / 2 + 1; }

    // Quadrature weight (solid angle, sr) of each measured direction.
    const std::vector<double>& weights() const { return mWeights; }
    // Directions the measurement does not cover (the cap below the lowest ring).
    const std::vector<float>& capDirectionsDeg() const { return mCapDirectionsDeg; }

    // Diffuse-field equalised responses in the time domain, equalisedLength() samples,
    // direction-major then ear.
    int equalisedLength() const { return mEqualisedLength; }
    const float* equalisedResponse(int direction, int ear) const
    {
        return mEqualised.data() + (static_cast<size_t>(direction) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(mEqualisedLength);
    }
    // Interaural coherence of a diffuse field (real part of the normalised cross-spectrum)
    // and its power per ear after equalisation, per bin of the fit's transform.
    const std::vector<double>& diffuseFieldCoherence() const { return mDiffuseCoherence; }
    const std::vector<double>& diffuseFieldPower() const { return mDiffusePower; }
    // The equaliser's magnitude per bin.
    const std::vector<double>& equaliserGain() const { return mEqualiserGain; }

private:
    const std::complex<double>& target(int direction, int ear, int bin) const
    {
        return mTargets[(static_cast<size_t>(direction) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(numBins()) + static_cast<size_t>(bin)];
    }

    const HrtfSet& mHrtf;
    AnechoicDesignParameters mParameters;
    std::vector<double> mWeights;
    std::vector<float> mCapDirectionsDeg;
    double mCapPointWeight = 0.0;
    std::vector<int> mCapNearest;
    std::vector<std::complex<double>> mTargets;
    std::vector<double> mMagnitudes;
    std::vector<double> mEqualiserGain;
    std::vector<double> mDiffuseCoherence;
    std::vector<double> mDiffusePower;
    int mEqualisedLength = 0;
    std::vector<float> mEqualised;
};

} // namespace qirtools
