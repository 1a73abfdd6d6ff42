// qir-render's input: the conventions a file declares (the WAVE-EX B-format
// tag, the .amb extension) and files cut short.
#include "tests/cli/RenderCommandFixture.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <string>
#include <vector>

namespace qirclitest {
namespace {

// A WAVE-EX file carrying libsndfile's ambisonic tag for B-format.
void WriteTaggedFile(const fs::path& file, const Field& field, int subtype = SF_FORMAT_FLOAT)
{
    WriteSoundFile(file, field, kRate, SF_FORMAT_WAVEX | subtype, true);
}

Field Identity(const Field& field) { return field; }

// The FuMa first-order part followed by further (here: noise) channels, as a
// higher-order .amb file holds them.
Field ToFuMaWithHigherOrders(const Field& acn)
{
    Field fuma = ToFuMa(acn);
    const Field extra = Noise(12, acn[0].size(), 99u);
    fuma.insert(fuma.end(), extra.begin(), extra.end());
    return fuma;
}

struct TagCase {
    const char* mName;
    const char* mFile;
    bool mTagged;
    Field (*mConvert)(const Field&);
    std::vector<std::string> mOptions;
    const char* mNote;
};

class RenderCommandTags : public RenderCommand, public ::testing::WithParamInterface<TagCase> {};

// The file's own declaration of FuMa makes it decode as its ACN/SN3D version
// does, explicit options win over it, and one line says what was found.
TEST_P(RenderCommandTags, DecodeAsTheirAcnSn3dVersion)
{
    const TagCase& c = GetParam();
    const Field acn = Scaled(Noise(4, 6000, 43u), 0.1f);
    WriteSoundFile(mDir / "acn.wav", acn, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    if (c.mTagged) {
        WriteTaggedFile(mDir / c.mFile, c.mConvert(acn));
    } else {
        WriteSoundFile(mDir / c.mFile, c.mConvert(acn), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    }
    (void)Set(1);

    const RunResult reference = Run({"--yaw", "30", "acn.wav", "acn-out.wav"});
    ASSERT_EQ(reference.mExitCode, 0) << reference.mErr;
    std::vector<std::string> args{"--yaw", "30"};
    args.insert(args.end(), c.mOptions.begin(), c.mOptions.end());
    args.insert(args.end(), {c.mFile, "out.wav"});
    const RunResult run = RunWithNotes(args);
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find(std::string("qir-render: ") + c.mFile + c.mNote), std::string::npos) << run.mErr;

    const Field expected = ReadSoundFile(mDir / "acn-out.wav");
    const Field output = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(output.size(), 2u);
    ASSERT_EQ(expected.size(), 2u);
    for (int o = 0; o < 2; ++o) {
        const std::vector<double> e(expected[static_cast<std::size_t>(o)].begin(),
                                    expected[static_cast<std::size_t>(o)].end());
        EXPECT_LT(qirtest::relativeError(output[static_cast<std::size_t>(o)], e), 1e-5) << "output " << o;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandTags,
    ::testing::Values(
        TagCase{"BFormatTag", "tagged.wav", true, ToFuMa, {},
                " carries the B-format tag of WAVE-EX files, which means FuMa: reading it with FuMa channel order and "
                "FuMa normalisation"},
        TagCase{"AmbExtension", "scene.amb", false, ToFuMa, {},
                " is an .amb file, which means FuMa: reading it with FuMa channel order and FuMa normalisation"},
        TagCase{"HigherOrderAmbDecodesItsFirstOrderPart", "scene.amb", true, ToFuMaWithHigherOrders, {},
                " carries the B-format tag"},
        TagCase{"OptionsWinOverTheTag", "tagged.wav", true, Identity, {"--layout", "acn", "--norm", "sn3d"},
                " carries the B-format tag of WAVE-EX files, which means FuMa: reading it with ACN channel order "
                "(--layout) and SN3D normalisation (--norm)"}),
    [](const auto& info) { return std::string(info.param.mName); });

// sox keeps the tag of integer samples through a pipe when told the stream is
// an .amb file.
TEST_F(RenderCommand, TagSurvivesAPipeFromSox)
{
    const Field acn = Scaled(Noise(4, 6000, 45u), 0.1f);
    WriteTaggedFile(mDir / "scene.amb", ToFuMa(acn), SF_FORMAT_PCM_24);
    // The same samples, as the 24-bit file holds them, in ACN/SN3D.
    const Field stored = ReadSoundFile(mDir / "scene.amb");
    ASSERT_EQ(stored.size(), 4u);
    Field back = {stored[0], stored[2], stored[3], stored[1]};
    for (float& v : back[0]) {
        v *= 1.41421356f;
    }
    WriteSoundFile(mDir / "acn.wav", back, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);

    ASSERT_EQ(Run({"--yaw", "30", "acn.wav", "acn-out.wav"}).mExitCode, 0);
    const RunResult run =
        RunShell("sox scene.amb -t amb - 2>/dev/null | \"$QIR_RENDER\" --resources \"$SETS\" --yaw 30 - out.wav");
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find("standard input carries the B-format tag"), std::string::npos) << run.mErr;
    EXPECT_LT(MaxDifference(ReadSoundFile(mDir / "out.wav"), ReadSoundFile(mDir / "acn-out.wav")), 1e-6);
}

double Energy(const std::vector<float>& channel, std::size_t from)
{
    double e = 0.0;
    for (std::size_t t = from; t < channel.size(); ++t) {
        e += static_cast<double>(channel[t]) * channel[t];
    }
    return e;
}

// With the generated (measured-HRTF) sets: a source at +90 degrees (the left)
// in a tagged first-order file is heard on the left, as loud as the same
// file's untagged copy decoded with explicit FuMa options.
TEST_F(RenderCommand, TaggedFuMaSourceAtTheLeftIsHeardOnTheLeft)
{
    const std::size_t frames = 48000;
    const std::vector<float> s = Scaled({qirtest::whiteNoise(frames, 5u)}, 0.1f)[0];
    // FuMa W, X, Y, Z of a plane wave from azimuth 90, elevation 0.
    Field fuma(4, std::vector<float>(frames, 0.0f));
    for (std::size_t t = 0; t < frames; ++t) {
        fuma[0][t] = s[t] * 0.70710678f;
        fuma[2][t] = s[t];
    }
    WriteTaggedFile(mDir / "tagged.wav", fuma);
    WriteSoundFile(mDir / "plain.wav", fuma, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);

    // No --resources: the sets the build generated, as a user would run it.
    const RunResult tagged = Finish(mDir, Spawn(mDir, {"-q", "--no-tail", "tagged.wav", "tagged-out.wav"}));
    if (tagged.mExitCode != 0 && tagged.mErr.find("decoder set") != std::string::npos) {
        GTEST_SKIP() << "no generated decoder sets: " << tagged.mErr;
    }
    ASSERT_EQ(tagged.mExitCode, 0) << tagged.mErr;
    const RunResult plain = Finish(
        mDir, Spawn(mDir, {"-q", "--no-tail", "--layout", "fuma", "--norm", "fuma", "plain.wav", "plain-out.wav"}));
    ASSERT_EQ(plain.mExitCode, 0) << plain.mErr;

    const Field a = ReadSoundFile(mDir / "tagged-out.wav");
    const Field b = ReadSoundFile(mDir / "plain-out.wav");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(MaxDifference(a, b), 0.0);
    // After the first 0.1 s, so the responses are fully under way.
    const double ild = 10.0 * std::log10(Energy(a[0], 4800) / Energy(a[1], 4800));
    EXPECT_GT(ild, 10.0);
    EXPECT_LT(ild, 16.0);
}

struct CutCase {
    const char* mName;
    const char* mFile;
    int mFormat;
};

class RenderCommandCutShort : public RenderCommand, public ::testing::WithParamInterface<CutCase> {};

// A file whose header declares 9600 frames but holds 4800: a warning with both
// counts, and the frames there are rendered.
TEST_P(RenderCommandCutShort, WarnsWithBothCountsAndRendersWhatIsThere)
{
    const CutCase& c = GetParam();
    const Field field = Scaled(Noise(4, 9600, 47u), 0.1f);
    WriteSoundFile(mDir / c.mFile, field, kRate, c.mFormat);
    const auto frameBytes = static_cast<std::uintmax_t>(4 * 2);
    fs::resize_file(mDir / c.mFile, fs::file_size(mDir / c.mFile) - 4800 * frameBytes);
    const Field present = ReadSoundFile(mDir / c.mFile);
    ASSERT_EQ(present.size(), 4u);
    ASSERT_EQ(present[0].size(), 4800u);
    const SyntheticDecoderSet& set = Set(1);

    const RunResult run = Run({"--rotation", "off", "--no-tail", c.mFile, "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find(std::string("warning: ") + c.mFile +
                            " is cut short: its header declares 9600 frames but it holds 4800"),
              std::string::npos)
        << run.mErr;
    ExpectDecodes(ReadSoundFile(mDir / "out.wav"), present, set);
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderCommandCutShort,
                         ::testing::Values(CutCase{"Wav", "cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                                           CutCase{"WaveEx", "cut.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16},
                                           CutCase{"Aiff", "cut.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
                                           CutCase{"Rf64", "cut.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16}),
                         [](const auto& info) { return std::string(info.param.mName); });

} // namespace
} // namespace qirclitest
