// tests/framework: the API base: queues, host identification, parameter entry
// points, editor messages, the idle timer, and the main run loop stand-in.
#include "framework/IHostAPIBase.h"
#include "framework/platform/MainRunLoop.h"

#include "tests/framework/DecoderLikeCore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace plugfw;
using namespace std::chrono_literals;

Config decoderConfig()
{
    Config config;
    config.nParams = 13;
    config.nPresets = 1;
    config.channelIOStr = "4-2 9-2 16-2 25-2 36-2 49-2 64-2";
    config.pluginName = "QIRMatrixDecoder";
    config.productName = "QIRMatrixDecoder";
    config.mfrName = "Marrowfen";
    config.vendorVersion = 0x00010001;
    config.uniqueID = MakeFourCC("QiR1");
    config.mfrID = MakeFourCC("Mrwf");
    config.plugDoesMidiIn = true;
    config.plugWidth = 1024;
    config.plugHeight = 768;
    config.plugMinWidth = 8192; // given in reverse on purpose
    config.plugMaxWidth = 256;
    config.plugMinHeight = 128;
    config.plugMaxHeight = 8192;
    config.bundleID = "com.example.app.QIRMatrixDecoder.AUv3";
    return config;
}

class RecordingHost : public IHostAPIBase {
public:
    explicit RecordingHost(Config config = decoderConfig()) : IHostAPIBase(config, kAPIAUv3)
    {
        frameworktest::initDecoderParams(*this);
    }

    void OnIdle() override { mLog.push_back("idle"); }
    void HostSpecificInit() override { mLog.push_back("hostinit"); }
    void OnHostIdentified() override { mLog.push_back("identified"); }
    void InformHostOfParamChange(int idx, double normalized) override
    {
        mLog.push_back("inform " + std::to_string(idx) + " " + std::to_string(normalized));
    }
    void BeginInformHostOfParamChange(int idx) override { mLog.push_back("begin " + std::to_string(idx)); }
    void EndInformHostOfParamChange(int idx) override { mLog.push_back("end " + std::to_string(idx)); }
    void OnParamChange(int idx, EParamSource source, int offset) override
    {
        mLog.push_back("change " + std::to_string(idx) + " " + std::to_string(source) + " " + std::to_string(offset));
    }
    void OnParamChangeUI(int idx, EParamSource source) override
    {
        mLog.push_back("changeUI " + std::to_string(idx) + " " + std::to_string(source));
    }
    void SendParameterValueFromDelegate(int idx, double value, bool normalized) override
    {
        mLog.push_back("toUI " + std::to_string(idx) + " " + std::to_string(value) + " " + std::to_string(normalized));
    }
    void SendMidiMsgFromDelegate(const IMidiMsg& msg) override { mLog.push_back("midiUI " + std::to_string(msg.mData1)); }
    void SendSysexMsgFromDelegate(const ISysEx& msg) override { mLog.push_back("sysexUI " + std::to_string(msg.mSize)); }
    bool OnMessage(int msgTag, int ctrlTag, int dataSize, const void*) override
    {
        mLog.push_back("message " + std::to_string(msgTag) + " " + std::to_string(ctrlTag) + " " + std::to_string(dataSize));
        return true;
    }

    ISPSCQueue<ParamTuple>& ParamsToUI() { return mParamsToUI; }
    ISPSCQueue<IMidiMsg>& MidiFromUI() { return mMidiFromUI; }
    ISPSCQueue<IMidiMsg>& MidiToUI() { return mMidiToUI; }
    ISPSCQueue<SysExData>& SysExFromUI() { return mSysExFromUI; }
    ISPSCQueue<SysExData>& SysExToUI() { return mSysExToUI; }

    std::vector<std::string> mLog;
};

TEST(ISPSCQueue, HoldsExactlyItsCapacityInPushOrder)
{
    ISPSCQueue<int> queue(32);
    EXPECT_EQ(queue.Capacity(), 32u);
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(queue.Push(i)) << i;
    }
    EXPECT_FALSE(queue.Push(99));
    EXPECT_EQ(queue.ElementsAvailable(), 32u);
    int value = -1;
    for (int i = 0; i < 32; ++i) {
        ASSERT_TRUE(queue.Pop(value));
        EXPECT_EQ(value, i);
    }
    EXPECT_FALSE(queue.Pop(value));
    EXPECT_EQ(value, 31);
}

TEST(ISPSCQueue, InterleavedUseWrapsAroundAndEndsEmpty)
{
    ISPSCQueue<int> queue(32);
    int next = 0;
    int expected = 0;
    int value = 0;
    // 33 pushes and 33 pops with the write index crossing the end of the ring.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(queue.Push(next++));
    }
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(queue.Pop(value));
        ASSERT_EQ(value, expected++);
    }
    for (int i = 0; i < 13; ++i) {
        ASSERT_TRUE(queue.Push(next++));
    }
    EXPECT_EQ(queue.ElementsAvailable(), 23u);
    for (int i = 0; i < 23; ++i) {
        ASSERT_TRUE(queue.Pop(value));
        ASSERT_EQ(value, expected++);
    }
    EXPECT_EQ(next, 33);
    EXPECT_EQ(queue.ElementsAvailable(), 0u);
}

TEST(IHostAPIBase, SizesItsQueuesAndCopiesTheConfiguration)
{
    RecordingHost host;
    EXPECT_EQ(host.ParamsToUI().Capacity(), 512u);
    EXPECT_EQ(host.MidiFromUI().Capacity(), 32u);
    EXPECT_EQ(host.MidiToUI().Capacity(), 32u);
    EXPECT_EQ(host.SysExFromUI().Capacity(), 4u);
    EXPECT_EQ(host.SysExToUI().Capacity(), 4u);
    EXPECT_STREQ(host.GetPluginName(), "QIRMatrixDecoder");
    EXPECT_STREQ(host.GetMfrName(), "Marrowfen");
    EXPECT_EQ(host.GetUniqueID(), MakeFourCC("QiR1"));
    EXPECT_EQ(host.GetPluginVersion(true), 10001);
    EXPECT_EQ(host.GetMinWidth(), 256);
    EXPECT_EQ(host.GetMaxWidth(), 8192);
    EXPECT_EQ(host.GetMinHeight(), 128);
    EXPECT_EQ(host.GetAPI(), kAPIAUv3);
    EXPECT_EQ(host.NParams(), 13);
    EXPECT_EQ(host.NPresets(), 1);
    EXPECT_EQ(host.GetHost(), kHostUninit);
    EXPECT_FALSE(host.HasTimer());

    Config longName = decoderConfig();
    const std::string name(300, 'n');
    longName.pluginName = name.c_str();
    RecordingHost cut(longName);
    EXPECT_EQ(std::string(cut.GetPluginName()).size(), 128u);
}

TEST(IHostAPIBase, HostIdentificationTable)
{
    struct Case {
        const char* name;
        int kind;
    };
    const Case cases[] = {
        {"REAPER", 1},           {"WaveLab Elements 10", 32}, {"WaveLab Pro", 31}, {"Live 11", 9},
        {"Digital Performer", 23}, {"My Standalone Host", 24}, {"WWW Player", 35}, {"Other DAW", 0},
        {"Bitwig Studio", 34},   {"Blue Cat's VST Host", 44}, {"Logic Pro X", 21}, {"", 0},
    };
    for (const Case& c : cases) {
        RecordingHost host;
        host.SetHost(c.name, 0x000A0203);
        EXPECT_EQ(host.GetHost(), c.kind) << c.name;
        EXPECT_EQ(host.GetHostVersion(true), 100203) << c.name;
    }
    RecordingHost host;
    host.SetHost(nullptr, 0);
    EXPECT_EQ(host.GetHost(), 0);
    ASSERT_EQ(host.mLog.size(), 2u);
    EXPECT_EQ(host.mLog[0], "hostinit");
    EXPECT_EQ(host.mLog[1], "identified");

    // Only the first 255 characters are compared.
    RecordingHost longHost;
    longHost.SetHost((std::string(255, 'x') + "reaper").c_str(), 0);
    EXPECT_EQ(longHost.GetHost(), 0);
}

TEST(IHostAPIBase, ParameterEntryPoints)
{
    RecordingHost host;
    // Decoder Mode: 0..2, step 1; 0.5 normalised is 1.0.
    host.SendParameterValueFromAPI(0, 0.5, true);
    host.SendParameterValueFromAPI(6, 45.0, false);
    host.SendParameterValueFromAPI(99, 1.0, false);
    ParamTuple change;
    ASSERT_TRUE(host.ParamsToUI().Pop(change));
    EXPECT_EQ(change.idx, 0);
    EXPECT_EQ(change.value, 1.0);
    ASSERT_TRUE(host.ParamsToUI().Pop(change));
    EXPECT_EQ(change.value, 45.0);
    EXPECT_FALSE(host.ParamsToUI().Pop(change));
    EXPECT_EQ(host.GetParam(0)->Value(), 0.0) << "the parameter itself is not changed";

    host.SetParameterValue(6, 0.75);
    EXPECT_DOUBLE_EQ(host.GetParam(6)->Value(), 90.0);
    ASSERT_EQ(host.mLog.size(), 2u);
    EXPECT_EQ(host.mLog[0], "inform 6 0.750000");
    EXPECT_EQ(host.mLog[1], "change 6 3 -1");

    host.mLog.clear();
    host.SendParameterValueFromUI(6, 0.25);
    EXPECT_DOUBLE_EQ(host.GetParam(6)->Value(), -90.0);
    ASSERT_EQ(host.mLog.size(), 3u);
    EXPECT_EQ(host.mLog[2], "changeUI 6 3");

    host.mLog.clear();
    host.DirtyParametersFromUI();
    ASSERT_EQ(host.mLog.size(), 13u);
    EXPECT_EQ(host.mLog[6], "inform 6 0.250000");

    host.mLog.clear();
    host.BeginInformHostOfParamChangeFromUI(3);
    host.EndInformHostOfParamChangeFromUI(3);
    EXPECT_EQ(host.mLog, (std::vector<std::string>{"begin 3", "end 3"}));

    host.mLog.clear();
    host.SetParameterValue(13, 0.5);
    host.SendParameterValueFromUI(-1, 0.5);
    EXPECT_TRUE(host.mLog.empty());
}

TEST(IHostAPIBase, EditorMessagesAndDefaults)
{
    RecordingHost host;
    EXPECT_TRUE(host.EditorResizeFromUI(800, 600, false));
    EXPECT_FALSE(host.EditorResizeFromUI(800, 600, true));

    TypedBuf<int> important;
    host.OnHostRequestingImportantParameters(4, important);
    ASSERT_EQ(important.GetSize(), 4);
    EXPECT_EQ(important.Get()[3], 3);
    TypedBuf<int> all;
    host.OnHostRequestingImportantParameters(13, all);
    host.OnHostRequestingImportantParameters(0, all);
    EXPECT_EQ(all.GetSize(), 0);

    EXPECT_TRUE(host.OnHostRequestingSupportedViewConfiguration(0, 0));
    EXPECT_FALSE(host.OnHostRequestingSupportedViewConfiguration(10, 0));
    char text[8] = "x";
    EXPECT_FALSE(host.GetMidiNoteText(60, text));
    EXPECT_STREQ(text, "");
    int r = 1, g = 1, b = 1;
    host.GetTrackColor(r, g, b);
    EXPECT_EQ(r + g + b, 0);

    for (int i = 0; i < 40; ++i) {
        host.SendMidiMsgFromUI(IMidiMsg(0, 0x90, static_cast<uint8_t>(i), 1));
    }
    EXPECT_EQ(host.MidiFromUI().ElementsAvailable(), 32u) << "a full queue drops";

    const uint8_t bytes[3] = {0xF0, 0x01, 0xF7};
    host.SendSysexMsgFromUI(ISysEx(5, bytes, 3));
    host.SendSysexMsgFromUI(ISysEx(0, nullptr, 10));
    host.SendSysexMsgFromUI(ISysEx(0, bytes, 513));
    host.SendSysexMsgFromUI(ISysEx(0, bytes, -1));
    ASSERT_EQ(host.SysExFromUI().ElementsAvailable(), 2u) << "oversized and negative messages are refused";
    SysExData data;
    ASSERT_TRUE(host.SysExFromUI().Pop(data));
    EXPECT_EQ(data.mOffset, 5);
    EXPECT_EQ(data.mSize, 3);
    EXPECT_EQ(data.mData[2], 0xF7);
    ASSERT_TRUE(host.SysExFromUI().Pop(data));
    EXPECT_EQ(data.mSize, 10);
    EXPECT_EQ(data.mData[0], 0);

    host.SendArbitraryMsgFromUI(7, 2, 0, nullptr);
    EXPECT_EQ(host.mLog.back(), "message 7 2 0");
}

TEST(IHostAPIBase, CompareStateInSinglePrecision)
{
    RecordingHost host;
    IByteChunk state;
    ASSERT_TRUE(host.SerializeState(state));
    EXPECT_TRUE(host.CompareState(state.GetData(), 0));
    host.GetParam(6)->Set(0.1);
    EXPECT_FALSE(host.CompareState(state.GetData(), 0));
    IByteChunk shifted;
    const double pad = 123.0;
    shifted.Put(&pad);
    ASSERT_TRUE(host.SerializeState(shifted));
    EXPECT_TRUE(host.CompareState(shifted.GetData(), 1));
    EXPECT_FALSE(host.CompareState(shifted.GetData(), -1));
}

TEST(IdleTimer, TicksCallOnIdleEvery40msOnTheLoopThread)
{
    auto clock = std::make_unique<VirtualRunLoopClock>();
    MainRunLoop loop(std::move(clock));
    RecordingHost host;
    host.CreateTimer(loop);
    EXPECT_TRUE(host.HasTimer());
    EXPECT_EQ(loop.NTimers(), 1);
    const auto start = loop.Now();
    std::vector<std::chrono::milliseconds> tickTimes;
    std::thread::id tickThread;
    // Tick times relative to the start, from a run of one virtual second.
    int ticks = 0;
    const auto countTicks = [&] {
        const int idle = static_cast<int>(std::count(host.mLog.begin(), host.mLog.end(), "idle"));
        while (ticks < idle) {
            tickTimes.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(loop.Now() - start));
            tickThread = std::this_thread::get_id();
            ++ticks;
        }
        return false;
    };
    EXPECT_FALSE(loop.RunUntil(countTicks, 1000ms));
    // First tick at once, then every 40 ms: 0, 40, ..., 1000.
    ASSERT_EQ(tickTimes.size(), 26u);
    for (std::size_t i = 0; i < tickTimes.size(); ++i) {
        EXPECT_EQ(tickTimes[i], std::chrono::milliseconds(40 * i)) << i;
    }
    EXPECT_EQ(tickThread, std::this_thread::get_id());
    EXPECT_EQ(std::count(host.mLog.begin(), host.mLog.end(), "idle"), 26);
    EXPECT_EQ(host.mLog.size(), 26u) << "without an editor a tick calls OnIdle and nothing else";
}

TEST(IdleTimer, WithAnEditorTheTickDrainsTheQueuesFirst)
{
    Config config = decoderConfig();
    config.plugHasUI = true;
    MainRunLoop loop(std::make_unique<VirtualRunLoopClock>());
    RecordingHost host(config);
    host.SendParameterValueFromAPI(1, 2.0, false);
    host.MidiToUI().Push(IMidiMsg(0, 0x90, 61, 1));
    host.SysExToUI().Push(SysExData(0, 4, nullptr));
    host.CreateTimer(loop);
    EXPECT_EQ(loop.RunOnce(), 1);
    EXPECT_EQ(host.mLog, (std::vector<std::string>{"toUI 1 2.000000 0", "midiUI 61", "sysexUI 4", "idle"}));
}

TEST(IdleTimer, StopsWhenReplacedOrDestroyed)
{
    MainRunLoop loop(std::make_unique<VirtualRunLoopClock>());
    {
        RecordingHost host;
        host.CreateTimer(loop);
        host.CreateTimer(loop);
        EXPECT_EQ(loop.NTimers(), 1) << "a new timer replaces the old one";
        loop.RunFor(80ms);
        EXPECT_EQ(std::count(host.mLog.begin(), host.mLog.end(), "idle"), 3);
    }
    EXPECT_EQ(loop.NTimers(), 0);
    loop.RunFor(200ms);

    auto timer = Timer::Create(loop, [](Timer& self) { self.Stop(); }, 10);
    loop.RunFor(100ms);
    EXPECT_EQ(loop.NTimers(), 0) << "a timer may stop itself from its callback";
    timer->Stop();
    timer->Stop();
}

// A plug-in whose tick runs a given action, to stop or replace its own timer
// from inside a tick.
class TickActionHost : public IHostAPIBase {
public:
    TickActionHost() : IHostAPIBase(decoderConfig(), kAPIAUv3) {}
    void OnIdle() override
    {
        ++mTicks;
        if (mAction) {
            mAction(*this);
        }
    }
    void Stop() { StopTimer(); }

    int mTicks = 0;
    std::function<void(TickActionHost&)> mAction;
};

TEST(IdleTimer, ATickMayStopOrReplaceItsOwnTimer)
{
    MainRunLoop loop(std::make_unique<VirtualRunLoopClock>());
    {
        TickActionHost host;
        host.mAction = [](TickActionHost& self) {
            if (self.mTicks == 3) {
                self.Stop();
            }
        };
        host.CreateTimer(loop);
        loop.RunFor(400ms);
        EXPECT_EQ(host.mTicks, 3) << "stopped from its third tick";
        EXPECT_EQ(loop.NTimers(), 0);
        host.Stop();
    }
    {
        TickActionHost host;
        host.mAction = [&loop](TickActionHost& self) {
            if (self.mTicks == 1) {
                self.CreateTimer(loop); // destroys the timer that is firing
            }
        };
        host.CreateTimer(loop);
        loop.RunFor(80ms);
        EXPECT_EQ(host.mTicks, 4) << "the replacement ticks at once, then at 40 and 80 ms";
        EXPECT_EQ(loop.NTimers(), 1);
    }
    EXPECT_EQ(loop.NTimers(), 0);
}

TEST(MainRunLoop, RunsDispatchedTasksInOrderAndSkipsMissedFirings)
{
    auto clockOwner = std::make_unique<VirtualRunLoopClock>();
    VirtualRunLoopClock* clock = clockOwner.get();
    MainRunLoop loop(std::move(clockOwner));
    std::vector<int> order;
    loop.Dispatch([&] { order.push_back(1); });
    loop.Dispatch([&] {
        order.push_back(2);
        loop.Dispatch([&] { order.push_back(3); });
    });
    EXPECT_TRUE(loop.RunUntil([&] { return order.size() == 3; }, 1s));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    int fired = 0;
    const auto id = loop.AddTimer(10ms, [&] { ++fired; });
    EXPECT_EQ(loop.RunOnce(), 1);
    clock->Advance(95ms); // nine firings missed while the loop was busy
    EXPECT_EQ(loop.RunOnce(), 1) << "missed firings do not burst";
    clock->Advance(4ms);
    EXPECT_EQ(loop.RunOnce(), 0) << "the next firing stays on the 10 ms grid (at 100 ms)";
    clock->Advance(1ms);
    EXPECT_EQ(loop.RunOnce(), 1);
    loop.RemoveTimer(id);
    loop.RemoveTimer(id);
    clock->Advance(1s);
    EXPECT_EQ(loop.RunOnce(), 0);
    EXPECT_EQ(fired, 3);
}

TEST(MainRunLoop, RealClockWaitsForTheTimer)
{
    MainRunLoop loop;
    int fired = 0;
    loop.AddTimer(5ms, [&] { ++fired; });
    EXPECT_TRUE(loop.RunUntil([&] { return fired >= 3; }, 10s));
    EXPECT_FALSE(loop.RunUntil([] { return false; }, 1ms));
}

} // namespace
