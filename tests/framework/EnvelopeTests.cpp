// tests/framework: the amplitude envelope, checked against closed-form
// descriptions of each stage rather than against its own arithmetic.
#include "framework/ADSREnvelope.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Env = plugfw::ADSREnvelope<float>;

// The decoder's test-source settings: one-sample attack, no decay, 300 ms
// release at 44.1 kHz, sustain disabled.
Env makeDecoderEnvelope()
{
    Env env("amp", nullptr, false);
    env.SetStageTime(Env::kStageAttack, 0.022675737738609313);
    env.SetStageTime(Env::kStageDecay, 0.0);
    env.SetStageTime(Env::kStageRelease, 300.0);
    return env;
}

TEST(ADSREnvelope, StartsIdleWithTheFadeIncrementsFor44100)
{
    const Env env = makeDecoderEnvelope();
    EXPECT_STREQ(env.GetName(), "amp");
    EXPECT_EQ(env.GetStage(), Env::kStageIdle);
    EXPECT_TRUE(env.GetReleased());
    EXPECT_FLOAT_EQ(env.GetEarlyReleaseIncr(), 0.0011337869f);
    EXPECT_FLOAT_EQ(env.GetRetriggerReleaseIncr(), 0.007558579f);
    EXPECT_EQ(env.GetAttackIncr(), 0.99999994f);
    EXPECT_EQ(env.GetDecayIncr(), 0.0f);
    EXPECT_FLOAT_EQ(env.GetReleaseIncr(), 0.00052199187f);
    EXPECT_EQ(env.GetScalar(), 1.0f);
}

TEST(ADSREnvelope, HeldNotePlaysAtLevelFromTheFirstSampleAndReleaseFallsSixtyDbIn300ms)
{
    Env env = makeDecoderEnvelope();
    env.Start(0.1f);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(env.Process(0.5f), 0.1f) << "sample " << i;
        ASSERT_EQ(env.GetStage(), Env::kStageDecay);
    }
    env.Release();
    EXPECT_EQ(env.GetReleaseLevel(), 1.0f);
    int endCalls = 0;
    env.SetEndReleaseFunc([&] { ++endCalls; });

    const double r = env.GetReleaseIncr();
    int samples = 0;
    while (env.GetStage() == Env::kStageRelease && samples < 100000) {
        const float out = env.Process(0.5f);
        ++samples;
        if (env.GetStage() == Env::kStageRelease) {
            // An exponential fall: 0.1 x (1 - r)^k, within float accumulation error.
            const double expected = 0.1 * std::pow(1.0 - r, samples);
            ASSERT_NEAR(out, expected, 1e-4 * expected + 1e-9) << samples;
        } else {
            EXPECT_EQ(out, 0.0f);
        }
    }
    // ln(1e-6) / ln(1 - r): about 26460 samples, 0.6 s at 44.1 kHz.
    const double predicted = std::log(1e-6) / std::log(1.0 - r);
    EXPECT_NEAR(samples, predicted, 60.0);
    EXPECT_EQ(env.GetStage(), Env::kStageIdle);
    EXPECT_EQ(endCalls, 1);
    EXPECT_EQ(env.Process(0.5f), 0.0f);
}

TEST(ADSREnvelope, LinearAttackThenExponentialDecayToSustain)
{
    Env env("adsr", nullptr, true);
    env.SetStageTime(Env::kStageAttack, 1000.0 * 10.0 / 44100.0); // 10 samples
    env.SetStageTime(Env::kStageDecay, 10.0);
    env.SetStageTime(Env::kStageRelease, 10.0);
    env.Start(1.0f);
    for (int i = 1; i <= 9; ++i) {
        EXPECT_NEAR(env.Process(0.25f), i / 10.0f, 1e-6f) << i;
    }
    EXPECT_EQ(env.Process(0.25f), 1.0f);
    EXPECT_EQ(env.GetStage(), Env::kStageDecay);
    float previous = 1.0f;
    int guard = 0;
    while (env.GetStage() == Env::kStageDecay && ++guard < 100000) {
        const float out = env.Process(0.25f);
        EXPECT_LE(out, previous);
        EXPECT_GE(out, 0.25f);
        previous = out;
    }
    EXPECT_EQ(env.GetStage(), Env::kStageSustain);
    EXPECT_EQ(env.Process(0.25f), 0.25f);
    EXPECT_EQ(env.Process(0.4f), 0.4f) << "sustain follows the level passed in";
}

TEST(ADSREnvelope, DecayWithoutSustainEntersRelease)
{
    Env env("ad", nullptr, false);
    env.SetStageTime(Env::kStageAttack, 0.0);
    env.SetStageTime(Env::kStageDecay, 1.0);
    env.SetStageTime(Env::kStageRelease, 1.0);
    env.Start(1.0f);
    EXPECT_EQ(env.Process(0.0f), 1.0f) << "a zero attack increment jumps to full value";
    int guard = 0;
    while (env.GetStage() == Env::kStageDecay && ++guard < 100000) {
        (void)env.Process(0.0f);
    }
    EXPECT_EQ(env.GetStage(), Env::kStageRelease);
    EXPECT_TRUE(env.GetReleased());
}

TEST(ADSREnvelope, RetriggerFadesOutThenRestartsAndCallsReset)
{
    int resets = 0;
    Env env("re", [&] { ++resets; }, false);
    env.SetStageTime(Env::kStageAttack, 0.0);
    env.SetStageTime(Env::kStageRelease, 300.0);
    env.Start(0.5f);
    (void)env.Process(0.5f);
    env.Retrigger(0.8f);
    int samples = 0;
    while (env.GetStage() == Env::kStageRetrigger && samples < 1000) {
        (void)env.Process(0.5f);
        ++samples;
    }
    // 3 ms at 44.1 kHz: 1 / 0.007558579 = 132.3 steps.
    EXPECT_NEAR(samples, 133, 1);
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(env.GetStage(), Env::kStageAttack);
    EXPECT_EQ(env.GetLevel(), 0.8f);
}

TEST(ADSREnvelope, EndEarlyFadesToIdleIn20ms)
{
    int ends = 0;
    Env env = makeDecoderEnvelope();
    env.SetEndReleaseFunc([&] { ++ends; });
    env.Start(1.0f);
    (void)env.Process(0.5f);
    env.EndEarly();
    int samples = 0;
    while (env.GetStage() == Env::kStageEndEarly && samples < 10000) {
        (void)env.Process(0.5f);
        ++samples;
    }
    EXPECT_NEAR(samples, 882, 1);
    EXPECT_EQ(env.GetStage(), Env::kStageIdle);
    EXPECT_EQ(env.GetLevel(), 0.0f);
    EXPECT_EQ(ends, 1);
}

} // namespace
