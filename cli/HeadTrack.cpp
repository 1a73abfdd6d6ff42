// cli: reading and interpolating a head track.
#include "cli/HeadTrack.h"
#include "cli/RenderOptions.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <sstream>

namespace qircli {

namespace {

constexpr double kDegreesPerRadian = 180.0 / std::numbers::pi;
// The decoder turns pitch and roll within +-90 degrees; a hair beyond is
// rounding in a quaternion's conversion.
constexpr double kTiltLimit = 90.0;
constexpr double kTiltSlack = 1e-9;

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::vector<std::string> Fields(std::string line)
{
    std::replace(line.begin(), line.end(), ';', ',');
    std::replace(line.begin(), line.end(), '\t', ',');
    std::vector<std::string> fields;
    if (line.find(',') != std::string::npos) {
        std::stringstream s(line);
        std::string field;
        while (std::getline(s, field, ',')) {
            fields.push_back(Trim(field));
        }
    } else {
        std::stringstream s(line);
        std::string field;
        while (s >> field) {
            fields.push_back(field);
        }
    }
    return fields;
}

// Into -180..180.
double WrapDegrees(double degrees) { return std::remainder(degrees, 360.0); }

std::string Degrees(double value)
{
    std::ostringstream s;
    s << value;
    return s.str();
}

} // namespace

HeadOrientation OrientationOfQuaternion(const double q[4]) noexcept
{
    const double w = q[0];
    const double x = q[1];
    const double y = q[2];
    const double z = q[3];
    HeadOrientation o;
    o.mYaw = std::atan2(2.0 * (x * y + w * z), 1.0 - 2.0 * (y * y + z * z)) * kDegreesPerRadian;
    o.mPitch = std::asin(std::clamp(2.0 * (w * y - x * z), -1.0, 1.0)) * kDegreesPerRadian;
    o.mRoll = std::atan2(2.0 * (y * z + w * x), 1.0 - 2.0 * (x * x + y * y)) * kDegreesPerRadian;
    return o;
}

bool HeadTrack::Load(const std::string& path, std::string& error)
{
    mRows.clear();
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the head track " + path;
        return false;
    }
    std::size_t columns = 0;
    bool headerSeen = false;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') {
            continue;
        }
        const std::string where = path + " line " + std::to_string(number) + ": ";
        const std::vector<std::string> fields = Fields(trimmed);
        Row row;
        std::vector<double> values;
        bool numeric = true;
        std::string notNumber;
        for (const std::string& field : fields) {
            double v = 0.0;
            if (!ParseNumber(field, v)) {
                numeric = false;
                notNumber = field;
                break;
            }
            values.push_back(v);
        }
        if (!numeric) {
            if (mRows.empty() && !headerSeen) {
                headerSeen = true; // column names
                continue;
            }
            error = where + "\"" + notNumber + "\" is not a number";
            return false;
        }
        if (values.size() != 4 && values.size() != 5) {
            error = where + "expected time,yaw,pitch,roll or time,w,x,y,z (4 or 5 values), found " +
                    std::to_string(values.size());
            return false;
        }
        if (columns == 0) {
            columns = values.size();
            mQuaternions = columns == 5;
        } else if (values.size() != columns) {
            error = where + "found " + std::to_string(values.size()) + " values where the rows above have " +
                    std::to_string(columns);
            return false;
        }
        row.mTime = values[0];
        if (!mRows.empty() && row.mTime < mRows.back().mTime) {
            error = where + "time " + Degrees(row.mTime) + " s comes before the previous row's " +
                    Degrees(mRows.back().mTime) + " s; the rows must be in time order";
            return false;
        }
        HeadOrientation orientation;
        if (mQuaternions) {
            const double norm = std::sqrt(values[1] * values[1] + values[2] * values[2] + values[3] * values[3] +
                                          values[4] * values[4]);
            if (!(norm > 1e-6)) {
                error = where + "the quaternion has no length";
                return false;
            }
            double sign = 1.0;
            if (!mRows.empty()) {
                const double* previous = mRows.back().mValues;
                const double dot = previous[0] * values[1] + previous[1] * values[2] + previous[2] * values[3] +
                                   previous[3] * values[4];
                sign = dot < 0.0 ? -1.0 : 1.0;
            }
            for (int i = 0; i < 4; ++i) {
                row.mValues[i] = sign * values[static_cast<std::size_t>(i) + 1] / norm;
            }
            orientation = OrientationOfQuaternion(row.mValues);
        } else {
            orientation.mYaw = WrapDegrees(values[1]);
            orientation.mPitch = values[2];
            orientation.mRoll = values[3];
            row.mValues[0] = orientation.mYaw;
            row.mValues[1] = orientation.mPitch;
            row.mValues[2] = orientation.mRoll;
        }
        for (const auto& [name, angle] : {std::pair{"pitch", orientation.mPitch}, std::pair{"roll", orientation.mRoll}}) {
            if (std::fabs(angle) > kTiltLimit + kTiltSlack) {
                error = where + "a " + name + " of " + Degrees(angle) +
                        " degrees; the decoder turns pitch and roll within -90..90 degrees";
                return false;
            }
        }
        mRows.push_back(row);
    }
    if (mRows.empty()) {
        error = "the head track " + path + " has no rows (time,yaw,pitch,roll or time,w,x,y,z)";
        return false;
    }
    return true;
}

HeadOrientation HeadTrack::At(double seconds) const
{
    const auto next = std::upper_bound(mRows.begin(), mRows.end(), seconds,
                                       [](double t, const Row& row) { return t < row.mTime; });
    const Row& a = next == mRows.begin() ? *next : *(next - 1);
    const Row& b = next == mRows.end() || next == mRows.begin() ? a : *next;
    const double span = b.mTime - a.mTime;
    const double f = span > 0.0 ? std::clamp((seconds - a.mTime) / span, 0.0, 1.0) : 0.0;
    const bool same = std::equal(std::begin(a.mValues), std::end(a.mValues), std::begin(b.mValues));

    HeadOrientation o;
    if (!mQuaternions) {
        if (f == 0.0 || same) {
            o.mYaw = a.mValues[0];
            o.mPitch = a.mValues[1];
            o.mRoll = a.mValues[2];
            return o;
        }
        o.mYaw = WrapDegrees(a.mValues[0] + f * WrapDegrees(b.mValues[0] - a.mValues[0]));
        o.mPitch = a.mValues[1] + f * (b.mValues[1] - a.mValues[1]);
        o.mRoll = a.mValues[2] + f * (b.mValues[2] - a.mValues[2]);
        return o;
    }
    if (f == 0.0 || same) {
        o = OrientationOfQuaternion(a.mValues);
    } else {
        // The rows are on the same side (dot >= 0), so this is the short arc.
        double dot = 0.0;
        for (int i = 0; i < 4; ++i) {
            dot += a.mValues[i] * b.mValues[i];
        }
        dot = std::min(dot, 1.0);
        const double angle = std::acos(dot);
        double wa = 1.0 - f;
        double wb = f;
        if (angle > 1e-9) {
            wa = std::sin((1.0 - f) * angle) / std::sin(angle);
            wb = std::sin(f * angle) / std::sin(angle);
        }
        double q[4];
        double norm = 0.0;
        for (int i = 0; i < 4; ++i) {
            q[i] = wa * a.mValues[i] + wb * b.mValues[i];
            norm += q[i] * q[i];
        }
        norm = std::sqrt(norm);
        for (double& v : q) {
            v /= norm;
        }
        o = OrientationOfQuaternion(q);
    }
    // Between two rows within the limits the arc can bulge past them by a hair.
    o.mPitch = std::clamp(o.mPitch, -kTiltLimit, kTiltLimit);
    o.mRoll = std::clamp(o.mRoll, -kTiltLimit, kTiltLimit);
    return o;
}

} // namespace qircli
