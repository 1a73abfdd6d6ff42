// tests/framework: channel-I/O parsing, connection records, attachment, block
// slicing and the audio-unit layout tags.
#include "framework/IAudioProcessor.h"

#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using namespace plugfw;

constexpr const char* kDecoderIO = "4-2 9-2 16-2 25-2 36-2 49-2 64-2";

Config configWithIO(const char* io)
{
    Config config;
    config.channelIOStr = io;
    config.plugDoesMidiIn = true;
    return config;
}

// Records what ProcessBlock was handed.
class RecordingProcessor : public IAudioProcessor {
public:
    explicit RecordingProcessor(const char* io) : IAudioProcessor(configWithIO(io), kAPIAUv3) {}

    bool SendMidiMsg(const IMidiMsg& msg) override
    {
        mSent.push_back(msg);
        return mSendResult;
    }
    void ProcessBlock(float** inputs, float** outputs, int nFrames) override
    {
        if (!mRecord) {
            IAudioProcessor::ProcessBlock(inputs, outputs, nFrames);
            return;
        }
        mCalls.push_back({inputs ? std::vector<float*>(inputs, inputs + MaxNChannels(kRouteInput)) : std::vector<float*>(),
                          outputs ? std::vector<float*>(outputs, outputs + MaxNChannels(kRouteOutput)) : std::vector<float*>(),
                          nFrames});
        if (mPassThrough) {
            IAudioProcessor::ProcessBlock(inputs, outputs, nFrames);
        }
    }

    struct Call {
        std::vector<float*> inputs;
        std::vector<float*> outputs;
        int nFrames;
    };
    std::vector<Call> mCalls;
    std::vector<IMidiMsg> mSent;
    bool mSendResult = true;
    bool mPassThrough = false;
    bool mRecord = true;
};

TEST(ChannelIO, DecoderStringParsesIntoSevenConfigurations)
{
    OwnedPtrList<IOConfig> configs;
    int nIn = -1, nOut = -1, nInBuses = -1, nOutBuses = -1;
    EXPECT_EQ(IAudioProcessor::ParseChannelIOStr(kDecoderIO, configs, nIn, nOut, nInBuses, nOutBuses), 7);
    EXPECT_EQ(nIn, 64);
    EXPECT_EQ(nOut, 2);
    EXPECT_EQ(nInBuses, 1);
    EXPECT_EQ(nOutBuses, 1);
    const int widths[7] = {4, 9, 16, 25, 36, 49, 64};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(configs.Get(i)->NBuses(kRouteInput), 1);
        EXPECT_EQ(configs.Get(i)->NChansOnBusSAFE(kRouteInput, 0), widths[i]);
        EXPECT_EQ(configs.Get(i)->NChansOnBusSAFE(kRouteOutput, 0), 2);
        EXPECT_EQ(configs.Get(i)->NChansOnBusSAFE(kRouteOutput, 1), 0);
    }

    RecordingProcessor p(kDecoderIO);
    int configIdx = -1;
    EXPECT_EQ(p.MaxNBuses(kRouteInput, &configIdx), 1);
    EXPECT_EQ(configIdx, 6) << "ties go to the last configuration";
    EXPECT_EQ(p.MaxNChannelsForBus(kRouteInput, 0), 64);
    EXPECT_EQ(p.MaxNChannelsForBus(kRouteOutput, 0), 2);
    EXPECT_EQ(p.MaxNChannelsForBus(kRouteInput, 1), 0) << "a bus index past the busses reads 0";
    EXPECT_TRUE(p.LegalIO(9, 2));
    EXPECT_FALSE(p.LegalIO(8, 2));
    EXPECT_TRUE(p.LegalIO(-1, 2));
    EXPECT_TRUE(p.LegalIO(-1, -1));
    EXPECT_EQ(p.MaxNChannels(kRouteInput), 64);
    EXPECT_EQ(p.MaxNChannels(kRouteOutput), 2);
    EXPECT_EQ(p.GetIOConfigWithChanCounts({25}, {2}), 3);
    EXPECT_EQ(p.GetIOConfigWithChanCounts({25}, {}), -1);
}

TEST(ChannelIO, OddStringsTable)
{
    struct Case {
        const char* io;
        int nConfigs;
        int totalIn, totalOut;
        int firstInBuses, firstOutBuses;
        int firstInChans;
    };
    const Case cases[] = {
        {"2.2-2", 1, 4, 2, 2, 1, 4},
        {"*-2", 1, 0, 2, 1, 1, -64},
        {"0-2", 1, 0, 2, 0, 1, 0},
        {"4-2-8", 1, 4, 2, 1, 1, 4},
        {"-2", 1, 2, 0, 1, 0, 2},
        {"abc-2", 1, 0, 2, 0, 1, 0},
        {"3x-2", 1, 3, 2, 1, 1, 3},
        {"4", 1, 4, 0, 1, 0, 4},
        {"  4-2   2-2 ", 2, 4, 2, 1, 1, 4},
        {"", 0, 0, 0, 0, 0, 0},
        {"99999999999-2", 1, 2147483647, 2, 1, 1, 2147483647},
    };
    for (const Case& c : cases) {
        OwnedPtrList<IOConfig> configs;
        int nIn, nOut, nInBuses, nOutBuses;
        EXPECT_EQ(IAudioProcessor::ParseChannelIOStr(c.io, configs, nIn, nOut, nInBuses, nOutBuses), c.nConfigs) << c.io;
        EXPECT_EQ(nIn, c.totalIn) << c.io;
        EXPECT_EQ(nOut, c.totalOut) << c.io;
        if (c.nConfigs > 0) {
            EXPECT_EQ(configs.Get(0)->NBuses(kRouteInput), c.firstInBuses) << c.io;
            EXPECT_EQ(configs.Get(0)->NBuses(kRouteOutput), c.firstOutBuses) << c.io;
            EXPECT_EQ(configs.Get(0)->GetTotalNChannels(kRouteInput), c.firstInChans) << c.io;
        }
    }
}

TEST(ChannelIO, WildcardsAndDuplicates)
{
    RecordingProcessor wild("*-2");
    EXPECT_EQ(wild.MaxNChannels(kRouteInput), 0);
    EXPECT_EQ(wild.MaxNChannelsForBus(kRouteInput, 0), -1);
    EXPECT_TRUE(wild.GetIOConfig(0)->ContainsWildcard(kRouteInput));

    RecordingProcessor twice("4-2 4-2");
    EXPECT_EQ(twice.NIOConfigs(), 2);
    EXPECT_EQ(twice.GetIOConfigWithChanCounts({4}, {2}), 0);

    RecordingProcessor split("2.2-2");
    EXPECT_EQ(split.MaxNChannels(kRouteInput), 4);

    RecordingProcessor none("");
    EXPECT_EQ(none.MaxNChannelsForBus(kRouteInput, 0), 0);
    EXPECT_FALSE(none.LegalIO(-1, -1));
    none.ProcessBuffersWithOffset(0.0f, 0, 16);
    ASSERT_EQ(none.mCalls.size(), 1u);
    EXPECT_TRUE(none.mCalls[0].inputs.empty()) << "no records: a null pointer table";
}

class ConnectedProcessor : public ::testing::Test {
protected:
    static constexpr int kFrames = 128;

    void SetUp() override
    {
        mProc.SetBlockSize(kFrames);
        for (auto& ch : mIn) {
            ch.assign(kFrames, 1.0f);
        }
        for (auto& ch : mOut) {
            ch.assign(kFrames, -5.0f);
        }
        float* ins[4] = {mIn[0].data(), mIn[1].data(), mIn[2].data(), mIn[3].data()};
        float* outs[2] = {mOut[0].data(), mOut[1].data()};
        // What a render call does: connect and attach, then disconnect the rest.
        mProc.SetChannelConnections(kRouteInput, 0, 4, true);
        mProc.AttachBuffers(kRouteInput, 0, 4, ins, kFrames);
        mProc.SetChannelConnections(kRouteInput, 4, 64 - 4, false);
        mProc.SetChannelConnections(kRouteOutput, 0, 2, true);
        mProc.AttachBuffers(kRouteOutput, 0, 2, outs, kFrames);
    }

    RecordingProcessor mProc{kDecoderIO};
    std::array<std::vector<float>, 4> mIn;
    std::array<std::vector<float>, 2> mOut;
};

TEST_F(ConnectedProcessor, UnconnectedChannelsReadZeroedScratch)
{
    EXPECT_EQ(mProc.NChannelsConnected(kRouteInput), 4);
    EXPECT_EQ(mProc.NChannelsConnected(kRouteOutput), 2);
    mProc.ProcessBuffersWithOffset(0.0f, 0, kFrames);
    ASSERT_EQ(mProc.mCalls.size(), 1u);
    const auto& call = mProc.mCalls[0];
    ASSERT_EQ(call.inputs.size(), 64u);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(call.inputs[c], mIn[c].data());
    }
    for (int c = 4; c < 64; ++c) {
        ASSERT_NE(call.inputs[c], nullptr) << c;
        for (int f = 0; f < kFrames; ++f) {
            ASSERT_EQ(call.inputs[c][f], 0.0f) << c;
        }
    }
    EXPECT_EQ(call.outputs[1], mOut[1].data());
}

TEST_F(ConnectedProcessor, OffsetSlicesAdvanceEveryPointer)
{
    mProc.ProcessBuffersWithOffset(0.0f, 100, 28);
    ASSERT_EQ(mProc.mCalls.size(), 1u);
    const auto& call = mProc.mCalls[0];
    EXPECT_EQ(call.nFrames, 28);
    EXPECT_EQ(call.inputs[0], mIn[0].data() + 100);
    EXPECT_EQ(call.outputs[0], mOut[0].data() + 100);
    EXPECT_EQ(call.inputs[0][27], 1.0f);
}

TEST_F(ConnectedProcessor, DefaultBlockCopiesAndZeroFillsAndRenderPathDoesNotAllocate)
{
    mProc.mRecord = false;
    mIn[1][5] = 7.0f;
    qirtest::AllocationCounter counter;
    mProc.SetChannelConnections(kRouteInput, 4, 60, false);
    mProc.ProcessBuffersWithOffset(0.0f, 0, 64);
    mProc.ProcessBuffersWithOffset(0.0f, 64, 64);
    mProc.SetBlockSize(kFrames);
    EXPECT_EQ(counter.count(), 0u);
    EXPECT_EQ(mOut[1][5], 7.0f);
    EXPECT_EQ(mOut[0][127], 1.0f);
}

TEST_F(ConnectedProcessor, AttachmentSkipsUnconnectedRecordsAndClampsRanges)
{
    float a[4] = {}, b[4] = {};
    float* ptrs[2] = {a, b};
    mProc.SetChannelConnections(kRouteInput, 0, 64, false);
    mProc.SetChannelConnections(kRouteInput, 1, 1, true);
    mProc.SetChannelConnections(kRouteInput, 3, 1, true);
    mProc.AttachBuffers(kRouteInput, 0, 4, ptrs, 4);
    mProc.SetChannelConnections(kRouteInput, 60, 1000, false); // clamped
    mProc.SetChannelConnections(kRouteInput, -5, 2, true);     // nothing in range
    mProc.SetChannelConnections(kRouteInput, 10, 0, true);     // empty
    mProc.AttachBuffers(kRouteInput, 62, 100, ptrs, 4);
    EXPECT_EQ(mProc.NChannelsConnected(kRouteInput), 2);
    mProc.ProcessBuffers(0.0f, 4);
    const auto& call = mProc.mCalls.back();
    EXPECT_EQ(call.inputs[1], a);
    EXPECT_EQ(call.inputs[3], b);
    EXPECT_NE(call.inputs[2], a);
}

TEST(AudioProcessor, SetBlockSizeResizesOnlyOnChangeAndKeepsContents)
{
    RecordingProcessor p("2-2");
    p.SetBlockSize(64);
    p.SetChannelConnections(kRouteInput, 0, 2, false);
    p.ProcessBuffers(0.0f, 64);
    float* scratch = p.mCalls.back().inputs[0];
    scratch[3] = 9.0f; // a plug-in that writes into its input
    p.SetBlockSize(64);
    EXPECT_EQ(scratch[3], 9.0f) << "same size: no clearing";
    p.ZeroScratchBuffers();
    EXPECT_EQ(scratch[3], 0.0f);
    p.SetBlockSize(16);
    EXPECT_EQ(p.GetBlockSize(), 16);
}

TEST(AudioProcessor, DoublePrecisionPathConvertsBothWays)
{
    RecordingProcessor p("1-1");
    p.mPassThrough = true;
    p.SetBlockSize(8);
    std::vector<double> in(16, 0.5), out(16, -1.0);
    double* ins[1] = {in.data()};
    double* outs[1] = {out.data()};
    p.SetChannelConnections(kRouteInput, 0, 1, true);
    p.SetChannelConnections(kRouteOutput, 0, 1, true);
    p.AttachBuffers(kRouteInput, 0, 1, ins, 16);
    p.AttachBuffers(kRouteOutput, 0, 1, outs, 16);
    p.ProcessBuffers(0.0, 16);
    EXPECT_EQ(p.mCalls.back().nFrames, 8) << "limited to the scratch length";
    EXPECT_EQ(out[7], 0.5);
    EXPECT_EQ(out[8], -1.0);
    p.ProcessBuffersAccumulating(4);
    EXPECT_EQ(out[3], 1.0);
}

TEST(AudioProcessor, ContextQueriesAndNames)
{
    RecordingProcessor p(kDecoderIO);
    EXPECT_EQ(p.GetSampleRate(), 48000.0);
    EXPECT_EQ(p.GetBlockSize(), 0);
    EXPECT_EQ(p.GetTailSize(), 0);
    EXPECT_EQ(p.GetAUPluginType(), static_cast<unsigned>(MakeFourCC("aumf")));
    EXPECT_EQ(p.GetTimeInfo().mTempo, 120.0);
    EXPECT_EQ(p.GetTimeInfo().mPPQPos, -1.0);
    EXPECT_EQ(p.GetSamplesPerBeat(), 24000.0);
    p.mTimeInfo.mTempo = 0.0;
    EXPECT_EQ(p.GetSamplesPerBeat(), 0.0);
    p.SetLatency(128);
    EXPECT_EQ(p.GetLatency(), 128);

    TextBuf name;
    p.GetBusName(kRouteInput, 0, 1, name);
    EXPECT_STREQ(name.Get(), "Input");
    p.GetBusName(kRouteInput, 1, 2, name);
    EXPECT_STREQ(name.Get(), "Aux");
    p.GetBusName(kRouteInput, 0, 2, name);
    EXPECT_STREQ(name.Get(), "Main");
    p.GetBusName(kRouteInput, 2, 3, name);
    EXPECT_STREQ(name.Get(), "Input 2");
    p.GetBusName(kRouteOutput, 0, 1, name);
    EXPECT_STREQ(name.Get(), "Output");
    p.GetBusName(kRouteOutput, 1, 2, name);
    EXPECT_STREQ(name.Get(), "Output 1");

    p.SetChannelLabel(kRouteInput, 0, "In %i");
    p.SetChannelLabel(kRouteInput, 5, "In %i", true);
    p.SetChannelLabel(kRouteInput, 64, "In %i");
    EXPECT_STREQ(p.GetChannelLabel(kRouteInput, 0), "In 1");
    EXPECT_STREQ(p.GetChannelLabel(kRouteInput, 5), "In 5");
    EXPECT_STREQ(p.GetChannelLabel(kRouteInput, 64), "");

    struct KindCase {
        int plugType;
        bool midiIn;
        const char* code;
    };
    const KindCase kinds[] = {{0, true, "aumf"}, {0, false, "aufx"}, {1, false, "aumu"}, {2, true, "aumi"}, {7, true, "aufx"}};
    for (const KindCase& k : kinds) {
        Config config = configWithIO("1-1");
        config.plugType = k.plugType;
        config.plugDoesMidiIn = k.midiIn;
        struct P : IAudioProcessor {
            using IAudioProcessor::IAudioProcessor;
            bool SendMidiMsg(const IMidiMsg&) override { return true; }
        } proc(config, kAPIAUv3);
        EXPECT_EQ(proc.GetAUPluginType(), static_cast<unsigned>(MakeFourCC(*reinterpret_cast<const char(*)[5]>(k.code))))
            << k.code;
    }
}

TEST(AudioProcessor, MidiDefaultsForwardToSendMidiMsg)
{
    RecordingProcessor p("1-1");
    p.ProcessMidiMsg(IMidiMsg(3, 0x90, 60, 100));
    ASSERT_EQ(p.mSent.size(), 1u);
    EXPECT_EQ(p.mSent[0].mData1, 60);
    TypedBuf<IMidiMsg> msgs;
    EXPECT_TRUE(p.SendMidiMsgs(msgs));
    msgs.Add(IMidiMsg(0, 0x80, 60, 0));
    msgs.Add(IMidiMsg(1, 0x80, 61, 0));
    p.mSendResult = false;
    EXPECT_FALSE(p.SendMidiMsgs(msgs));
    EXPECT_EQ(p.mSent.size(), 3u);
    ISysEx sysex;
    EXPECT_FALSE(p.SendSysEx(sysex));
}

TEST(AudioProcessor, AudioUnitLayoutTags)
{
    RecordingProcessor p(kDecoderIO);
    TypedBuf<uint64_t> tags;
    for (int i = 0; i < p.NIOConfigs(); ++i) {
        EXPECT_EQ(GetAPIBusTypeForChannelIOConfig(i, kRouteInput, 0, p.GetIOConfig(i), &tags), 0);
    }
    const uint64_t expected[7] = {0xBE0004, 0xBE0009, 0xBE0010, 0xBE0019, 0xBE0024, 0xBE0031, 0xBE0040};
    ASSERT_EQ(tags.GetSize(), 7);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(tags.Get()[i], expected[i]) << i;
    }
    TypedBuf<uint64_t> outTags;
    GetAPIBusTypeForChannelIOConfig(0, kRouteOutput, 0, p.GetIOConfig(0), &outTags);
    GetAPIBusTypeForChannelIOConfig(0, kRouteOutput, 1, p.GetIOConfig(0), &outTags);
    ASSERT_EQ(outTags.GetSize(), 2);
    EXPECT_EQ(outTags.Get()[0], 0x650002u);
    EXPECT_EQ(outTags.Get()[1], 0u) << "no such bus: no channels";
}

} // namespace
