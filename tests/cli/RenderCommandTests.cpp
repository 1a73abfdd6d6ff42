// qir-render run as a process: its output against direct decodings of the same
// field with the same (synthetic) decoder sets, its event timing, its
// conventions, and its errors.
#include "tests/cli/RenderCommandFixture.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qirclitest {
namespace {

struct DecodeCase {
    int mOrder;
    int mBlock;
    bool mTail;
};

class RenderCommandDecodes : public RenderCommand, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(RenderCommandDecodes, EqualsDirectDecodingWithTheSameDecoderSet)
{
    const DecodeCase c = GetParam();
    const int channels = (c.mOrder + 1) * (c.mOrder + 1);
    const std::size_t frames = 6000;
    const Field field = Noise(channels, frames, 11u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(c.mOrder);

    const RunResult run = RunWithNotes({"--rotation", "off", "--block", std::to_string(c.mBlock),
                                        c.mTail ? "--tail" : "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    // The summary on standard error: duration, decoder, order, real-time factor.
    EXPECT_NE(run.mErr.find("s, Anechoic decoder, order " + std::to_string(c.mOrder) + ", real-time factor"),
              std::string::npos)
        << run.mErr;
    double rate = 0.0;
    const Field output = ReadSoundFile(mDir / "out.wav", &rate);
    EXPECT_EQ(rate, kRate);
    ExpectDecodes(output, Padded(field, frames + (c.mTail ? kIRLength : 0)), set);
}

INSTANTIATE_TEST_SUITE_P(Orders, RenderCommandDecodes,
                         ::testing::Values(DecodeCase{1, 512, true}, DecodeCase{3, 512, false},
                                           DecodeCase{3, 100, false}, DecodeCase{7, 512, false}),
                         [](const auto& info) {
                             return "Order" + std::to_string(info.param.mOrder) + "Block" +
                                    std::to_string(info.param.mBlock) + (info.param.mTail ? "Tail" : "NoTail");
                         });

TEST_F(RenderCommand, UhjDecodesTheFirstOrderPartWithItsOwnSet)
{
    const std::size_t frames = 5000;
    const Field field = Noise(16, frames, 17u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet uhj(4, 77u);
    uhj.Write(mDir / "sets" / "AMBIX_2_UHJ.wav");

    const RunResult run = RunWithNotes({"--mode", "uhj", "--rotation", "off", "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find("UHJ decoder, order 1"), std::string::npos) << run.mErr;
    ExpectDecodes(ReadSoundFile(mDir / "out.wav"), field, uhj);
}

struct UhjRateCase {
    const char* mName;
    double mRate;
    // The set the loader reads at that rate: the one made for it (as it is), or
    // the regular 48 kHz one (resampled).
    const char* mFileRead;
    bool mResampled;
};

class RenderCommandUhjRates : public RenderCommand, public ::testing::WithParamInterface<UhjRateCase> {};

// Beside "AMBIX_2_UHJ.wav" the folder holds a UHJ set made for 44.1 kHz: at
// that rate the render decodes with it as it is, and at another rate with the
// 48 kHz set resampled, saying so.
TEST_P(RenderCommandUhjRates, DecodeWithTheSetMadeForTheRateOrElseTheRegularOneResampled)
{
    const UhjRateCase& c = GetParam();
    const std::size_t frames = 5000;
    const Field field = Noise(4, frames, 23u);
    WriteSoundFile(mDir / "in.wav", field, c.mRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    SyntheticDecoderSet(4, 77u).Write(mDir / "sets" / "AMBIX_2_UHJ.wav");
    // As long as 16384 samples last at 48 kHz.
    const SyntheticDecoderSet forRate(4, 78u, 15053);
    forRate.Write(mDir / "sets" / "AMBIX_2_UHJ-44100.wav", 44100.0);

    const RunResult run = RunWithNotes({"--mode", "uhj", "--rotation", "off", "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find("QIRMatrixDecoder loaded " + (mDir / "sets" / c.mFileRead).string() + "\n"),
              std::string::npos)
        << run.mErr;
    EXPECT_EQ(run.mErr.find("is resampled to") != std::string::npos, c.mResampled) << run.mErr;
    double rate = 0.0;
    const Field output = ReadSoundFile(mDir / "out.wav", &rate);
    EXPECT_EQ(rate, c.mRate);
    if (!c.mResampled) {
        ExpectDecodes(output, field, forRate);
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, RenderCommandUhjRates,
                         ::testing::Values(UhjRateCase{"WithASetOfItsOwn", 44100.0, "AMBIX_2_UHJ-44100.wav", false},
                                           UhjRateCase{"WithoutASetOfItsOwn", 96000.0, "AMBIX_2_UHJ.wav", true}),
                         [](const auto& info) { return std::string(info.param.mName); });

TEST_F(RenderCommand, VolumeScalesTheOutputFromItsFirstSample)
{
    const std::size_t frames = 3000;
    const Field field = Noise(4, frames, 19u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(1);

    const RunResult run = Run({"--volume", "-6", "--rotation", "off", "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field output = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(output.size(), 2u);
    const double gain = std::pow(10.0, -6.0 / 20.0);
    for (int o = 0; o < 2; ++o) {
        std::vector<double> expected = set.Decode(field, o);
        for (double& v : expected) {
            v *= gain;
        }
        EXPECT_LT(qirtest::relativeError(output[static_cast<std::size_t>(o)], expected), 1e-4);
        // The first samples too: the volume has settled before the input starts.
        EXPECT_NEAR(output[static_cast<std::size_t>(o)][0], expected[0], 1e-5);
    }
}

struct RotationCase {
    const char* mName;
    std::vector<std::string> mOptions;
    float mYaw, mPitch, mRoll;
    bool mRollPitchYaw;
};

class RenderCommandRotates : public RenderCommand, public ::testing::WithParamInterface<RotationCase> {};

// Rotation on: the output equals the decoding of the field turned by the
// rotation routines' matrix, aligned with the input (the rotator's frame of
// delay compensated). The angle options are degrees of rotation.
TEST_P(RenderCommandRotates, EqualsDecodingOfTheRotatedFieldAligned)
{
    const RotationCase& c = GetParam();
    const std::size_t frames = 6000;
    const Field field = Noise(16, frames, 23u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(3);

    std::vector<std::string> args = c.mOptions;
    args.insert(args.end(), {"--no-tail", "in.wav", "out.wav"});
    const RunResult run = Run(args);
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    ExpectDecodes(ReadSoundFile(mDir / "out.wav"), Rotated(field, 3, c.mYaw, c.mPitch, c.mRoll, c.mRollPitchYaw), set);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandRotates,
    ::testing::Values(RotationCase{"YawPitch", {"--yaw", "90", "--pitch", "20"}, 90.0f, 20.0f, 0.0f, false},
                      RotationCase{"FlippedYaw", {"--yaw", "30", "--flip-yaw"}, -30.0f, 0.0f, 0.0f, false},
                      RotationCase{"RollPitchYawOrder", {"--yaw", "40", "--roll", "15", "--pitch", "-10", "--rpy"},
                                   40.0f, -10.0f, 15.0f, true}),
    [](const auto& info) { return std::string(info.param.mName); });

TEST_F(RenderCommand, AutomationTakesEffectInTheProcessingFrameThatHoldsIt)
{
    // 0.1 s is frame 4800, inside the decoder's 128-frame processing frame that
    // starts at 4736: the field turns over that frame, whatever the block size.
    const std::size_t frameStart = 4736;
    const std::size_t frames = 9000;
    const Field field = Noise(4, frames, 31u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(1);

    // Unrotated before the processing frame, rotated after it, cross-faded
    // linearly over it.
    const Field turned = Rotated(field, 1, 90.0f, 0.0f);
    Field expected = field;
    for (std::size_t c = 0; c < 4; ++c) {
        for (std::size_t t = frameStart; t < frames; ++t) {
            const float fadeIn = t < frameStart + 128 ? static_cast<float>(t - frameStart + 1) / 128.0f : 1.0f;
            expected[c][t] = fadeIn * turned[c][t] + (1.0f - fadeIn) * field[c][t];
        }
    }
    Field before = field;
    for (auto& ch : before) {
        ch.resize(frameStart);
    }
    for (const char* block : {"512", "100"}) {
        SCOPED_TRACE(block);
        const RunResult run = Run({"--set", "Yaw@0.1=90", "--block", block, "--no-tail", "in.wav", "out.wav"});
        ASSERT_EQ(run.mExitCode, 0) << run.mErr;
        const Field output = ReadSoundFile(mDir / "out.wav");
        ExpectDecodes(output, expected, set);
        // And the frames before it are exactly the unrotated decoding.
        for (int o = 0; o < 2; ++o) {
            const std::vector<float> head(output[static_cast<std::size_t>(o)].begin(),
                                          output[static_cast<std::size_t>(o)].begin() + static_cast<long>(frameStart));
            EXPECT_LT(qirtest::relativeError(head, set.Decode(before, o)), 1e-4);
        }
    }
}

TEST_F(RenderCommand, TestSourceNoteSoundsFromItsOwnFrame)
{
    const Field silence(4, std::vector<float>(12000, 0.0f));
    WriteSoundFile(mDir / "in.wav", silence, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);
    const RunResult run = Run({"--note", "2@0.1:0.15", "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field output = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(output.size(), 2u);
    // 0.1 s is frame 4800. (Before it, within the decoder's hop, only the
    // convolution's rounding is left: far below the noise's level.)
    std::size_t first = output[0].size();
    for (std::size_t t = 0; t < output[0].size(); ++t) {
        if (std::fabs(output[0][t]) > 1e-6f || std::fabs(output[1][t]) > 1e-6f) {
            first = t;
            break;
        }
    }
    EXPECT_EQ(first, 4800u);
}

// SN3D to N3D: band l scaled by sqrt(2l + 1).
Field ToN3D(const Field& sn3d)
{
    Field n3d = sn3d;
    for (std::size_t c = 0; c < n3d.size(); ++c) {
        const int band = static_cast<int>(std::sqrt(static_cast<double>(c)));
        for (float& v : n3d[c]) {
            v *= static_cast<float>(std::sqrt(2.0 * band + 1.0));
        }
    }
    return n3d;
}

struct ConventionCase {
    const char* mName;
    int mOrder;
    std::vector<std::string> mOptions;
    Field (*mConvert)(const Field&);
};

class RenderCommandConventions : public RenderCommand, public ::testing::WithParamInterface<ConventionCase> {};

TEST_P(RenderCommandConventions, InputEqualsItsAcnSn3dVersion)
{
    const ConventionCase& c = GetParam();
    const std::size_t frames = 6000;
    const Field acn = Noise((c.mOrder + 1) * (c.mOrder + 1), frames, 41u);
    WriteSoundFile(mDir / "acn.wav", acn, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    WriteSoundFile(mDir / "other.wav", c.mConvert(acn), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(c.mOrder);

    const RunResult a = Run({"--yaw", "30", "acn.wav", "acn-out.wav"});
    std::vector<std::string> args{"--yaw", "30"};
    args.insert(args.end(), c.mOptions.begin(), c.mOptions.end());
    args.insert(args.end(), {"other.wav", "other-out.wav"});
    const RunResult b = Run(args);
    ASSERT_EQ(a.mExitCode, 0) << a.mErr;
    ASSERT_EQ(b.mExitCode, 0) << b.mErr;
    const Field fromAcn = ReadSoundFile(mDir / "acn-out.wav");
    const Field fromOther = ReadSoundFile(mDir / "other-out.wav");
    ASSERT_EQ(fromAcn.size(), 2u);
    ASSERT_EQ(fromOther.size(), 2u);
    for (int o = 0; o < 2; ++o) {
        const std::vector<double> reference(fromAcn[static_cast<std::size_t>(o)].begin(),
                                            fromAcn[static_cast<std::size_t>(o)].end());
        EXPECT_LT(qirtest::relativeError(fromOther[static_cast<std::size_t>(o)], reference), 1e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderCommandConventions,
                         ::testing::Values(ConventionCase{"FuMaFuMaFirstOrder", 1, {"--layout", "fuma", "--norm", "fuma"}, ToFuMa},
                                           ConventionCase{"AcnN3DThirdOrder", 3, {"--norm", "n3d"}, ToN3D}),
                         [](const auto& info) { return std::string(info.param.mName); });

TEST_F(RenderCommand, DemoRendersTheBuiltInScene)
{
    (void)Set(1);
    const RunResult run = Run({"--demo", "--order", "1", "--no-tail", "demo.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    double rate = 0.0;
    const Field output = ReadSoundFile(mDir / "demo.wav", &rate);
    ASSERT_EQ(output.size(), 2u);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(output[0].size(), 15u * 48000u);
    // Sound in the moving part and in the test-source part.
    auto energy = [&](double from, double to) {
        double e = 0.0;
        for (std::size_t t = static_cast<std::size_t>(from * rate); t < static_cast<std::size_t>(to * rate); ++t) {
            e += static_cast<double>(output[0][t]) * output[0][t] + static_cast<double>(output[1][t]) * output[1][t];
        }
        return e;
    };
    EXPECT_GT(energy(1.0, 8.0), 1.0);
    EXPECT_GT(energy(9.3, 9.7), 0.1);
}

TEST_F(RenderCommand, HelpExplainsTheAlignment)
{
    const RunResult run = Run({"--help"});
    EXPECT_EQ(run.mExitCode, 0);
    EXPECT_NE(run.mOut.find("latency of 128 frames"), std::string::npos);
    EXPECT_NE(run.mOut.find("compensates"), std::string::npos);
    EXPECT_NE(run.mOut.find("their\nown frames"), std::string::npos);
}

// Rewrites the sample rate (and byte rate) in the header of a WAV file written
// by libsndfile, as a damaged or hand-made header would claim it.
void ClaimRate(const fs::path& file, uint32_t rate)
{
    std::vector<char> bytes = ReadBytes(file);
    const std::string text(bytes.begin(), bytes.end());
    const std::size_t fmt = text.find("fmt ");
    ASSERT_NE(fmt, std::string::npos);
    const auto u16 = [&](std::size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    const uint32_t blockAlign = u16(fmt + 20);
    const auto put = [&](std::size_t at, uint32_t value) {
        for (int b = 0; b < 4; ++b) {
            bytes[at + static_cast<std::size_t>(b)] = static_cast<char>((value >> (8 * b)) & 0xFF);
        }
    };
    put(fmt + 12, rate);
    put(fmt + 16, rate * blockAlign);
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct RateCase {
    const char* mName;
    uint32_t mRate;
    bool mRendered;
};

class RenderCommandRates : public RenderCommand, public ::testing::WithParamInterface<RateCase> {};

// Every rate from 8 kHz to 384 kHz renders at its own rate, with the decoder
// set resampled to it (no warning: nothing is wrong); a header claiming any
// other rate is refused with one clear line.
TEST_P(RenderCommandRates, AreDecodedFromEightKilohertzTo384KilohertzAndRefusedOutside)
{
    const RateCase& c = GetParam();
    const std::size_t frames = 4000;
    // Quiet: at 8 kHz the synthetic set, whose responses are white up to
    // 24 kHz, plays its low band at six times the power.
    WriteSoundFile(mDir / "in.wav", Scaled(Noise(4, frames, 5u), 0.1f), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    ClaimRate(mDir / "in.wav", c.mRate);
    (void)Set(1);

    const RunResult run = RunWithNotes({"--no-tail", "in.wav", "out.wav"});
    if (!c.mRendered) {
        EXPECT_EQ(run.mExitCode, 1) << run.mErr;
        EXPECT_NE(run.mErr.find("in.wav is at " + std::to_string(c.mRate) +
                                " Hz; qir-render decodes sample rates from 8 kHz to 384 kHz"),
                  std::string::npos)
            << run.mErr;
        EXPECT_EQ(std::count(run.mErr.begin(), run.mErr.end(), '\n'), 1) << run.mErr;
        EXPECT_EQ(Leftovers({"in.wav"}), std::vector<std::string>{});
        return;
    }
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_EQ(run.mErr.find("warning"), std::string::npos) << run.mErr;
    EXPECT_NE(run.mErr.find("made for 48000 Hz and is resampled to " + std::to_string(c.mRate) + " Hz"),
              std::string::npos)
        << run.mErr;
    double rate = 0.0;
    const Field output = ReadSoundFile(mDir / "out.wav", &rate);
    ASSERT_EQ(output.size(), 2u);
    EXPECT_EQ(rate, c.mRate);
    EXPECT_EQ(output[0].size(), frames);
}

INSTANTIATE_TEST_SUITE_P(Rates, RenderCommandRates,
                         ::testing::Values(RateCase{"Lowest", 8000, true}, RateCase{"CompactDisc", 44100, true},
                                           RateCase{"Highest", 384000, true}, RateCase{"BelowTheLowest", 7999, false},
                                           RateCase{"AboveTheHighest", 384001, false},
                                           RateCase{"DamagedHeader", 134217727, false}),
                         [](const auto& info) { return std::string(info.param.mName); });

struct TailCase {
    const char* mName;
    double mRate;
    // Sparse taps of every response kept: those before this position.
    int mTapsBefore;
    // The tail rendered after the input: its smallest and largest length.
    std::size_t mShortest;
    std::size_t mLongest;
};

class RenderCommandTail : public RenderCommand, public ::testing::WithParamInterface<TailCase> {};

// --tail renders the set's true length after the input, the decoding of the
// input's last frame to its end, and no more: exact zeros at the end of the
// responses are left out.
TEST_P(RenderCommandTail, IsTheDecoderSetsTrueLength)
{
    const TailCase& c = GetParam();
    SyntheticDecoderSet set(4, 61u);
    for (auto& output : set.mSparse) {
        for (auto& taps : output) {
            std::erase_if(taps, [&](const SyntheticDecoderSet::Tap& tap) { return tap.mPosition >= c.mTapsBefore; });
        }
    }
    set.Write(mDir / "sets" / "1OA-decoder-anechoic.wav");
    const std::size_t frames = 3000;
    const Field field = Noise(4, frames, 67u);
    WriteSoundFile(mDir / "in.wav", field, c.mRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);

    const RunResult run = Run({"--rotation", "off", "--tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field output = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(output.size(), 2u);
    const std::size_t tail = output[0].size() - frames;
    EXPECT_GE(tail, c.mShortest);
    EXPECT_LE(tail, c.mLongest);
    if (c.mRate == kRate) {
        ExpectDecodes(output, Padded(field, frames + tail), set);
    }
}

// The synthetic set's sparse taps of input i lie at 1000 + 37 i + o, 9000 + 11 i
// and 16383; its dense head covers the first 48 samples.
INSTANTIATE_TEST_SUITE_P(
    Sets, RenderCommandTail,
    ::testing::Values(TailCase{"ToTheLastSample", kRate, kIRLength, kIRLength, kIRLength},
                      TailCase{"EndingAtTheSecondTap", kRate, kIRLength - 1, 9034, 9034},
                      TailCase{"HeadOnly", kRate, 0, kHeadTaps, kHeadTaps},
                      // Resampled: twice as long, and the converter's filter
                      // reaching a little beyond.
                      TailCase{"EndingAtTheSecondTapAt96Kilohertz", 96000.0, kIRLength - 1, 2 * 9034 - 1,
                               2 * 9034 + 600}),
    [](const auto& info) { return std::string(info.param.mName); });

struct RotationSwitchCase {
    const char* mName;
    std::vector<std::string> mOptions;
    // Whether the field is turned after the switch (and so not before it).
    bool mTurnedAfter;
};

class RenderCommandRotationSwitch : public RenderCommand, public ::testing::WithParamInterface<RotationSwitchCase> {};

// "Enable Rotation" automated: 0.1 s is frame 4800, inside the processing frame
// that starts at 4736; the rotation fades out (or in) linearly over that frame,
// and from its end the field passes unturned (or turned).
TEST_P(RenderCommandRotationSwitch, FadesOverTheProcessingFrameThatHoldsIt)
{
    const RotationSwitchCase& c = GetParam();
    const std::size_t frameStart = 4736;
    const std::size_t frames = 9000;
    const Field field = Noise(4, frames, 37u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(1);

    const Field turned = Rotated(field, 1, 90.0f, 0.0f);
    const Field& before = c.mTurnedAfter ? field : turned;
    const Field& after = c.mTurnedAfter ? turned : field;
    Field expected = before;
    for (std::size_t ch = 0; ch < 4; ++ch) {
        for (std::size_t t = frameStart; t < frames; ++t) {
            const float g = t < frameStart + 128 ? static_cast<float>(t - frameStart + 1) / 128.0f : 1.0f;
            expected[ch][t] = g * after[ch][t] + (1.0f - g) * before[ch][t];
        }
    }
    std::vector<std::string> args = c.mOptions;
    args.insert(args.end(), {"--yaw", "90", "--no-tail", "in.wav", "out.wav"});
    const RunResult run = Run(args);
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    ExpectDecodes(ReadSoundFile(mDir / "out.wav"), expected, set);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandRotationSwitch,
    ::testing::Values(RotationSwitchCase{"Off", {"--set", "Enable Rotation@0.1=off"}, false},
                      // Off from the start with angles is no usage error when
                      // the rotation is turned on later.
                      RotationSwitchCase{"OnByIndex", {"--rotation", "off", "--set", "4@0.1=1"}, true}),
    [](const auto& info) { return std::string(info.param.mName); });

struct ErrorCase {
    const char* mName;
    std::vector<std::string> mArgs;
    int mExitCode;
    const char* mMessage;
};

class RenderCommandErrors : public RenderCommand, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(RenderCommandErrors, GiveOneClearMessageAndLeaveNoOutput)
{
    const ErrorCase& c = GetParam();
    WriteSoundFile(mDir / "foa.wav", Noise(4, 3000, 3u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    WriteSoundFile(mDir / "five.wav", Noise(5, 3000, 3u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::ofstream(mDir / "text.wav") << "not audio\n";
    fs::create_directories(mDir / "folder.wav");
    (void)Set(1);

    const RunResult run = Run(c.mArgs);
    EXPECT_EQ(run.mExitCode, c.mExitCode) << run.mErr;
    EXPECT_NE(run.mErr.find(c.mMessage), std::string::npos) << run.mErr;
    EXPECT_EQ(std::count(run.mErr.begin(), run.mErr.end(), '\n'), 1) << run.mErr;
    EXPECT_EQ(Leftovers({"foa.wav", "five.wav", "text.wav", "folder.wav"}), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandErrors,
    ::testing::Values(
        ErrorCase{"UnsupportedChannelCount", {"five.wav", "out.wav"}, 1, "4, 9, 16, 25, 36, 49 or 64"},
        ErrorCase{"MissingInput", {"none.wav", "out.wav"}, 1, "cannot read none.wav"},
        ErrorCase{"UnreadableInput", {"text.wav", "out.wav"}, 1, "cannot read text.wav"},
        ErrorCase{"MissingDecoderSet", {"--mode", "room", "foa.wav", "out.wav"}, 1,
                  "qir-make-decoder-sets --output"},
        ErrorCase{"OrderAboveInput", {"--order", "3", "foa.wav", "out.wav"}, 2, "needs 16 input channels"},
        ErrorCase{"OrderOutOfRange", {"--order", "8", "foa.wav", "out.wav"}, 2, "from 1 to 7"},
        ErrorCase{"VolumeOutOfRange", {"--volume", "12.5", "foa.wav", "out.wav"}, 2, "from -70 to 12"},
        ErrorCase{"YawOutOfRange", {"--yaw", "-181", "foa.wav", "out.wav"}, 2, "from -180 to 180"},
        ErrorCase{"PitchOutOfRange", {"--pitch", "91", "foa.wav", "out.wav"}, 2, "from -90 to 90"},
        ErrorCase{"BlockOutOfRange", {"--block", "4097", "foa.wav", "out.wav"}, 2, "from 1 to 4096"},
        ErrorCase{"UnknownMode", {"--mode", "hall", "foa.wav", "out.wav"}, 2, "anechoic|room|uhj"},
        ErrorCase{"NotANumber", {"--yaw", "left", "foa.wav", "out.wav"}, 2, "needs a number"},
        ErrorCase{"SetValueOutOfRange", {"--set", "Yaw@0=200", "foa.wav", "out.wav"}, 2, "out of range for \"Yaw\""},
        ErrorCase{"SetUnknownParameter", {"--set", "Gain@0=1", "foa.wav", "out.wav"}, 2, "no parameter \"Gain\""},
        ErrorCase{"SetAfterTheEnd", {"--no-tail", "--set", "Yaw@1=10", "foa.wav", "out.wav"}, 2, "after the end"},
        ErrorCase{"SetDecoderMode", {"--set", "0@0=1", "foa.wav", "out.wav"}, 2, "cannot be automated"},
        ErrorCase{"NoteOutOfRange", {"--note", "26@0", "foa.wav", "out.wav"}, 2, "from 0 to 25"},
        ErrorCase{"FuMaAboveFirstOrder", {"--demo", "--layout", "fuma", "demo.wav"}, 2, "first-order"},
        ErrorCase{"UnknownOption", {"--loud", "foa.wav", "out.wav"}, 2, "unknown option --loud"},
        ErrorCase{"OutputFolderMissing", {"foa.wav", "missing/out.wav"}, 1, "cannot write missing/out.wav"},
        ErrorCase{"OutputIsAFolder", {"foa.wav", "folder.wav"}, 1, "it is a folder"},
        ErrorCase{"OutputIsTheInput", {"foa.wav", "foa.wav"}, 1, "it is the input file"},
        ErrorCase{"OutputTypeCannotHoldFloat", {"--format", "float", "foa.wav", "out.flac"}, 1, "cannot hold float"},
        ErrorCase{"CompressedOutputTakesNoFormat", {"--format", "pcm16", "foa.wav", "out.ogg"}, 1, "drop --format pcm16"},
        ErrorCase{"TooManyFileNames", {"foa.wav", "a.wav", "b.wav"}, 2, "too many file names"},
        ErrorCase{"SeveralInputsNeedAFolder", {"-o", "out.wav", "foa.wav", "five.wav"}, 2, "several inputs need -o DIR"},
        ErrorCase{"TwoInputsOneOutputName", {"-o", "folder.wav", "foa.wav", "./foa.wav"}, 2, "would both be written"},
        ErrorCase{"StandardInputIntoAFolder", {"-o", "folder.wav", "-"}, 2, "standard input has no name"},
        ErrorCase{"OutputGivenTwice", {"-o", "a.wav", "-o", "b.wav", "foa.wav"}, 2, "-o given twice"}),
    [](const auto& info) { return std::string(info.param.mName); });

TEST_F(RenderCommand, ReadErrorMidRenderLeavesNoOutputAndKeepsAnOldOne)
{
    // A FLAC file cut in half: it opens, then fails to decode part-way.
    const Field field = Noise(4, 96000, 7u);
    WriteSoundFile(mDir / "whole.flac", field, kRate, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    const auto size = fs::file_size(mDir / "whole.flac");
    fs::copy_file(mDir / "whole.flac", mDir / "cut.flac");
    fs::resize_file(mDir / "cut.flac", size / 2);
    std::ofstream(mDir / "out.wav") << "an earlier render";
    (void)Set(1);

    const RunResult run = Run({"cut.flac", "out.wav"});
    EXPECT_EQ(run.mExitCode, 1);
    EXPECT_NE(run.mErr.find("read error in cut.flac"), std::string::npos) << run.mErr;
    EXPECT_EQ(ReadText(mDir / "out.wav"), "an earlier render");
    EXPECT_EQ(Leftovers({"whole.flac", "cut.flac", "out.wav"}), std::vector<std::string>{});
}

TEST_F(RenderCommand, InterruptionRemovesTheTemporaryFileAndKeepsAnOldOutput)
{
    // Block size 1 makes a short file render slowly enough to interrupt.
    WriteSoundFile(mDir / "in.wav", Noise(16, 96000, 9u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::ofstream(mDir / "out.wav") << "an earlier render";
    (void)Set(3);

    const pid_t pid = Spawn(mDir, {"--resources", (mDir / "sets").string(), "--quiet", "--block", "1", "in.wav",
                                   "out.wav"});
    ASSERT_GT(pid, 0);
    // Wait until the temporary file exists and holds samples.
    bool writing = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!writing && std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : fs::directory_iterator(mDir)) {
            if (entry.path().filename().string().find(".qir-render-") != std::string::npos &&
                fs::file_size(entry.path()) > 100000) {
                writing = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(writing);
    ::kill(pid, SIGINT);
    const RunResult run = Finish(mDir, pid);
    EXPECT_EQ(run.mExitCode, 128 + SIGINT);
    EXPECT_NE(run.mErr.find("interrupted"), std::string::npos) << run.mErr;
    EXPECT_EQ(ReadText(mDir / "out.wav"), "an earlier render");
    EXPECT_EQ(Leftovers({"in.wav", "out.wav"}), std::vector<std::string>{});
}

} // namespace
} // namespace qirclitest
