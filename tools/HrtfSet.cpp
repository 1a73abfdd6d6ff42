// tools: SOFA reading and resampling of a measured HRTF set.
#include "tools/HrtfSet.h"

#include "tools/SphereGeometry.h"

#include <mysofa.h>
#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

namespace qirtools {

namespace {

struct SofaDeleter {
    void operator()(MYSOFA_HRTF* hrtf) const { mysofa_free(hrtf); }
};

// Zeros appended before resampling so that the resampler's filter tail is flushed out.
constexpr int kResamplerFlush = 64;

} // namespace

HrtfSet HrtfSet::load(const std::string& sofaPath, double sampleRate)
{
    int error = 0;
    std::unique_ptr<MYSOFA_HRTF, SofaDeleter> sofa(mysofa_load(sofaPath.c_str(), &error));
    if (!sofa || error != MYSOFA_OK)
        throw std::runtime_error("cannot read the SOFA file " + sofaPath + " (libmysofa error " + std::to_string(error) + ")");
    if (mysofa_check(sofa.get()) != MYSOFA_OK)
        throw std::runtime_error("the SOFA file " + sofaPath + " is not a valid simple free-field HRIR set");
    if (sofa->R != 2 || sofa->M == 0 || sofa->N == 0 || sofa->DataSamplingRate.elements < 1)
        throw std::runtime_error("the SOFA file " + sofaPath + " must hold two receivers (ears) and at least one measurement");
    mysofa_tospherical(sofa.get());

    const double sourceRate = sofa->DataSamplingRate.values[0];
    if (!(sourceRate > 0.0) || !(sampleRate > 0.0))
        throw std::runtime_error("the SOFA file " + sofaPath + " has no usable sampling rate");

    const int numDirections = static_cast<int>(sofa->M);
    const int sourceLength = static_cast<int>(sofa->N);
    const double ratio = sampleRate / sourceRate;

    HrtfSet set;
    set.mSampleRate = sampleRate;
    set.mLength = static_cast<int>(std::ceil((sourceLength + kResamplerFlush) * ratio));
    set.mDirectionsDeg.resize(static_cast<size_t>(2 * numDirections));
    set.mResponses.assign(static_cast<size_t>(numDirections) * 2 * static_cast<size_t>(set.mLength), 0.0f);

    std::vector<float> interleavedIn(static_cast<size_t>(2 * (sourceLength + kResamplerFlush)), 0.0f);
    std::vector<float> interleavedOut(static_cast<size_t>(2 * set.mLength), 0.0f);
    for (int m = 0; m < numDirections; ++m) {
        double azimuth = sofa->SourcePosition.values[3 * m];
        const double elevation = sofa->SourcePosition.values[3 * m + 1];
        azimuth = std::fmod(azimuth, 360.0);
        if (azimuth > 180.0)
            azimuth -= 360.0;
        if (azimuth <= -180.0)
            azimuth += 360.0;
        set.mDirectionsDeg[static_cast<size_t>(2 * m)] = static_cast<float>(azimuth);
        set.mDirectionsDeg[static_cast<size_t>(2 * m + 1)] = static_cast<float>(elevation);
        const Vec3 v = unitVector(set.mDirectionsDeg[static_cast<size_t>(2 * m)], set.mDirectionsDeg[static_cast<size_t>(2 * m + 1)]);
        set.mUnitVectors.insert(set.mUnitVectors.end(), {v.x, v.y, v.z});

        const float* left = sofa->DataIR.values + static_cast<size_t>(m) * 2 * static_cast<size_t>(sourceLength);
        const float* right = left + sourceLength;
        for (int n = 0; n < sourceLength; ++n) {
            interleavedIn[static_cast<size_t>(2 * n)] = left[n];
            interleavedIn[static_cast<size_t>(2 * n + 1)] = right[n];
        }
        float* outLeft = set.mResponses.data() + static_cast<size_t>(m) * 2 * static_cast<size_t>(set.mLength);
        float* outRight = outLeft + set.mLength;
        if (ratio == 1.0) {
            std::copy_n(left, sourceLength, outLeft);
            std::copy_n(right, sourceLength, outRight);
            continue;
        }
        SRC_DATA data {};
        data.data_in = interleavedIn.data();
        data.data_out = interleavedOut.data();
        data.input_frames = sourceLength + kResamplerFlush;
        data.output_frames = set.mLength;
        data.src_ratio = ratio;
        data.end_of_input = 1;
        const int status = src_simple(&data, SRC_SINC_BEST_QUALITY, 2);
        if (status != 0)
            throw std::runtime_error(std::string("resampling the HRTF set failed: ") + src_strerror(status));
        for (long n = 0; n < data.output_frames_gen; ++n) {
            outLeft[n] = interleavedOut[static_cast<size_t>(2 * n)];
            outRight[n] = interleavedOut[static_cast<size_t>(2 * n + 1)];
        }
    }
    return set;
}

int HrtfSet::nearestDirection(double azimuthDeg, double elevationDeg) const
{
    const Vec3 target = unitVector(azimuthDeg, elevationDeg);
    int best = 0;
    double bestDot = -2.0;
    for (int d = 0; d < numDirections(); ++d) {
        const double* v = mUnitVectors.data() + static_cast<size_t>(3 * d);
        const double c = target.x * v[0] + target.y * v[1] + target.z * v[2];
        if (c > bestDot) {
            bestDot = c;
            best = d;
        }
    }
    return best;
}

} // namespace qirtools
