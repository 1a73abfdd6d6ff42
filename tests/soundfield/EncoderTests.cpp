// tests/soundfield: the encoder, checked against the harmonics of the source directions.
#include "soundfield/Encoder.h"

#include "soundfield/Conventions.h"

#include "FieldTestUtil.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace fieldtest;

namespace {


class EncoderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fieldenc_create(&mEncoder);
        ASSERT_NE(mEncoder, nullptr);
        fieldenc_init(mEncoder, 48000);
    }

    void TearDown() override { fieldenc_destroy(&mEncoder); }

    Frames process(const Frames& in, int nOutputs, int nSamples = kFrame)
    {
        Frames out(nOutputs, kSentinel);
        fieldenc_process(mEncoder, in.in(), out.out(), static_cast<int>(in.data.size()), nOutputs, nSamples);
        return out;
    }

    FieldEncoder* mEncoder = nullptr;
    std::mt19937 mRng{8};
};

Frames mono(const std::vector<float>& s)
{
    Frames f(1);
    f.data[0] = s;
    return f;
}

// The expected gains of one direction in a channel order and normalisation, written from the
// definitions: SN3D divides degree n by sqrt(2n + 1); FuMa weights W by 1/sqrt(2) and the first
// degree like SN3D, in the channel order W X Y Z.
std::vector<float> expectedGains(int order, Direction d, int chOrder, int normType)
{
    auto Y = harmonics(order, d);
    for (int k = 0; k < numSH(order); ++k) {
        const int n = static_cast<int>(std::sqrt(static_cast<float>(k)));
        if (normType == kNormalisationSN3D || (normType == kNormalisationFuMa && n == 1))
            Y[k] /= std::sqrt(static_cast<float>(2 * n + 1));
        if (normType == kNormalisationFuMa && n == 0)
            Y[k] /= std::sqrt(2.0f);
    }
    if (chOrder == kChannelOrderFuMa)
        return {Y[0], Y[3], Y[1], Y[2]};
    return Y;
}

TEST_F(EncoderTest, LeftSourceHasTheDocumentedFirstOrderGains)
{
    fieldenc_setSourceAzi_deg(mEncoder, 0, 90.0f);
    fieldenc_setSourceElev_deg(mEncoder, 0, 0.0f);
    const Frames ones = mono(std::vector<float>(kFrame, 1.0f));

    fieldenc_setNormType(mEncoder, kNormalisationN3D);
    process(ones, 4);
    Frames out = process(ones, 4);
    const float n3d[4] = {1.0f, std::sqrt(3.0f), 0.0f, 0.0f};
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(out.data[c][kFrame - 1], n3d[c], 1e-6) << "N3D channel " << c;

    fieldenc_setNormType(mEncoder, kNormalisationSN3D);
    out = process(ones, 4);
    const float sn3d[4] = {1.0f, 1.0f, 0.0f, 0.0f};
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(out.data[c][0], sn3d[c], 1e-6) << "SN3D channel " << c;
}

struct Convention {
    int order;
    int chOrder;
    int normType;
};

TEST_F(EncoderTest, OneSourceGivesItsHarmonicsTimesTheDelayedInput)
{
    std::vector<Convention> cases;
    for (int order = 0; order <= 7; ++order)
        for (int norm : {kNormalisationN3D, kNormalisationSN3D})
            cases.push_back({order, kChannelOrderACN, norm});
    for (int norm : {kNormalisationN3D, kNormalisationSN3D, kNormalisationFuMa}) {
        cases.push_back({1, kChannelOrderFuMa, norm});
        cases.push_back({1, kChannelOrderACN, norm});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "order " << c.order << " chOrder " << c.chOrder << " norm " << c.normType);
        fieldenc_setOutputOrder(mEncoder, c.order);
        fieldenc_setChOrder(mEncoder, c.chOrder);
        fieldenc_setNormType(mEncoder, c.normType);
        ASSERT_EQ(fieldenc_getChOrder(mEncoder), c.chOrder);
        ASSERT_EQ(fieldenc_getNormType(mEncoder), c.normType);
        const Direction d = randomDirection(mRng);
        fieldenc_setSourceAzi_deg(mEncoder, 0, static_cast<float>(d.azimuthDeg));
        fieldenc_setSourceElev_deg(mEncoder, 0, static_cast<float>(d.elevationDeg));
        const Direction stored{fieldenc_getSourceAzi_deg(mEncoder, 0), fieldenc_getSourceElev_deg(mEncoder, 0)};
        const auto gains = expectedGains(c.order, stored, c.chOrder, c.normType);
        const int n = numSH(c.order);

        process(mono(noise(mRng)), n); // fades to the new direction
        auto previous = noise(mRng);
        process(mono(previous), n);
        for (int call = 0; call < 3; ++call) {
            const auto s = noise(mRng);
            const Frames out = process(mono(s), n);
            for (int k = 0; k < n; ++k)
                for (int i = 0; i < kFrame; ++i)
                    ASSERT_NEAR(out.data[k][i], gains[k] * previous[i], 1e-5) << "channel " << k << " sample " << i;
            previous = s;
        }
    }
}

TEST_F(EncoderTest, SourcesAreWeightedSummedAndPostScaled)
{
    fieldenc_setOutputOrder(mEncoder, 2);
    fieldenc_setNormType(mEncoder, kNormalisationN3D);
    fieldenc_setNumSources(mEncoder, 3);
    const Direction dirs[3] = {{10, 5}, {-100, 60}, {170, -30}};
    const float gains[3] = {1.0f, 0.5f, 0.0f};
    for (int i = 0; i < 3; ++i) {
        fieldenc_setSourceAzi_deg(mEncoder, i, static_cast<float>(dirs[i].azimuthDeg));
        fieldenc_setSourceElev_deg(mEncoder, i, static_cast<float>(dirs[i].elevationDeg));
        fieldenc_setSourceGain(mEncoder, i, gains[i]);
    }
    Frames in(3);
    for (auto& c : in.data)
        c = noise(mRng);
    process(in, 9);
    const Frames out = process(Frames(3), 9);
    for (int k = 0; k < 9; ++k) {
        for (int i = 0; i < kFrame; ++i) {
            float expected = 0.0f;
            for (int s = 0; s < 3; ++s)
                expected += gains[s] * harmonics(2, dirs[s])[k] * in.data[s][i];
            ASSERT_NEAR(out.data[k][i], expected / std::sqrt(3.0f), 1e-5) << "channel " << k;
        }
    }

    // Solo keeps one source at full gain; unsolo restores them all.
    fieldenc_setEnablePostScaling(mEncoder, 0);
    fieldenc_setSourceSolo(mEncoder, 2);
    process(in, 9);
    Frames solo = process(Frames(3), 9);
    fieldenc_setUnSolo(mEncoder);
    process(in, 9);
    Frames all = process(Frames(3), 9);
    const int k = 1;
    for (int i = 0; i < kFrame; ++i) {
        ASSERT_NEAR(solo.data[k][i], harmonics(2, dirs[2])[k] * in.data[2][i], 1e-5);
        float sum = 0.0f;
        for (int s = 0; s < 3; ++s)
            sum += harmonics(2, dirs[s])[k] * in.data[s][i];
        ASSERT_NEAR(all.data[k][i], sum, 1e-5);
    }
}

TEST_F(EncoderTest, DirectionChangeFadesLinearlyOverOneFrame)
{
    fieldenc_setNormType(mEncoder, kNormalisationN3D);
    fieldenc_setOutputOrder(mEncoder, 3);
    const Direction from{30, 0};
    const Direction to{-45, 20};
    fieldenc_setSourceAzi_deg(mEncoder, 0, 30.0f);
    const auto s = noise(mRng);
    process(mono(s), 16);
    process(mono(s), 16);
    fieldenc_setSourceAzi_deg(mEncoder, 0, -45.0f);
    fieldenc_setSourceElev_deg(mEncoder, 0, 20.0f);
    const auto s2 = noise(mRng);
    const Frames fading = process(mono(s2), 16);
    const Frames held = process(mono(s2), 16);
    const auto a = harmonics(3, from);
    const auto b = harmonics(3, to);
    for (int k = 0; k < 16; ++k) {
        for (int i = 0; i < kFrame; ++i) {
            const float in = (i + 1) / 128.0f;
            ASSERT_NEAR(fading.data[k][i], (in * b[k] + (1.0f - in) * a[k]) * s[i], 1e-5) << "channel " << k;
            ASSERT_NEAR(held.data[k][i], b[k] * s2[i], 1e-5) << "channel " << k;
        }
    }
}

TEST_F(EncoderTest, DirectionsAndCountsAreClamped)
{
    struct Case {
        float azimuth, elevation, storedAzimuth, storedElevation;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case c : {Case{270, 0, -90, 0}, Case{-200, 0, -180, 0}, Case{540, 100, 180, 90},
                         Case{45, -135, 45, -90}, Case{nan, nan, 0, 0}}) {
        fieldenc_setSourceAzi_deg(mEncoder, 5, c.azimuth);
        fieldenc_setSourceElev_deg(mEncoder, 5, c.elevation);
        EXPECT_EQ(fieldenc_getSourceAzi_deg(mEncoder, 5), c.storedAzimuth) << c.azimuth;
        EXPECT_EQ(fieldenc_getSourceElev_deg(mEncoder, 5), c.storedElevation) << c.elevation;
    }
    fieldenc_setSourceAzi_deg(mEncoder, 64, 10.0f);
    fieldenc_setSourceAzi_deg(mEncoder, -1, 10.0f);
    fieldenc_setSourceGain(mEncoder, 99, 3.0f);
    fieldenc_setSourceSolo(mEncoder, -5);
    EXPECT_EQ(fieldenc_getSourceAzi_deg(mEncoder, 64), 0.0f);

    fieldenc_setNumSources(mEncoder, 0);
    EXPECT_EQ(fieldenc_getNumSources(mEncoder), 1);
    fieldenc_setNumSources(mEncoder, 100);
    EXPECT_EQ(fieldenc_getNumSources(mEncoder), 64);
    EXPECT_EQ(fieldenc_getMaxNumSources(), 64);
    fieldenc_setOutputOrder(mEncoder, 9);
    EXPECT_EQ(fieldenc_getOutputOrder(mEncoder), 7);
    EXPECT_EQ(fieldenc_getNSHrequired(mEncoder), 64);
    fieldenc_setOutputOrder(mEncoder, -1);
    EXPECT_EQ(fieldenc_getOutputOrder(mEncoder), 0);

    fieldenc_setInputConfigPreset(mEncoder, kEncoderPresetDefault);
    EXPECT_EQ(fieldenc_getNumSources(mEncoder), 1);
    EXPECT_EQ(fieldenc_getSourceAzi_deg(mEncoder, 0), 0.0f);
    EXPECT_EQ(fieldenc_getSourceElev_deg(mEncoder, 0), 0.0f);
}

TEST_F(EncoderTest, OutputChannelCountsAreHonoured)
{
    const auto s = noise(mRng);
    // Order 1 into 16 outputs: channels 4 to 15 are zero.
    process(mono(s), 16);
    Frames out = process(mono(s), 16);
    for (int c = 4; c < 16; ++c)
        for (int i = 0; i < kFrame; ++i)
            ASSERT_EQ(out.data[c][i], 0.0f) << "channel " << c;
    EXPECT_NE(out.data[0][3], 0.0f);

    // Order 3 into 4 outputs: only 4 channels are written (AddressSanitizer guards the rest).
    fieldenc_setOutputOrder(mEncoder, 3);
    process(mono(s), 4);
    out = process(mono(s), 4);
    const auto gains = expectedGains(3, {0, 0}, kChannelOrderACN, kNormalisationSN3D);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(out.data[c][7], gains[c] * s[7], 1e-6);

    // No inputs: silence; no outputs: nothing written.
    out = process(Frames(0), 16);
    out = process(Frames(0), 16);
    for (int c = 0; c < 16; ++c)
        EXPECT_EQ(out.data[c][5], 0.0f);
    fieldenc_process(mEncoder, nullptr, nullptr, 0, 0, kFrame);
}

TEST_F(EncoderTest, FuMaIsRefusedAboveFirstOrder)
{
    fieldenc_setChOrder(mEncoder, kChannelOrderFuMa);
    fieldenc_setNormType(mEncoder, kNormalisationFuMa);
    fieldenc_setOutputOrder(mEncoder, 2);
    EXPECT_EQ(fieldenc_getChOrder(mEncoder), kChannelOrderACN);
    EXPECT_EQ(fieldenc_getNormType(mEncoder), kNormalisationSN3D);
    fieldenc_setChOrder(mEncoder, kChannelOrderFuMa);
    fieldenc_setNormType(mEncoder, kNormalisationFuMa);
    EXPECT_EQ(fieldenc_getChOrder(mEncoder), kChannelOrderACN);
    EXPECT_EQ(fieldenc_getNormType(mEncoder), kNormalisationSN3D);
}

TEST_F(EncoderTest, OtherFrameLengthsGiveSilenceWithinTheBuffers)
{
    Frames out = process(mono(noise(mRng)), 4, 100);
    for (int c = 0; c < 4; ++c) {
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(out.data[c][i], 0.0f);
        for (int i = 100; i < kFrame; ++i)
            ASSERT_EQ(out.data[c][i], kSentinel);
    }
}

TEST_F(EncoderTest, InputsAndOutputsMayShareBuffers)
{
    fieldenc_setOutputOrder(mEncoder, 1);
    fieldenc_setNumSources(mEncoder, 4);
    FieldEncoder* other = nullptr;
    fieldenc_create(&other);
    fieldenc_init(other, 48000);
    fieldenc_setNumSources(other, 4);
    for (int call = 0; call < 3; ++call) {
        Frames shared(4);
        for (auto& c : shared.data)
            c = noise(mRng);
        const Frames copy = shared;
        Frames separate(4);
        fieldenc_process(other, copy.in(), separate.out(), 4, 4, kFrame);
        fieldenc_process(mEncoder, shared.in(), shared.out(), 4, 4, kFrame);
        for (int c = 0; c < 4; ++c)
            for (int i = 0; i < kFrame; ++i)
                ASSERT_EQ(shared.data[c][i], separate.data[c][i]);
    }
    fieldenc_destroy(&other);
}

TEST_F(EncoderTest, ProcessAllocatesNothing)
{
    fieldenc_setOutputOrder(mEncoder, 7);
    fieldenc_setNumSources(mEncoder, 64);
    Frames in(64);
    for (auto& c : in.data)
        c = noise(mRng);
    Frames out(64);
    fieldenc_process(mEncoder, in.in(), out.out(), 64, 64, kFrame);
    qirtest::AllocationCounter counter;
    fieldenc_process(mEncoder, in.in(), out.out(), 64, 64, kFrame); // steady
    fieldenc_refreshParams(mEncoder);
    fieldenc_process(mEncoder, in.in(), out.out(), 64, 64, kFrame); // recomputes every source
    fieldenc_refreshParams(mEncoder);
    fieldenc_processFrame(mEncoder, in.in(), out.out(), 64, 64, kFrame);
    EXPECT_EQ(counter.count(), 0u);
}

// The zero-delay routine is the delayed one without its frame of delay: a change of the gains
// (direction, order, normalisation) made before frame k of the one acts as the same change made
// before call k + 1 of the other. (Source count and source gains apply as a frame is read in, so
// they are not shifted; nor are the settings made before the first frame, which both take at
// once.)
TEST_F(EncoderTest, ZeroDelayFrameIsTheDelayedOutputOneCallEarlier)
{
    const auto change = [](FieldEncoder* e, int frame) {
        if (frame == 0)
            fieldenc_setSourceAzi_deg(e, 1, 120.0f);
        if (frame == 2) {
            fieldenc_setSourceAzi_deg(e, 0, -60.0f);
            fieldenc_setSourceElev_deg(e, 2, 35.0f);
        }
        if (frame == 4)
            fieldenc_setOutputOrder(e, 3);
        if (frame == 6)
            fieldenc_setNormType(e, kNormalisationN3D);
    };
    FieldEncoder* delayed = nullptr;
    fieldenc_create(&delayed);
    fieldenc_init(delayed, 48000);
    for (FieldEncoder* e : {mEncoder, delayed}) {
        fieldenc_setNumSources(e, 3);
        fieldenc_setSourceGain(e, 1, 0.25f);
        change(e, 0);
    }
    std::vector<Frames> zeroDelay;
    for (int frame = 0; frame < 9; ++frame) {
        Frames in(3);
        for (auto& c : in.data)
            c = noise(mRng);
        if (frame > 0)
            change(mEncoder, frame);
        Frames now(16, kSentinel);
        fieldenc_processFrame(mEncoder, in.in(), now.out(), 3, 16, kFrame);
        zeroDelay.push_back(now);
        if (frame > 1)
            change(delayed, frame - 1);
        Frames late(16, kSentinel);
        fieldenc_process(delayed, in.in(), late.out(), 3, 16, kFrame);
        if (frame == 0)
            continue;
        const Frames& expected = zeroDelay[static_cast<std::size_t>(frame - 1)];
        for (int c = 0; c < 16; ++c)
            for (int i = 0; i < kFrame; ++i)
                ASSERT_NEAR(late.data[c][i], expected.data[c][i], 1e-6) << "frame " << frame << " channel " << c;
    }
    fieldenc_destroy(&delayed);
}

TEST_F(EncoderTest, ZeroDelayFrameEncodesAtOnceAndFadesANewDirectionOnItsOwnFrame)
{
    fieldenc_setOutputOrder(mEncoder, 2);
    fieldenc_setSourceAzi_deg(mEncoder, 0, 90.0f);
    fieldenc_setSourceElev_deg(mEncoder, 0, 45.0f);
    const auto a = expectedGains(2, {90, 45}, kChannelOrderACN, kNormalisationSN3D);
    const auto b = expectedGains(2, {-135, 0}, kChannelOrderACN, kNormalisationSN3D);
    // The first frame after init already carries the source's gains: no fade-in.
    const auto s = noise(mRng);
    Frames first = mono(s);
    first.data.resize(9, std::vector<float>(kFrame, kSentinel));
    fieldenc_processFrame(mEncoder, first.in(), first.out(), 1, 9, kFrame);
    fieldenc_setSourceAzi_deg(mEncoder, 0, -135.0f);
    fieldenc_setSourceElev_deg(mEncoder, 0, 0.0f);
    const auto s2 = noise(mRng);
    Frames fading(9, kSentinel);
    fieldenc_processFrame(mEncoder, mono(s2).in(), fading.out(), 1, 9, kFrame);
    for (int k = 0; k < 9; ++k) {
        for (int i = 0; i < kFrame; ++i) {
            const float in = (i + 1) / 128.0f;
            ASSERT_NEAR(first.data[k][i], a[k] * s[i], 1e-5) << "channel " << k;
            ASSERT_NEAR(fading.data[k][i], (in * b[k] + (1.0f - in) * a[k]) * s2[i], 1e-5) << "channel " << k;
        }
    }
}

TEST(EncoderLifetime, DestroyIgnoresNullAndClearsTheHandle)
{
    FieldEncoder* encoder = nullptr;
    fieldenc_destroy(&encoder);
    fieldenc_destroy(nullptr);
    fieldenc_create(&encoder);
    ASSERT_NE(encoder, nullptr);
    EXPECT_EQ(fieldenc_getOutputOrder(encoder), 1);
    EXPECT_EQ(fieldenc_getNumSources(encoder), 1);
    EXPECT_EQ(fieldenc_getChOrder(encoder), kChannelOrderACN);
    EXPECT_EQ(fieldenc_getNormType(encoder), kNormalisationSN3D);
    EXPECT_EQ(fieldenc_getEnablePostScaling(encoder), 1);
    EXPECT_EQ(fieldenc_getFrameSize(encoder), 128);
    EXPECT_EQ(fieldenc_getProcessingDelay(encoder), 128);
    fieldenc_destroy(&encoder);
    EXPECT_EQ(encoder, nullptr);
}

} // namespace
