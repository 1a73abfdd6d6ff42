// cli: a head track, as head trackers export it: CSV rows of a time in seconds
// and the head's orientation, either as yaw, pitch and roll in degrees or as a
// quaternion w, x, y, z. An optional header line is skipped; commas,
// semicolons, tabs or spaces separate the values; lines starting with '#' are
// comments.
//
// Orientations have the sense of the field rotation: the angles are those of
// --yaw, --pitch and --roll, and a quaternion is the one the rotation routines
// build from yaw, pitch and roll (w = cos(a/2), z = sin(a/2) is a yaw of a).
// Between rows the orientation is interpolated, angles linearly (yaw the short
// way round), quaternions by spherical linear interpolation; before the first
// row it is the first row's, after the last the last row's.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qircli {

// Degrees of rotation: yaw -180..180, pitch and roll -90..90.
struct HeadOrientation {
    double mYaw = 0.0;
    double mPitch = 0.0;
    double mRoll = 0.0;
};

class HeadTrack {
public:
    // Reads the file at path. False with error set (naming the line) when it
    // cannot be read, a row is malformed, the rows go back in time, or an
    // orientation has a pitch or roll beyond 90 degrees, which the decoder's
    // rotation cannot take.
    [[nodiscard]] bool Load(const std::string& path, std::string& error);

    [[nodiscard]] HeadOrientation At(double seconds) const;

    [[nodiscard]] bool usesQuaternions() const noexcept { return mQuaternions; }
    [[nodiscard]] std::size_t rows() const noexcept { return mRows.size(); }
    [[nodiscard]] double firstTime() const noexcept { return mRows.empty() ? 0.0 : mRows.front().mTime; }
    [[nodiscard]] double lastTime() const noexcept { return mRows.empty() ? 0.0 : mRows.back().mTime; }

private:
    struct Row {
        double mTime = 0.0;
        // Yaw, pitch, roll; or w, x, y, z of a unit quaternion, on the same
        // side as the previous row's so that interpolation takes the short arc.
        double mValues[4] = {0.0, 0.0, 0.0, 0.0};
    };

    std::vector<Row> mRows;
    bool mQuaternions = false;
};

// The yaw, pitch and roll of a unit quaternion (w, x, y, z), in degrees.
[[nodiscard]] HeadOrientation OrientationOfQuaternion(const double q[4]) noexcept;

} // namespace qircli
