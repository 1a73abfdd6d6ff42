// tests/soundfield: the rotator, checked against plane waves from rotated directions.
#include "soundfield/Rotator.h"

#include "soundfield/Conventions.h"
#include "soundfield/RotationMatrices.h"

#include "FieldTestUtil.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using namespace fieldtest;

namespace {

constexpr float kDegToRad = 3.1415927f / 180.0f;

class RotatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fieldrot_create(&mRotator);
        ASSERT_NE(mRotator, nullptr);
        fieldrot_init(mRotator, 48000);
    }

    void TearDown() override { fieldrot_destroy(&mRotator); }

    Frames process(const Frames& in, int nOutputs, int nSamples = kFrame)
    {
        Frames out(nOutputs, kSentinel);
        fieldrot_process(mRotator, in.in(), out.out(), static_cast<int>(in.data.size()), nOutputs, nSamples);
        return out;
    }

    FieldRotator* mRotator = nullptr;
    std::mt19937 mRng{31};
};

void expectFramesNear(const Frames& actual, const Frames& expected, double tolerance, const char* what)
{
    ASSERT_EQ(actual.data.size(), expected.data.size());
    for (std::size_t c = 0; c < actual.data.size(); ++c)
        for (int i = 0; i < kFrame; ++i)
            ASSERT_NEAR(actual.data[c][i], expected.data[c][i], tolerance) << what << ": channel " << c << " sample " << i;
}

Frames randomFrames(int channels, std::mt19937& rng)
{
    Frames f(channels);
    for (auto& c : f.data)
        c = noise(rng);
    return f;
}

TEST_F(RotatorTest, ZeroAnglesOutputThePreviousInputAtEveryOrder)
{
    for (int order = 0; order <= 7; ++order) {
        SCOPED_TRACE(order);
        fieldrot_setOrder(mRotator, order);
        fieldrot_init(mRotator, 48000);
        const int n = numSH(order);
        Frames previous(n);
        for (int call = 0; call < 4; ++call) {
            const Frames in = randomFrames(n, mRng);
            expectFramesNear(process(in, n), previous, 1e-6, "identity");
            previous = in;
        }
    }
}

TEST_F(RotatorTest, SteadyRotationGivesTheHarmonicsOfTheRotatedDirection)
{
    std::uniform_real_distribution<float> angle(-170.0f, 170.0f);
    std::uniform_real_distribution<float> pitch(-80.0f, 80.0f);
    for (int order = 1; order <= 7; ++order) {
        for (int rpy : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "order " << order << " rpy " << rpy);
            const float yaw = angle(mRng);
            const float pitchDeg = pitch(mRng);
            const float roll = angle(mRng);
            fieldrot_setOrder(mRotator, order);
            fieldrot_setRPYflag(mRotator, rpy);
            fieldrot_setYaw(mRotator, yaw);
            fieldrot_setPitch(mRotator, pitchDeg);
            fieldrot_setRoll(mRotator, roll);
            float R[3][3];
            eulerToRotationMatrix(yaw * kDegToRad, pitchDeg * kDegToRad, roll * kDegToRad, rpy, R);

            const int n = numSH(order);
            const Direction u = randomDirection(mRng);
            process(randomFrames(n, mRng), n); // the frame that fades to the new orientation
            auto s = noise(mRng);
            process(planeWave(harmonics(order, u), s, n), n);
            const Frames out = process(Frames(n), n);
            expectFramesNear(out, planeWave(harmonics(order, rotate(R, u)), s, n), 2e-4, "rotated wave");
        }
    }
}

TEST_F(RotatorTest, ChangeFadesLinearlyOverOneFrameThenHolds)
{
    const int order = 2;
    const int n = numSH(order);
    fieldrot_setOrder(mRotator, order);
    const Direction u{20.0, 10.0};
    const auto before = harmonics(order, u);
    const auto after = harmonics(order, {u.azimuthDeg - 90.0, u.elevationDeg});

    auto s = noise(mRng);
    process(planeWave(before, s, n), n);
    process(planeWave(before, s, n), n);
    fieldrot_setYaw(mRotator, 90.0f);
    const auto s2 = noise(mRng);
    const Frames fading = process(planeWave(before, s2, n), n);
    for (int k = 0; k < n; ++k) {
        for (int i = 0; i < kFrame; ++i) {
            const float in = (i + 1) / 128.0f;
            const float expected = (in * after[k] + (1.0f - in) * before[k]) * s[i];
            ASSERT_NEAR(fading.data[k][i], expected, 1e-4) << "channel " << k << " sample " << i;
        }
    }
    const Frames held = process(Frames(n), n);
    expectFramesNear(held, planeWave(after, s2, n), 1e-4, "after the fade");
}

struct FlipCase {
    const char* axis;
    void (*setAngle)(FieldRotator*, float);
    void (*setFlip)(FieldRotator*, int);
    float (*getAngle)(const FieldRotator*);
    int (*getFlip)(const FieldRotator*);
};

TEST_F(RotatorTest, AFlippedAngleTurnsTheOtherWayAndReadsBackUnchanged)
{
    const FlipCase cases[] = {
        {"yaw", fieldrot_setYaw, fieldrot_setFlipYaw, fieldrot_getYaw, fieldrot_getFlipYaw},
        {"pitch", fieldrot_setPitch, fieldrot_setFlipPitch, fieldrot_getPitch, fieldrot_getFlipPitch},
        {"roll", fieldrot_setRoll, fieldrot_setFlipRoll, fieldrot_getRoll, fieldrot_getFlipRoll},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.axis);
        FieldRotator* flipped = nullptr;
        FieldRotator* negated = nullptr;
        fieldrot_create(&flipped);
        fieldrot_create(&negated);
        for (FieldRotator* r : {flipped, negated}) {
            fieldrot_init(r, 48000);
            fieldrot_setOrder(r, 3);
        }
        c.setAngle(flipped, 30.0f);
        c.setFlip(flipped, 1);
        c.setAngle(negated, -30.0f);
        EXPECT_NEAR(c.getAngle(flipped), 30.0f, 1e-4f);
        EXPECT_EQ(c.getFlip(flipped), 1);

        for (int call = 0; call < 3; ++call) {
            const Frames in = randomFrames(16, mRng);
            Frames outFlipped(16);
            Frames outNegated(16);
            fieldrot_process(flipped, in.in(), outFlipped.out(), 16, 16, kFrame);
            fieldrot_process(negated, in.in(), outNegated.out(), 16, 16, kFrame);
            expectFramesNear(outFlipped, outNegated, 1e-6, "flipped vs negated");
        }
        // Flipping back restores the angle as set.
        c.setFlip(flipped, 0);
        EXPECT_NEAR(c.getAngle(flipped), 30.0f, 1e-4f);
        fieldrot_destroy(&flipped);
        fieldrot_destroy(&negated);
    }
}

TEST_F(RotatorTest, AFlippedQuaternionTurnsTheOtherWayAndReadsBackUnchanged)
{
    FieldRotator* negated = nullptr;
    fieldrot_create(&negated);
    fieldrot_init(negated, 48000);
    const float q[4] = {0.8f, 0.2f, -0.4f, 0.4f};
    fieldrot_setFlipQuaternion(mRotator, 1);
    fieldrot_setQuaternionW(mRotator, q[0]);
    fieldrot_setQuaternionX(mRotator, q[1]);
    fieldrot_setQuaternionY(mRotator, q[2]);
    fieldrot_setQuaternionZ(mRotator, q[3]);
    fieldrot_setQuaternionW(negated, q[0]);
    fieldrot_setQuaternionX(negated, -q[1]);
    fieldrot_setQuaternionY(negated, -q[2]);
    fieldrot_setQuaternionZ(negated, -q[3]);
    EXPECT_EQ(fieldrot_getFlipQuaternion(mRotator), 1);
    EXPECT_FLOAT_EQ(fieldrot_getQuaternionW(mRotator), q[0]);
    EXPECT_FLOAT_EQ(fieldrot_getQuaternionX(mRotator), q[1]);
    EXPECT_FLOAT_EQ(fieldrot_getQuaternionY(mRotator), q[2]);
    EXPECT_FLOAT_EQ(fieldrot_getQuaternionZ(mRotator), q[3]);
    for (int call = 0; call < 3; ++call) {
        const Frames in = randomFrames(4, mRng);
        Frames a(4);
        Frames b(4);
        fieldrot_process(mRotator, in.in(), a.out(), 4, 4, kFrame);
        fieldrot_process(negated, in.in(), b.out(), 4, 4, kFrame);
        expectFramesNear(a, b, 1e-6, "flipped vs negated quaternion");
    }
    fieldrot_destroy(&negated);
}

// A quaternion set directly turns the field by the toolkit's quaternion matrix, and the angles
// read back afterwards describe the same quaternion.
TEST_F(RotatorTest, QuaternionInputTurnsByItsMatrixAndRefreshesTheAngles)
{
    float Q[4];
    eulerToQuaternion(40.0f, 10.0f, -20.0f, 1, kEulerYawPitchRoll, Q);
    fieldrot_setQuaternionW(mRotator, Q[0]);
    fieldrot_setQuaternionX(mRotator, Q[1]);
    fieldrot_setQuaternionY(mRotator, Q[2]);
    fieldrot_setQuaternionZ(mRotator, Q[3]);
    float R[3][3];
    quaternionToRotationMatrix(Q, R);
    const Direction u{-60.0, 25.0};
    process(Frames(4), 4);
    const auto s = noise(mRng);
    process(planeWave(harmonics(1, u), s, 4), 4);
    expectFramesNear(process(Frames(4), 4), planeWave(harmonics(1, rotate(R, u)), s, 4), 1e-4, "quaternion");
    EXPECT_NEAR(fieldrot_getYaw(mRotator), 40.0f, 1e-3f);
    EXPECT_NEAR(fieldrot_getPitch(mRotator), 10.0f, 1e-3f);
    EXPECT_NEAR(fieldrot_getRoll(mRotator), -20.0f, 1e-3f);
}

// Changing the order (as the engine does on every decoder-set change) or re-initialising must
// not move the field set by angles.
TEST_F(RotatorTest, OrderChangeAndInitKeepTheOrientationSetByAngles)
{
    FieldRotator* rotator = nullptr;
    fieldrot_create(&rotator);
    fieldrot_setYaw(rotator, 90.0f); // before init, as when a host restores state first
    fieldrot_setPitch(rotator, 30.0f);
    fieldrot_init(rotator, 48000);
    float R[3][3];
    eulerToRotationMatrix(90.0f * kDegToRad, 30.0f * kDegToRad, 0.0f, 0, R);
    const Direction u{15.0, -35.0};

    for (int order : {1, 3, 3, 5}) {
        SCOPED_TRACE(order);
        fieldrot_setOrder(rotator, order);
        const int n = numSH(order);
        Frames out(n);
        const auto s = noise(mRng);
        const Frames wave = planeWave(harmonics(order, u), s, n);
        fieldrot_process(rotator, wave.in(), out.out(), n, n, kFrame);
        const Frames silence(n);
        fieldrot_process(rotator, silence.in(), out.out(), n, n, kFrame);
        expectFramesNear(out, planeWave(harmonics(order, rotate(R, u)), s, n), 2e-4, "after order change");
        if (order == 3)
            fieldrot_init(rotator, 44100);
    }
    EXPECT_NEAR(fieldrot_getYaw(rotator), 90.0f, 1e-3f);
    EXPECT_NEAR(fieldrot_getPitch(rotator), 30.0f, 1e-3f);
    fieldrot_destroy(&rotator);
}

TEST_F(RotatorTest, FuMaChannelOrderIsRotatedInPlaceAtFirstOrder)
{
    ASSERT_EQ(fieldrot_getOrder(mRotator), 1);
    fieldrot_setChOrder(mRotator, kChannelOrderFuMa);
    fieldrot_setNormType(mRotator, kNormalisationFuMa);
    ASSERT_EQ(fieldrot_getChOrder(mRotator), kChannelOrderFuMa);
    ASSERT_EQ(fieldrot_getNormType(mRotator), kNormalisationFuMa);
    fieldrot_setYaw(mRotator, -60.0f);
    fieldrot_setRoll(mRotator, 25.0f);
    float R[3][3];
    eulerToRotationMatrix(-60.0f * kDegToRad, 0.0f, 25.0f * kDegToRad, 0, R);

    // FuMa: W X Y Z, with W at -3 dB and the dipoles in SN3D scaling.
    const auto toFuMa = [](const std::vector<float>& acnN3D) {
        const float r3 = std::sqrt(3.0f);
        return std::vector<float>{acnN3D[0] / std::sqrt(2.0f), acnN3D[3] / r3, acnN3D[1] / r3, acnN3D[2] / r3};
    };
    const Direction u{70.0, 20.0};
    process(Frames(4), 4);
    const auto s = noise(mRng);
    process(planeWave(toFuMa(harmonics(1, u)), s, 4), 4);
    expectFramesNear(process(Frames(4), 4), planeWave(toFuMa(harmonics(1, rotate(R, u))), s, 4), 1e-4, "FuMa");
}

TEST_F(RotatorTest, FuMaIsRefusedAboveFirstOrder)
{
    fieldrot_setChOrder(mRotator, kChannelOrderFuMa);
    fieldrot_setNormType(mRotator, kNormalisationFuMa);
    fieldrot_setOrder(mRotator, 3);
    EXPECT_EQ(fieldrot_getChOrder(mRotator), kChannelOrderACN);
    EXPECT_EQ(fieldrot_getNormType(mRotator), kNormalisationSN3D);
    fieldrot_setChOrder(mRotator, kChannelOrderFuMa);
    fieldrot_setNormType(mRotator, kNormalisationFuMa);
    EXPECT_EQ(fieldrot_getChOrder(mRotator), kChannelOrderACN);
    EXPECT_EQ(fieldrot_getNormType(mRotator), kNormalisationSN3D);
    fieldrot_setNormType(mRotator, kNormalisationN3D);
    EXPECT_EQ(fieldrot_getNormType(mRotator), kNormalisationN3D);
}

TEST_F(RotatorTest, MissingInputsAreSilenceAndSurplusOutputsAreZeroed)
{
    fieldrot_setOrder(mRotator, 3);
    fieldrot_setYaw(mRotator, 50.0f);
    fieldrot_setPitch(mRotator, -20.0f);
    float R[3][3];
    eulerToRotationMatrix(50.0f * kDegToRad, -20.0f * kDegToRad, 0.0f, 0, R);
    const Direction u{-120.0, 40.0};
    process(Frames(4), 25);
    const auto s = noise(mRng);
    process(planeWave(harmonics(1, u), s, 4), 25); // first order into a third-order rotator
    const Frames out = process(Frames(4), 25);
    const auto expected = harmonics(1, rotate(R, u));
    for (int c = 0; c < 25; ++c)
        for (int i = 0; i < kFrame; ++i)
            ASSERT_NEAR(out.data[c][i], c < 4 ? expected[c] * s[i] : 0.0f, 1e-4) << "channel " << c;
}

TEST_F(RotatorTest, OtherFrameLengthsGiveSilenceWithinTheBuffersAndKeepTheDelayLine)
{
    const Frames a = randomFrames(4, mRng);
    process(a, 4);
    const Frames b = randomFrames(4, mRng);
    Frames shortOut = process(b, 4, 64);
    for (int c = 0; c < 4; ++c) {
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(shortOut.data[c][i], 0.0f);
        for (int i = 64; i < kFrame; ++i)
            ASSERT_EQ(shortOut.data[c][i], kSentinel) << "wrote past the 64 samples asked for";
    }
    expectFramesNear(process(b, 4), a, 1e-6, "delay line after a short call");
}

TEST_F(RotatorTest, OrdersOutsideTheRangeAreClamped)
{
    fieldrot_setOrder(mRotator, 12);
    EXPECT_EQ(fieldrot_getOrder(mRotator), 7);
    EXPECT_EQ(fieldrot_getNSHrequired(mRotator), 64);
    const Frames in = randomFrames(64, mRng);
    process(in, 64);
    expectFramesNear(process(in, 64), in, 1e-6, "clamped order 7");
    fieldrot_setOrder(mRotator, -4);
    EXPECT_EQ(fieldrot_getOrder(mRotator), 0);
    EXPECT_EQ(fieldrot_getNSHrequired(mRotator), 1);
    EXPECT_EQ(fieldrot_getFrameSize(mRotator), 128);
    EXPECT_EQ(fieldrot_getProcessingDelay(mRotator), 128);
}

TEST_F(RotatorTest, InputsAndOutputsMayShareBuffers)
{
    FieldRotator* other = nullptr;
    fieldrot_create(&other);
    fieldrot_init(other, 48000);
    for (FieldRotator* r : {mRotator, other}) {
        fieldrot_setOrder(r, 2);
        fieldrot_setYaw(r, 33.0f);
        fieldrot_setRoll(r, 12.0f);
    }
    for (int call = 0; call < 3; ++call) {
        Frames shared = randomFrames(9, mRng);
        const Frames copy = shared;
        Frames separate(9);
        fieldrot_process(mRotator, copy.in(), separate.out(), 9, 9, kFrame);
        fieldrot_process(other, shared.in(), shared.out(), 9, 9, kFrame);
        expectFramesNear(shared, separate, 0.0, "in place");
    }
    fieldrot_destroy(&other);
}

TEST_F(RotatorTest, ProcessAllocatesNothing)
{
    fieldrot_setOrder(mRotator, 7);
    const Frames in = randomFrames(64, mRng);
    Frames out(64);
    fieldrot_process(mRotator, in.in(), out.out(), 64, 64, kFrame);
    qirtest::AllocationCounter counter;
    fieldrot_process(mRotator, in.in(), out.out(), 64, 64, kFrame); // steady
    fieldrot_setYaw(mRotator, 10.0f);
    fieldrot_process(mRotator, in.in(), out.out(), 64, 64, kFrame); // builds a matrix
    fieldrot_setQuaternionX(mRotator, 0.1f);
    fieldrot_process(mRotator, in.in(), out.out(), 64, 64, kFrame);
    fieldrot_setBypass(mRotator, 1);
    fieldrot_processFrame(mRotator, in.in(), out.out(), 64, 64, kFrame);
    fieldrot_processFrame(mRotator, in.in(), out.out(), 64, 64, kFrame);
    fieldrot_setBypass(mRotator, 0);
    fieldrot_processFrame(mRotator, in.in(), out.out(), 64, 64, kFrame);
    EXPECT_EQ(counter.count(), 0u);
}

// The zero-delay routine is the delayed one without its frame of delay: a change of orientation
// made before frame k of the one acts as the same change made before call k + 1 of the other.
// (Order and channel order apply as a frame is read in, so they are not shifted; nor are the
// settings made before the first frame, which both take at once.)
struct FrameCase {
    const char* name;
    int order;
    int chOrder;
    // Changes the orientation settings of r before zero-delay frame `frame`.
    void (*change)(FieldRotator* r, int frame);
};

TEST_F(RotatorTest, ZeroDelayFrameIsTheDelayedOutputOneCallEarlier)
{
    const FrameCase cases[] = {
        {"angles", 3, kChannelOrderACN, [](FieldRotator* r, int frame) {
             if (frame == 0) {
                 fieldrot_setYaw(r, 30.0f);
                 fieldrot_setPitch(r, -15.0f);
             }
             if (frame == 3)
                 fieldrot_setRoll(r, 40.0f);
             if (frame == 5)
                 fieldrot_setFlipYaw(r, 1);
         }},
        {"quaternion", 2, kChannelOrderACN, [](FieldRotator* r, int frame) {
             if (frame == 2) {
                 fieldrot_setQuaternionW(r, 0.8f);
                 fieldrot_setQuaternionY(r, 0.6f);
             }
             if (frame == 4)
                 fieldrot_setFlipQuaternion(r, 1);
         }},
        {"FuMa, RPY and bypass", 1, kChannelOrderFuMa, [](FieldRotator* r, int frame) {
             if (frame == 0) {
                 fieldrot_setYaw(r, 50.0f);
                 fieldrot_setRoll(r, 20.0f);
             }
             if (frame == 2)
                 fieldrot_setRPYflag(r, 1);
             if (frame == 3 || frame == 5)
                 fieldrot_setBypass(r, frame == 3);
         }},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.name);
        FieldRotator* delayed = nullptr;
        FieldRotator* current = nullptr;
        fieldrot_create(&delayed);
        fieldrot_create(&current);
        for (FieldRotator* r : {delayed, current}) {
            fieldrot_setOrder(r, c.order);
            fieldrot_setChOrder(r, c.chOrder);
            fieldrot_init(r, 48000);
            c.change(r, 0);
        }
        const int n = 16;
        std::vector<Frames> zeroDelay;
        for (int frame = 0; frame < 8; ++frame) {
            const Frames in = randomFrames(n, mRng);
            if (frame > 0)
                c.change(current, frame);
            Frames now(n, kSentinel);
            fieldrot_processFrame(current, in.in(), now.out(), n, n, kFrame);
            zeroDelay.push_back(now);
            if (frame > 1)
                c.change(delayed, frame - 1);
            Frames late(n, kSentinel);
            fieldrot_process(delayed, in.in(), late.out(), n, n, kFrame);
            if (frame > 0)
                expectFramesNear(late, zeroDelay[static_cast<std::size_t>(frame - 1)], 1e-6, "one call later");
        }
        fieldrot_destroy(&delayed);
        fieldrot_destroy(&current);
    }
}

TEST_F(RotatorTest, ZeroDelayFrameTurnsTheFirstFrameAfterInitAtOnce)
{
    // A host restores the angles before the stream starts: frame 0 is already turned, with no
    // fade-in from the cleared matrix.
    fieldrot_setOrder(mRotator, 3);
    fieldrot_setYaw(mRotator, -70.0f);
    fieldrot_setPitch(mRotator, 25.0f);
    fieldrot_init(mRotator, 48000);
    float R[3][3];
    eulerToRotationMatrix(-70.0f * kDegToRad, 25.0f * kDegToRad, 0.0f, 0, R);
    const Direction u{110.0, -20.0};
    for (int frame = 0; frame < 2; ++frame) {
        const auto s = noise(mRng);
        Frames wave = planeWave(harmonics(3, u), s, 16);
        fieldrot_processFrame(mRotator, wave.in(), wave.out(), 16, 16, kFrame);
        expectFramesNear(wave, planeWave(harmonics(3, rotate(R, u)), s, 16), 2e-4, "rotated in place");
    }
}

TEST_F(RotatorTest, UseRpyAloneChangesTheMatrixAtTheNextFrame)
{
    fieldrot_setOrder(mRotator, 2);
    fieldrot_setYaw(mRotator, 40.0f);
    fieldrot_setPitch(mRotator, 30.0f);
    fieldrot_setRoll(mRotator, 50.0f);
    const Direction u{-30.0, 10.0};
    for (int rpy : {1, 0, 1}) {
        SCOPED_TRACE(rpy);
        fieldrot_setRPYflag(mRotator, rpy);
        float R[3][3];
        eulerToRotationMatrix(40.0f * kDegToRad, 30.0f * kDegToRad, 50.0f * kDegToRad, rpy, R);
        Frames out(9);
        std::vector<float> s;
        for (int frame = 0; frame < 2; ++frame) { // the first frame crossfades
            s = noise(mRng);
            const Frames wave = planeWave(harmonics(2, u), s, 9);
            fieldrot_processFrame(mRotator, wave.in(), out.out(), 9, 9, kFrame);
        }
        expectFramesNear(out, planeWave(harmonics(2, rotate(R, u)), s, 9), 2e-4, "after the toggle");
    }
}

TEST_F(RotatorTest, BypassFadesToThePlainFieldWhichThenPassesBitForBit)
{
    fieldrot_setOrder(mRotator, 1);
    fieldrot_setYaw(mRotator, 90.0f);
    const Direction u{0.0, 0.0};
    const auto plain = harmonics(1, u);
    const auto turned = harmonics(1, {-90.0, 0.0});
    auto frame = [&](const std::vector<float>& s) {
        Frames wave = planeWave(plain, s, 4);
        fieldrot_processFrame(mRotator, wave.in(), wave.out(), 4, 4, kFrame);
        return wave;
    };
    const auto s0 = noise(mRng);
    expectFramesNear(frame(s0), planeWave(turned, s0, 4), 1e-4, "rotated");

    for (int bypass : {1, 0}) {
        SCOPED_TRACE(bypass);
        fieldrot_setBypass(mRotator, bypass);
        EXPECT_EQ(fieldrot_getBypass(mRotator), bypass);
        const auto& from = bypass ? turned : plain;
        const auto& to = bypass ? plain : turned;
        const auto s = noise(mRng);
        const Frames fading = frame(s);
        for (int k = 0; k < 4; ++k) {
            for (int i = 0; i < kFrame; ++i) {
                const float in = (i + 1) / 128.0f;
                ASSERT_NEAR(fading.data[k][i], (in * to[k] + (1.0f - in) * from[k]) * s[i], 1e-4)
                    << "channel " << k << " sample " << i;
            }
        }
        if (bypass) {
            // Settled: the field passes untouched, in place or not, whatever the angles do meanwhile.
            for (int f = 0; f < 3; ++f) {
                if (f == 1)
                    fieldrot_setYaw(mRotator, -45.0f);
                const Frames in = randomFrames(4, mRng);
                Frames out(4, kSentinel);
                fieldrot_processFrame(mRotator, in.in(), out.out(), 4, 4, kFrame);
                Frames shared = in;
                fieldrot_processFrame(mRotator, shared.in(), shared.out(), 4, 4, kFrame);
                for (int c = 0; c < 4; ++c) {
                    EXPECT_EQ(out.data[c], in.data[c]) << "channel " << c;
                    EXPECT_EQ(shared.data[c], in.data[c]) << "channel " << c;
                }
            }
            fieldrot_setYaw(mRotator, 90.0f);
        }
    }
    const auto s = noise(mRng);
    expectFramesNear(frame(s), planeWave(turned, s, 4), 1e-4, "rotated again");
}

// Rotation on with nothing to turn: the field passes bit for bit at every order, and a turn away
// from it and back fades linearly over one frame each way, with no step at either end.
TEST_F(RotatorTest, ZeroOrientationPassesBitForBitAndFadesSmoothlyInAndOut)
{
    for (int order = 1; order <= 7; ++order) {
        SCOPED_TRACE(order);
        const int n = numSH(order);
        fieldrot_setOrder(mRotator, order);
        fieldrot_setYaw(mRotator, 0.0f);
        fieldrot_init(mRotator, 48000);
        auto frame = [&](const Frames& in) {
            Frames out(n, kSentinel);
            fieldrot_processFrame(mRotator, in.in(), out.out(), n, n, kFrame);
            return out;
        };
        for (int f = 0; f < 2; ++f) {
            const Frames in = randomFrames(n, mRng);
            const Frames out = frame(in);
            for (int c = 0; c < n; ++c)
                ASSERT_EQ(out.data[c], in.data[c]) << "channel " << c;
        }
        const Direction u{35.0, 20.0};
        const auto plain = harmonics(order, u);
        const auto turned = harmonics(order, {u.azimuthDeg - 90.0, u.elevationDeg});
        for (float yaw : {90.0f, 0.0f}) {
            fieldrot_setYaw(mRotator, yaw);
            const auto& from = yaw != 0.0f ? plain : turned;
            const auto& to = yaw != 0.0f ? turned : plain;
            const auto s = noise(mRng);
            const Frames fading = frame(planeWave(plain, s, n));
            for (int k = 0; k < n; ++k) {
                for (int i = 0; i < kFrame; ++i) {
                    const float in = (i + 1) / 128.0f;
                    ASSERT_NEAR(fading.data[k][i], (in * to[k] + (1.0f - in) * from[k]) * s[i], 2e-4)
                        << "yaw " << yaw << " channel " << k << " sample " << i;
                }
            }
        }
        const Frames in = randomFrames(n, mRng);
        const Frames out = frame(in);
        for (int c = 0; c < n; ++c)
            ASSERT_EQ(out.data[c], in.data[c]) << "back at zero: channel " << c;
    }
}

// The engine raises the order as a larger decoder set is adopted, then hands the rotator its
// angles again. The channels the new order adds must carry the field at once, at that very frame:
// fading them in from zero would leave an impulse there at 1/128 of its level.
struct OrderRaiseCase {
    const char* name;
    int bypass;
    float yaw;
    float pitch;
};

TEST_F(RotatorTest, RaisingTheOrderPassesTheNewChannelsAtOnce)
{
    const OrderRaiseCase cases[] = {
        {"rotation off", 1, 40.0f, 10.0f},
        {"rotation on, nothing to turn", 0, 0.0f, 0.0f},
        {"rotation on, turned", 0, 40.0f, 10.0f},
    };
    for (const OrderRaiseCase& c : cases) {
        for (int to : {3, 7}) {
            SCOPED_TRACE(testing::Message() << c.name << ", order 1 to " << to);
            FieldRotator* r = nullptr;
            fieldrot_create(&r);
            fieldrot_setOrder(r, 1);
            fieldrot_setBypass(r, c.bypass);
            fieldrot_setYaw(r, c.yaw);
            fieldrot_setPitch(r, c.pitch);
            fieldrot_init(r, 48000);
            for (int f = 0; f < 3; ++f) {
                Frames field = randomFrames(4, mRng);
                fieldrot_processFrame(r, field.in(), field.out(), 4, 4, kFrame);
            }
            fieldrot_setOrder(r, to);
            fieldrot_setYaw(r, c.yaw);
            fieldrot_setPitch(r, c.pitch);
            const int n = numSH(to);
            float R[3][3];
            eulerToRotationMatrix(c.yaw * kDegToRad, c.pitch * kDegToRad, 0.0f, 0, R);
            const Direction u{-50.0, 30.0};
            const Direction v = c.bypass ? u : rotate(R, u);
            const auto s = noise(mRng);
            Frames field = planeWave(harmonics(to, u), s, n);
            field.data[9][0] += 1.0f; // an impulse on a channel the new order adds
            const Frames in = field;
            fieldrot_processFrame(r, field.in(), field.out(), n, n, kFrame);
            Frames expected = planeWave(harmonics(to, v), s, n);
            double impulseEnergy = 0.0;
            for (int k = 0; k < n; ++k) {
                // The impulse stays within its band, channels 9 to 15.
                const double impulse = field.data[k][0] - expected.data[k][0];
                if (k >= 9 && k < 16)
                    impulseEnergy += impulse * impulse;
                else
                    EXPECT_NEAR(impulse, 0.0, 2e-4) << "channel " << k;
                expected.data[k][0] = field.data[k][0];
            }
            EXPECT_NEAR(impulseEnergy, 1.0, 1e-3) << "the impulse keeps its level";
            expectFramesNear(field, expected, 2e-4, "adoption frame");
            if (c.bypass || c.yaw == 0.0f) {
                for (int k = 0; k < n; ++k)
                    ASSERT_EQ(field.data[k], in.data[k]) << "channel " << k;
            }
            fieldrot_destroy(&r);
        }
    }
}

TEST(RotatorLifetime, DestroyIgnoresNullAndClearsTheHandle)
{
    FieldRotator* rotator = nullptr;
    fieldrot_destroy(&rotator);
    fieldrot_destroy(nullptr);
    fieldrot_create(&rotator);
    ASSERT_NE(rotator, nullptr);
    EXPECT_EQ(fieldrot_getOrder(rotator), 1);
    EXPECT_EQ(fieldrot_getChOrder(rotator), kChannelOrderACN);
    EXPECT_EQ(fieldrot_getNormType(rotator), kNormalisationSN3D);
    EXPECT_EQ(fieldrot_getQuaternionW(rotator), 1.0f);
    fieldrot_destroy(&rotator);
    EXPECT_EQ(rotator, nullptr);
}

} // namespace
