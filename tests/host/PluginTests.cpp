// tests/host: the decoder plug-in class: its output is the engine's, one
// processing frame late whatever the host does, times the smoothed output volume,
// whose changes keep the same latency; the latency it reports is that frame.
#include "plugin/QIRMatrixDecoder.h"
#include "tests/support/HostHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
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
    // The gain rises from the first frame of the stream, while the engine's first
    // latency's frames are still silence: frame t carries 1 - a^(t + 1).
    const int latency = qir::QIRMatrixDecoderDSP::kLatency;
    const double a = std::exp(-2.0 * M_PI / 240.0);
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        SetUp();
        prepare(rate);
        const std::vector<float> out = renderOnes(240 + latency);
        for (int t = 0; t < latency; ++t) {
            ASSERT_EQ(out[t], 0.0f) << t;
        }
        for (int t = latency; t < 240 + latency; ++t) {
            ASSERT_NEAR(out[t], 1.0 - std::pow(a, t + 1), 1e-6) << rate << " frame " << t;
            ASSERT_GT(out[t], out[t - 1]);
        }
        EXPECT_NEAR(out[239], 1.0 - std::exp(-2.0 * M_PI), 1e-6) << rate;
        // The smoother keeps its state across a reset: no new rise from 0.
        prepare(rate);
        EXPECT_GT(renderOnes(latency + 1)[latency], out[239 + latency]);
    }
}

TEST_F(PluginFixture, ReportsOneFrameOfLatencyFromCreationOnAndAfterEveryReset)
{
    const int latency = qir::QIRMatrixDecoderDSP::kLatency;
    EXPECT_EQ(latency, 128);
    // Before any reset: hosts that ask before allocating get the true value.
    EXPECT_EQ(plugfw::MakePlugin(plugfw::InstanceInfo{})->GetLatency(), latency);
    mPlug->SetLatency(256);
    mPlug->OnReset();
    EXPECT_EQ(mPlug->GetLatency(), latency);
    for (const uint32_t maxFrames : {1u, 100u, 4096u}) {
        mPlug->Prepare(96000.0, maxFrames);
        mPlug->OnReset();
        EXPECT_EQ(mPlug->GetLatency(), latency) << maxFrames;
    }
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

namespace {

using Channels = std::vector<std::vector<float>>;

// One render event of a stream, at its frame on the stream's timeline.
struct StreamEvent {
    int64_t frame;
    bool midi;
    AUParameterAddress address; // parameter events
    float value;
    uint8_t status, data1, data2; // MIDI events
};

StreamEvent ParameterAt(int64_t frame, AUParameterAddress address, float value)
{
    return StreamEvent{frame, false, address, value, 0, 0, 0};
}

StreamEvent MidiAt(int64_t frame, uint8_t status, uint8_t data1, uint8_t data2)
{
    return StreamEvent{frame, true, 0, 0.0f, status, data1, data2};
}

// A host for one plug-in object, as an audio-unit host drives it: its own input and output
// memory attached for every call, the stream cut into calls of the sizes nextSize gives, each
// call handed the events that fall in it (the binding slices the call at them). A decoder set
// that the events request is loaded where the test says, between two calls, so every call pattern
// adopts it at the same frame of the stream.
class StreamHost {
public:
    static constexpr double kRate = 48000.0;
    static constexpr uint32_t kMaxFrames = 4096;

    explicit StreamHost(int channels) : mChannels(channels)
    {
        (void)qirtest::TestResourceDirectory();
        mPlug = plugfw::MakePlugin(plugfw::InstanceInfo{});
        // As the audio unit registers them: addresses are parameter indices.
        for (int i = 0; i < mPlug->NParams(); ++i) {
            mPlug->AddParamAddress(i, static_cast<uint64_t>(i));
        }
        mPlug->Prepare(kRate, kMaxFrames);
        mPlug->OnReset();
    }

    [[nodiscard]] QIRMatrixDecoder& plugin() { return static_cast<QIRMatrixDecoder&>(*mPlug); }

    // The host's parameter tree sets a plain value (outside any render call).
    void set(int index, double plain)
    {
        mPlug->SetParameterFromValueObserver(static_cast<uint64_t>(index), static_cast<float>(plain));
    }

    // Loads the decoder set that the parameters request, on this thread; true when one is
    // waiting for the next call.
    bool loadRequestedSet()
    {
        plugin().GetDSP().OnIdle();
        plugin().GetDSP().WaitForLoads();
        return plugin().GetDSP().HasPendingDecoderSet();
    }

    // Renders the frames of input in calls of nextSize() frames, also cut at every frame of
    // loadAt (where a requested set is loaded). The input memory is handed to the plug-in as the
    // host's own.
    Channels render(Channels& input, const std::function<int()>& nextSize, const std::vector<StreamEvent>& events,
                    const std::vector<int64_t>& loadAt = {})
    {
        const int64_t total = static_cast<int64_t>(input[0].size());
        Channels out(2, std::vector<float>(static_cast<std::size_t>(total), 0.0f));
        std::size_t nextEvent = 0;
        std::size_t nextLoad = 0;
        for (int64_t start = 0; start < total;) {
            if (nextLoad < loadAt.size() && loadAt[nextLoad] == start) {
                EXPECT_TRUE(loadRequestedSet()) << "no decoder set to adopt at frame " << start;
                ++nextLoad;
            }
            int64_t end = std::min<int64_t>(total, start + std::clamp(nextSize(), 1, static_cast<int>(kMaxFrames)));
            if (nextLoad < loadAt.size()) {
                end = std::min(end, loadAt[nextLoad]);
            }
            const auto n = static_cast<uint32_t>(end - start);
            qirtest::HostBufferList in(static_cast<UInt32>(mChannels));
            for (int c = 0; c < mChannels; ++c) {
                in.set(static_cast<UInt32>(c), input[static_cast<std::size_t>(c)].data() + start, 4 * n);
            }
            qirtest::HostBufferList outList(2);
            for (UInt32 o = 0; o < 2; ++o) {
                outList.set(o, out[o].data() + start, 4 * n);
            }
            qirtest::RenderEventList list;
            while (nextEvent < events.size() && events[nextEvent].frame < end) {
                const StreamEvent& e = events[nextEvent++];
                if (e.midi) {
                    list.midi(e.frame, e.status, e.data1, e.data2);
                } else {
                    list.parameter(e.frame, e.address, e.value);
                }
            }
            mPlug->AttachInputBuffers(in.get());
            mPlug->AttachOutputBuffers(outList.get(), 0);
            AudioTimeStamp ts;
            ts.mSampleTime = static_cast<double>(start);
            plugfw::ITimeInfo timeInfo;
            mPlug->ProcessWithEvents(&ts, n, list.head(), timeInfo);
            start = end;
        }
        return out;
    }

private:
    int mChannels;
    std::unique_ptr<plugfw::IAUv3Binding> mPlug;
};

// A steady tone on every channel: a cosine of its own frequency and phase.
Channels Tone(int channels, int frames, int toneFrames)
{
    Channels x(static_cast<std::size_t>(channels), std::vector<float>(static_cast<std::size_t>(frames), 0.0f));
    for (int c = 0; c < channels; ++c) {
        const double w = 2.0 * M_PI * (150.0 + 37.0 * c) / StreamHost::kRate;
        for (int t = 0; t < toneFrames; ++t) {
            x[static_cast<std::size_t>(c)][static_cast<std::size_t>(t)] = static_cast<float>(0.3 * std::cos(w * t + c));
        }
    }
    return x;
}

// The largest sample-to-sample step of either output over frames [from, to).
double LargestJump(const Channels& y, int64_t from, int64_t to)
{
    double jump = 0.0;
    for (const auto& ch : y) {
        for (int64_t t = std::max<int64_t>(from, 1); t < to; ++t) {
            jump = std::max(jump, static_cast<double>(std::fabs(ch[static_cast<std::size_t>(t)] - ch[static_cast<std::size_t>(t - 1)])));
        }
    }
    return jump;
}

// The longest run of exactly-zero samples of either output over frames [from, to).
int64_t LongestZeroRun(const Channels& y, int64_t from, int64_t to)
{
    int64_t longest = 0;
    for (const auto& ch : y) {
        int64_t run = 0;
        for (int64_t t = from; t < to; ++t) {
            run = ch[static_cast<std::size_t>(t)] == 0.0f ? run + 1 : 0;
            longest = std::max(longest, run);
        }
    }
    return longest;
}

enum class EEvents { kNone, kParameters, kNotes };

struct SwitchCase {
    const char* name;
    // Parameters (index, plain value) set before the stream starts.
    std::vector<std::pair<int, double>> initial;
    // The switch: a parameter event at kSwitchFrame.
    AUParameterAddress address;
    float value;
    bool loadsASet;
};

struct StreamCase {
    EEvents events;
    SwitchCase change;
};

// The stream: a tone on 16 channels, a switch at an odd frame (a decoder set it requests is
// adopted a little later, at kLoadFrame), other events at odd frames, the tone's end, and an
// impulse at an odd frame once everything has fallen silent.
constexpr int kChannels = 16;
constexpr int64_t kFrames = 24576;
constexpr int64_t kToneFrames = 20480;
constexpr int64_t kCheckedUntil = 20000; // output frames checked for gaps and jumps
constexpr int64_t kSwitchFrame = 8001;
constexpr int64_t kLoadFrame = 8301;
constexpr int64_t kImpulseFrame = 22001;
// Time for a switch to settle before the output is steady again (a set's crossfade, a margin).
constexpr int64_t kSettleFrames = 1024 + 384;

std::vector<StreamEvent> EventsOf(const StreamCase& c)
{
    std::vector<StreamEvent> events;
    double roll = 0.0;
    for (const auto& [index, value] : c.change.initial) {
        if (index == QIRMatrixDecoder::kRoll) {
            roll = value;
        }
    }
    if (c.events == EEvents::kParameters) {
        events.push_back(ParameterAt(3001, QIRMatrixDecoder::kOutputVolume, -1.0f));
        events.push_back(ParameterAt(5003, QIRMatrixDecoder::kOutputVolume, 0.0f));
        events.push_back(ParameterAt(9999, QIRMatrixDecoder::kRoll, static_cast<float>(roll + 6.0)));
        events.push_back(ParameterAt(12007, QIRMatrixDecoder::kOutputVolume, -2.0f));
        events.push_back(ParameterAt(14001, QIRMatrixDecoder::kRoll, static_cast<float>(roll)));
    }
    if (c.events == EEvents::kNotes) {
        events.push_back(MidiAt(2001, 0x90, 2, 100));
        events.push_back(MidiAt(10003, 0x90, 14, 100));
        events.push_back(MidiAt(15005, 0x80, 14, 0));
        events.push_back(MidiAt(20001, 0x90, 30, 100)); // silences the test source at once
    }
    events.push_back(ParameterAt(kSwitchFrame, c.change.address, c.change.value));
    std::stable_sort(events.begin(), events.end(), [](const StreamEvent& a, const StreamEvent& b) { return a.frame < b.frame; });
    return events;
}

class PluginStream : public ::testing::TestWithParam<StreamCase> {
protected:
    struct Result {
        Channels out;
        int latency = -1;
        bool inputUnchanged = false;
    };

    static Result Run(const StreamCase& c, const std::function<int()>& nextSize)
    {
        StreamHost host(kChannels);
        for (const auto& [index, value] : c.change.initial) {
            host.set(index, value);
        }
        EXPECT_TRUE(host.loadRequestedSet());
        Channels input = Tone(kChannels, static_cast<int>(kFrames), static_cast<int>(kToneFrames));
        for (int ch = 0; ch < kChannels; ++ch) {
            input[static_cast<std::size_t>(ch)][kImpulseFrame] = (ch % 2 ? -1.0f : 1.0f) * (1.0f - ch / 32.0f);
        }
        const Channels original = input;
        Result r;
        r.out = host.render(input, nextSize, EventsOf(c), c.change.loadsASet ? std::vector<int64_t>{kLoadFrame} : std::vector<int64_t>{});
        r.latency = host.plugin().GetLatency();
        r.inputUnchanged = input == original;
        return r;
    }
};

TEST_P(PluginStream, DelayIsTheReportedLatencyWithoutGapsOrClicksForEveryCallPattern)
{
    const StreamCase& c = GetParam();
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> anySize(1, static_cast<int>(StreamHost::kMaxFrames));
    const std::vector<std::pair<const char*, std::function<int()>>> patterns = {
        {"128", [] { return 128; }},   {"512", [] { return 512; }}, {"100", [] { return 100; }},
        {"1", [] { return 1; }},       {"4096", [] { return 4096; }},
        {"random 1..4096", [&] { return anySize(rng); }},
    };

    Channels reference;
    for (const auto& [patternName, nextSize] : patterns) {
        SCOPED_TRACE(std::string("calls of ") + patternName);
        const Result r = Run(c, nextSize);
        const Channels& y = r.out;
        EXPECT_TRUE(r.inputUnchanged) << "the host's input buffers were written";

        // The impulse, alone on the stream by then, comes out exactly the reported latency later.
        double peak = 0.0;
        for (const auto& ch : y) {
            for (int64_t t = kImpulseFrame; t < kFrames; ++t) {
                peak = std::max(peak, static_cast<double>(std::fabs(ch[static_cast<std::size_t>(t)])));
            }
        }
        ASSERT_GT(peak, 0.01);
        int64_t onset = -1;
        for (int64_t t = kToneFrames + 1024; t < kFrames && onset < 0; ++t) {
            for (const auto& ch : y) {
                if (std::fabs(ch[static_cast<std::size_t>(t)]) > 1e-3 * peak) {
                    onset = t;
                }
            }
        }
        EXPECT_EQ(onset - kImpulseFrame, r.latency);

        // The tone never drops out, and the switch and the events add no step that the steady
        // output (before the switch, and once it has settled) does not have.
        const int64_t from = r.latency;
        EXPECT_LT(LongestZeroRun(y, from, kCheckedUntil), 16);
        const int64_t settled = (c.change.loadsASet ? kLoadFrame : kSwitchFrame) + r.latency + kSettleFrames;
        const double steady = std::max(LargestJump(y, from + kSettleFrames, kSwitchFrame), LargestJump(y, settled, kCheckedUntil));
        EXPECT_LE(LargestJump(y, from + 1, kCheckedUntil), 4.0 * steady);

        // How the host cuts its calls does not matter.
        if (reference.empty()) {
            reference = y;
        } else {
            double difference = 0.0;
            for (std::size_t o = 0; o < 2; ++o) {
                for (std::size_t t = 0; t < y[o].size(); ++t) {
                    difference = std::max(difference, static_cast<double>(std::fabs(y[o][t] - reference[o][t])));
                }
            }
            EXPECT_LT(difference, 1e-5) << "against calls of 128";
        }
    }
}

const std::vector<std::pair<int, double>> kTurned = {{QIRMatrixDecoder::kYaw, 40.0}, {QIRMatrixDecoder::kPitch, 30.0},
                                                     {QIRMatrixDecoder::kRoll, 50.0}};

const SwitchCase kSwitches[] = {
    {"DecoderMode", {}, QIRMatrixDecoder::kDecoderMode, 1.0f, true},
    {"DecodeOrderUp", {}, QIRMatrixDecoder::kDecodeOrder, 2.0f, true},
    {"DecodeOrderDown", {{QIRMatrixDecoder::kDecodeOrder, 2.0}}, QIRMatrixDecoder::kDecodeOrder, 0.0f, true},
    {"RotationOff", kTurned, QIRMatrixDecoder::kEnableRotation, 0.0f, false},
    {"RotationOn",
     {{QIRMatrixDecoder::kEnableRotation, 0.0}, {QIRMatrixDecoder::kYaw, 40.0}, {QIRMatrixDecoder::kPitch, 30.0},
      {QIRMatrixDecoder::kRoll, 50.0}},
     QIRMatrixDecoder::kEnableRotation, 1.0f, false},
    {"UseRPY", kTurned, QIRMatrixDecoder::kUseRPY, 1.0f, false},
    {"Yaw", {}, QIRMatrixDecoder::kYaw, 90.0f, false},
};

std::vector<StreamCase> AllStreamCases()
{
    std::vector<StreamCase> cases;
    for (EEvents events : {EEvents::kNone, EEvents::kParameters, EEvents::kNotes}) {
        for (const SwitchCase& s : kSwitches) {
            cases.push_back(StreamCase{events, s});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Switches, PluginStream, ::testing::ValuesIn(AllStreamCases()), [](const auto& info) {
    const char* events = info.param.events == EEvents::kNone ? "NoEvents"
                         : info.param.events == EEvents::kParameters ? "ParameterEvents"
                                                                      : "Notes";
    return std::string(events) + "_" + info.param.change.name;
});

} // namespace

TEST(PluginHostBuffers, InputIsReadAndNeverWritten)
{
    // With the field turned by a yaw of 90 degrees, channels 1 and 3 of the host's own input
    // memory used to come back rotated.
    StreamHost host(4);
    host.set(QIRMatrixDecoder::kYaw, 90.0);
    ASSERT_TRUE(host.loadRequestedSet());
    Channels input = Tone(4, 4096, 4096);
    const Channels original = input;
    host.render(input, [] { return 512; }, {});
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(input[c], original[c]) << "channel " << c;
    }
}

TEST(PluginVolume, ChangeReachesTheOutputOneLatencyAfterItsFrame)
{
    // Two channels of ones pass through the engine, so the output is the gain.
    // The volume moves at odd frames; the smoother heads for each new target
    // from the frame where that frame's input comes out.
    const int latency = qir::QIRMatrixDecoderDSP::kLatency;
    const int64_t changes[] = {1001, 1777};
    const float volumes[] = {-6.0f, 3.0f};
    for (const int block : {512, 100, 1}) {
        SCOPED_TRACE(block);
        StreamHost host(2);
        Channels ones(2, std::vector<float>(4096, 1.0f));
        const Channels out = host.render(ones, [block] { return block; },
                                         {ParameterAt(changes[0], QIRMatrixDecoder::kOutputVolume, volumes[0]),
                                          ParameterAt(changes[1], QIRMatrixDecoder::kOutputVolume, volumes[1])});
        double g = 0.0;
        double target = 1.0;
        for (int64_t t = 0; t < 4096; ++t) {
            for (int k = 0; k < 2; ++k) {
                if (t == changes[k] + latency) {
                    target = std::pow(10.0, volumes[k] / 20.0);
                }
            }
            g = g * QIRMatrixDecoder::kGainSmoothA + target * QIRMatrixDecoder::kGainSmoothB;
            const double expected = t < latency ? 0.0 : g;
            ASSERT_NEAR(out[0][static_cast<std::size_t>(t)], expected, 1e-6) << "frame " << t;
            ASSERT_EQ(out[1][static_cast<std::size_t>(t)], out[0][static_cast<std::size_t>(t)]);
        }
    }
}
