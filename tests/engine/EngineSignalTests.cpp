// tests/engine: the engine's output against a direct double-precision decoding
// of the same input with the same decoder set, one frame of latency later.
#include "tests/engine/EngineHarness.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qirtest {
namespace {

using qir::QIRMatrixDecoderDSP;

constexpr std::size_t kFrames = 160 * 128; // longer than one response, and whole sub-blocks

// Real spherical harmonics in ACN order with SN3D normalisation, without the
// Condon-Shortley phase: the decoder sets' convention, computed independently
// of the encoder.
std::vector<double> sn3d(int order, double azimuthDeg, double elevationDeg)
{
    const double az = azimuthDeg * std::numbers::pi / 180.0;
    const double x = std::sin(elevationDeg * std::numbers::pi / 180.0);
    std::vector<double> y(static_cast<std::size_t>((order + 1) * (order + 1)));
    for (int n = 0; n <= order; ++n) {
        for (int m = 0; m <= n; ++m) {
            const double ratio = std::tgamma(n - m + 1) / std::tgamma(n + m + 1);
            const double norm = std::sqrt((m == 0 ? 1.0 : 2.0) * ratio);
            const double p = norm * std::assoc_legendre(static_cast<unsigned>(n), static_cast<unsigned>(m), x);
            y[static_cast<std::size_t>(n * n + n + m)] = p * std::cos(m * az);
            if (m > 0) {
                y[static_cast<std::size_t>(n * n + n - m)] = p * std::sin(m * az);
            }
        }
    }
    return y;
}

struct Source {
    double azimuth;
    double elevation;
};

// A field of several noise sources at the given directions.
Channels encodeField(int order, const std::vector<Source>& sources, std::size_t frames, std::uint32_t seed)
{
    const int nChans = (order + 1) * (order + 1);
    Channels field(static_cast<std::size_t>(nChans), std::vector<float>(frames, 0.0f));
    for (std::size_t k = 0; k < sources.size(); ++k) {
        const std::vector<float> s = whiteNoise(frames, seed + static_cast<std::uint32_t>(k) * 31u);
        const std::vector<double> g = sn3d(order, sources[k].azimuth, sources[k].elevation);
        for (int c = 0; c < nChans; ++c) {
            for (std::size_t t = 0; t < frames; ++t) {
                field[static_cast<std::size_t>(c)][t] += static_cast<float>(0.5 * g[static_cast<std::size_t>(c)] * s[t]);
            }
        }
    }
    return field;
}

// A set whose responses end within their first 64 taps.
DecoderSetIRs shortSet(int numInputs, std::uint32_t seed)
{
    DecoderSetIRs set;
    for (int o = 0; o < 2; ++o) {
        for (int i = 0; i < numInputs; ++i) {
            std::vector<float> ir = whiteNoise(64, seed + static_cast<std::uint32_t>(2 * i + o));
            ir.resize(QIRMatrixDecoderDSP::kImpulseResponseLength, 0.0f);
            set.ir[o].push_back(std::move(ir));
        }
    }
    return set;
}

class EngineSignal : public EngineHarness {
protected:
    static constexpr int kLatency = QIRMatrixDecoderDSP::kLatency;

    // Writes set as the default parameters' decoder set, resets the engine,
    // loads it and lets it fade in.
    void loadDefaultSet(const DecoderSetIRs& set, int resetBlock)
    {
        writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), set);
        ASSERT_EQ(engine().OnReset(resetBlock, kSampleRate), kLatency);
        idleAndWait();
        ASSERT_TRUE(engine().HasPendingDecoderSet());
        settle(set.numInputs());
    }

    void expectDecoding(const Channels& out, const Channels& input, const DecoderSetIRs& set, int delay,
                        double tolerance = 1e-5)
    {
        for (int o = 0; o < 2; ++o) {
            EXPECT_LT(relativeError(out[static_cast<std::size_t>(o)], reference(input, set, o, delay)), tolerance)
                << "output " << o;
        }
    }
};

// Call patterns: sizes from a list (repeated), or random in [lo, hi].
struct CallCase {
    const char* name;
    int numIns;
    int resetBlock;
    std::vector<int> pattern; // empty: random sizes
    int lo, hi;
};

class EngineCalls : public EngineSignal, public ::testing::WithParamInterface<CallCase> {};

TEST_P(EngineCalls, MatchDirectDecodingOneFrameLate)
{
    const CallCase& c = GetParam();
    const DecoderSetIRs set = makeSparseSet(c.numIns, 11u + static_cast<std::uint32_t>(c.numIns));
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    loadDefaultSet(set, c.resetBlock);

    const Channels input = noise(c.numIns, kFrames, 5);
    RandomSizes sizes(3, static_cast<std::size_t>(c.lo), static_cast<std::size_t>(c.hi));
    std::size_t next = 0;
    const Channels out = render(input, [&] {
        return c.pattern.empty() ? static_cast<int>(sizes.next()) : c.pattern[next++ % c.pattern.size()];
    });
    EXPECT_EQ(engine().GetActiveInputCount(), c.numIns);
    expectDecoding(out, input, set, kLatency);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, EngineCalls,
    ::testing::Values(CallCase{"WholeFrames", 4, 512, {}, 0, 512},
                      CallCase{"LongerThanTheReset", 16, 256, {1024, 384, 2000, 128}, 0, 0},
                      CallCase{"SmallHostBlock", 9, 64, {64, 1, 63, 0, 128}, 0, 0},
                      CallCase{"AnySize", 9, 1024, {}, 1, 700},
                      CallCase{"OddSlicesAmongWholeFrames", 4, 512, {512, 512, 100, 412, 512, 37, 256, 475, 128}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineSignal, InputAndOutputMayShareMemory)
{
    // An in-place host: outputs 0 and 1 are input channels 0 and 1.
    const DecoderSetIRs set = makeSparseSet(4, 33);
    setParam(QIRMatrixDecoderDSP::kYaw, 30.0);
    loadDefaultSet(set, 512);
    const Channels input = noise(4, 8192, 34);
    const Channels separate = render(input, [] { return 300; });

    engine().OnReset(512, kSampleRate);
    settle(4);
    Channels shared = input;
    for (std::size_t pos = 0; pos < 8192; pos += 300) {
        const int n = static_cast<int>(std::min<std::size_t>(300, 8192 - pos));
        std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
        for (std::size_t ch = 0; ch < 4; ++ch) {
            ins[ch] = shared[ch].data() + pos;
        }
        float* outs[2] = {ins[0], ins[1]};
        engine().ProcessBlock(ins.data(), outs, n, 4);
    }
    for (std::size_t o = 0; o < 2; ++o) {
        for (std::size_t t = 0; t < 8192; ++t) {
            ASSERT_NEAR(shared[o][t], separate[o][t], 1e-6) << "output " << o << " frame " << t;
        }
    }
}

TEST_F(EngineSignal, ResetStartsAFreshStreamWithTheSameLatency)
{
    const DecoderSetIRs set = makeSparseSet(4, 35);
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    loadDefaultSet(set, 512);
    render(noise(4, 5000, 36), [] { return 100; });

    // Nothing of the stream before the reset comes out after it: not the frames
    // still queued, not the responses' tails.
    ASSERT_EQ(engine().OnReset(256, kSampleRate), kLatency);
    const Channels input = noise(4, kFrames, 37);
    const Channels out = render(input, [] { return 77; });
    expectDecoding(out, input, set, kLatency);
}

struct RotationCase {
    const char* name;
    int order;
    double yaw, pitch, roll; // plain parameter values
    bool anySize;            // calls of any size rather than 512
};

// The direction a source at (azimuth, elevation) moves to when the field turns
// by yaw, pitch and roll (degrees, yaw-pitch-roll order): the unit vector times
// X(roll) Y(pitch) Z(yaw), with the elementary matrices of the rotator's
// convention, so that a yaw of 90 degrees takes the front to azimuth -90.
Source turn(const Source& s, double yawDeg, double pitchDeg, double rollDeg)
{
    const double d = std::numbers::pi / 180.0;
    const double v[3] = {std::cos(s.azimuth * d) * std::cos(s.elevation * d),
                         std::sin(s.azimuth * d) * std::cos(s.elevation * d), std::sin(s.elevation * d)};
    const double cy = std::cos(yawDeg * d), sy = std::sin(yawDeg * d);
    const double cp = std::cos(pitchDeg * d), sp = std::sin(pitchDeg * d);
    const double cr = std::cos(rollDeg * d), sr = std::sin(rollDeg * d);
    const double z[3][3] = {{cy, sy, 0}, {-sy, cy, 0}, {0, 0, 1}};
    const double y[3][3] = {{cp, 0, -sp}, {0, 1, 0}, {sp, 0, cp}};
    const double x[3][3] = {{1, 0, 0}, {0, cr, sr}, {0, -sr, cr}};
    auto apply = [](const double m[3][3], const double in[3], double out[3]) {
        for (int i = 0; i < 3; ++i) {
            out[i] = m[i][0] * in[0] + m[i][1] * in[1] + m[i][2] * in[2];
        }
    };
    double a[3], b[3], r[3];
    apply(z, v, a);
    apply(y, a, b);
    apply(x, b, r);
    return Source{std::atan2(r[1], r[0]) / d, std::asin(std::clamp(r[2], -1.0, 1.0)) / d};
}

class EngineRotation : public EngineSignal, public ::testing::WithParamInterface<RotationCase> {};

TEST_P(EngineRotation, MatchesDecodingOfTheRotatedFieldOneFrameLate)
{
    const RotationCase& c = GetParam();
    const int nChans = (c.order + 1) * (c.order + 1);
    const DecoderSetIRs set = makeSparseSet(nChans, 41u + static_cast<std::uint32_t>(c.order));
    // The angle is set, and the host renders (silence), before the set arrives:
    // its adoption must not change how the field turns.
    setParam(QIRMatrixDecoderDSP::kYaw, c.yaw);
    setParam(QIRMatrixDecoderDSP::kPitch, c.pitch);
    setParam(QIRMatrixDecoderDSP::kRoll, c.roll);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, c.order - 1);
    const std::string name = std::to_string(c.order) + "OA-decoder-anechoic.wav";
    writeDecoderSet(mDir.file(name), set);
    ASSERT_EQ(engine().OnReset(512, kSampleRate), kLatency);
    render(Channels(static_cast<std::size_t>(nChans), std::vector<float>(1024, 0.0f)), [] { return 512; });
    idleAndWait();
    settle(nChans);

    const std::vector<Source> sources = {{0.0, 0.0}, {70.0, 20.0}, {-150.0, -35.0}};
    // Yaw spans the parameter's +-180 degrees, pitch and roll half of it.
    std::vector<Source> turned;
    for (const Source& s : sources) {
        turned.push_back(turn(s, c.yaw, c.pitch / 2.0, c.roll / 2.0));
    }
    const Channels field = encodeField(c.order, sources, kFrames, 8);
    const Channels rotated = encodeField(c.order, turned, kFrames, 8);

    RandomSizes sizes(5, 1, 600);
    const Channels out = render(field, [&] { return c.anySize ? static_cast<int>(sizes.next()) : 512; });
    expectDecoding(out, rotated, set, kLatency, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Angles, EngineRotation,
                         ::testing::Values(RotationCase{"Order1Yaw90", 1, 90.0, 0.0, 0.0, false},
                                           RotationCase{"Order3YawMinus30", 3, -30.0, 0.0, 0.0, false},
                                           RotationCase{"Order2Yaw135AnySize", 2, 135.0, 0.0, 0.0, true},
                                           RotationCase{"Order3Pitch60", 3, 0.0, 60.0, 0.0, false},
                                           RotationCase{"Order2YawPitchRoll", 2, 40.0, -50.0, 70.0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct GeneratedCase {
    const char* name;
    const char* file;
    int mode;
    int orderPosition;
    bool anySize; // calls of any size rather than 512
};

class EngineGenerated : public EngineSignal, public ::testing::WithParamInterface<GeneratedCase> {};

TEST_P(EngineGenerated, MatchesDirectDecodingWithTheGeneratedSet)
{
    const GeneratedCase& c = GetParam();
    const std::string folder = qir::platform::GetDefaultResourceDirectory();
    const DecoderSetIRs set = readDecoderSet(folder + "/" + c.file);
    if (set.numInputs() == 0) {
        GTEST_SKIP() << "no generated decoder set at " << folder << "/" << c.file;
    }
    qir::platform::SetResourceDirectory(folder);
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    setParam(QIRMatrixDecoderDSP::kDecoderMode, c.mode);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, c.orderPosition);
    ASSERT_EQ(engine().OnReset(512, kSampleRate), kLatency);
    ::testing::internal::CaptureStdout();
    idleAndWait();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "QIRMatrixDecoder loaded " + folder + "/" + c.file + "\n");
    settle(set.numInputs());

    // Short enough for the direct reference, long enough to cover the
    // responses' substance.
    const Channels input = noise(set.numInputs(), 32 * 128, 15);
    RandomSizes sizes(16, 1, 600);
    const Channels out = render(input, [&] { return c.anySize ? static_cast<int>(sizes.next()) : 512; });
    EXPECT_EQ(engine().GetActiveInputCount(), set.numInputs());
    expectDecoding(out, input, set, kLatency);
}

INSTANTIATE_TEST_SUITE_P(Sets, EngineGenerated,
                         ::testing::Values(GeneratedCase{"AnechoicOrder3", "3OA-decoder-anechoic.wav", 0, 2, false},
                                           GeneratedCase{"AnechoicOrder3AnySize", "3OA-decoder-anechoic.wav", 0, 2, true},
                                           GeneratedCase{"RoomOrder1", "1OA-decoder-room.wav", 1, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineSignal, OneAndTwoChannelBlocksPassThroughOneFrameLateWithoutAdoptingASet)
{
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), makeSparseSet(4, 51));
    for (const int nChans : {2, 1}) {
        SCOPED_TRACE(nChans);
        ASSERT_EQ(engine().OnReset(512, kSampleRate), kLatency);
        idleAndWait();
        const Channels in = noise(nChans, 3000, 9);
        const Channels out = render(in, [] { return 300; });
        for (std::size_t o = 0; o < 2; ++o) {
            const std::vector<float>& from = in[std::min<std::size_t>(o, in.size() - 1)];
            for (std::size_t t = 0; t < 3000; ++t) {
                ASSERT_EQ(out[o][t], t < kLatency ? 0.0f : from[t - kLatency]) << "output " << o << " frame " << t;
            }
        }
        EXPECT_TRUE(engine().HasPendingDecoderSet());
        EXPECT_EQ(engine().GetActiveInputCount(), -1);
    }
    render(noise(4, 128, 11), [] { return 128; });
    EXPECT_FALSE(engine().HasPendingDecoderSet());
    EXPECT_EQ(engine().GetActiveInputCount(), 4);
}

TEST_F(EngineSignal, OutputsAreSilentUntilASetArrives)
{
    ASSERT_EQ(engine().OnReset(512, kSampleRate), kLatency);
    const Channels whole = render(noise(4, 1024, 12), [] { return 512; });
    const Channels odd = render(noise(4, 1000, 13), [] { return 77; });
    for (const Channels* out : {&whole, &odd}) {
        for (const auto& ch : *out) {
            for (float v : ch) {
                ASSERT_EQ(v, 0.0f);
            }
        }
    }
}

TEST_F(EngineSignal, ProcessingBeforeTheFirstResetWritesSilence)
{
    const Channels out = render(noise(4, 512, 14), [] { return 512; });
    for (const auto& ch : out) {
        for (float v : ch) {
            ASSERT_EQ(v, 0.0f);
        }
    }
}

TEST_F(EngineSignal, SwitchCrossfadesLinearlyAndTheOldSetKeepsItsTurnedChannels)
{
    // A third-order set gives way to a first-order one while the field turns:
    // over the crossfade the old set still hears all sixteen channels, turned,
    // and the new one starts from the frame it was adopted at.
    const DecoderSetIRs oldSet = shortSet(16, 81);
    const DecoderSetIRs newSet = shortSet(4, 82);
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), oldSet);
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), newSet);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    setParam(QIRMatrixDecoderDSP::kYaw, 60.0);
    ASSERT_EQ(engine().OnReset(256, kSampleRate), kLatency);
    idleAndWait();
    settle(16);

    const std::vector<Source> sources = {{10.0, 0.0}, {-100.0, 30.0}, {160.0, -20.0}};
    std::vector<Source> turned;
    for (const Source& src : sources) {
        turned.push_back(turn(src, 60.0, 0.0, 0.0));
    }
    constexpr std::size_t kTotal = 6144;
    constexpr std::size_t kSwitch = 1280;
    const Channels field = encodeField(3, sources, kTotal, 83);
    const Channels rotated = encodeField(3, turned, kTotal, 83);
    // The first kSwitch frames, then the switch, then the rest.
    auto head = field;
    auto tail = field;
    for (std::size_t c = 0; c < 16; ++c) {
        head[c].resize(kSwitch);
        tail[c].erase(tail[c].begin(), tail[c].begin() + static_cast<std::ptrdiff_t>(kSwitch));
    }
    const Channels before = render(head, [] { return 256; });
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 0);
    idleAndWait();
    ASSERT_TRUE(engine().HasPendingDecoderSet());
    const Channels after = render(tail, [] { return 256; });
    EXPECT_EQ(engine().GetActiveInputCount(), 4);
    EXPECT_FALSE(engine().IsCrossfading());

    Channels late = rotated;
    for (auto& ch : late) {
        std::fill(ch.begin(), ch.begin() + static_cast<std::ptrdiff_t>(kSwitch), 0.0f);
    }
    for (int o = 0; o < 2; ++o) {
        const std::vector<double> a = reference(rotated, oldSet, o, kLatency);
        const std::vector<double> b = reference(late, newSet, o, kLatency);
        std::vector<double> expected(kTotal);
        std::vector<float> actual(kTotal);
        for (std::size_t t = 0; t < kTotal; ++t) {
            const double u = static_cast<double>(t) - kLatency - static_cast<double>(kSwitch) + 1.0;
            const double g = std::clamp(u / QIRMatrixDecoderDSP::kCrossfadeFrames, 0.0, 1.0);
            expected[t] = g * b[t] + (1.0 - g) * a[t];
            actual[t] = t < kSwitch ? before[static_cast<std::size_t>(o)][t] : after[static_cast<std::size_t>(o)][t - kSwitch];
        }
        EXPECT_LT(relativeError(actual, expected), 1e-4) << "output " << o;
    }
}

TEST_F(EngineSignal, ANewSetWaitsForTheCrossfadeAndSetsGoBackToBeFreedElsewhere)
{
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), shortSet(4, 91));
    writeDecoderSet(mDir.file("2OA-decoder-anechoic.wav"), shortSet(9, 92));
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), shortSet(16, 93));
    ASSERT_EQ(engine().OnReset(128, kSampleRate), kLatency);
    idleAndWait();
    settle(16);
    ASSERT_EQ(engine().GetActiveInputCount(), 4);

    // Every call from here on is the audio thread's: it neither allocates nor
    // frees, whatever it adopts, keeps or hands back.
    std::size_t allocations = 0;
    std::size_t frees = 0;
    const Channels frame = noise(16, 128, 94);
    auto call = [&] {
        std::vector<std::vector<float>> buffers(frame.begin(), frame.end());
        std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
        for (std::size_t c = 0; c < 16; ++c) {
            ins[c] = buffers[c].data();
        }
        std::vector<float> out0(128), out1(128);
        float* outs[2] = {out0.data(), out1.data()};
        AllocationCounter counter;
        engine().ProcessBlock(ins.data(), outs, 128, 16);
        allocations += counter.count();
        frees += counter.frees();
    };
    const int fadeCalls = QIRMatrixDecoderDSP::kCrossfadeFrames / 128;
    ::testing::internal::CaptureStdout();

    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 1);
    idleAndWait();
    call(); // adopts the 9-input set
    EXPECT_EQ(engine().GetActiveInputCount(), 9);
    EXPECT_TRUE(engine().IsCrossfading());

    // A set that arrives during the crossfade waits in the slot.
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    idleAndWait();
    for (int k = 1; k < fadeCalls; ++k) {
        call();
        EXPECT_TRUE(engine().HasPendingDecoderSet()) << k;
        EXPECT_EQ(engine().GetActiveInputCount(), 9) << k;
    }
    EXPECT_FALSE(engine().IsCrossfading());
    EXPECT_FALSE(engine().HasRetiredSets());

    // The next call hands the first set back and takes the waiting one.
    call();
    EXPECT_TRUE(engine().HasRetiredSets());
    EXPECT_FALSE(engine().HasPendingDecoderSet());
    EXPECT_EQ(engine().GetActiveInputCount(), 16);

    // Nobody frees the first set meanwhile: after the next crossfade the second
    // cannot be handed back and is kept, silent, until the slot is free.
    for (int k = 0; k < fadeCalls + 3; ++k) {
        call();
    }
    EXPECT_FALSE(engine().IsCrossfading());
    EXPECT_TRUE(engine().HasRetiredSets());
    engine().ReleaseRetiredSets(); // the first set
    EXPECT_FALSE(engine().HasRetiredSets());
    call();
    EXPECT_TRUE(engine().HasRetiredSets()); // the second
    engine().OnIdle();
    EXPECT_FALSE(engine().HasRetiredSets());
    ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(frees, 0u);
}

TEST_F(EngineSignal, UseRpyAloneTakesEffect)
{
    // Two engines with the same angles, one in roll-pitch-yaw order from the start, the other
    // switched to it half way: from then on (after one frame's crossfade) both turn the field
    // the same way. Short responses, so that the outputs soon forget the time before.
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), shortSet(4, 71));
    const Channels input = noise(4, 16 * 512, 27);
    auto run = [&](bool rpyFromStart) {
        EngineTestDelegate delegate;
        QIRMatrixDecoderDSP dsp(&delegate);
        delegate.Set(dsp, QIRMatrixDecoderDSP::kYaw, 40.0);
        delegate.Set(dsp, QIRMatrixDecoderDSP::kPitch, 60.0);
        delegate.Set(dsp, QIRMatrixDecoderDSP::kRoll, 100.0);
        delegate.Set(dsp, QIRMatrixDecoderDSP::kUseRPY, rpyFromStart ? 1.0 : 0.0);
        dsp.OnReset(512, kSampleRate);
        ::testing::internal::CaptureStdout();
        dsp.OnIdle();
        dsp.WaitForLoads();
        ::testing::internal::GetCapturedStdout();
        Channels out(2, std::vector<float>(input[0].size()));
        for (std::size_t pos = 0; pos < input[0].size(); pos += 512) {
            if (pos == 8 * 512 && !rpyFromStart) {
                delegate.Set(dsp, QIRMatrixDecoderDSP::kUseRPY, 1.0);
            }
            Channels block(4);
            std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
            for (std::size_t c = 0; c < 4; ++c) {
                block[c].assign(input[c].begin() + static_cast<std::ptrdiff_t>(pos),
                                input[c].begin() + static_cast<std::ptrdiff_t>(pos + 512));
                ins[c] = block[c].data();
            }
            float* outs[2] = {out[0].data() + pos, out[1].data() + pos};
            dsp.ProcessBlock(ins.data(), outs, 512, 4);
        }
        return out;
    };
    const Channels switched = run(false);
    const Channels fromStart = run(true);
    const std::size_t settled = 8 * 512 + 3 * 128; // the switch, a frame of crossfade, the latency, the responses
    double before = 0.0;
    double after = 0.0;
    for (std::size_t o = 0; o < 2; ++o) {
        for (std::size_t t = 2048; t < 8 * 512; ++t) {
            before = std::max(before, static_cast<double>(std::fabs(switched[o][t] - fromStart[o][t])));
        }
        for (std::size_t t = settled; t < switched[o].size(); ++t) {
            after = std::max(after, static_cast<double>(std::fabs(switched[o][t] - fromStart[o][t])));
        }
    }
    EXPECT_GT(before, 0.1) << "the two orders must turn the field differently";
    EXPECT_LT(after, 1e-5);
}

struct AllocationCase {
    const char* name;
    int maxSize;     // calls of 1..maxSize frames
    bool anySize;    // false: multiples of 128 only
};

class EngineAllocation : public EngineSignal, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(EngineAllocation, AudioThreadNeitherAllocatesNorFreesAcrossSwitches)
{
    // Sets of three widths; the loads run outside the counted calls, as on the main thread, and
    // each switch is adopted, cross-faded and handed back inside them.
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), makeSparseSet(16, 61));
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), makeSparseSet(4, 62));
    writeDecoderSet(mDir.file("3OA-decoder-room.wav"), makeSparseSet(16, 63));
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    ASSERT_EQ(engine().OnReset(512, kSampleRate), QIRMatrixDecoderDSP::kLatency);
    idleAndWait();

    const std::size_t longest = static_cast<std::size_t>(GetParam().maxSize);
    std::vector<std::vector<float>> buffers(16, std::vector<float>(longest));
    std::vector<float> outBuffers[2] = {std::vector<float>(longest), std::vector<float>(longest)};
    std::vector<float*> ins(64, nullptr);
    for (std::size_t c = 0; c < 16; ++c) {
        ins[c] = buffers[c].data();
    }
    float* outs[2] = {outBuffers[0].data(), outBuffers[1].data()};
    RandomSizes sizes(7, 1, longest);
    auto blockSize = [&] {
        const int n = static_cast<int>(sizes.next());
        return GetParam().anySize ? n : std::max(128, n / 128 * 128);
    };

    std::size_t allocations = 0;
    std::size_t frees = 0;
    for (std::uint32_t b = 0; b < 240; ++b) {
        for (std::size_t c = 0; c < 16; ++c) {
            const std::vector<float> x = whiteNoise(longest, 100 + b * 16 + static_cast<std::uint32_t>(c));
            std::copy(x.begin(), x.end(), buffers[c].begin());
        }
        // Main thread, between calls: switch sets, release the sets handed back.
        if (b == 60 || b == 120 || b == 180) {
            setParam(QIRMatrixDecoderDSP::kDecodeOrder, b == 60 ? 0 : 2);
            setParam(QIRMatrixDecoderDSP::kDecoderMode, b == 180 ? 1 : 0);
            idleAndWait();
            ASSERT_TRUE(engine().HasPendingDecoderSet()) << b;
        }
        if (b % 20 == 19) {
            engine().OnIdle();
        }
        const int n = blockSize();
        AllocationCounter counter;
        // Audio thread: events, then the call.
        if (b == 10) {
            engine().ProcessMidiMsg(plugfw::IMidiMsg(0, 0x90, 5, 100));
        }
        if (b == 30 || b == 90) {
            setParam(QIRMatrixDecoderDSP::kYaw, b == 30 ? 60.0 : -20.0);
        }
        if (b == 40 || b == 50) {
            setParam(QIRMatrixDecoderDSP::kEnableRotation, b == 40 ? 0.0 : 1.0);
        }
        if (b == 70) {
            setParam(QIRMatrixDecoderDSP::kUseRPY, 1.0);
        }
        if (b == 150) {
            engine().ProcessMidiMsg(plugfw::IMidiMsg(0, 0x80, 5, 0));
        }
        engine().ProcessBlock(ins.data(), outs, n, 16);
        allocations += counter.count();
        frees += counter.frees();
    }
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(frees, 0u);
    EXPECT_EQ(engine().GetActiveInputCount(), 16);
}

TEST_F(EngineSignal, ALongerBlockAfterAResetAllocatesNothingEither)
{
    // The set in use was made for calls of 128 frames, the one waiting too; the
    // host then allows calls of 4096.
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), makeSparseSet(4, 64));
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), makeSparseSet(16, 65));
    ASSERT_EQ(engine().OnReset(128, kSampleRate), kLatency);
    idleAndWait();
    settle(16);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    idleAndWait();
    ASSERT_TRUE(engine().HasPendingDecoderSet());
    ASSERT_EQ(engine().OnReset(4096, kSampleRate), kLatency);

    const Channels input = noise(16, 4096, 66);
    std::vector<float> out0(4096), out1(4096);
    std::vector<const float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
    for (std::size_t c = 0; c < 16; ++c) {
        ins[c] = input[c].data();
    }
    float* outs[2] = {out0.data(), out1.data()};
    AllocationCounter counter;
    for (int call = 0; call < 4; ++call) { // the set in use, then the crossfade to the waiting one
        engine().ProcessBlock(ins.data(), outs, 4096, 16);
    }
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_EQ(counter.frees(), 0u);
    EXPECT_EQ(engine().GetActiveInputCount(), 16);
}

INSTANTIATE_TEST_SUITE_P(Calls, EngineAllocation,
                         ::testing::Values(AllocationCase{"WholeFrames", 512, false},
                                           AllocationCase{"AnySize", 512, true},
                                           AllocationCase{"LongerThanTheReset", 2000, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace qirtest
