// tests/engine: the sound-field stage (test source, rotation, convention
// fix-up), observed through decoder sets that pass two of its channels to the
// outputs unchanged.
#include "tests/engine/EngineHarness.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <numbers>
#include <utility>

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

// A decoder set of numInputs inputs that passes input a to output 0 and input b
// to output 1 unchanged (a unit impulse at tap 0), and nothing else.
DecoderSetIRs probeSet(int numInputs, int a, int b)
{
    DecoderSetIRs set;
    for (int o = 0; o < 2; ++o) {
        for (int i = 0; i < numInputs; ++i) {
            std::vector<float> ir(QIRMatrixDecoderDSP::kImpulseResponseLength, 0.0f);
            ir[0] = i == (o == 0 ? a : b) ? 1.0f : 0.0f;
            set.ir[o].push_back(std::move(ir));
        }
    }
    return set;
}

using Step = std::function<void(EngineTestDelegate&, QIRMatrixDecoderDSP&)>;

// What a run of the stage does: settings before the reset, and steps taken at
// frames of the field (between calls, as a host's events are).
struct StageScript {
    Step configure = [](EngineTestDelegate&, QIRMatrixDecoderDSP&) {};
    std::vector<std::pair<std::size_t, Step>> at;
};

class Stage : public EngineHarness {
protected:
    static constexpr int kLatency = QIRMatrixDecoderDSP::kLatency;

    // The stage's output for channels 0 to nChans - 1 of field (which has at
    // least nChans channels), decoded by a set of setInputs inputs. Each pair of
    // channels comes from an engine of its own that replays the script: the set
    // is loaded and has faded in before the field starts, the field is cut into
    // calls of block frames and at every step of the script.
    Channels stageOutput(const Channels& field, int nChans, int setInputs, const StageScript& script, int block = 512)
    {
        const std::size_t frames = field[0].size();
        Channels result(static_cast<std::size_t>(nChans));
        for (int pair = 0; 2 * pair < nChans; ++pair) {
            EngineTestDelegate delegate;
            QIRMatrixDecoderDSP dsp(&delegate);
            script.configure(delegate, dsp);
            dsp.OnReset(512, kSampleRate);
            const int a = 2 * pair;
            const int b = std::min(2 * pair + 1, nChans - 1);
            const std::string file = QIRMatrixDecoderDSP::DecoderSetFileName(
                delegate.GetParam(QIRMatrixDecoderDSP::kDecoderMode)->Value(),
                delegate.GetParam(QIRMatrixDecoderDSP::kDecodeOrder)->Value());
            writeDecoderSet(mDir.file(file), probeSet(setInputs, a, b));
            ::testing::internal::CaptureStdout();
            dsp.OnIdle();
            dsp.WaitForLoads();
            ::testing::internal::GetCapturedStdout();

            const auto nIn = static_cast<int>(field.size());
            std::vector<std::vector<float>> buffers(field.size());
            std::vector<float> out0(static_cast<std::size_t>(block)), out1(static_cast<std::size_t>(block));
            std::vector<float> collected[2];
            auto process = [&](std::size_t pos, int n) {
                std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
                for (std::size_t c = 0; c < field.size(); ++c) {
                    buffers[c].assign(static_cast<std::size_t>(n), 0.0f);
                    for (int i = 0; i < n && pos + static_cast<std::size_t>(i) < frames; ++i) {
                        buffers[c][static_cast<std::size_t>(i)] = field[c][pos + static_cast<std::size_t>(i)];
                    }
                    ins[c] = buffers[c].data();
                }
                float* outs[2] = {out0.data(), out1.data()};
                dsp.ProcessBlock(ins.data(), outs, n, nIn);
                collected[0].insert(collected[0].end(), out0.begin(), out0.begin() + n);
                collected[1].insert(collected[1].end(), out1.begin(), out1.begin() + n);
            };
            // The set is adopted and fades in on silence.
            for (int f = 0; f < QIRMatrixDecoderDSP::kCrossfadeFrames; f += 128) {
                process(frames, 128);
            }
            EXPECT_FALSE(dsp.IsCrossfading());
            collected[0].clear();
            collected[1].clear();
            // The field, then one latency's worth of frames to bring its end out.
            std::size_t next = 0;
            for (std::size_t pos = 0; pos < frames + kLatency;) {
                while (next < script.at.size() && script.at[next].first == pos) {
                    script.at[next++].second(delegate, dsp);
                }
                std::size_t end = std::min(pos + static_cast<std::size_t>(block), frames + kLatency);
                if (next < script.at.size()) {
                    end = std::min(end, script.at[next].first);
                }
                process(pos, static_cast<int>(end - pos));
                pos = end;
            }
            result[static_cast<std::size_t>(a)].assign(collected[0].begin() + kLatency, collected[0].end());
            result[static_cast<std::size_t>(b)].assign(collected[1].begin() + kLatency, collected[1].end());
        }
        return result;
    }

    static Channels silence(int nChans, std::size_t frames)
    {
        return Channels(static_cast<std::size_t>(nChans), std::vector<float>(frames, 0.0f));
    }

    static Step midi(std::uint8_t status, std::uint8_t note, std::uint8_t velocity)
    {
        return [=](EngineTestDelegate&, QIRMatrixDecoderDSP& dsp) {
            dsp.ProcessMidiMsg(plugfw::IMidiMsg(0, status, note, velocity));
        };
    }

    static Step set(int index, double plain)
    {
        return [=](EngineTestDelegate& delegate, QIRMatrixDecoderDSP& dsp) { delegate.Set(dsp, index, plain); };
    }

    static Step both(Step first, Step second)
    {
        return [=](EngineTestDelegate& delegate, QIRMatrixDecoderDSP& dsp) {
            first(delegate, dsp);
            second(delegate, dsp);
        };
    }

    // The same first-order field, once as ACN/SN3D and once as FuMa/FuMa
    // (W / sqrt(2), then X Y Z).
    static std::pair<Channels, Channels> acnAndFuma(std::uint32_t seed)
    {
        const Channels acn = noise(4, 2048, seed);
        Channels fuma = {std::vector<float>(2048), acn[3], acn[1], acn[2]};
        for (std::size_t t = 0; t < 2048; ++t) {
            fuma[0][t] = acn[0][t] * static_cast<float>(1.0 / std::sqrt(2.0));
        }
        return {acn, fuma};
    }

    // Index of the last sample of ch whose magnitude exceeds floor, or -1. The
    // floor keeps the probe set's rounding (relative 1e-7 of the signal within
    // a hop of the convolver) from counting as sound.
    static long lastAbove(const std::vector<float>& ch, float floor)
    {
        for (std::size_t i = ch.size(); i-- > 0;) {
            if (std::fabs(ch[i]) > floor) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }
};

const Step kRotationOff = [](EngineTestDelegate& delegate, QIRMatrixDecoderDSP& dsp) {
    delegate.Set(dsp, QIRMatrixDecoderDSP::kEnableRotation, 0.0);
};

struct NoteCase {
    int note;
    float w, y, z, x; // first-order SN3D gains of the note's direction, ACN order
};

class StageNote : public Stage, public ::testing::WithParamInterface<NoteCase> {};

TEST_P(StageNote, NoteOnPlacesTheNoiseAtItsDirectionFromItsOwnFrame)
{
    // The note comes at a frame inside a processing frame: the noise starts
    // there, at its direction's gains at once (the first note after a reset).
    const NoteCase& c = GetParam();
    constexpr std::size_t kNoteFrame = 300;
    StageScript script;
    script.configure = kRotationOff;
    script.at = {{kNoteFrame, midi(0x90, static_cast<std::uint8_t>(c.note), 100)}};
    const Channels field = stageOutput(silence(4, 2048), 4, 4, script);

    const std::vector<float> noise = testSourceNoise(2048);
    const float gains[4] = {c.w, c.y, c.z, c.x};
    for (std::size_t ch = 0; ch < 4; ++ch) {
        for (std::size_t t = 0; t < 2048; ++t) {
            const float expected = t < kNoteFrame ? 0.0f : 0.1f * noise[t - kNoteFrame] * gains[ch];
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

TEST_F(Stage, ANewNoteMovesTheSourceOverTheFrameThatHoldsIt)
{
    // Note 2 (left), then note 3 (right) at frame 700 of the frame [640, 768):
    // the noise runs on from the note's own frame, its gains cross linearly from
    // left to right over that frame.
    StageScript script;
    script.configure = kRotationOff;
    script.at = {{0, midi(0x90, 2, 100)}, {700, midi(0x90, 3, 100)}};
    const Channels field = stageOutput(silence(4, 1024), 4, 4, script);
    const std::vector<float> noise = testSourceNoise(1024);
    for (std::size_t t = 0; t < 1024; ++t) {
        const float y = t < 640 ? 1.0f : t >= 768 ? -1.0f : 1.0f - 2.0f * static_cast<float>(t - 640 + 1) / 128.0f;
        ASSERT_NEAR(field[0][t], 0.1f * noise[t], 2e-6f) << t;
        ASSERT_NEAR(field[1][t], 0.1f * noise[t] * y, 2e-6f) << t;
    }
}

struct ReleaseCase {
    const char* name;
    std::uint8_t status, note, velocity;
};

class StageRelease : public Stage, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(StageRelease, ReleaseFallsSilentAfterAbout26460Samples)
{
    const ReleaseCase& c = GetParam();
    constexpr std::size_t kOff = 4001;
    StageScript script;
    script.configure = kRotationOff;
    script.at = {{0, midi(0x90, 0, 100)}, {kOff, midi(c.status, c.note, c.velocity)}};
    const Channels field = stageOutput(silence(4, 40960), 2, 4, script, 4096);

    // 60 dB in 300 ms at 44100 Hz from full level to the envelope's 1e-6 floor
    // (the noise at about 1e-8 then), and silence from that very sample.
    EXPECT_NEAR(static_cast<double>(lastAbove(field[0], 1e-12f)), static_cast<double>(kOff) + 26460.0, 8.0);
    // Still sounding half way, at about -60 dB.
    EXPECT_GT(std::fabs(field[0][kOff + 13230]) + std::fabs(field[0][kOff + 13231]), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(Messages, StageRelease,
                         ::testing::Values(ReleaseCase{"NoteOff", 0x80, 0, 64},
                                           ReleaseCase{"NoteOnVelocityZero", 0x90, 0, 0},
                                           ReleaseCase{"NoteOffOfAnotherNoteOnAnotherChannel", 0x83, 17, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Stage, NotesAbove25SilenceTheSourceAtTheirFrame)
{
    for (const int note : {26, 30, 127}) {
        SCOPED_TRACE(note);
        StageScript script;
        script.configure = kRotationOff;
        script.at = {{0, midi(0x90, 25, 100)}, {777, midi(0x90, static_cast<std::uint8_t>(note), 100)}};
        const Channels field = stageOutput(silence(4, 2048), 2, 4, script);
        EXPECT_EQ(lastAbove(field[0], 1e-6f), 776);
    }
}

TEST_F(Stage, OtherMessagesLeaveTheSourceAlone)
{
    StageScript quietScript;
    quietScript.configure = kRotationOff;
    quietScript.at = {{0, both(midi(0xB0, 64, 127), both(midi(0xF0, 0, 0), midi(0x10, 0x90, 5)))}};
    EXPECT_EQ(lastAbove(stageOutput(silence(4, 1024), 2, 4, quietScript)[0], 0.0f), -1);

    StageScript soundingScript;
    soundingScript.configure = kRotationOff;
    soundingScript.at = {{0, midi(0x90, 0, 100)}, {300, both(midi(0xE0, 0, 64), midi(0xA0, 0, 0))}};
    EXPECT_EQ(lastAbove(stageOutput(silence(4, 1024), 2, 4, soundingScript)[0], 1e-6f), 1023);
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
    StageScript script;
    script.configure = [&c](EngineTestDelegate& delegate, QIRMatrixDecoderDSP& dsp) {
        delegate.Set(dsp, QIRMatrixDecoderDSP::kEnableRotation, 0.0);
        delegate.Set(dsp, QIRMatrixDecoderDSP::kDecodeOrder, c.order - 1);
        delegate.Set(dsp, QIRMatrixDecoderDSP::kChannelLayout, c.layout);
        delegate.Set(dsp, QIRMatrixDecoderDSP::kNormalizationType, c.normalization);
    };
    const int nChans = static_cast<int>(c.scale.size());
    const Channels input = noise(nChans, 1024, 17);
    const Channels field = stageOutput(input, nChans, nChans, script, 300);
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

Step fumaConventions()
{
    return [](EngineTestDelegate& delegate, QIRMatrixDecoderDSP& dsp) {
        delegate.Set(dsp, QIRMatrixDecoderDSP::kChannelLayout, 1);
        delegate.Set(dsp, QIRMatrixDecoderDSP::kNormalizationType, 2);
    };
}

TEST_F(Stage, RotatedFumaInputComesOutAsTheRotatedAcnSn3dField)
{
    const auto [acnIn, fumaIn] = acnAndFuma(18);
    StageScript acnScript;
    acnScript.configure = set(QIRMatrixDecoderDSP::kYaw, 50.0);
    StageScript fumaScript;
    fumaScript.configure = both(fumaConventions(), set(QIRMatrixDecoderDSP::kYaw, 50.0));
    const Channels acn = stageOutput(acnIn, 4, 4, acnScript);
    const Channels fuma = stageOutput(fumaIn, 4, 4, fumaScript);
    for (std::size_t ch = 0; ch < 4; ++ch) {
        for (std::size_t t = 0; t < 2048; ++t) {
            ASSERT_NEAR(fuma[ch][t], acn[ch][t], 2e-6) << "channel " << ch << " frame " << t;
        }
    }
    // The field did turn, from its first frame.
    double moved = 0.0;
    for (std::size_t t = 0; t < 128; ++t) {
        moved += std::fabs(acn[1][t] - acnIn[1][t]);
    }
    EXPECT_GT(moved, 10.0);
}

TEST_F(Stage, FumaInputTurnsAsFumaAgainAfterAnOrderThreeSet)
{
    // At order 3 the rotator cannot take FuMa; back at order 1 it must again.
    const auto [acnIn, fumaIn] = acnAndFuma(21);
    StageScript acnScript;
    acnScript.configure = set(QIRMatrixDecoderDSP::kYaw, -70.0);
    const Channels acn = stageOutput(acnIn, 4, 4, acnScript);

    EngineTestDelegate delegate;
    QIRMatrixDecoderDSP fuma(&delegate);
    fumaConventions()(delegate, fuma);
    delegate.Set(fuma, QIRMatrixDecoderDSP::kYaw, -70.0);
    fuma.OnReset(512, kSampleRate);
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), makeSparseSet(16, 19));
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), probeSet(4, 0, 1));
    ::testing::internal::CaptureStdout();
    std::vector<float> silent(512, 0.0f);
    std::vector<float> out0(512), out1(512);
    std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
    for (int c = 0; c < 4; ++c) {
        ins[static_cast<std::size_t>(c)] = silent.data();
    }
    float* outs[2] = {out0.data(), out1.data()};
    for (const int orderPosition : {2, 0}) {
        delegate.Set(fuma, QIRMatrixDecoderDSP::kDecodeOrder, orderPosition);
        fuma.OnIdle();
        fuma.WaitForLoads();
        for (int b = 0; b < 4; ++b) { // adopt, fade, hand back
            fuma.ProcessBlock(ins.data(), outs, 512, 4);
        }
        fuma.OnIdle();
    }
    ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(fuma.GetActiveInputCount(), 4);
    ASSERT_FALSE(fuma.IsCrossfading());

    // Channels 0 and 1 of the stage's output, through the first-order probe set.
    std::vector<float> turned[2];
    for (std::size_t pos = 0; pos < 2048 + 512; pos += 512) {
        std::vector<std::vector<float>> block(4, std::vector<float>(512, 0.0f));
        for (std::size_t c = 0; c < 4; ++c) {
            for (std::size_t i = 0; i < 512 && pos + i < 2048; ++i) {
                block[c][i] = fumaIn[c][pos + i];
            }
            ins[c] = block[c].data();
        }
        fuma.ProcessBlock(ins.data(), outs, 512, 4);
        turned[0].insert(turned[0].end(), out0.begin(), out0.end());
        turned[1].insert(turned[1].end(), out1.begin(), out1.end());
    }
    for (std::size_t ch = 0; ch < 2; ++ch) {
        for (std::size_t t = 0; t < 2048; ++t) {
            ASSERT_NEAR(turned[ch][t + kLatency], acn[ch][t], 2e-6) << "channel " << ch << " frame " << t;
        }
    }
}

TEST_F(Stage, RotationSwitchesFadeOverOneFrameAndOffPassesTheFieldUntouched)
{
    // Rotation goes off at frame 1000 and on again at frame 1500: each switch
    // crossfades over the frame that holds it; between them the field passes
    // unturned.
    const Channels input = noise(4, 2048, 23);
    StageScript script;
    script.configure = set(QIRMatrixDecoderDSP::kYaw, 90.0);
    script.at = {{1000, set(QIRMatrixDecoderDSP::kEnableRotation, 0.0)},
                 {1500, set(QIRMatrixDecoderDSP::kEnableRotation, 1.0)}};
    const Channels field = stageOutput(input, 4, 4, script, 256);
    // A yaw of 90 degrees takes the front to the right: Y' = -X (ACN: W Y Z X).
    auto turnedY = [&](std::size_t t) { return -input[3][t]; };
    for (std::size_t t = 0; t < 2048; ++t) {
        float on = 1.0f; // weight of the turned field
        if (t >= 896 && t < 1024) {
            on = 1.0f - static_cast<float>(t - 896 + 1) / 128.0f;
        } else if (t >= 1024 && t < 1408) {
            on = 0.0f;
        } else if (t >= 1408 && t < 1536) {
            on = static_cast<float>(t - 1408 + 1) / 128.0f;
        }
        const float expected = on * turnedY(t) + (1.0f - on) * input[1][t];
        ASSERT_NEAR(field[1][t], expected, 1e-5) << "frame " << t;
    }
}

} // namespace
} // namespace qirtest
