// qir-render --head-track: a still track is the fixed rotation, a quaternion
// has the angles' sense, a moving track turns the field frame by frame from
// the first frame on, and malformed tracks or clashing options are refused.
#include "tests/cli/RenderCommandFixture.h"
#include "tests/support/ReferenceConvolution.h"

#include "soundfield/RotationMatrices.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>
#include <numbers>

namespace qirclitest {
namespace {

std::string QuaternionRow(double seconds, const float q[4])
{
    char row[160];
    std::snprintf(row, sizeof row, "%.17g,%.9g,%.9g,%.9g,%.9g\n", seconds, q[0], q[1], q[2], q[3]);
    return row;
}

std::string YawQuaternionTrack(double degrees)
{
    const double half = degrees * std::numbers::pi / 360.0;
    char text[160];
    std::snprintf(text, sizeof text, "time,w,x,y,z\n0,%.17g,0,0,%.17g\n0.1,%.17g,0,0,%.17g\n", std::cos(half),
                  std::sin(half), std::cos(half), std::sin(half));
    return text;
}

// The toolkit's own quaternion of yaw 40, pitch -10, roll 15.
std::string EulerQuaternionTrack()
{
    float q[4];
    eulerToQuaternion(40.0f, -10.0f, 15.0f, 1, kEulerYawPitchRoll, q);
    return "# from the rotation routines\n" + QuaternionRow(0.0, q) + QuaternionRow(0.2, q);
}

struct StillCase {
    const char* mName;
    std::string mTrack;
    std::vector<std::string> mFixed; // the options the track must equal
    std::vector<std::string> mBoth;  // options for both renders
    double mTolerance;               // 0: sample for sample
};

class RenderCommandStillTrack : public RenderCommand, public ::testing::WithParamInterface<StillCase> {};

TEST_P(RenderCommandStillTrack, EqualsTheFixedRotation)
{
    const StillCase& c = GetParam();
    WriteSoundFile(mDir / "in.wav", Scaled(Noise(16, 6000, 61u), 0.1f), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::ofstream(mDir / "track.csv") << c.mTrack;
    (void)Set(3);

    std::vector<std::string> fixed = c.mBoth;
    fixed.insert(fixed.end(), c.mFixed.begin(), c.mFixed.end());
    fixed.insert(fixed.end(), {"in.wav", "fixed.wav"});
    std::vector<std::string> tracked = c.mBoth;
    tracked.insert(tracked.end(), {"--head-track", "track.csv", "in.wav", "tracked.wav"});
    const RunResult a = Run(fixed);
    const RunResult b = Run(tracked);
    ASSERT_EQ(a.mExitCode, 0) << a.mErr;
    ASSERT_EQ(b.mExitCode, 0) << b.mErr;
    const Field expected = ReadSoundFile(mDir / "fixed.wav");
    const Field output = ReadSoundFile(mDir / "tracked.wav");
    if (c.mTolerance == 0.0) {
        EXPECT_EQ(MaxDifference(output, expected), 0.0);
        return;
    }
    ASSERT_EQ(output.size(), 2u);
    for (int o = 0; o < 2; ++o) {
        const std::vector<double> e(expected[static_cast<std::size_t>(o)].begin(),
                                    expected[static_cast<std::size_t>(o)].end());
        EXPECT_LT(qirtest::relativeError(output[static_cast<std::size_t>(o)], e), c.mTolerance) << "output " << o;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandStillTrack,
    ::testing::Values(
        StillCase{"Angles", "time,yaw,pitch,roll\n0,40,-10,15\n0.05,40,-10,15\n0.1,40,-10,15\n",
                  {"--yaw", "40", "--pitch", "-10", "--roll", "15"}, {}, 0.0},
        StillCase{"AnglesWithoutHeaderSpaceSeparated", "0 -120 5 -7.5\n",
                  {"--yaw", "-120", "--pitch", "5", "--roll", "-7.5"}, {}, 0.0},
        StillCase{"AnglesInRollPitchYawOrderWithFlips", "0;40;-10;15\n",
                  {"--yaw", "40", "--pitch", "-10", "--roll", "15"}, {"--rpy", "--flip-yaw", "--flip-roll"}, 0.0},
        StillCase{"YawQuaternion", YawQuaternionTrack(90.0), {"--yaw", "90"}, {}, 0.0},
        StillCase{"NegativeYawQuaternion", YawQuaternionTrack(-37.5), {"--yaw", "-37.5"}, {}, 0.0},
        // Single-precision quaternion: its angles agree to about 1e-5 degrees.
        StillCase{"QuaternionOfTheAngles", EulerQuaternionTrack(), {"--yaw", "40", "--pitch", "-10", "--roll", "15"},
                  {}, 1e-5}),
    [](const auto& info) { return std::string(info.param.mName); });

// The field of order 1 turned frame by frame: each 128-frame frame cross-fades
// linearly from the yaw at its start to the yaw at its end.
Field TurnedFrameByFrame(const Field& field, const std::function<double(double)>& yawAt)
{
    Field out(field.size(), std::vector<float>(field[0].size(), 0.0f));
    const std::size_t frames = field[0].size();
    const auto matrix = [](double yaw) {
        float R[3][3];
        eulerToRotationMatrix(static_cast<float>(yaw * std::numbers::pi / 180.0), 0.0f, 0.0f, 0, R);
        std::vector<float> M(16);
        getSHRotationMatrix(R, M.data(), 1);
        return M;
    };
    for (std::size_t start = 0; start < frames; start += 128) {
        const std::vector<float> from = matrix(yawAt(static_cast<double>(start) / kRate));
        const std::vector<float> to = matrix(yawAt(static_cast<double>(start + 128) / kRate));
        for (std::size_t t = start; t < std::min(frames, start + 128); ++t) {
            const double fade = static_cast<double>(t - start + 1) / 128.0;
            for (int c = 0; c < 4; ++c) {
                double v = 0.0;
                for (int d = 0; d < 4; ++d) {
                    const double m = (1.0 - fade) * from[static_cast<std::size_t>(c * 4 + d)] +
                                     fade * to[static_cast<std::size_t>(c * 4 + d)];
                    v += m * field[static_cast<std::size_t>(d)][t];
                }
                out[static_cast<std::size_t>(c)][t] = static_cast<float>(v);
            }
        }
    }
    return out;
}

// 0 to 60 degrees over the first 0.1 s, then on to -170 the short way round
// (through 180) by 0.2 s, then still.
double RampYaw(double t)
{
    if (t <= 0.1) {
        return 600.0 * t;
    }
    if (t <= 0.2) {
        return 60.0 + 1300.0 * (t - 0.1);
    }
    return 190.0;
}

std::string QuaternionOfYaw(double seconds, double degrees)
{
    char row[160];
    std::snprintf(row, sizeof row, "%g,%.17g,0,0,%.17g\n", seconds, std::cos(degrees * std::numbers::pi / 360.0),
                  std::sin(degrees * std::numbers::pi / 360.0));
    return row;
}

struct MovingCase {
    const char* mName;
    std::string mTrack;
};

class RenderCommandMovingTrack : public RenderCommand, public ::testing::WithParamInterface<MovingCase> {};

TEST_P(RenderCommandMovingTrack, TurnsTheFieldFrameByFrame)
{
    const Field field = Scaled(Noise(4, 14400, 67u), 0.1f);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::ofstream(mDir / "track.csv") << GetParam().mTrack;
    const SyntheticDecoderSet& set = Set(1);

    const RunResult run = Run({"--no-tail", "--head-track", "track.csv", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    ExpectDecodes(ReadSoundFile(mDir / "out.wav"), TurnedFrameByFrame(field, RampYaw), set, 2e-5);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandMovingTrack,
    ::testing::Values(MovingCase{"Angles", "time,yaw,pitch,roll\n0,0,0,0\n0.1,60,0,0\n0.2,-170,0,0\n"},
                      // Rotations about one axis: the spherical interpolation
                      // turns at an even rate, as the angles do.
                      MovingCase{"Quaternions", "t,w,x,y,z\n" + QuaternionOfYaw(0.0, 0.0) + QuaternionOfYaw(0.1, 60.0) +
                                                    QuaternionOfYaw(0.2, -170.0)}),
    [](const auto& info) { return std::string(info.param.mName); });

struct SenseCase {
    const char* mName;
    std::vector<std::string> mOptions;
    bool mRightLouder;
};

class RenderCommandRotationSense : public RenderCommand, public ::testing::WithParamInterface<SenseCase> {};

// With the generated (measured-HRTF) sets: a positive yaw moves a source in
// front to the listener's right, as the head turning left would.
TEST_P(RenderCommandRotationSense, MovesAFrontalSourceAsTheHeadTurningTheOtherWay)
{
    const SenseCase& c = GetParam();
    const std::size_t frames = 24000;
    const std::vector<float> s = Scaled({qirtest::whiteNoise(frames, 7u)}, 0.1f)[0];
    // ACN/SN3D W, Y, Z, X of a plane wave from the front.
    const Field front = {s, std::vector<float>(frames, 0.0f), std::vector<float>(frames, 0.0f), s};
    WriteSoundFile(mDir / "front.wav", front, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::ofstream(mDir / "track.csv") << YawQuaternionTrack(90.0);

    std::vector<std::string> args = {"-q", "--no-tail"};
    args.insert(args.end(), c.mOptions.begin(), c.mOptions.end());
    args.insert(args.end(), {"front.wav", "out.wav"});
    // No --resources: the sets the build generated.
    const RunResult run = Finish(mDir, Spawn(mDir, args));
    if (run.mExitCode != 0 && run.mErr.find("decoder set") != std::string::npos) {
        GTEST_SKIP() << "no generated decoder sets: " << run.mErr;
    }
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field out = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(out.size(), 2u);
    double left = 0.0;
    double right = 0.0;
    for (std::size_t t = 4800; t < frames; ++t) {
        left += static_cast<double>(out[0][t]) * out[0][t];
        right += static_cast<double>(out[1][t]) * out[1][t];
    }
    const double ild = 10.0 * std::log10(left / right);
    EXPECT_GT(c.mRightLouder ? -ild : ild, 6.0) << "left minus right " << ild << " dB";
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderCommandRotationSense,
                         ::testing::Values(SenseCase{"YawPlus90", {"--yaw", "90"}, true},
                                           SenseCase{"YawMinus90", {"--yaw", "-90"}, false},
                                           SenseCase{"QuaternionOfYawPlus90", {"--head-track", "track.csv"}, true}),
                         [](const auto& info) { return std::string(info.param.mName); });

struct TrackErrorCase {
    const char* mName;
    std::string mTrack;
    std::vector<std::string> mOptions;
    const char* mMessage;
};

class RenderCommandTrackErrors : public RenderCommand, public ::testing::WithParamInterface<TrackErrorCase> {};

TEST_P(RenderCommandTrackErrors, AreUsageErrorsWithOneMessage)
{
    const TrackErrorCase& c = GetParam();
    WriteSoundFile(mDir / "in.wav", Noise(4, 3000, 3u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::ofstream(mDir / "track.csv") << c.mTrack;
    (void)Set(1);

    std::vector<std::string> args = c.mOptions;
    args.insert(args.end(), {"in.wav", "out.wav"});
    const RunResult run = Run(args);
    EXPECT_EQ(run.mExitCode, 2) << run.mErr;
    EXPECT_NE(run.mErr.find(c.mMessage), std::string::npos) << run.mErr;
    EXPECT_EQ(std::count(run.mErr.begin(), run.mErr.end(), '\n'), 1) << run.mErr;
    EXPECT_FALSE(fs::exists(mDir / "out.wav"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandTrackErrors,
    ::testing::Values(
        TrackErrorCase{"RotationOffWithAngles", "", {"--rotation", "off", "--yaw", "10"}, "--rotation off turns nothing"},
        TrackErrorCase{"RotationOffWithATrack", "0,1,0,0\n", {"--rotation", "off", "--head-track", "track.csv"},
                       "--rotation off turns nothing, so --head-track"},
        TrackErrorCase{"TrackWithAngles", "0,1,0,0\n", {"--head-track", "track.csv", "--pitch", "3"},
                       "--head-track gives the angles; drop --pitch"},
        TrackErrorCase{"TrackWithAutomatedYaw", "0,1,0,0\n", {"--head-track", "track.csv", "--set", "Yaw@0=5"},
                       "--set Yaw@0=5: the head track track.csv gives the angles"},
        // Named by its index as the automation reads it (06 is parameter 6).
        TrackErrorCase{"TrackWithYawAutomatedByIndex", "0,1,0,0\n", {"--head-track", "track.csv", "--set", "06@0=5"},
                       "--set 06@0=5: the head track track.csv gives the angles"},
        TrackErrorCase{"MissingTrack", "", {"--head-track", "none.csv"}, "cannot read the head track none.csv"},
        TrackErrorCase{"EmptyTrack", "time,yaw,pitch,roll\n", {"--head-track", "track.csv"}, "has no rows"},
        TrackErrorCase{"NotANumber", "t,yaw,pitch,roll\n0,1,2,3\n0.1,1,two,3\n", {"--head-track", "track.csv"},
                       "track.csv line 3: \"two\" is not a number"},
        TrackErrorCase{"WrongColumnCount", "0,1,2\n", {"--head-track", "track.csv"}, "line 1: expected time,yaw,pitch,roll"},
        TrackErrorCase{"MixedRows", "0,1,2,3\n0.1,1,0,0,0\n", {"--head-track", "track.csv"},
                       "line 2: found 5 values where the rows above have 4"},
        TrackErrorCase{"BackInTime", "0.2,0,0,0\n0.1,0,0,0\n", {"--head-track", "track.csv"},
                       "line 2: time 0.1 s comes before the previous row's 0.2 s"},
        TrackErrorCase{"PitchBeyondNinety", "0,0,95,0\n", {"--head-track", "track.csv"}, "a pitch of 95 degrees"},
        // 120 degrees about the front axis.
        TrackErrorCase{"QuaternionRollBeyondNinety", "0,0.5,0.8660254037844386,0,0\n", {"--head-track", "track.csv"},
                       "a roll of 120"},
        TrackErrorCase{"QuaternionWithoutLength", "0,0,0,0,0\n", {"--head-track", "track.csv"}, "has no length"},
        TrackErrorCase{"QuaternionsInRollPitchYawOrder", "0,1,0,0,0\n", {"--head-track", "track.csv", "--rpy"},
                       "drop --rpy"}),
    [](const auto& info) { return std::string(info.param.mName); });

} // namespace
} // namespace qirclitest
