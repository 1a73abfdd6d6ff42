// qir-render's output: the sample format each container gets, the peak
// report, and the warning on samples beyond full scale.
#include "tests/cli/RenderCommandFixture.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace qirclitest {
namespace {

struct FormatCase {
    const char* mName;
    const char* mFile;
    std::vector<std::string> mOptions;
    int mFormat; // libsndfile's major format | subtype, as it reads the file back
    // Lossless outputs must equal the direct decoding; lossy ones only match
    // its level (within 2 dB: the encoders drop the top of the white noise).
    double mTolerance;
};

class RenderCommandFormats : public RenderCommand, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(RenderCommandFormats, ContainerGetsItsOwnSampleFormat)
{
    const FormatCase& c = GetParam();
    const Field field = Scaled(Noise(4, 9600, 31u), 0.1f);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(1);

    std::vector<std::string> args = c.mOptions;
    args.insert(args.end(), {"--rotation", "off", "--no-tail", "in.wav", c.mFile});
    const RunResult run = Run(args);
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;

    SF_INFO info{};
    SNDFILE* sf = sf_open((mDir / c.mFile).c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    sf_close(sf);
    EXPECT_EQ(info.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK), c.mFormat) << std::hex << info.format;
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 48000);

    const Field output = ReadSoundFile(mDir / c.mFile);
    ASSERT_EQ(output.size(), 2u);
    if (c.mTolerance > 0.0) {
        ExpectDecodes(output, field, set, c.mTolerance);
        return;
    }
    for (int o = 0; o < 2; ++o) {
        const std::vector<double> reference = set.Decode(field, o);
        double expected = 0.0;
        for (double v : reference) {
            expected += v * v;
        }
        double got = 0.0;
        for (float v : output[static_cast<std::size_t>(o)]) {
            got += static_cast<double>(v) * v;
        }
        EXPECT_NEAR(10.0 * std::log10(got / static_cast<double>(output[static_cast<std::size_t>(o)].size())),
                    10.0 * std::log10(expected / static_cast<double>(reference.size())), 2.0)
            << "output " << o;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandFormats,
    ::testing::Values(FormatCase{"WavIsFloat", "out.wav", {}, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1e-5},
                      FormatCase{"WavAskedForPcm24", "out.wav", {"--format", "pcm24"}, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1e-5},
                      FormatCase{"AiffIsFloat", "out.aiff", {}, SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 1e-5},
                      FormatCase{"CafIsFloat", "out.caf", {}, SF_FORMAT_CAF | SF_FORMAT_FLOAT, 1e-5},
                      FormatCase{"FlacIs24Bit", "out.flac", {}, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1e-5},
                      FormatCase{"FlacAskedFor16Bit", "out.flac", {"--format", "pcm16"}, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1e-3},
                      FormatCase{"OggIsVorbis", "out.ogg", {}, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.0},
                      FormatCase{"OpusIsOpus", "out.opus", {}, SF_FORMAT_OGG | SF_FORMAT_OPUS, 0.0}),
    [](const auto& info) { return std::string(info.param.mName); });

std::string DecibelText(double magnitude)
{
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f dBFS", 20.0 * std::log10(magnitude));
    return text;
}

float Peak(const std::vector<float>& channel)
{
    float peak = 0.0f;
    for (float v : channel) {
        peak = std::max(peak, std::fabs(v));
    }
    return peak;
}

TEST_F(RenderCommand, ReportsThePeakOfEachOutputChannel)
{
    // Louder on the left decoder input than the right, so the channels differ.
    WriteSoundFile(mDir / "in.wav", Scaled(Noise(4, 6000, 37u), 0.1f), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);

    const RunResult run = RunWithNotes({"--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field output = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(output.size(), 2u);
    const std::string expected =
        "output peak: left " + DecibelText(Peak(output[0])) + ", right " + DecibelText(Peak(output[1]));
    EXPECT_NE(run.mErr.find(expected), std::string::npos) << expected << "\n" << run.mErr;
    EXPECT_EQ(run.mErr.find("exceed"), std::string::npos) << run.mErr;
}

struct OversCase {
    const char* mName;
    const char* mFile;
    std::vector<std::string> mOptions;
    const char* mFate;
    bool mClipped;
};

class RenderCommandOvers : public RenderCommand, public ::testing::WithParamInterface<OversCase> {};

// Every format warns, with the count of samples beyond full scale, and the
// volume it advises brings the peak back under full scale.
TEST_P(RenderCommandOvers, AreCountedAndTheAdvisedVolumeRemovesThem)
{
    const OversCase& c = GetParam();
    WriteSoundFile(mDir / "in.wav", Scaled(Noise(4, 4000, 13u), 4.0f), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);

    // The overs as a float file holds them.
    ASSERT_EQ(Run({"--volume", "12", "--no-tail", "in.wav", "reference.wav"}).mExitCode, 0);
    const Field reference = ReadSoundFile(mDir / "reference.wav");
    ASSERT_EQ(reference.size(), 2u);
    long long overs = 0;
    for (const auto& channel : reference) {
        overs += std::count_if(channel.begin(), channel.end(), [](float v) { return std::fabs(v) > 1.0f; });
    }
    ASSERT_GT(overs, 0);

    std::vector<std::string> args = c.mOptions;
    args.insert(args.end(), {"--volume", "12", "--no-tail", "in.wav", c.mFile});
    const RunResult loud = Run(args);
    ASSERT_EQ(loud.mExitCode, 0) << loud.mErr;
    EXPECT_NE(loud.mErr.find("warning: " + std::to_string(overs) + " samples exceed full scale (peak " +
                             DecibelText(std::max(Peak(reference[0]), Peak(reference[1]))) + ")"),
              std::string::npos)
        << loud.mErr;
    EXPECT_NE(loud.mErr.find(c.mFate), std::string::npos) << loud.mErr;
    const Field written = ReadSoundFile(mDir / c.mFile);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(std::max(Peak(written[0]), Peak(written[1])) <= 1.0f, c.mClipped);

    const auto at = loud.mErr.find("(--volume ");
    ASSERT_NE(at, std::string::npos) << loud.mErr;
    const std::string volume = loud.mErr.substr(at + 10, loud.mErr.find(')', at) - at - 10);
    EXPECT_LT(std::strtod(volume.c_str(), nullptr), 12.0);
    args = c.mOptions;
    args.insert(args.end(), {"--volume", volume, "--no-tail", "in.wav", c.mFile});
    const RunResult advised = Run(args);
    ASSERT_EQ(advised.mExitCode, 0) << advised.mErr;
    EXPECT_EQ(advised.mErr, "");
    const Field fixed = ReadSoundFile(mDir / c.mFile);
    ASSERT_EQ(fixed.size(), 2u);
    EXPECT_LE(std::max(Peak(fixed[0]), Peak(fixed[1])), 1.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandOvers,
    ::testing::Values(OversCase{"Float", "out.wav", {}, "float output keeps them", false},
                      OversCase{"Pcm16", "out.wav", {"--format", "pcm16"}, "pcm16 output clips them", true},
                      OversCase{"Flac", "out.flac", {}, "pcm24 output clips them", true}),
    [](const auto& info) { return std::string(info.param.mName); });

} // namespace
} // namespace qirclitest
