// tests/engine: the engine's output against a direct double-precision decoding
// of the same input with the same decoder set.
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

class EngineSignal : public EngineHarness {
protected:
    // Writes set as the default parameters' decoder set, resets the engine and
    // loads it.
    void loadDefaultSet(const DecoderSetIRs& set, int resetBlock)
    {
        writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), set);
        ASSERT_EQ(engine().OnReset(resetBlock, kSampleRate), 0);
        idleAndWait();
        ASSERT_TRUE(engine().HasPendingDecoderSet());
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

struct AlignedCase {
    const char* name;
    int numIns;
    int resetBlock;
    int maxSubBlocks; // block sizes are 128 x 0..maxSubBlocks
};

class EngineAligned : public EngineSignal, public ::testing::WithParamInterface<AlignedCase> {};

TEST_P(EngineAligned, MatchesDirectDecodingWithoutDelay)
{
    const AlignedCase& c = GetParam();
    const DecoderSetIRs set = makeSparseSet(c.numIns, 11u + static_cast<std::uint32_t>(c.numIns));
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    loadDefaultSet(set, c.resetBlock);

    const Channels input = noise(c.numIns, kFrames, 5);
    RandomSizes sizes(3, 0, static_cast<std::size_t>(c.maxSubBlocks));
    const Channels out = render(input, [&] { return 128 * static_cast<int>(sizes.next()); });

    EXPECT_EQ(engine().GetActiveInputCount(), c.numIns);
    EXPECT_EQ(engine().GetAddedDelay(), 0);
    expectDecoding(out, input, set, 0);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, EngineAligned,
                         ::testing::Values(AlignedCase{"Order1", 4, 512, 4},
                                           AlignedCase{"Order3BlocksLongerThanReset", 16, 256, 8},
                                           AlignedCase{"Order2SmallHostBlock", 9, 64, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineSignal, FifoModeMatchesDirectDecodingDelayedByOneSubBlock)
{
    const DecoderSetIRs set = makeSparseSet(9, 21);
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    loadDefaultSet(set, 1024);

    const Channels input = noise(9, kFrames, 6);
    RandomSizes sizes(4, 1, 700);
    const Channels out = render(input, [&] { return static_cast<int>(sizes.next()); });

    EXPECT_EQ(engine().GetAddedDelay(), QIRMatrixDecoderDSP::kFifoDelay);
    expectDecoding(out, input, set, QIRMatrixDecoderDSP::kFifoDelay);
}

TEST_F(EngineSignal, OneOddBlockSwitchesToAConstantDelayUntilReset)
{
    // Aligned blocks, then a slice of odd length (as a mid-block parameter event
    // makes), then aligned and odd blocks mixed: the output is the decoding of
    // the input with one sub-block of silence inserted where the odd block
    // began, so the delay is constant and nothing is lost or repeated.
    const DecoderSetIRs set = makeSparseSet(4, 31);
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    loadDefaultSet(set, 512);

    const Channels input = noise(4, kFrames, 7);
    const std::vector<int> pattern = {512, 512, 100, 412, 512, 37, 256, 475, 128};
    std::size_t next = 0;
    const Channels out = render(input, [&] {
        const int n = next < pattern.size() ? pattern[next] : 512;
        ++next;
        return n;
    });

    constexpr std::size_t kSwitch = 1024;
    Channels stream(4);
    for (std::size_t c = 0; c < 4; ++c) {
        stream[c].assign(input[c].begin(), input[c].begin() + kSwitch);
        stream[c].insert(stream[c].end(), QIRMatrixDecoderDSP::kFifoDelay, 0.0f);
        stream[c].insert(stream[c].end(), input[c].begin() + kSwitch, input[c].end() - QIRMatrixDecoderDSP::kFifoDelay);
    }
    expectDecoding(out, stream, set, 0);

    // A reset returns to the aligned mode without delay.
    engine().OnReset(512, kSampleRate);
    EXPECT_EQ(engine().GetAddedDelay(), 0);
}

struct RotationCase {
    const char* name;
    int order;
    double yaw, pitch, roll; // plain parameter values
    bool fifo;
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

TEST_P(EngineRotation, MatchesDecodingOfTheRotatedFieldOneFrameLater)
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
    ASSERT_EQ(engine().OnReset(512, kSampleRate), 0);
    render(Channels(static_cast<std::size_t>(nChans), std::vector<float>(1024, 0.0f)), [] { return 512; });
    idleAndWait();

    const std::vector<Source> sources = {{0.0, 0.0}, {70.0, 20.0}, {-150.0, -35.0}};
    // Yaw spans the parameter's +-180 degrees, pitch and roll half of it.
    std::vector<Source> turned;
    for (const Source& s : sources) {
        turned.push_back(turn(s, c.yaw, c.pitch / 2.0, c.roll / 2.0));
    }
    const Channels field = encodeField(c.order, sources, kFrames, 8);
    const Channels rotated = encodeField(c.order, turned, kFrames, 8);

    RandomSizes sizes(5, 1, 600);
    const Channels out = render(field, [&] { return c.fifo ? static_cast<int>(sizes.next()) : 512; });
    const int delay = QIRMatrixDecoderDSP::kSubBlockFrames + (c.fifo ? QIRMatrixDecoderDSP::kFifoDelay : 0);
    expectDecoding(out, rotated, set, delay, 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Angles, EngineRotation,
                         ::testing::Values(RotationCase{"Order1Yaw90", 1, 90.0, 0.0, 0.0, false},
                                           RotationCase{"Order3YawMinus30", 3, -30.0, 0.0, 0.0, false},
                                           RotationCase{"Order2Yaw135Fifo", 2, 135.0, 0.0, 0.0, true},
                                           RotationCase{"Order3Pitch60", 3, 0.0, 60.0, 0.0, false},
                                           RotationCase{"Order2YawPitchRoll", 2, 40.0, -50.0, 70.0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct GeneratedCase {
    const char* name;
    const char* file;
    int mode;
    int orderPosition;
    bool fifo;
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
    ASSERT_EQ(engine().OnReset(512, kSampleRate), 0);
    ::testing::internal::CaptureStdout();
    idleAndWait();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "QIRMatrixDecoder loaded " + folder + "/" + c.file + "\n");

    // Short enough for the direct reference, long enough to cover the
    // responses' substance.
    const Channels input = noise(set.numInputs(), 32 * 128, 15);
    RandomSizes sizes(16, 1, 600);
    const Channels out = render(input, [&] { return c.fifo ? static_cast<int>(sizes.next()) : 512; });
    EXPECT_EQ(engine().GetActiveInputCount(), set.numInputs());
    expectDecoding(out, input, set, c.fifo ? QIRMatrixDecoderDSP::kFifoDelay : 0);
}

INSTANTIATE_TEST_SUITE_P(Sets, EngineGenerated,
                         ::testing::Values(GeneratedCase{"AnechoicOrder3", "3OA-decoder-anechoic.wav", 0, 2, false},
                                           GeneratedCase{"AnechoicOrder3Fifo", "3OA-decoder-anechoic.wav", 0, 2, true},
                                           GeneratedCase{"RoomOrder1", "1OA-decoder-room.wav", 1, 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineSignal, OneAndTwoChannelBlocksPassThroughWithoutAdoptingASet)
{
    const DecoderSetIRs set = makeSparseSet(4, 51);
    loadDefaultSet(set, 512);

    const Channels stereo = noise(2, 300, 9);
    const Channels out2 = render(stereo, [] { return 300; });
    EXPECT_EQ(out2[0], stereo[0]);
    EXPECT_EQ(out2[1], stereo[1]);

    const Channels mono = noise(1, 300, 10);
    const Channels out1 = render(mono, [] { return 300; });
    EXPECT_EQ(out1[0], mono[0]);
    EXPECT_EQ(out1[1], mono[0]);

    EXPECT_TRUE(engine().HasPendingDecoderSet());
    EXPECT_EQ(engine().GetActiveInputCount(), -1);
    EXPECT_EQ(engine().GetAddedDelay(), 0);

    render(noise(4, 128, 11), [] { return 128; });
    EXPECT_FALSE(engine().HasPendingDecoderSet());
    EXPECT_EQ(engine().GetActiveInputCount(), 4);
}

TEST_F(EngineSignal, OutputsAreSilentUntilASetArrives)
{
    ASSERT_EQ(engine().OnReset(512, kSampleRate), 0);
    const Channels aligned = render(noise(4, 1024, 12), [] { return 512; });
    const Channels fifo = render(noise(4, 1000, 13), [] { return 77; });
    for (const Channels* out : {&aligned, &fifo}) {
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

struct AllocationCase {
    const char* name;
    bool fifo;
};

class EngineAllocation : public EngineSignal, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(EngineAllocation, ProcessBlockAllocatesNothing)
{
    const DecoderSetIRs set = makeSparseSet(16, 61);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), set);
    ASSERT_EQ(engine().OnReset(512, kSampleRate), 0);
    idleAndWait();

    std::vector<std::vector<float>> buffers(16, std::vector<float>(512));
    std::vector<float> outBuffers[2] = {std::vector<float>(512), std::vector<float>(512)};
    std::vector<float*> ins(64, nullptr);
    for (std::size_t c = 0; c < 16; ++c) {
        ins[c] = buffers[c].data();
    }
    float* outs[2] = {outBuffers[0].data(), outBuffers[1].data()};
    RandomSizes sizes(7, 1, 512);
    auto blockSize = [&] { return GetParam().fifo ? static_cast<int>(sizes.next()) : 128 * static_cast<int>(1 + sizes.next() % 4); };
    auto fill = [&](std::uint32_t seed) {
        for (std::size_t c = 0; c < 16; ++c) {
            const std::vector<float> x = whiteNoise(512, seed + static_cast<std::uint32_t>(c));
            std::copy(x.begin(), x.end(), buffers[c].begin());
        }
    };

    fill(1);
    {
        // The block that adopts the set allocates nothing either: its loader ran
        // the convolver once, so the scratch has grown already.
        AllocationCounter counter;
        engine().ProcessBlock(ins.data(), outs, 512, 16);
        EXPECT_EQ(counter.count(), 0u);
    }
    engine().ProcessMidiMsg(plugfw::IMidiMsg(0, 0x90, 5, 100));

    std::size_t allocations = 0;
    for (std::uint32_t b = 0; b < 60; ++b) {
        fill(100 + b);
        const int n = blockSize();
        AllocationCounter counter;
        if (b == 20) {
            engine().OnParamChange(QIRMatrixDecoderDSP::kYaw, 0.6);
        }
        if (b == 40) {
            engine().ProcessMidiMsg(plugfw::IMidiMsg(0, 0x80, 5, 0));
        }
        engine().ProcessBlock(ins.data(), outs, n, 16);
        allocations += counter.count();
    }
    EXPECT_EQ(allocations, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, EngineAllocation,
                         ::testing::Values(AllocationCase{"Aligned", false}, AllocationCase{"Fifo", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace qirtest
