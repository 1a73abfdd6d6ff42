// tests/host: the decoder plug-in class applies its smoothed output volume after
// the engine and reports no latency.
#include "host/auv3/QIRMatrixDecoder.h"
#include "tests/support/HostHarness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Drives the plug-in object directly with two input channels, which the engine
// passes through, so the output shows the gain it applied.
class PluginFixture : public ::testing::Test {
protected:
    static constexpr int kBlock = 512;

    void SetUp() override
    {
        (void)qirtest::TestResourceDirectory();
        mPlug = plugfw::MakePlugin(plugfw::InstanceInfo{});
        prepare(48000.0);
        mIn.assign(kBlock, 1.0f);
        mOut0.assign(kBlock, 0.0f);
        mOut1.assign(kBlock, 0.0f);
    }

    void prepare(double sampleRate)
    {
        mPlug->Prepare(sampleRate, kBlock);
        mPlug->OnReset();
    }

    // Renders frames of constant 1 on both inputs; returns output 0 (output 1 is
    // checked to match).
    std::vector<float> renderOnes(int frames)
    {
        std::vector<float> result;
        while (frames > 0) {
            const int n = std::min(frames, kBlock);
            qirtest::HostBufferList in(2);
            in.set(0, mIn.data(), 4 * n);
            in.set(1, mIn.data(), 4 * n);
            qirtest::HostBufferList out(2);
            out.set(0, mOut0.data(), 4 * n);
            out.set(1, mOut1.data(), 4 * n);
            mPlug->AttachInputBuffers(in.get());
            mPlug->AttachOutputBuffers(out.get(), 0);
            AudioTimeStamp ts;
            ts.mSampleTime = mTime;
            plugfw::ITimeInfo timeInfo;
            mPlug->ProcessWithEvents(&ts, static_cast<uint32_t>(n), nullptr, timeInfo);
            for (int i = 0; i < n; ++i) {
                EXPECT_EQ(mOut0[i], mOut1[i]);
            }
            result.insert(result.end(), mOut0.begin(), mOut0.begin() + n);
            mTime += n;
            frames -= n;
        }
        return result;
    }

    std::unique_ptr<plugfw::IAUv3Binding> mPlug;
    std::vector<float> mIn, mOut0, mOut1;
    double mTime = 0.0;
};

} // namespace

TEST_F(PluginFixture, OutputVolumeConvergesToItsLinearGain)
{
    struct Case {
        float dB;
        double gain;
    };
    for (const Case c : {Case{0.0f, 1.0}, Case{-70.0f, 0.000316227766}, Case{12.0f, 3.98107170553}, Case{-6.0f, 0.501187233627}}) {
        mPlug->GetParam(QIRMatrixDecoder::kOutputVolume)->Set(c.dB);
        const std::vector<float> out = renderOnes(9600);
        EXPECT_NEAR(out.back(), c.gain, c.gain * 1e-5) << c.dB << " dB";
    }
}

TEST_F(PluginFixture, OutputRisesFromSilenceTo99Point8PercentAfter240SamplesAtAnyRate)
{
    const double a = std::exp(-2.0 * M_PI / 240.0);
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        SetUp();
        prepare(rate);
        const std::vector<float> out = renderOnes(240);
        EXPECT_NEAR(out[0], 1.0 - a, 1e-7) << rate;
        EXPECT_NEAR(out[239], 1.0 - std::exp(-2.0 * M_PI), 1e-6) << rate;
        for (int i = 1; i < 240; ++i) {
            ASSERT_GT(out[i], out[i - 1]);
        }
        // The smoother keeps its state across a reset: no new rise from 0.
        prepare(rate);
        EXPECT_GT(renderOnes(1)[0], out[239]);
    }
}

TEST_F(PluginFixture, ResetAlwaysReportsZeroLatency)
{
    mPlug->SetLatency(256);
    mPlug->OnReset();
    EXPECT_EQ(mPlug->GetLatency(), 0);
    prepare(96000.0);
    EXPECT_EQ(mPlug->GetLatency(), 0);
}

TEST_F(PluginFixture, ParametersAreTheDecodersThirteen)
{
    struct Expected {
        const char* name;
        double min, max, defaultValue;
        int texts;
    };
    const Expected expected[] = {
        {"Decoder Mode", 0, 2, 0, 3},    {"Decode Order", 0, 6, 0, 7},     {"Channel Layout", 0, 1, 0, 2},
        {"Normalization Type", 0, 2, 1, 3}, {"Enable Rotation", 0, 1, 1, 2}, {"Use RPY", 0, 1, 0, 2},
        {"Yaw", -180, 180, 0, 0},        {"Pitch", -180, 180, 0, 0},       {"Roll", -180, 180, 0, 0},
        {"Flip Yaw", 0, 1, 0, 2},        {"Flip Pitch", 0, 1, 0, 2},       {"Flip Roll", 0, 1, 0, 2},
        {"Output Volume", -70, 12, 0, 0},
    };
    ASSERT_EQ(mPlug->NParams(), 13);
    for (int i = 0; i < 13; ++i) {
        const plugfw::IParam& p = *mPlug->GetParam(i);
        EXPECT_STREQ(p.GetName(), expected[i].name);
        EXPECT_EQ(p.GetMin(), expected[i].min) << expected[i].name;
        EXPECT_EQ(p.GetMax(), expected[i].max) << expected[i].name;
        EXPECT_EQ(p.Value(), expected[i].defaultValue) << expected[i].name;
        EXPECT_EQ(p.NDisplayTexts(), expected[i].texts) << expected[i].name;
    }
    EXPECT_STREQ(mPlug->GetParam(QIRMatrixDecoder::kOutputVolume)->GetLabel(), "dB");
    EXPECT_DOUBLE_EQ(mPlug->GetParam(QIRMatrixDecoder::kYaw)->GetStep(), 0.1);
}
