// tools: a measured head-related impulse response set read from a SOFA file.
#pragma once

#include <string>
#include <vector>

namespace qirtools {

// Impulse responses of one listener for a set of source directions, both ears, resampled to
// the requested rate. Directions are (azimuth, elevation) pairs in degrees in the ambisonic
// frame (azimuth counter-clockwise, 90 = left).
class HrtfSet {
public:
    // Reads the file with libmysofa and resamples it with libsamplerate. Throws
    // std::runtime_error with a sentence that names the file and says what is wrong with it
    // (missing, not a SOFA file, damaged, an unsupported convention or layout, an unusable
    // sample rate) when it cannot be used.
    static HrtfSet load(const std::string& sofaPath, double sampleRate);

    // The quick part of load's checks, which reads only the file's first bytes: throws the
    // same sentences when the file is missing, a folder, empty or not an HDF5 file.
    static void checkSofaFile(const std::string& sofaPath);

    int numDirections() const { return static_cast<int>(mDirectionsDeg.size() / 2); }
    int length() const { return mLength; }
    double sampleRate() const { return mSampleRate; }
    const std::vector<float>& directionsDeg() const { return mDirectionsDeg; }
    float azimuthDeg(int direction) const { return mDirectionsDeg[static_cast<size_t>(2 * direction)]; }
    float elevationDeg(int direction) const { return mDirectionsDeg[static_cast<size_t>(2 * direction + 1)]; }

    // ear 0 = left, 1 = right; length() samples.
    const float* response(int direction, int ear) const
    {
        return mResponses.data() + (static_cast<size_t>(direction) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(mLength);
    }

    // The measured direction closest in angle to the given one.
    int nearestDirection(double azimuthDeg, double elevationDeg) const;

private:
    double mSampleRate = 0.0;
    int mLength = 0;
    std::vector<float> mDirectionsDeg;
    std::vector<double> mUnitVectors;
    std::vector<float> mResponses;
};

} // namespace qirtools
