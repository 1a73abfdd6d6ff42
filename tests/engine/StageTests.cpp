// tests/engine: the sound-field stage (test source, rotation, convention
// fix-up), observed through the input buffers that the engine rewrites in place.
#include "tests/engine/EngineHarness.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <numbers>

namespace qirtest {
namespace {

using qir::QIRMatrixDecoderDSP;

// The test source's noise: a 32-bit linear congruential generator, its top 23
// bits taken as the mantissa of a float in [1, 2), mapped to [-1, 1).
std::vector<float> testSourceNoise(std::size_t n)
{
    std::vector<float> out(n);
    std::uint32_t seed = 0;
    for (float& v : out) {
        seed = seed * 1664525u + 1013904223u;
        v = 2.0f * std::bit_cast<float>((seed >> 9) | 0x3F800000u) - 3.0f;
    }
    return out;
}

class Stage : public EngineHarness {
protected:
    void SetUp() override
    {
        EngineHarness::SetUp();
        ASSERT_EQ(engine().OnReset(512, kSampleRate), 0);
    }

    // Runs field through the engine in blocks of block frames; field then holds
    // the stage's output.
    void runInPlace(QIRMatrixDecoderDSP& dsp, Channels& field, int block)
    {
        std::vector<float> out0(static_cast<std::size_t>(block)), out1(static_cast<std::size_t>(block));
        float* outs[2] = {out0.data(), out1.data()};
        for (std::size_t pos = 0; pos < field[0].size(); pos += static_cast<std::size_t>(block)) {
            std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
            for (std::size_t c = 0; c < field.size(); ++c) {
                ins[c] = field[c].data() + pos;
            }
            dsp.ProcessBlock(ins.data(), outs, block, static_cast<int>(field.size()));
        }
    }
    void runInPlace(Channels& field, int block = 512) { runInPlace(engine(), field, block); }

    static Channels silence(int nChans, std::size_t frames)
    {
        return Channels(static_cast<std::size_t>(nChans), std::vector<float>(frames, 0.0f));
    }

    void midi(std::uint8_t status, std::uint8_t note, std::uint8_t velocity)
    {
        engine().ProcessMidiMsg(plugfw::IMidiMsg(0, status, note, velocity));
    }

    // Index of the last non-zero sample of ch, or -1.
    static long lastNonZero(const std::vector<float>& ch)
    {
        for (std::size_t i = ch.size(); i-- > 0;) {
            if (ch[i] != 0.0f) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }
};

struct NoteCase {
    int note;
    float w, y, z, x; // first-order SN3D gains of the note's direction, ACN order
};

class StageNote : public Stage, public ::testing::WithParamInterface<NoteCase> {};

TEST_P(StageNote, NoteOnPlacesTheNoiseAtItsDirectionOneFrameLater)
{
    const NoteCase& c = GetParam();
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    midi(0x90, static_cast<std::uint8_t>(c.note), 100);
    Channels field = silence(4, 2048);
    runInPlace(field);

    const std::vector<float> noise = testSourceNoise(2048);
    const float gains[4] = {c.w, c.y, c.z, c.x};
    for (std::size_t ch = 0; ch < 4; ++ch) {
        for (std::size_t t = 0; t < 2048; ++t) {
            const float expected = t < 128 ? 0.0f : 0.1f * noise[t - 128] * gains[ch];
            ASSERT_NEAR(field[ch][t], expected, 2e-6f) << "channel " << ch << " frame " << t;
        }
    }
}

// First-order SN3D gains of a direction, ACN order (W, Y, Z, X).
NoteCase direction(int note, double azimuthDeg, double elevationDeg)
{
    const double az = azimuthDeg * std::numbers::pi / 180.0;
    const double el = elevationDeg * std::numbers::pi / 180.0;
    return NoteCase{note, 1.0f, static_cast<float>(std::sin(az) * std::cos(el)), static_cast<float>(std::sin(el)),
                    static_cast<float>(std::cos(az) * std::cos(el))};
}

INSTANTIATE_TEST_SUITE_P(Directions, StageNote,
                         ::testing::Values(direction(0, 0.0, 0.0), direction(2, 90.0, 0.0),
                                           direction(3, 270.0, 0.0), direction(4, 0.0, 90.0),
                                           direction(5, 0.0, -90.0), direction(14, 45.0, 0.0),
                                           direction(25, 225.0, -35.3)),
                         [](const auto& info) { return "Note" + std::to_string(info.param.note); });

struct ReleaseCase {
    const char* name;
    std::uint8_t status, note, velocity;
};

class StageRelease : public Stage, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(StageRelease, ReleaseFallsSilentAfterAbout26460Samples)
{
    const ReleaseCase& c = GetParam();
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    midi(0x90, 0, 100);
    Channels held = silence(4, 4096);
    runInPlace(held);
    midi(c.status, c.note, c.velocity);
    Channels tail = silence(4, 40960);
    runInPlace(tail);

    // 60 dB in 300 ms at 44100 Hz from full level to the envelope's 1e-6 floor;
    // the encoder adds one frame, and the stage stops at a sub-block boundary.
    const long last = lastNonZero(tail[0]);
    EXPECT_NEAR(static_cast<double>(last), 26460.0 + 128.0, 256.0);
    // Still sounding half way, at about -60 dB.
    EXPECT_GT(std::fabs(tail[0][13230]) + std::fabs(tail[0][13231]) + std::fabs(tail[0][13232]), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(Messages, StageRelease,
                         ::testing::Values(ReleaseCase{"NoteOff", 0x80, 0, 64},
                                           ReleaseCase{"NoteOnVelocityZero", 0x90, 0, 0},
                                           ReleaseCase{"NoteOffOfAnotherNoteOnAnotherChannel", 0x83, 17, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Stage, NotesAbove25SilenceTheSourceAtOnce)
{
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    for (const int note : {26, 30, 127}) {
        midi(0x90, 25, 100);
        Channels sounding = silence(4, 1024);
        runInPlace(sounding);
        EXPECT_GE(lastNonZero(sounding[0]), 1000) << note;

        midi(0x90, static_cast<std::uint8_t>(note), 100);
        Channels after = silence(4, 1024);
        runInPlace(after);
        EXPECT_EQ(lastNonZero(after[0]), -1) << note;
    }
}

TEST_F(Stage, OtherMessagesLeaveTheSourceAlone)
{
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    midi(0xB0, 64, 127);  // control change
    midi(0xF0, 0, 0);     // system message
    midi(0x10, 0x90, 5);  // a data byte where the status belongs
    Channels quiet = silence(4, 1024);
    runInPlace(quiet);
    EXPECT_EQ(lastNonZero(quiet[0]), -1);

    midi(0x90, 0, 100);
    midi(0xE0, 0, 64);    // pitch wheel
    midi(0xA0, 0, 0);     // aftertouch
    Channels sounding = silence(4, 1024);
    runInPlace(sounding);
    EXPECT_GE(lastNonZero(sounding[0]), 1000);
}

struct FixUpCase {
    const char* name;
    int layout;        // "Channel Layout" list position
    int normalization; // "Normalization Type" list position
    int order;
    std::vector<double> scale; // expected output channel c = input channel from[c] x scale[c]
    std::vector<int> from;
};

class StageFixUp : public Stage, public ::testing::WithParamInterface<FixUpCase> {};

TEST_P(StageFixUp, BringsTheInputToAcnSn3d)
{
    const FixUpCase& c = GetParam();
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, c.order - 1);
    setParam(QIRMatrixDecoderDSP::kChannelLayout, c.layout);
    setParam(QIRMatrixDecoderDSP::kNormalizationType, c.normalization);

    const int nChans = static_cast<int>(c.scale.size());
    Channels field = noise(nChans, 1024, 17);
    const Channels input = field;
    runInPlace(field);
    for (std::size_t ch = 0; ch < c.scale.size(); ++ch) {
        for (std::size_t t = 0; t < 1024; ++t) {
            const double expected = input[static_cast<std::size_t>(c.from[ch])][t] * c.scale[ch];
            ASSERT_NEAR(field[ch][t], expected, 1e-6) << "channel " << ch << " frame " << t;
        }
    }
}

const double kR2 = std::sqrt(2.0);
const double kR3 = 1.0 / std::sqrt(3.0);
const double kR5 = 1.0 / std::sqrt(5.0);
const double kR7 = 1.0 / std::sqrt(7.0);
INSTANTIATE_TEST_SUITE_P(
    Conventions, StageFixUp,
    ::testing::Values(
        FixUpCase{"AcnSn3dUnchanged", 0, 1, 1, {1, 1, 1, 1}, {0, 1, 2, 3}},
        // W X Y Z becomes W Y Z X.
        FixUpCase{"FumaOrder", 1, 1, 1, {1, 1, 1, 1}, {0, 2, 3, 1}},
        // FuMa normalisation differs from SN3D only in W (1/sqrt(2)).
        FixUpCase{"FumaNormalisation", 0, 2, 1, {kR2, 1, 1, 1}, {0, 1, 2, 3}},
        FixUpCase{"FumaOrderAndNormalisation", 1, 2, 1, {kR2, 1, 1, 1}, {0, 2, 3, 1}},
        FixUpCase{"N3dOrder1", 0, 0, 1, {1, kR3, kR3, kR3}, {0, 1, 2, 3}},
        FixUpCase{"N3dOrder3", 0, 0, 3,
                  {1, kR3, kR3, kR3, kR5, kR5, kR5, kR5, kR5, kR7, kR7, kR7, kR7, kR7, kR7, kR7},
                  {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Stage, RotatedFumaInputComesOutAsTheRotatedAcnSn3dField)
{
    // The same first-order field, once as ACN/SN3D and once as FuMa/FuMa
    // (W / sqrt(2), then X Y Z), through two engines rotating by the same yaw.
    EngineTestDelegate fumaDelegate;
    QIRMatrixDecoderDSP fuma(&fumaDelegate);
    ASSERT_EQ(fuma.OnReset(512, kSampleRate), 0);
    fumaDelegate.Set(fuma, QIRMatrixDecoderDSP::kChannelLayout, 1);
    fumaDelegate.Set(fuma, QIRMatrixDecoderDSP::kNormalizationType, 2);
    fumaDelegate.Set(fuma, QIRMatrixDecoderDSP::kYaw, 50.0);
    setParam(QIRMatrixDecoderDSP::kYaw, 50.0);

    Channels acn = noise(4, 2048, 18);
    Channels fumaField = {std::vector<float>(2048), acn[3], acn[1], acn[2]};
    for (std::size_t t = 0; t < 2048; ++t) {
        fumaField[0][t] = acn[0][t] * static_cast<float>(1.0 / std::sqrt(2.0));
    }
    runInPlace(acn);
    runInPlace(fuma, fumaField, 512);
    for (std::size_t ch = 0; ch < 4; ++ch) {
        for (std::size_t t = 0; t < 2048; ++t) {
            ASSERT_NEAR(fumaField[ch][t], acn[ch][t], 2e-6) << "channel " << ch << " frame " << t;
        }
    }
    // The field did turn.
    double moved = 0.0;
    const Channels original = noise(4, 2048, 18);
    for (std::size_t t = 256; t < 2048; ++t) {
        moved += std::fabs(acn[1][t] - original[1][t - 128]);
    }
    EXPECT_GT(moved, 10.0);
}

TEST_F(Stage, FumaInputTurnsAsFumaAgainAfterAnOrderThreeSet)
{
    // At order 3 the rotator cannot take FuMa; back at order 1 it must again.
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), makeSparseSet(16, 19));
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), makeSparseSet(4, 20));
    EngineTestDelegate fumaDelegate;
    QIRMatrixDecoderDSP fuma(&fumaDelegate);
    ASSERT_EQ(fuma.OnReset(512, kSampleRate), 0);
    fumaDelegate.Set(fuma, QIRMatrixDecoderDSP::kChannelLayout, 1);
    fumaDelegate.Set(fuma, QIRMatrixDecoderDSP::kNormalizationType, 2);
    fumaDelegate.Set(fuma, QIRMatrixDecoderDSP::kYaw, -70.0);
    ::testing::internal::CaptureStdout();
    for (const int orderPosition : {2, 0}) {
        fumaDelegate.Set(fuma, QIRMatrixDecoderDSP::kDecodeOrder, orderPosition);
        fuma.OnIdle();
        fuma.WaitForLoads();
        Channels quiet = silence(4, 512);
        runInPlace(fuma, quiet, 512);
    }
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(fuma.GetActiveInputCount(), 4);

    setParam(QIRMatrixDecoderDSP::kYaw, -70.0);
    Channels acn = noise(4, 2048, 21);
    Channels fumaField = {std::vector<float>(2048), acn[3], acn[1], acn[2]};
    for (std::size_t t = 0; t < 2048; ++t) {
        fumaField[0][t] = acn[0][t] * static_cast<float>(1.0 / std::sqrt(2.0));
    }
    runInPlace(acn);
    runInPlace(fuma, fumaField, 512);
    for (std::size_t ch = 0; ch < 4; ++ch) {
        for (std::size_t t = 0; t < 2048; ++t) {
            ASSERT_NEAR(fumaField[ch][t], acn[ch][t], 2e-6) << "channel " << ch << " frame " << t;
        }
    }
}

} // namespace
} // namespace qirtest
