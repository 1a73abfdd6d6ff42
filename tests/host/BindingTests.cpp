// tests/host: the audio-unit binding renders each call in slices cut at its
// events, applies parameter and MIDI events at the start of their slice, and
// maps parameter addresses, observer calls and buffer lists as the host expects.
#include "host/auv3/IAUv3Binding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A plug-in that records what the binding asks of it.
class RecordingPlug final : public plugfw::IAUv3Binding {
public:
    struct Call {
        enum Kind { kBlock, kParam, kMidi } mKind;
        int mA = 0; // block: first frame relative to the call; param: index; MIDI: status
        int mB = 0; // block: frames; param/MIDI: offset
        double mValue = 0.0;
    };

    static plugfw::Config MakeConfig(const char* io)
    {
        plugfw::Config config;
        config.nParams = 3;
        config.nPresets = 1;
        config.channelIOStr = io;
        config.plugDoesMidiIn = true;
        return config;
    }

    explicit RecordingPlug(const char* io = "4-2")
        : plugfw::IAUv3Binding(plugfw::InstanceInfo{}, MakeConfig(io))
    {
        GetParam(0)->InitInt("Steps", 0, -10, 10);
        GetParam(1)->InitDouble("Level", 0.0, 0.0, 1.0, 0.001);
        GetParam(2)->InitBool("Switch", false);
        for (int i = 0; i < NParams(); ++i) {
            AddParamAddress(i, static_cast<uint64_t>(i));
        }
        mCalls.reserve(64);
    }

    void ProcessBlock(float** inputs, float** outputs, int nFrames) noexcept override
    {
        // Slices see pointers advanced by their offset into the attached buffers.
        const int first = outputs[0] ? static_cast<int>(outputs[0] - mOutputBase) : -1;
        mCalls.push_back({Call::kBlock, first, nFrames, 0.0});
        mLastInputs = inputs;
    }
    void ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept override
    {
        mCalls.push_back({Call::kMidi, msg.mStatus, msg.mOffset, 0.0});
    }
    void OnParamChange(int paramIdx, plugfw::EParamSource source, int sampleOffset) override
    {
        mCalls.push_back({Call::kParam, paramIdx, sampleOffset, GetParam(paramIdx)->Value()});
        mLastSource = source;
    }

    float* mOutputBase = nullptr;
    float** mLastInputs = nullptr;
    plugfw::EParamSource mLastSource = plugfw::kReset;
    std::vector<Call> mCalls;
};

// The audio unit side of the binding's messages.
class RecordingUnit final : public plugfw::IAUv3HostMessages {
public:
    void beginInformHostOfParamChange(uint64_t address) override { mLog.push_back("begin " + std::to_string(address)); }
    void informHostOfParamChange(uint64_t address, float value) override
    {
        mLog.push_back("set " + std::to_string(address) + " " + std::to_string(value));
    }
    void endInformHostOfParamChange(uint64_t address) override { mLog.push_back("end " + std::to_string(address)); }
    bool sendMidiData(int64_t sampleTime, NSInteger length, const uint8_t* bytes) override
    {
        mMidi.push_back({sampleTime, std::vector<uint8_t>(bytes, bytes + length)});
        return true;
    }
    void informHostOfLatencyChange() override { mLog.push_back("latency"); }

    std::vector<std::string> mLog;
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> mMidi;
};

// A host's list of one-channel buffers over caller-owned channel memory.
class BufferList {
public:
    explicit BufferList(std::vector<float*> channels)
        : mStorage((AudioBufferListByteSize(static_cast<UInt32>(channels.size())) + sizeof(std::max_align_t) - 1) /
                   sizeof(std::max_align_t))
    {
        AudioBufferList* list = get();
        list->mNumberBuffers = static_cast<UInt32>(channels.size());
        for (std::size_t i = 0; i < channels.size(); ++i) {
            list->mBuffers[i] = AudioBuffer{1, 0, channels[i]};
        }
    }
    AudioBufferList* get() { return reinterpret_cast<AudioBufferList*>(mStorage.data()); }

private:
    std::vector<std::max_align_t> mStorage;
};

class EventList {
public:
    EventList() { mEvents.reserve(16); }
    EventList& parameter(int64_t time, uint64_t address, float value, AURenderEventType type = AURenderEventParameter)
    {
        AURenderEvent e{};
        e.parameter.eventSampleTime = time;
        e.parameter.eventType = type;
        e.parameter.parameterAddress = address;
        e.parameter.value = value;
        return add(e);
    }
    EventList& midi(int64_t time, uint8_t status, uint8_t data1, uint8_t data2)
    {
        AURenderEvent e{};
        e.MIDI.eventSampleTime = time;
        e.MIDI.eventType = AURenderEventMIDI;
        e.MIDI.length = 3;
        e.MIDI.data[0] = status;
        e.MIDI.data[1] = data1;
        e.MIDI.data[2] = data2;
        return add(e);
    }
    const AURenderEvent* head()
    {
        for (std::size_t i = 0; i < mEvents.size(); ++i) {
            mEvents[i].head.next = i + 1 < mEvents.size() ? &mEvents[i + 1] : nullptr;
        }
        return mEvents.empty() ? nullptr : mEvents.data();
    }

private:
    EventList& add(const AURenderEvent& e)
    {
        mEvents.push_back(e);
        return *this;
    }
    std::vector<AURenderEvent> mEvents;
};

class BindingFixture : public ::testing::Test {
protected:
    static constexpr uint32_t kFrames = 512;
    static constexpr double kT = 1000.0;

    void SetUp() override
    {
        mPlug.SetAUAudioUnit(&mUnit);
        mPlug.Prepare(44100.0, kFrames);
        mOut0.assign(kFrames, 0.0f);
        mOut1.assign(kFrames, 0.0f);
        mPlug.mOutputBase = mOut0.data();
    }

    void render(const AURenderEvent* events, uint32_t frames = kFrames, double sampleTime = kT)
    {
        BufferList outputs({mOut0.data(), mOut1.data()});
        mPlug.AttachOutputBuffers(outputs.get(), 0);
        AudioTimeStamp ts;
        ts.mSampleTime = sampleTime;
        plugfw::ITimeInfo timeInfo;
        mPlug.ProcessWithEvents(&ts, frames, events, timeInfo);
    }

    std::string calls() const
    {
        std::string s;
        for (const auto& c : mPlug.mCalls) {
            switch (c.mKind) {
            case RecordingPlug::Call::kBlock: s += "block " + std::to_string(c.mA) + "+" + std::to_string(c.mB); break;
            case RecordingPlug::Call::kParam:
                s += "param " + std::to_string(c.mA) + "@" + std::to_string(c.mB) + "=" +
                     std::to_string(static_cast<int>(c.mValue * 1000));
                break;
            case RecordingPlug::Call::kMidi: s += "midi " + std::to_string(c.mA) + "@" + std::to_string(c.mB); break;
            }
            s += "; ";
        }
        return s;
    }

    RecordingUnit mUnit;
    RecordingPlug mPlug;
    std::vector<float> mOut0;
    std::vector<float> mOut1;
};

} // namespace

TEST_F(BindingFixture, RenderCallIsSlicedAtEventTimes)
{
    struct Case {
        const char* name;
        std::vector<std::tuple<char, int64_t, float>> events; // 'p' parameter 1, 'r' ramp on 1, 'm' note on
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"no events", {}, "block 0+512; "},
        {"two parameters and a note",
         {{'p', 100, 0.25f}, {'p', 100, 0.5f}, {'m', 300, 0.0f}},
         "block 0+100; param 1@0=250; param 1@0=500; block 100+200; midi 144@0; block 300+212; "},
        {"late event", {{'m', -5, 0.0f}}, "midi 144@-5; block 0+512; "},
        {"event at the very end", {{'r', 512, 0.5f}}, "block 0+512; param 1@0=500; "},
        {"event beyond the end takes effect after the last frame",
         {{'p', 600, 0.75f}},
         "block 0+512; param 1@88=750; "},
        {"events at the first frame and at the last", {{'p', 0, 0.1f}, {'p', 511, 0.2f}},
         "param 1@0=100; block 0+511; param 1@0=200; block 511+1; "},
    };
    for (const auto& c : cases) {
        mPlug.mCalls.clear();
        EventList list;
        for (const auto& [kind, t, v] : c.events) {
            const auto time = static_cast<int64_t>(kT) + t;
            if (kind == 'm') {
                list.midi(time, 0x90, 3, 100);
            } else {
                list.parameter(time, 1, v, kind == 'r' ? AURenderEventParameterRamp : AURenderEventParameter);
            }
        }
        render(list.head());
        EXPECT_EQ(calls(), c.expected) << c.name;
    }
}

TEST_F(BindingFixture, ParameterEventsAreConstrainedAndUnknownAddressesIgnored)
{
    struct Case {
        uint64_t address;
        float value;
        double expected;
    };
    const Case cases[] = {
        {0, 2.5f, 3.0}, {0, -2.5f, -3.0}, {0, 40.0f, 10.0}, {0, -40.0f, -10.0}, {1, 0.5f, 0.5}, {2, 0.7f, 1.0},
    };
    for (const auto& c : cases) {
        EventList list;
        list.parameter(static_cast<int64_t>(kT) + 10, c.address, c.value);
        render(list.head());
        EXPECT_DOUBLE_EQ(mPlug.GetParam(static_cast<int>(c.address))->Value(), c.expected)
            << "address " << c.address << " value " << c.value;
        EXPECT_EQ(mPlug.mLastSource, plugfw::kHost);
    }

    mPlug.mCalls.clear();
    EventList unknown;
    unknown.parameter(static_cast<int64_t>(kT) + 10, 3, 1.0f).parameter(static_cast<int64_t>(kT) + 20, 1000, 1.0f);
    render(unknown.head());
    EXPECT_EQ(calls(), "block 0+10; block 10+10; block 20+492; ") << "no parameter may change";
}

TEST_F(BindingFixture, ObserverCallsConstrainAndReportTheHostAsSource)
{
    mPlug.SetParameterFromValueObserver(0, 4.6f);
    EXPECT_DOUBLE_EQ(mPlug.GetParam(0)->Value(), 5.0);
    EXPECT_FLOAT_EQ(mPlug.GetParameter(0), 5.0f);
    ASSERT_EQ(mPlug.mCalls.size(), 1U);
    EXPECT_EQ(mPlug.mCalls[0].mB, -1);
    EXPECT_EQ(mPlug.mLastSource, plugfw::kHost);

    mPlug.SetParameterFromValueObserver(3, 1.0f);
    EXPECT_EQ(mPlug.mCalls.size(), 1U) << "an address beyond the parameters is ignored";

    EXPECT_STREQ(mPlug.GetParamDisplay(2, 1.0f), "on");
    EXPECT_FLOAT_EQ(mPlug.GetParamStringToValue(0, "7"), 7.0f);
}

TEST_F(BindingFixture, GesturesAndChangesReachTheAudioUnitAsPlainValues)
{
    mPlug.BeginInformHostOfParamChange(0);
    mPlug.InformHostOfParamChange(0, 0.75); // -10..10 at 0.75 is 5
    mPlug.EndInformHostOfParamChange(0);
    const std::vector<std::string> expected = {"begin 0", "set 0 5.000000", "end 0"};
    EXPECT_EQ(mUnit.mLog, expected);
}

TEST_F(BindingFixture, OnlyLatencyChangesReachTheAudioUnit)
{
    mPlug.SetLatency(128);
    mPlug.SetLatency(128);
    mPlug.SetLatency(0);
    EXPECT_EQ(mUnit.mLog, (std::vector<std::string>{"latency", "latency"}));
    EXPECT_EQ(mPlug.GetLatency(), 0);

    RecordingPlug unattached;
    unattached.SetLatency(64);
    EXPECT_EQ(unattached.GetLatency(), 64) << "stored even with no audio unit to tell";
}

TEST_F(BindingFixture, OutputBuffersConnectTheirRecordsAndDisconnectTheRest)
{
    RecordingPlug wide("2-4");
    wide.Prepare(48000.0, 64);
    std::vector<float> a(64), b(64), c(64);
    BufferList three({a.data(), b.data(), c.data()});
    wide.AttachOutputBuffers(three.get(), 0);
    EXPECT_EQ(wide.NChannelsConnected(plugfw::kRouteOutput), 3);
    BufferList two({a.data(), b.data()});
    wide.AttachOutputBuffers(two.get(), 0);
    EXPECT_EQ(wide.NChannelsConnected(plugfw::kRouteOutput), 2);
    EXPECT_TRUE(wide.IsChannelConnected(plugfw::kRouteOutput, 0));
    EXPECT_TRUE(wide.IsChannelConnected(plugfw::kRouteOutput, 1));
    EXPECT_FALSE(wide.IsChannelConnected(plugfw::kRouteOutput, 2));

    // Inputs: a host that gives fewer channels leaves the rest reading zeros.
    std::vector<float> in0(64, 1.0f);
    BufferList one({in0.data()});
    wide.AttachInputBuffers(one.get());
    EXPECT_EQ(wide.NChannelsConnected(plugfw::kRouteInput), 1);
    wide.AttachInputBuffers(nullptr);
    EXPECT_EQ(wide.NChannelsConnected(plugfw::kRouteInput), 1) << "a null list changes nothing";
}

TEST_F(BindingFixture, InterleavedBufferChannelsStayDisconnected)
{
    std::vector<float> interleaved(2 * kFrames);
    BufferList list({interleaved.data()});
    list.get()->mBuffers[0].mNumberChannels = 2;
    mPlug.AttachInputBuffers(list.get());
    EXPECT_EQ(mPlug.NChannelsConnected(plugfw::kRouteInput), 0);
}

TEST_F(BindingFixture, PrepareDisconnectsEverythingAndSetsTheContext)
{
    std::vector<float> in0(kFrames);
    BufferList one({in0.data()});
    mPlug.AttachInputBuffers(one.get());
    BufferList outputs({mOut0.data(), mOut1.data()});
    mPlug.AttachOutputBuffers(outputs.get(), 0);
    mPlug.Prepare(96000.0, 256);
    EXPECT_EQ(mPlug.NChannelsConnected(plugfw::kRouteInput), 0);
    EXPECT_EQ(mPlug.NChannelsConnected(plugfw::kRouteOutput), 0);
    EXPECT_EQ(mPlug.GetBlockSize(), 256);
    EXPECT_DOUBLE_EQ(mPlug.GetSampleRate(), 96000.0);
}

TEST_F(BindingFixture, EmptyCallDrainsEditorQueuesAndRecordsTheTimestampForMidiOutput)
{
    mPlug.SendMidiMsgFromUI(plugfw::IMidiMsg(0, 0x90, 60, 100));
    render(nullptr, 0, 5000.0);
    ASSERT_EQ(mPlug.mCalls.size(), 1U);
    EXPECT_EQ(mPlug.mCalls[0].mKind, RecordingPlug::Call::kMidi) << "the editor's note reaches the processor";

    EXPECT_TRUE(mPlug.SendMidiMsg(plugfw::IMidiMsg(7, 0x80, 60, 0)));
    ASSERT_EQ(mUnit.mMidi.size(), 1U);
    EXPECT_EQ(mUnit.mMidi[0].first, 5007);
    EXPECT_EQ(mUnit.mMidi[0].second, (std::vector<uint8_t>{0x80, 60, 0}));
}

namespace {

// A plug-in with one stereo input and two stereo output busses. It writes
// output channel k as the constant k + 1, so every host buffer shows which
// record it was attached to.
class TwoBusPlug final : public plugfw::IAUv3Binding {
public:
    static plugfw::Config MakeConfig()
    {
        plugfw::Config config;
        config.nParams = 0;
        config.channelIOStr = "2-2.2";
        return config;
    }

    TwoBusPlug() : plugfw::IAUv3Binding(plugfw::InstanceInfo{}, MakeConfig()) {}

    void ProcessBlock(float** /*inputs*/, float** outputs, int nFrames) noexcept override
    {
        for (int k = 0; k < MaxNChannels(plugfw::kRouteOutput); ++k) {
            std::fill(outputs[k], outputs[k] + nFrames, static_cast<float>(k + 1));
        }
    }
    bool SendMidiMsg(const plugfw::IMidiMsg& /*msg*/) noexcept override { return false; }
};

} // namespace

TEST(TwoOutputBusses, EachBusRendersItsOwnChannels)
{
    constexpr uint32_t kFrames = 64;
    TwoBusPlug plug;
    ASSERT_EQ(plug.MaxNChannels(plugfw::kRouteOutput), 4);
    plug.Prepare(48000.0, kFrames);

    // A host renders the busses in order; the call for the last one processes.
    std::vector<std::vector<float>> host(4, std::vector<float>(kFrames, 0.0f));
    BufferList bus0({host[0].data(), host[1].data()});
    BufferList bus1({host[2].data(), host[3].data()});
    plug.AttachOutputBuffers(bus0.get(), 0);
    plug.AttachOutputBuffers(bus1.get(), 1);
    EXPECT_EQ(plug.NChannelsConnected(plugfw::kRouteOutput), 4);
    AudioTimeStamp ts;
    plugfw::ITimeInfo timeInfo;
    plug.ProcessWithEvents(&ts, kFrames, nullptr, timeInfo);
    for (std::size_t k = 0; k < host.size(); ++k) {
        EXPECT_EQ(std::count(host[k].begin(), host[k].end(), static_cast<float>(k + 1)), kFrames)
            << "host buffer " << k;
    }

    // A later call with the second bus left out renders it into scratch only.
    std::vector<std::vector<float>> next(2, std::vector<float>(kFrames, 0.0f));
    BufferList bus0Only({next[0].data(), next[1].data()});
    plug.AttachOutputBuffers(bus0Only.get(), 0);
    EXPECT_EQ(plug.NChannelsConnected(plugfw::kRouteOutput), 2);
    EXPECT_FALSE(plug.IsChannelConnected(plugfw::kRouteOutput, 2));
    plug.ProcessWithEvents(&ts, kFrames, nullptr, timeInfo);
    EXPECT_EQ(next[1][kFrames - 1], 2.0f);
    EXPECT_EQ(host[2][0], 3.0f) << "the earlier call's buffers are not written again";
}
