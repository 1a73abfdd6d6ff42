// qir-render's two paths against each other: the default throughput path (the
// engine's throughput configuration, large batches on a worker thread) and
// --host-path (the plug-in as an audio-unit host runs it) give the same output
// file, within float rounding, for every decoder, order, setting and block
// size, events included. They run on the decoder sets the build generated.
#include "tests/cli/RenderCommandFixture.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace qirclitest {
namespace {

struct PathCase {
    const char* mName;
    int mInputOrder;
    std::vector<std::string> mOptions;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.mName; }

class RenderPaths : public RenderCommand, public ::testing::WithParamInterface<PathCase> {};

TEST_P(RenderPaths, ThroughputPathEqualsTheHostPath)
{
    if (!fs::exists(fs::path(QIR_DECODER_SET_DIR) / "7OA-decoder-room.wav")) {
        GTEST_SKIP() << "the build has not generated its decoder sets in " << QIR_DECODER_SET_DIR;
    }
    const PathCase& c = GetParam();
    const int channels = (c.mInputOrder + 1) * (c.mInputOrder + 1);
    WriteSoundFile(mDir / "in.wav", Scaled(Noise(channels, 30000, 71u), 0.2f), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    // A head turning left by 90 degrees and nodding, over the first half second.
    std::ofstream(mDir / "track.csv") << "time,yaw,pitch,roll\n0,0,0,0\n0.25,45,-10,5\n0.5,90,10,0\n";

    std::vector<std::string> options = {"--resources", QIR_DECODER_SET_DIR};
    options.insert(options.end(), c.mOptions.begin(), c.mOptions.end());
    std::vector<std::string> host = options;
    host.insert(host.end(), {"--host-path", "in.wav", "host.wav"});
    std::vector<std::string> throughput = options;
    throughput.insert(throughput.end(), {"in.wav", "throughput.wav"});
    const RunResult a = Run(host);
    const RunResult b = RunWithNotes(throughput);
    ASSERT_EQ(a.mExitCode, 0) << a.mErr;
    ASSERT_EQ(b.mExitCode, 0) << b.mErr;
    EXPECT_NE(b.mErr.find("on the throughput path"), std::string::npos) << b.mErr;

    const Field expected = ReadSoundFile(mDir / "host.wav");
    const Field output = ReadSoundFile(mDir / "throughput.wav");
    ASSERT_EQ(output.size(), 2u);
    ASSERT_EQ(expected.size(), 2u);
    ASSERT_EQ(output[0].size(), expected[0].size());
    for (std::size_t o = 0; o < 2; ++o) {
        const std::vector<double> reference(expected[o].begin(), expected[o].end());
        const double error = qirtest::relativeError(output[o], reference);
        char text[32];
        std::snprintf(text, sizeof text, "%.2e", error);
        RecordProperty("relative_error_" + std::to_string(o), text);
        EXPECT_LT(error, 1e-5) << "output " << o;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderPaths,
    ::testing::Values(
        PathCase{"RoomOrder7", 7, {"--mode", "room"}},
        PathCase{"AnechoicOrder5TurnedInOddBlocks", 5, {"--yaw", "40", "--pitch", "-20", "--roll", "10", "--block", "300"}},
        PathCase{"UhjFromOrder2InLongBlocks", 2, {"--mode", "uhj", "--block", "4096"}},
        PathCase{"RoomOrder1FuMaInShortBlocks", 1, {"--mode", "room", "--layout", "fuma", "--norm", "fuma", "--block", "37"}},
        PathCase{"AutomationAndNotes", 3,
                 {"--set", "Yaw@0.1=90", "--set", "Output Volume@0.3=-12", "--set", "Roll@0.45=-60", "--note",
                  "3@0.05:0.4", "--note", "20@0.5", "--block", "256"}},
        PathCase{"HeadTrackAtALowerOrder", 4, {"--order", "2", "--head-track", "track.csv", "--rpy", "--block", "1000"}},
        PathCase{"RotationOffWithoutTail", 3, {"--mode", "room", "--rotation", "off", "--no-tail", "--block", "64"}}),
    [](const auto& info) { return std::string(info.param.mName); });

} // namespace
} // namespace qirclitest
