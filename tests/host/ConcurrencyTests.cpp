// tests/host: the audio unit and its binding across threads. The unit renders
// while another thread changes every parameter through the host's parameter
// tree and the main thread runs the idle timer (which loads decoder sets), saves
// the state and asks for display texts; plug-in objects may be created from
// several threads at once; teardown on a host thread waits out idle ticks and
// parameter-tree callbacks; presets, state, latency and the editor's messages
// are read and written from several threads.
#include "tests/support/HostHarness.h"

#include "framework/platform/MainRunLoop.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using qirtest::HostHarness;

TEST(DecoderAudioUnitConcurrency, EveryParameterChangesFromAnotherThreadWhileRendering)
{
    constexpr UInt32 kChannels = 16;
    constexpr AUAudioFrameCount kFrames = 256;
    HostHarness host;
    ASSERT_TRUE(host.allocate(48000.0, kFrames, kChannels));
    ASSERT_TRUE(host.waitForDecoderSet(4));

    std::vector<std::vector<float>> input(kChannels, std::vector<float>(kFrames));
    std::minstd_rand rng(5);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<const float*> in;
    for (auto& ch : input) {
        for (auto& s : ch) {
            s = dist(rng);
        }
        in.push_back(ch.data());
    }

    std::atomic<bool> stop{false};
    std::atomic<int> renders{0};
    std::atomic<bool> renderFailed{false};
    std::thread renderThread([&] {
        std::vector<float> out0(kFrames), out1(kFrames);
        float* out[2] = {out0.data(), out1.data()};
        qirtest::RenderEventList events;
        while (!stop.load()) {
            const auto t = static_cast<int64_t>(host.sampleTime());
            events.clear();
            events.parameter(t + 100, 6, static_cast<float>(renders.load() % 360 - 180)).midi(t + 50, 0x90, 4, 90);
            if (host.render(kFrames, in.data(), out, events.head()) != noErr) {
                renderFailed = true;
            }
            for (AUAudioFrameCount i = 0; i < kFrames; ++i) {
                if (!std::isfinite(out0[i]) || !std::isfinite(out1[i])) {
                    renderFailed = true;
                }
            }
            ++renders;
        }
    });

    // Decoder sets exist for orders 1 and 3 (positions 0 and 2) of the anechoic
    // mode; every other parameter takes values across its range.
    const float lastValues[13] = {0, 2, 1, 2, 1, 1, 45, -45, 90, 1, 0, 1, -3};
    std::atomic<bool> stopParameters{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread parameterThread([&] {
        std::minstd_rand r(9);
        while (!stopParameters.load()) {
            for (AUParameterAddress k = 0; k < 13; ++k) {
                auto param = host.unit().parameterTree()->parameterWithAddress(k);
                float v = param->minValue() +
                          (param->maxValue() - param->minValue()) * static_cast<float>(r() % 1000) / 999.0f;
                if (k == 0) {
                    v = 0.0f;
                } else if (k == 1) {
                    // A few decoder-set loads, not one per round: each builds a
                    // convolver on the main thread's loader.
                    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start);
                    v = (ms.count() / 250) % 2 == 0 ? 0.0f : 2.0f;
                }
                param->setValue(v);
                (void)param->value();
                (void)param->stringFromValue(nullptr);
            }
        }
        for (AUParameterAddress k = 0; k < 13; ++k) {
            host.unit().parameterTree()->parameterWithAddress(k)->setValue(lastValues[k]);
        }
    });

    // The main thread: idle ticks (decoder-set loads), state saves and display
    // texts, while both other threads run.
    const auto deadline = start + std::chrono::seconds(10);
    while ((renders.load() < 32 || std::chrono::steady_clock::now() < start + std::chrono::milliseconds(500)) &&
           std::chrono::steady_clock::now() < deadline) {
        HostHarness::pumpMainLoop(std::chrono::milliseconds(10));
        (void)host.unit().fullState();
        for (const auto& param : host.unit().parameterTree()->allParameters()) {
            (void)param->stringFromValue(nullptr);
        }
    }
    stopParameters = true;
    parameterThread.join();
    HostHarness::pumpMainLoop(std::chrono::milliseconds(100));
    stop = true;
    renderThread.join();
    host.plugin().GetDSP().WaitForLoads();

    EXPECT_FALSE(renderFailed.load());
    EXPECT_GE(renders.load(), 1);
    for (AUParameterAddress k = 0; k < 13; ++k) {
        if (k == 6) {
            continue; // the render thread's events write "Yaw" too
        }
        EXPECT_NEAR(host.parameter(k), lastValues[k], 1e-4f) << k;
    }
}

TEST(DecoderAudioUnitConcurrency, PluginObjectsAreCreatedFromSeveralThreadsAtOnce)
{
    (void)qirtest::TestResourceDirectory();
    constexpr int kThreads = 4;
    std::vector<std::unique_ptr<plugfw::IAUv3Binding>> plugs(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&plugs, i] { plugs[i] = plugfw::MakePlugin(plugfw::InstanceInfo{}); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const auto& p : plugs) {
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->NParams(), 13);
        EXPECT_EQ(p->GetParam(3)->Value(), 1.0);
    }
}

// The idle tick reaches the engine through the plug-in. A host may release the
// plug-in on its own thread while the main loop ticks: no tick may run once the
// plug-in's destruction has begun, and a tick already running is waited for.
TEST(DecoderPluginConcurrency, IdleTicksNeverReachAPluginBeingDestroyed)
{
    (void)qirtest::TestResourceDirectory();
    for (int round = 0; round < 20; ++round) {
        // On a virtual clock the 40 ms ticks follow each other without pause, so
        // they keep overlapping the destruction.
        plugfw::MainRunLoop loop(std::make_unique<plugfw::VirtualRunLoopClock>());
        std::unique_ptr<plugfw::IAUv3Binding> plug = plugfw::MakePlugin(plugfw::InstanceInfo{});
        plug->CreateTimer(loop);
        std::atomic<bool> stop{false};
        std::thread mainThread([&] {
            // Relaxed: the flag must not order the ticks before the destruction.
            (void)loop.RunUntil([&] { return stop.load(std::memory_order_relaxed); }, std::chrono::hours(24 * 365));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        plug.reset();
        EXPECT_EQ(loop.NTimers(), 0);
        stop.store(true, std::memory_order_relaxed);
        mainThread.join();
    }
}

// A host keeps the tree's parameters and uses them from its own threads; it may
// release the audio unit on another thread at the same time. Calls that were
// running finish against a live plug-in, and later calls find it gone and do
// nothing.
TEST(DecoderAudioUnitConcurrency, ParameterCallbacksRunningWhileTheUnitIsReleasedFinishSafely)
{
    (void)qirtest::TestResourceDirectory();
    AudioComponentDescription desc;
    desc.componentType = MakeFourCharCode("aumf");
    desc.componentSubType = MakeFourCharCode("QiR1");
    desc.componentManufacturer = MakeFourCharCode("Mrwf");
    for (int round = 0; round < 20; ++round) {
        auto unit = PluginAudioUnit::alloc();
        ASSERT_TRUE(unit->initWithComponentDescription(desc, 0, nullptr));
        // The host holds parameters only, not the tree.
        const std::vector<std::shared_ptr<AUParameter>> params = unit->parameterTree()->allParameters();
        std::atomic<bool> stop{false};
        std::atomic<int> calls{0};
        std::thread hostThread([&] {
            for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
                const auto& param = params[static_cast<std::size_t>(i) % params.size()];
                param->setValue(param->minValue());
                (void)param->value();
                (void)param->stringFromValue(nullptr);
                (void)param->valueFromString("1");
                calls.fetch_add(1, std::memory_order_relaxed);
            }
        });
        while (calls.load(std::memory_order_relaxed) < 50) {
            std::this_thread::yield();
        }
        unit.reset();
        const int afterRelease = calls.load(std::memory_order_relaxed);
        while (calls.load(std::memory_order_relaxed) < afterRelease + 50) {
            std::this_thread::yield();
        }
        stop.store(true, std::memory_order_relaxed);
        hostThread.join();
        // Without the plug-in the parameters keep the value last set.
        EXPECT_EQ(params[12]->value(), params[12]->minValue());
        HostHarness::pumpMainQueue();
    }
}

// A host reads the current preset and saves the state on its own thread while
// preset selections run on the main queue.
TEST(DecoderAudioUnitConcurrency, CurrentPresetAndStateAreReadWhileSelectionsRunOnTheMainQueue)
{
    HostHarness host;
    const std::shared_ptr<AUAudioUnitPreset> factory = host.unit().factoryPresets().front();
    const auto user = std::make_shared<AUAudioUnitPreset>(-1, "My Setting");
    // The name the state carries: the plug-in's current preset's, fixed by the
    // first selection at initialisation.
    const std::string stateName = host.plugin().GetPresetName(host.plugin().GetCurrentPresetIdx());
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::thread hostThread([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::shared_ptr<AUAudioUnitPreset> current = host.unit().currentPreset();
            if (current != factory && current != user) {
                unexpected.fetch_add(1);
            }
            const NSDictionary state = host.unit().fullState();
            if (std::get<std::string>(state.at("name")) != stateName) {
                unexpected.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 500; ++i) {
        host.unit().setCurrentPreset(i % 2 == 0 ? user : factory);
        HostHarness::pumpMainQueue();
    }
    stop.store(true, std::memory_order_relaxed);
    hostThread.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(host.unit().currentPreset(), factory);
}

// A host's interface thread reads the latency while its engine thread allocates
// render resources at another rate.
TEST(DecoderAudioUnitConcurrency, LatencyIsReadWhileRenderResourcesAreAllocated)
{
    HostHarness host;
    const double rates[] = {44100.0, 96000.0};
    ASSERT_TRUE(host.allocate(rates[0], 256, 4));
    const int samples = host.plugin().GetLatency();
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0};
    std::thread interfaceThread([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const double seconds = host.unit().latency();
            if (seconds != samples / rates[0] && seconds != samples / rates[1]) {
                unexpected.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 50; ++i) {
        if (!host.allocate(rates[i % 2], 256, 4)) {
            ADD_FAILURE() << "allocation " << i;
            break;
        }
    }
    stop.store(true, std::memory_order_relaxed);
    interfaceThread.join();
    EXPECT_EQ(unexpected.load(), 0);
}

namespace {

// A plug-in with an editor that exchanges system-exclusive messages with its
// processor in both directions at once: the idle tick hands the processor's
// messages to the editor while the render thread forwards the editor's to the
// host. Each direction carries its own byte pattern.
class SysExEditorPlug final : public plugfw::IAUv3Binding {
public:
    static constexpr uint8_t kToEditor = 0xA5;
    static constexpr uint8_t kFromEditor = 0x5A;

    static plugfw::Config MakeConfig()
    {
        plugfw::Config config;
        config.nParams = 0;
        config.channelIOStr = "2-2";
        config.plugHasUI = true;
        return config;
    }

    SysExEditorPlug() : plugfw::IAUv3Binding(plugfw::InstanceInfo{}, MakeConfig()) {}

    // Render thread: a message for the editor.
    bool SendToEditor()
    {
        std::array<uint8_t, plugfw::SysExData::kMaxBytes> bytes;
        bytes.fill(kToEditor);
        return mSysExToUI.Push(plugfw::SysExData(0, static_cast<int32_t>(bytes.size()), bytes.data()));
    }

    // Main thread (idle tick).
    void SendSysexMsgFromDelegate(const plugfw::ISysEx& msg) override
    {
        bool intact = msg.mSize == plugfw::SysExData::kMaxBytes;
        for (int32_t i = 0; intact && i < msg.mSize; ++i) {
            intact = msg.mData[i] == kToEditor;
        }
        (intact ? mIntact : mDamaged).fetch_add(1);
    }

    std::atomic<int> mIntact{0};
    std::atomic<int> mDamaged{0};
};

} // namespace

TEST(AudioUnitBindingConcurrency, SysExToAndFromTheEditorDoNotShareABuffer)
{
    plugfw::MainRunLoop loop;
    SysExEditorPlug plug;
    plug.Prepare(48000.0, 64);
    plug.CreateTimer(loop);
    std::array<uint8_t, plugfw::SysExData::kMaxBytes> fromEditor;
    fromEditor.fill(SysExEditorPlug::kFromEditor);
    const auto editorTimer = loop.AddTimer(std::chrono::milliseconds(1), [&] {
        plug.SendSysexMsgFromUI(plugfw::ISysEx(0, fromEditor.data(), static_cast<int32_t>(fromEditor.size())));
    });

    std::atomic<bool> stop{false};
    std::thread renderThread([&] {
        AudioTimeStamp ts;
        plugfw::ITimeInfo timeInfo;
        while (!stop.load(std::memory_order_relaxed)) {
            (void)plug.SendToEditor();
            plug.ProcessWithEvents(&ts, 0, nullptr, timeInfo);
        }
    });
    EXPECT_TRUE(loop.RunUntil([&] { return plug.mIntact.load() + plug.mDamaged.load() >= 40; },
                              std::chrono::seconds(60)));
    stop.store(true, std::memory_order_relaxed);
    renderThread.join();
    loop.RemoveTimer(editorTimer);
    EXPECT_EQ(plug.mDamaged.load(), 0);
}
