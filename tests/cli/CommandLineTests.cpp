// qir-render's command line: where its messages go, --quiet, --version and
// --help, -o, and several inputs rendered into one folder.
#include "tests/cli/RenderCommandFixture.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

namespace qirclitest {
namespace {

TEST_F(RenderCommand, MessagesGoToStandardErrorAndStandardOutputStaysEmpty)
{
    WriteSoundFile(mDir / "in.wav", Noise(4, 3000, 3u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);

    const RunResult run = RunWithNotes({"--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_EQ(run.mOut, "");
    // The plug-in's own console lines (its toolkit banner, the loader's line)
    // and the summary, all on standard error.
    EXPECT_NE(run.mErr.find("QIRMatrixDecoder loaded "), std::string::npos) << run.mErr;
    EXPECT_NE(run.mErr.find("sound-field toolkit"), std::string::npos) << run.mErr;
    EXPECT_NE(run.mErr.find("qir-render: wrote out.wav"), std::string::npos) << run.mErr;
}

TEST_F(RenderCommand, QuietLeavesOnlyWarningsAndErrors)
{
    WriteSoundFile(mDir / "in.wav", Scaled(Noise(4, 3000, 3u), 0.1f), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);

    for (const char* quiet : {"-q", "--quiet"}) {
        const RunResult run = Finish(mDir, Spawn(mDir, {quiet, "--resources", "sets", "--no-tail", "in.wav", "out.wav"}));
        EXPECT_EQ(run.mExitCode, 0) << quiet << ": " << run.mErr;
        EXPECT_EQ(run.mOut, "") << quiet;
        EXPECT_EQ(run.mErr, "") << quiet;
    }
}

struct InformationCase {
    const char* mName;
    std::vector<std::string> mArgs;
    const char* mText;
};

class RenderCommandInformation : public RenderCommand, public ::testing::WithParamInterface<InformationCase> {};

// Asked for, the help and the version are the program's output: on standard
// output, with nothing rendered.
TEST_P(RenderCommandInformation, GoesToStandardOutput)
{
    const InformationCase& c = GetParam();
    const RunResult run = Finish(mDir, Spawn(mDir, c.mArgs));
    EXPECT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_EQ(run.mErr, "");
    EXPECT_EQ(run.mOut.rfind(c.mText, 0), 0u) << run.mOut;
    EXPECT_EQ(Leftovers({}), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandInformation,
    ::testing::Values(InformationCase{"Version", {"--version"}, "qir-render " QIR_VERSION " (QIR Matrix Decoder)\n"},
                      InformationCase{"VersionWinsOverFiles", {"--version", "in.wav", "out.wav"}, "qir-render "},
                      InformationCase{"ShortHelp", {"-h"}, "usage: qir-render"},
                      InformationCase{"LongHelp", {"--help"}, "usage: qir-render"}),
    [](const auto& info) { return std::string(info.param.mName); });

TEST_F(RenderCommand, OutputOptionNamesTheOutputFile)
{
    const Field field = Noise(4, 3000, 5u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(1);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--rotation", "off", "--no-tail", "-o", "short.wav", "in.wav"},
          std::vector<std::string>{"--rotation", "off", "--no-tail", "in.wav", "--output=long.wav"}}) {
        const RunResult run = Run(args);
        ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    }
    ExpectDecodes(ReadSoundFile(mDir / "short.wav"), field, set);
    ExpectDecodes(ReadSoundFile(mDir / "long.wav"), field, set);
}

TEST_F(RenderCommand, SeveralInputsRenderIntoTheFolderEachUnderItsName)
{
    const Field one = Noise(4, 3000, 21u);
    const Field two = Noise(4, 4000, 22u);
    WriteSoundFile(mDir / "one.wav", one, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    WriteSoundFile(mDir / "two.flac", two, kRate, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    WriteSoundFile(mDir / "five.wav", Noise(5, 3000, 23u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    fs::create_directories(mDir / "out");
    const SyntheticDecoderSet& set = Set(1);

    // The input that cannot be decoded fails alone; the others are rendered,
    // and the exit code reports the failure.
    const RunResult run = Run({"--rotation", "off", "--no-tail", "-o", "out", "one.wav", "five.wav", "two.flac"});
    EXPECT_EQ(run.mExitCode, 1) << run.mErr;
    EXPECT_NE(run.mErr.find("five.wav has 5 channels"), std::string::npos) << run.mErr;
    ExpectDecodes(ReadSoundFile(mDir / "out" / "one.wav"), one, set);
    ExpectDecodes(ReadSoundFile(mDir / "out" / "two.wav"), ReadSoundFile(mDir / "two.flac"), set);
    EXPECT_FALSE(fs::exists(mDir / "out" / "five.wav"));
}

} // namespace
} // namespace qirclitest
