// qir-render in pipelines: "-" for standard input and standard output, read
// and written by sox at the other end, and standard output holding nothing but
// the audio.
#include "tests/cli/RenderCommandFixture.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace qirclitest {
namespace {

class RenderCommandPipes : public RenderCommand {
protected:
    void SetUp() override
    {
        RenderCommand::SetUp();
        mField = Scaled(Noise(4, 9000, 53u), 0.1f);
        // 24-bit PCM, which sox reads without a word (it complains about the
        // format chunk of libsndfile's float WAV), so its messages are about
        // the pipes.
        WriteSoundFile(mDir / "in.wav", mField, kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
        (void)Set(1);
        const RunResult reference = Run({"--yaw", "20", "in.wav", "reference.wav"});
        ASSERT_EQ(reference.mExitCode, 0) << reference.mErr;
        mReference = ReadSoundFile(mDir / "reference.wav");
        ASSERT_EQ(mReference.size(), 2u);
    }

    Field mField;
    Field mReference;
};

struct PipelineCase {
    const char* mName;
    const char* mScript;
};

class RenderCommandPipelines : public RenderCommandPipes, public ::testing::WithParamInterface<PipelineCase> {};

// sox reads what qir-render writes to a pipe without a complaint, and what
// sox writes to a pipe, with or without the stream's length in its header,
// renders as the file does.
TEST_P(RenderCommandPipelines, RenderAsTheFileDoes)
{
    const RunResult run = RunShell(GetParam().mScript);
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_EQ(run.mErr, "");
    // sox carries samples as 32-bit integers, and its conversions from and to
    // float round by up to a few parts in 10^7 of full scale.
    EXPECT_LT(MaxDifference(ReadSoundFile(mDir / "out.wav"), mReference), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandPipelines,
    ::testing::Values(
        PipelineCase{"SoxToSox",
                     "sox in.wav -t wav - | \"$QIR_RENDER\" --resources \"$SETS\" -q --yaw 20 - - | "
                     "sox -t wav - -e floating-point out.wav"},
        // The second sox cannot know the length (and says so unless -V1): its
        // header holds a stream's placeholder sizes, which are no sign of a
        // file cut short.
        PipelineCase{"StreamOfUnknownLength",
                     "sox in.wav -t raw - | sox -V1 -t raw -r 48000 -e signed -b 24 -c 4 - -t wav - | "
                     "\"$QIR_RENDER\" --resources \"$SETS\" -q --yaw 20 - out.wav"},
        PipelineCase{"AiffStreamOfUnknownLength",
                     "sox in.wav -t raw - | sox -V1 -t raw -r 48000 -e signed -b 24 -c 4 - -t aiff - | "
                     "\"$QIR_RENDER\" --resources \"$SETS\" -q --yaw 20 - out.wav"},
        PipelineCase{"StandardInputRedirectedFromAFile",
                     "\"$QIR_RENDER\" --resources \"$SETS\" -q --yaw 20 - out.wav < in.wav"}),
    [](const auto& info) { return std::string(info.param.mName); });

// The plug-in's banner and loader lines, and every note, go to standard error:
// standard output is the WAV file alone, its header complete when it is a file.
TEST_F(RenderCommandPipes, StandardOutputCarriesOnlyTheAudio)
{
    const RunResult run = RunWithNotes({"--yaw", "20", "in.wav", "-"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find("QIRMatrixDecoder loaded"), std::string::npos) << run.mErr;
    EXPECT_NE(run.mErr.find("wrote standard output"), std::string::npos) << run.mErr;
    EXPECT_EQ(MaxDifference(ReadSoundFile(mDir / "stdout.txt"), mReference), 0.0);

    const std::vector<char> bytes = ReadBytes(mDir / "stdout.txt");
    ASSERT_GT(bytes.size(), 64u);
    const char* tag = "data";
    const auto data = std::search(bytes.begin(), bytes.end(), tag, tag + 4);
    ASSERT_NE(data, bytes.end());
    uint32_t dataSize = 0;
    std::memcpy(&dataSize, &*(data + 4), 4);
    EXPECT_EQ(dataSize, mReference[0].size() * 2 * sizeof(float));
}

TEST_F(RenderCommandPipes, NamedPipesAreStillRefused)
{
    ASSERT_EQ(::mkfifo((mDir / "fifo.wav").c_str(), 0600), 0);
    const RunResult run = Run({"fifo.wav", "out.wav"});
    EXPECT_EQ(run.mExitCode, 1);
    EXPECT_NE(run.mErr.find("cannot read fifo.wav: not a regular file"), std::string::npos) << run.mErr;
}

} // namespace
} // namespace qirclitest
