// tests/host: the decoder's audio unit, driven through the host harness as a host
// and the validation tool drive it.
#include "tests/support/AllocationCounter.h"
#include "tests/support/HostHarness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

using qirtest::HostHarness;
using qirtest::RenderEventList;

namespace {

std::vector<std::vector<float>> Noise(int channels, int frames, uint32_t seed)
{
    std::minstd_rand rng(seed);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<std::vector<float>> x(static_cast<std::size_t>(channels), std::vector<float>(static_cast<std::size_t>(frames)));
    for (auto& ch : x) {
        for (auto& s : ch) {
            s = dist(rng);
        }
    }
    return x;
}

std::vector<const float*> Pointers(const std::vector<std::vector<float>>& x, int offset = 0)
{
    std::vector<const float*> p;
    for (const auto& ch : x) {
        p.push_back(ch.data() + offset);
    }
    return p;
}

} // namespace

TEST(DecoderAudioUnit, ChannelCapabilitiesAndLayoutTags)
{
    HostHarness host;
    const std::vector<NSInteger> expected = {4, 2, 9, 2, 16, 2, 25, 2, 36, 2, 49, 2, 64, 2};
    EXPECT_EQ(host.unit().channelCapabilities(), expected);

    EXPECT_EQ(host.unit().getChannelLayoutTags(plugfw::kRouteInput, nullptr), 7);
    std::vector<AudioChannelLayoutTag> tags(7, 0);
    EXPECT_EQ(host.unit().getChannelLayoutTags(plugfw::kRouteInput, tags.data()), 1);
    const std::vector<AudioChannelLayoutTag> expectedTags = {0xBE0004, 0xBE0009, 0xBE0010, 0xBE0019,
                                                             0xBE0024, 0xBE0031, 0xBE0040};
    EXPECT_EQ(tags, expectedTags);
    AudioChannelLayoutTag outTag = 0;
    EXPECT_EQ(host.unit().getChannelLayoutTags(plugfw::kRouteOutput, nullptr), 1);
    EXPECT_EQ(host.unit().getChannelLayoutTags(plugfw::kRouteOutput, &outTag), 1);
    EXPECT_EQ(outTag, 0x650002U);
}

TEST(DecoderAudioUnit, BussesDefaultToSixtyFourChannelAmbisonicsInAndStereoOut)
{
    HostHarness host;
    ASSERT_EQ(host.unit().inputBusses()->count(), 1U);
    ASSERT_EQ(host.unit().outputBusses()->count(), 1U);
    const auto& in = (*host.unit().inputBusses())[0];
    const auto& out = (*host.unit().outputBusses())[0];
    EXPECT_EQ(in->format()->channelLayout()->layoutTag(), 0xBE0040U);
    EXPECT_EQ(in->format()->channelCount(), 64U);
    EXPECT_DOUBLE_EQ(in->format()->sampleRate(), 48000.0);
    EXPECT_EQ(in->maximumChannelCount(), 64U);
    EXPECT_EQ(out->format()->channelLayout()->layoutTag(), 0x650002U);
    EXPECT_EQ(out->maximumChannelCount(), 2U);

    // One processing frame, constant; known before render resources exist.
    EXPECT_DOUBLE_EQ(host.unit().latency(), qir::QIRMatrixDecoderDSP::kLatency / 48000.0);
    // No decoder set in use yet, so no tail.
    EXPECT_DOUBLE_EQ(host.unit().tailTime(), 0.0);
    EXPECT_FALSE(host.unit().canProcessInPlace());
    EXPECT_TRUE(host.unit().MIDIOutputNames().empty());
    EXPECT_FALSE(host.unit().supportsMPE());
    EXPECT_TRUE(host.unit().getDataFromExternal().empty());

    // A host may not pick a width outside the capabilities.
    NSError error;
    EXPECT_TRUE(in->setFormat(AVAudioFormat::initStandardFormatWithSampleRate(
                                  48000.0, AVAudioChannelLayout::layoutWithLayoutTag(kAudioChannelLayoutTag_Stereo)),
                              &error));
    EXPECT_FALSE(host.unit().allocateRenderResourcesAndReturnError(&error));
    EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
}

TEST(DecoderAudioUnit, TailTimeIsTheTrueLengthOfTheDecoderSetInUse)
{
    HostHarness host;
    ASSERT_TRUE(host.allocate(48000.0, 512, 4));
    // The test folder's anechoic set has 32 taps, its room set a single one.
    ASSERT_TRUE(host.waitForDecoderSet(4));
    EXPECT_DOUBLE_EQ(host.unit().tailTime(), 32 / 48000.0);
    host.setParameter(QIRMatrixDecoder::kDecoderMode, 1.0f);
    ASSERT_TRUE(host.waitForDecoderSet(4));
    EXPECT_DOUBLE_EQ(host.unit().tailTime(), 1 / 48000.0);

    // At another rate the set is reloaded, resampled: its tail is that of the
    // resampled responses, at the new rate.
    ASSERT_TRUE(host.allocate(96000.0, 512, 4));
    ASSERT_TRUE(host.waitForDecoderSet(4));
    const int frames = host.plugin().GetDSP().GetTailFrames();
    EXPECT_GT(frames, 2);
    EXPECT_DOUBLE_EQ(host.unit().tailTime(), frames / 96000.0);
}

TEST(DecoderAudioUnit, ParameterTreePresentsTheThirteenParameters)
{
    HostHarness host;
    auto tree = host.unit().parameterTree();
    const auto all = tree->allParameters();
    ASSERT_EQ(all.size(), 13U);
    constexpr AudioUnitParameterOptions kBase = 0xC0800000U;
    struct Expected {
        AudioUnitParameterUnit unit;
        AudioUnitParameterOptions flags;
        std::vector<std::string> strings;
    };
    const std::vector<std::string> offOn = {"off", "on"};
    const Expected expected[] = {
        {1, kBase | 0x200000, {"Anechoic", "Room", "UHJ"}},
        {1, kBase | 0x200000, {"1", "2", "3", "4", "5", "6", "7"}},
        {1, kBase | 0x200000, {"ACN", "FuMa"}},
        {1, kBase | 0x200000, {"N3D", "SN3D", "FuMa"}},
        {2, kBase | 0x200000, offOn}, {2, kBase | 0x200000, offOn},
        {0, kBase, {}}, {0, kBase, {}}, {0, kBase, {}},
        {2, kBase | 0x200000, offOn}, {2, kBase | 0x200000, offOn}, {2, kBase | 0x200000, offOn},
        {13, kBase, {}},
    };
    for (std::size_t k = 0; k < all.size(); ++k) {
        const auto& p = all[k];
        EXPECT_EQ(p->address(), k);
        EXPECT_EQ(p->identifier(), std::to_string(k));
        EXPECT_EQ(p->displayName(), host.plugin().GetParam(static_cast<int>(k))->GetName());
        EXPECT_EQ(p->unit(), expected[k].unit) << p->displayName();
        EXPECT_EQ(p->unitName(), "") << p->displayName();
        EXPECT_EQ(p->flags(), expected[k].flags) << p->displayName();
        EXPECT_EQ(p->valueStrings(), expected[k].strings) << p->displayName();
    }
    EXPECT_FLOAT_EQ(all[6]->minValue(), -180.0f);
    EXPECT_FLOAT_EQ(all[12]->maxValue(), 12.0f);

    // The tree reads and writes the plug-in's values, with its texts.
    host.setParameter(0, 1.0f);
    EXPECT_EQ(host.plugin().GetParam(0)->Value(), 1.0);
    EXPECT_EQ(all[0]->stringFromValue(nullptr), "Room");
    const AUValue two = 2.0f;
    EXPECT_EQ(all[0]->stringFromValue(&two), "UHJ");
    EXPECT_FLOAT_EQ(all[0]->valueFromString("UHJ"), 2.0f);
    host.setParameter(0, 1.6f);
    EXPECT_EQ(host.parameter(0), 2.0f) << "host values of a stepped parameter are rounded to its step";
    host.setParameter(1, 9.0f);
    EXPECT_EQ(host.parameter(1), 6.0f) << "and clamped to its range";
    host.plugin().GetParam(12)->Set(-12.0);
    EXPECT_FLOAT_EQ(host.parameter(12), -12.0f) << "the tree reads the plug-in's value";
}

// The host reads the latency in seconds and watches it for changes: it follows
// the plug-in's latency and sample rate whenever it is read, and each change
// reaches the observers once.
TEST(DecoderAudioUnit, LatencyFollowsThePluginAndEachChangeIsNotifiedOnce)
{
    HostHarness host;
    int notifications = 0;
    const NSKeyValueObserverToken token = host.unit().addObserverForKeyPath("latency", [&] { ++notifications; });
    const auto expectedSeconds = [&host] {
        return static_cast<double>(host.plugin().GetLatency()) / host.plugin().GetSampleRate();
    };
    EXPECT_DOUBLE_EQ(host.unit().latency(), expectedSeconds()) << "before allocation";

    ASSERT_TRUE(host.allocate(96000.0, 512, 4));
    const int own = host.plugin().GetLatency();
    EXPECT_DOUBLE_EQ(host.unit().latency(), own / 96000.0);
    const int afterFirstAllocation = notifications;
    EXPECT_LE(afterFirstAllocation, 1) << "one allocation, at most one change";

    struct Step {
        const char* what;
        std::function<void()> act;
        int samples;
        double rate;
        int newNotifications;
    };
    const Step steps[] = {
        {"a new latency", [&] { host.plugin().SetLatency(own + 64); }, own + 64, 96000.0, 1},
        {"the same latency again", [&] { host.plugin().SetLatency(own + 64); }, own + 64, 96000.0, 0},
        {"allocation at another rate resets it", [&] { ASSERT_TRUE(host.allocate(48000.0, 512, 4)); }, own, 48000.0, 1},
        {"the same allocation again", [&] { ASSERT_TRUE(host.allocate(48000.0, 512, 4)); }, own, 48000.0, 0},
    };
    for (const Step& step : steps) {
        const int before = notifications;
        step.act();
        EXPECT_EQ(host.plugin().GetLatency(), step.samples) << step.what;
        EXPECT_DOUBLE_EQ(host.unit().latency(), step.samples / step.rate) << step.what;
        EXPECT_EQ(notifications - before, step.newNotifications) << step.what;
    }

    // A rate of zero has no duration to report.
    host.plugin().Prepare(0.0, 512);
    host.plugin().SetLatency(own + 1);
    EXPECT_EQ(host.unit().latency(), 0.0);
    EXPECT_EQ(host.unit().tailTime(), 0.0);

    host.unit().removeObserver(token);
    const int beforeRemoval = notifications;
    host.plugin().SetLatency(own + 2);
    EXPECT_EQ(notifications, beforeRemoval) << "a removed observer hears nothing";
}

TEST(DecoderAudioUnit, OverviewParametersAndViewConfigurations)
{
    HostHarness host;
    EXPECT_TRUE(host.unit().parametersForOverviewWithCount(13).empty());
    EXPECT_EQ(host.unit().parametersForOverviewWithCount(4), (std::vector<NSUInteger>{0, 1, 2, 3}));
    EXPECT_EQ(host.unit().supportedViewConfigurations({{400, 300, false}, {0, 0, false}}), (std::vector<NSUInteger>{1}));
}

TEST(DecoderAudioUnit, RendersEveryFrameCountUpToTheMaximumAtEveryRate)
{
    HostHarness host;
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        for (AUAudioFrameCount maxFrames : {64U, 333U, 4096U}) {
            ASSERT_TRUE(host.allocate(rate, maxFrames, 4)) << rate << " " << maxFrames;
            EXPECT_DOUBLE_EQ(host.plugin().GetSampleRate(), rate);
            EXPECT_EQ(host.plugin().GetBlockSize(), static_cast<int>(maxFrames));
            const auto input = Noise(4, static_cast<int>(maxFrames) + 1, 7);
            const auto in = Pointers(input);
            std::vector<float> out0(maxFrames + 1, 9.0f), out1(maxFrames + 1, 9.0f);
            float* out[2] = {out0.data(), out1.data()};
            for (AUAudioFrameCount frames : {1U, 2U, 63U, 64U, maxFrames / 2, maxFrames - 1, maxFrames}) {
                ASSERT_EQ(host.render(frames, in.data(), out), noErr) << frames;
                for (float s : out0) {
                    ASSERT_TRUE(std::isfinite(s));
                }
            }
            out0.assign(maxFrames + 1, 9.0f);
            EXPECT_EQ(host.render(maxFrames + 1, in.data(), out), -10851);
            EXPECT_EQ(out0[0], 9.0f) << "nothing is written";
        }
    }
    EXPECT_TRUE(host.waitForDecoderSet(4)) << "the default set loads at 96 kHz too";
}

TEST(DecoderAudioUnit, PullInputFailuresAreReturned)
{
    HostHarness host;
    ASSERT_TRUE(host.allocate(48000.0, 256, 4));
    std::vector<float> out0(256, 5.0f), out1(256, 5.0f);
    float* out[2] = {out0.data(), out1.data()};
    EXPECT_EQ(host.renderWithoutPull(256, out), -10876);
    EXPECT_EQ(out0[0], 5.0f);

    host.setPullStatus(-50);
    EXPECT_EQ(host.render(256, nullptr, out), -50);
    EXPECT_EQ(out0[0], 5.0f) << "outputs are neither cleared nor rendered";
    EXPECT_EQ(out1[255], 5.0f);

    host.setPullStatus(noErr);
    EXPECT_EQ(host.render(256, nullptr, out), noErr);
    EXPECT_EQ(out0[0], 0.0f);

    host.deallocate();
    host.refreshRenderBlock();
    EXPECT_EQ(host.render(16, nullptr, out), kAudioUnitErr_Uninitialized) << "no buffers without render resources";
}

TEST(DecoderAudioUnit, NullOutputPointersAreFilledWithTheBussOwnBuffers)
{
    HostHarness host;
    ASSERT_TRUE(host.allocate(48000.0, 512, 4));
    ASSERT_TRUE(host.waitForDecoderSet(4));
    const auto input = Noise(4, 512, 3);
    const auto in = Pointers(input);
    ASSERT_EQ(host.render(512, in.data(), nullptr), noErr);
    ASSERT_NE(host.output(0), nullptr);
    ASSERT_NE(host.output(1), nullptr);
    EXPECT_NE(host.output(0), host.output(1));
    double energy = 0.0;
    for (int i = 0; i < 512; ++i) {
        energy += host.output(0)[i] * host.output(0)[i] + host.output(1)[i] * host.output(1)[i];
    }
    EXPECT_GT(energy, 0.0);
}

TEST(DecoderAudioUnit, TimeInfoComesFromTheHostBlocks)
{
    HostHarness host;
    ASSERT_TRUE(host.allocate(48000.0, 128, 4));
    ASSERT_EQ(host.render(128, nullptr, nullptr), noErr);
    {
        const plugfw::ITimeInfo& t = host.plugin().GetTimeInfo();
        EXPECT_EQ(t.mTempo, 120.0);
        EXPECT_EQ(t.mNumerator, 4);
        EXPECT_EQ(t.mDenominator, 4);
        EXPECT_EQ(t.mPPQPos, -1.0);
        EXPECT_FALSE(t.mTransportIsRunning);
    }

    AUHostTransportStateFlags flags = 0;
    host.unit().setMusicalContextBlock([](double* tempo, double* numerator, NSInteger* denominator, double* beat,
                                          NSInteger* offset, double* downbeat) {
        *tempo = 90.0;
        *numerator = 6.0;
        *denominator = 8;
        *beat = 12.5;
        *offset = 3;
        *downbeat = 12.0;
        return true;
    });
    host.unit().setTransportStateBlock([&flags](AUHostTransportStateFlags* f, double* position, double* start,
                                                double* end) {
        *f = flags;
        *position = 4800.0;
        *start = 8.0;
        *end = 16.0;
        return true;
    });
    host.refreshRenderBlock();

    struct Case {
        AUHostTransportStateFlags flags;
        bool running;
        bool loop;
    };
    for (const Case c : {Case{3, false, false}, Case{2, true, false}, Case{4, true, false}, Case{8, false, true},
                         Case{10, false, false}, Case{0, false, false}}) {
        flags = c.flags;
        ASSERT_EQ(host.render(128, nullptr, nullptr), noErr);
        const plugfw::ITimeInfo& t = host.plugin().GetTimeInfo();
        EXPECT_EQ(t.mNumerator, 6);
        EXPECT_EQ(t.mDenominator, 8);
        EXPECT_EQ(t.mTempo, 90.0);
        EXPECT_EQ(t.mPPQPos, 12.5);
        EXPECT_EQ(t.mLastBar, 12.0);
        EXPECT_EQ(t.mSamplePos, 4800.0);
        EXPECT_EQ(t.mCycleStart, 8.0);
        EXPECT_EQ(t.mCycleEnd, 16.0);
        EXPECT_EQ(t.mTransportIsRunning, c.running) << "flags " << c.flags;
        EXPECT_EQ(t.mTransportLoopEnabled, c.loop) << "flags " << c.flags;
    }
}

TEST(DecoderAudioUnit, FullStateRestoresEveryParameterInAFreshInstance)
{
    const float values[13] = {1, 2, 1, 2, 0, 1, 45.5f, -30.2f, 170.0f, 1, 1, 0, -12.5f};
    NSDictionary state;
    {
        HostHarness host;
        for (AUParameterAddress k = 0; k < 13; ++k) {
            host.setParameter(k, values[k]);
        }
        state = host.unit().fullState();
        EXPECT_EQ(std::get<int64_t>(state.at("type")), 0x61756D66);
        EXPECT_EQ(std::get<int64_t>(state.at("subtype")), MakeFourCharCode("QiR1"));
        EXPECT_EQ(std::get<int64_t>(state.at("manufacturer")), MakeFourCharCode("Mrwf"));
        EXPECT_EQ(std::get<int64_t>(state.at("version")), 0x00010001);
        EXPECT_EQ(std::get<NSData>(state.at("data")).size(), 13 * sizeof(double));
        EXPECT_EQ(std::get<std::string>(state.at("name")), host.plugin().GetPresetName(host.plugin().GetCurrentPresetIdx()));
    }
    HostHarness fresh;
    fresh.unit().setFullState(state);
    for (AUParameterAddress k = 0; k < 13; ++k) {
        EXPECT_NEAR(fresh.parameter(k), values[k], 1e-4f) << k;
    }
    // Only "data" is read: a state without it gives the plug-in an empty chunk.
    fresh.unit().setFullState(NSDictionary{{"name", std::string("x")}});
    EXPECT_EQ(fresh.parameter(0), 0.0f);
}

TEST(DecoderAudioUnit, PresetSelection)
{
    HostHarness host;
    const auto presets = host.unit().factoryPresets();
    ASSERT_EQ(presets.size(), 1U);
    EXPECT_EQ(presets[0]->number(), 0);
    EXPECT_EQ(host.unit().currentPreset(), presets[0]);

    // The first selection (at initialisation) stored the defaults in the factory
    // preset; selecting it again restores them and updates the tree.
    host.setParameter(12, -20.0f);
    host.setParameter(0, 2.0f);
    host.unit().setCurrentPreset(presets[0]);
    EXPECT_EQ(host.parameter(12), -20.0f) << "the change waits for the main queue";
    HostHarness::pumpMainQueue();
    EXPECT_EQ(host.parameter(12), 0.0f);
    EXPECT_EQ(host.parameter(0), 0.0f);
    EXPECT_EQ(host.unit().parameterTree()->parameterWithAddress(12)->lastAutomationEventType(),
              AUParameterAutomationEventTypeValue);

    // A user preset changes nothing and becomes current.
    host.setParameter(12, -3.0f);
    auto user = std::make_shared<AUAudioUnitPreset>(-1, "My Setting");
    host.unit().setCurrentPreset(user);
    HostHarness::pumpMainQueue();
    EXPECT_EQ(host.parameter(12), -3.0f);
    EXPECT_EQ(host.unit().currentPreset(), user);

    // A factory number without a preset changes nothing; nil is logged.
    host.unit().setCurrentPreset(std::make_shared<AUAudioUnitPreset>(5, "None"));
    HostHarness::pumpMainQueue();
    EXPECT_EQ(host.parameter(12), -3.0f);
    testing::internal::CaptureStderr();
    host.unit().setCurrentPreset(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "nil passed to setCurrentPreset!\n");
}

TEST(DecoderAudioUnit, ViewControllerPublishesTheEditorSizeAndForwardsTheView)
{
    HostHarness host;
    EXPECT_EQ(host.controller().preferredContentSize().width, 1024.0);
    EXPECT_EQ(host.controller().preferredContentSize().height, 768.0);
    EXPECT_EQ(host.controller().getAudioUnit(), host.controller().audioUnit());
    EXPECT_NE(host.controller().nibBundle(), nullptr);
    EXPECT_FALSE(host.controller().nibBundle()->bundlePath().empty());
    host.controller().viewDidLayout();
    host.controller().setView(std::make_shared<NSView>(CGRect{{0, 0}, {800, 600}}));
    host.controller().viewWillAppear();
    host.controller().viewDidLayout();
    host.controller().viewDidDisappear();
    EXPECT_EQ(host.unit().width(), 1024);
    EXPECT_EQ(host.unit().height(), 768);

    PluginViewController failing;
    NSError error;
    EXPECT_EQ(failing.createAudioUnitWithComponentDescription(AudioComponentDescription{}, &error), nullptr);
    EXPECT_NE(error.code, 0);
    failing.viewDidLayout();
    failing.viewWillAppear();
    HostHarness::pumpMainQueue();
    EXPECT_EQ(failing.preferredContentSize().width, 0.0);
}

TEST(DecoderAudioUnit, EventsAtSliceBoundariesLateAndAtTheEnd)
{
    HostHarness host;
    ASSERT_TRUE(host.allocate(48000.0, 512, 4));
    ASSERT_TRUE(host.waitForDecoderSet(4));
    const auto t = static_cast<int64_t>(host.sampleTime());
    RenderEventList events;
    events.parameter(t - 3, 6, 10.0f)                                  // late
        .parameter(t + 128, 7, 20.0f, AURenderEventParameterRamp)      // ramp: its target at once
        .parameter(t + 128, 8, 30.0f)                                  // same time
        .midi(t + 256, 0x90, 5, 100)                                   // test source on
        .sysEx(t + 300)                                                // ignored
        .parameter(t + 400, 13, 1.0f)                                  // no such parameter
        .parameter(t + 512, 12, -6.0f);                                // at the very end
    std::vector<float> out0(512), out1(512);
    float* out[2] = {out0.data(), out1.data()};
    ASSERT_EQ(host.render(512, nullptr, out, events.head()), noErr);
    EXPECT_NEAR(host.parameter(6), 10.0f, 1e-4f);
    EXPECT_NEAR(host.parameter(7), 20.0f, 1e-4f);
    EXPECT_NEAR(host.parameter(8), 30.0f, 1e-4f);
    EXPECT_EQ(host.parameter(12), -6.0f);

    // The test source sounds once its note is on, with no input at all.
    double energy = 0.0;
    for (int block = 0; block < 8; ++block) {
        ASSERT_EQ(host.render(512, nullptr, out), noErr);
        for (int i = 0; i < 512; ++i) {
            energy += out0[i] * out0[i];
        }
    }
    EXPECT_GT(energy, 0.0);
}

// The order-3 reference: the engine of a second plug-in object, driven directly
// with the same input, parameters and slices, and the smoother's gain computed
// from its closed form.
class OrderThreeRender : public ::testing::Test {
protected:
    static constexpr int kChannels = 16;
    static constexpr int kBlock = 512;
    static constexpr int kBlocks = 6;

    void SetUp() override
    {
        ASSERT_TRUE(mHost.allocate(48000.0, kBlock, kChannels));
        mHost.setParameter(1, 2.0f); // order 3
        mHost.setParameter(4, 0.0f); // no rotation
        ASSERT_TRUE(mHost.waitForDecoderSet(kChannels));

        mReference = plugfw::MakePlugin(plugfw::InstanceInfo{});
        auto& ref = static_cast<QIRMatrixDecoder&>(*mReference);
        for (int k = 0; k < 13; ++k) {
            plugfw::IParam* param = ref.GetParam(k);
            const plugfw::IParam* hostParam = mHost.plugin().GetParam(k);
            ASSERT_TRUE(param && hostParam);
            param->Set(hostParam->Value());
            ref.GetDSP().OnParamChange(k, param->GetNormalized());
        }
        ASSERT_EQ(ref.GetDSP().OnReset(kBlock, 48000.0), qir::QIRMatrixDecoderDSP::kLatency);
        ref.GetDSP().OnIdle();
        ref.GetDSP().WaitForLoads();
        // Adopt the set and let it fade in on silence, as the host's engine did.
        std::vector<std::vector<float>> silence(kChannels, std::vector<float>(128, 0.0f));
        for (int f = 0; f < qir::QIRMatrixDecoderDSP::kCrossfadeFrames; f += 128) {
            runReference(silence, 0, 128);
        }
        ASSERT_FALSE(ref.GetDSP().IsCrossfading());
        ASSERT_EQ(ref.GetDSP().GetActiveInputCount(), kChannels);
        mInput = Noise(kChannels, kBlock * kBlocks, 11);
    }

    // Runs the reference engine over frames [offset, offset + n) of x; returns
    // its two outputs.
    std::pair<std::vector<float>, std::vector<float>> runReference(const std::vector<std::vector<float>>& x,
                                                                   int offset, int n)
    {
        std::vector<std::vector<float>> in(64, std::vector<float>(static_cast<std::size_t>(n), 0.0f));
        std::vector<float*> inPtrs;
        for (int c = 0; c < 64; ++c) {
            if (c < kChannels) {
                std::copy(x[c].begin() + offset, x[c].begin() + offset + n, in[c].begin());
            }
            inPtrs.push_back(in[c].data());
        }
        std::pair<std::vector<float>, std::vector<float>> out{std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f)};
        float* outPtrs[2] = {out.first.data(), out.second.data()};
        static_cast<QIRMatrixDecoder&>(*mReference).GetDSP().ProcessBlock(inPtrs.data(), outPtrs, n, kChannels);
        return out;
    }

    HostHarness mHost;
    std::unique_ptr<plugfw::IAUv3Binding> mReference;
    std::vector<std::vector<float>> mInput;
};

TEST_F(OrderThreeRender, EqualsTheEnginesOwnOutputTimesTheSmoothedVolume)
{
    const double a = QIRMatrixDecoder::kGainSmoothA;
    // The host harness rendered silent blocks while waiting: the smoother has run
    // for that many samples from 0 towards unity.
    const auto warmup = static_cast<int>(mHost.sampleTime());
    std::vector<float> out0(kBlock), out1(kBlock);
    float* out[2] = {out0.data(), out1.data()};
    double peak = 0.0;
    for (int b = 0; b < kBlocks; ++b) {
        const auto in = Pointers(mInput, b * kBlock);
        ASSERT_EQ(mHost.render(kBlock, in.data(), out), noErr);
        const auto [ref0, ref1] = runReference(mInput, b * kBlock, kBlock);
        for (int i = 0; i < kBlock; ++i) {
            const double g = 1.0 - std::pow(a, warmup + b * kBlock + i + 1);
            ASSERT_NEAR(out0[i], ref0[i] * g, 1e-5 * (1.0 + std::fabs(ref0[i]))) << b << ":" << i;
            ASSERT_NEAR(out1[i], ref1[i] * g, 1e-5 * (1.0 + std::fabs(ref1[i]))) << b << ":" << i;
            peak = std::max(peak, static_cast<double>(std::fabs(ref0[i])));
        }
    }
    EXPECT_GT(peak, 0.01) << "the comparison must see signal";
}

TEST_F(OrderThreeRender, VolumeEventMidBlockTakesEffectExactlyOneLatencyAfterItsSample)
{
    const double a = QIRMatrixDecoder::kGainSmoothA;
    const double b = QIRMatrixDecoder::kGainSmoothB;
    const int eventFrame = 200;
    // The volume follows the audio: the input of eventFrame comes out this much later.
    const int due = eventFrame + qir::QIRMatrixDecoderDSP::kLatency;
    const double target = std::pow(10.0, -6.0 / 20.0);
    double g = 1.0 - std::pow(a, mHost.sampleTime());

    std::vector<float> out0(kBlock), out1(kBlock);
    float* out[2] = {out0.data(), out1.data()};
    const auto in = Pointers(mInput);
    RenderEventList events;
    events.parameter(static_cast<int64_t>(mHost.sampleTime()) + eventFrame, 12, -6.0f);
    ASSERT_EQ(mHost.render(kBlock, in.data(), out, events.head()), noErr);

    // The engine sees the block in the same two slices.
    const auto first = runReference(mInput, 0, eventFrame);
    const auto second = runReference(mInput, eventFrame, kBlock - eventFrame);
    for (int i = 0; i < kBlock; ++i) {
        g = g * a + (i < due ? 1.0 : target) * b;
        const float e0 = i < eventFrame ? first.first[i] : second.first[i - eventFrame];
        ASSERT_NEAR(out0[i], e0 * g, 1e-5 * (1.0 + std::fabs(e0))) << i;
    }
    // Just before it is due the gain still heads for 1; from then on, for the
    // new target.
    EXPECT_GT(std::fabs(out0[due - 1]), 0.0f);
}

TEST_F(OrderThreeRender, RenderBlockAllocatesNothingAfterTheFirstCall)
{
    std::vector<float> out0(kBlock), out1(kBlock);
    float* out[2] = {out0.data(), out1.data()};
    const auto in = Pointers(mInput);
    RenderEventList events;
    auto renderWithEvents = [&]() {
        const auto t = static_cast<int64_t>(mHost.sampleTime());
        events.clear();
        events.parameter(t + 128, 6, 12.0f).midi(t + 256, 0x90, 3, 90).parameter(t + 384, 12, -1.0f);
        return mHost.render(kBlock, in.data(), out, events.head());
    };
    ASSERT_EQ(renderWithEvents(), noErr);
    ASSERT_EQ(mHost.render(kBlock, in.data(), out), noErr);
    qirtest::AllocationCounter counter;
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(renderWithEvents(), noErr);
        ASSERT_EQ(mHost.render(kBlock, in.data(), nullptr), noErr);
    }
    EXPECT_EQ(counter.count(), 0U);
    EXPECT_EQ(counter.frees(), 0U);
}

TEST(DecoderAudioUnit, PlugInGesturesAndChangesReachTheHostsTree)
{
    HostHarness host;
    auto volume = host.unit().parameterTree()->parameterWithAddress(12);
    int observed = 0;
    AUValue lastObserved = 0.0f;
    AUParameterObserverToken token = host.unit().parameterTree()->tokenByAddingParameterObserver(
        [&](AUParameterAddress address, AUValue value) {
            if (address == 12) {
                ++observed;
                lastObserved = value;
            }
        });

    host.plugin().BeginInformHostOfParamChange(12);
    EXPECT_EQ(volume->lastAutomationEventType(), AUParameterAutomationEventTypeTouch);
    host.plugin().InformHostOfParamChange(12, 0.5); // -70..12 dB at one half
    EXPECT_FLOAT_EQ(lastObserved, -29.0f);
    EXPECT_DOUBLE_EQ(host.plugin().GetParam(12)->Value(), -29.0);
    host.plugin().EndInformHostOfParamChange(12);
    EXPECT_EQ(volume->lastAutomationEventType(), AUParameterAutomationEventTypeRelease);
    EXPECT_EQ(observed, 3);
    host.unit().parameterTree()->removeParameterObserver(token);

    host.unit().setRenderingOffline(true);
    EXPECT_TRUE(host.plugin().GetRenderingOffline());
}

TEST(DecoderAudioUnit, MidiOutputGoesToTheHostsBlockAtTheRenderTime)
{
    HostHarness host;
    std::vector<std::pair<AUEventSampleTime, std::vector<uint8_t>>> sent;
    OSStatus result = noErr;
    host.unit().setMIDIOutputEventBlock([&](AUEventSampleTime time, uint8_t cable, NSInteger length,
                                            const uint8_t* bytes) {
        EXPECT_EQ(cable, 0);
        sent.emplace_back(time, std::vector<uint8_t>(bytes, bytes + length));
        return result;
    });
    EXPECT_FALSE(host.plugin().SendMidiMsg(plugfw::IMidiMsg(0, 0x90, 1, 2))) << "no block before allocation";
    ASSERT_TRUE(host.allocate(48000.0, 256, 4));
    ASSERT_EQ(host.render(256, nullptr, nullptr), noErr);
    ASSERT_EQ(host.render(256, nullptr, nullptr), noErr);
    EXPECT_TRUE(host.plugin().SendMidiMsg(plugfw::IMidiMsg(10, 0x90, 60, 100)));
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent[0].first, 256 + 10);
    EXPECT_EQ(sent[0].second, (std::vector<uint8_t>{0x90, 60, 100}));
    result = -1;
    EXPECT_FALSE(host.plugin().SendMidiMsg(plugfw::IMidiMsg(0, 0x80, 60, 0))) << "the host's refusal is reported";
    host.deallocate();
    EXPECT_FALSE(host.plugin().SendMidiMsg(plugfw::IMidiMsg(0, 0x80, 60, 0))) << "the block is released";
}

// With the room set that passes the Y dipole to output 0 and the X dipole to
// output 1, a field of pure X (a source straight ahead) turned by the yaw shows
// the angle as atan(|Y| / |X|), whatever the rotation's sign convention.
TEST(DecoderAudioUnit, YawReachesTheRotatorInDegrees)
{
    HostHarness host;
    ASSERT_TRUE(host.allocate(48000.0, 512, 4));
    host.setParameter(0, 1.0f); // Room
    ASSERT_TRUE(host.waitForDecoderSet(4));
    std::vector<std::vector<float>> field(4, std::vector<float>(512, 0.0f));
    field[3].assign(512, 1.0f);
    const auto in = Pointers(field);
    for (float yaw : {0.0f, 30.0f, 45.0f, 90.0f, -60.0f}) {
        host.setParameter(6, yaw);
        EXPECT_NEAR(host.plugin().GetParam(6)->GetNormalized(), (yaw + 180.0) / 360.0, 1e-9);
        for (int block = 0; block < 4; ++block) {
            ASSERT_EQ(host.render(512, in.data(), nullptr), noErr);
        }
        const double y = std::fabs(host.output(0)[511]);
        const double x = std::fabs(host.output(1)[511]);
        EXPECT_GT(std::hypot(x, y), 0.5) << yaw;
        EXPECT_NEAR(std::atan2(y, x) * 180.0 / M_PI, std::fabs(yaw), 0.05) << yaw;
    }
}
