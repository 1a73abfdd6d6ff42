// tests/framework: the single-producer single-consumer queue, the run loop's
// dispatch across threads, and the idle timer stopped from another thread
// (run under ThreadSanitizer).
#include "framework/IHostAPIBase.h"
#include "framework/IParam.h"
#include "framework/ISPSCQueue.h"
#include "framework/platform/MainRunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using namespace plugfw;

struct Message {
    uint32_t sequence;
    uint32_t check;
};

TEST(ISPSCQueueConcurrency, TwoThreadsPassEveryElementInOrderOrDropOnFull)
{
    ISPSCQueue<Message> queue(32);
    constexpr uint32_t kCount = 200000;
    std::atomic<bool> producerDone{false};
    uint32_t accepted = 0;

    std::thread producer([&] {
        for (uint32_t i = 0; i < kCount; ++i) {
            // Retry a few times, then drop like the real producers do.
            for (int attempt = 0; attempt < 4; ++attempt) {
                if (queue.Push(Message{i, i * 2654435761u})) {
                    ++accepted;
                    break;
                }
                std::this_thread::yield();
            }
        }
        producerDone.store(true);
    });

    uint32_t received = 0;
    int64_t lastSequence = -1;
    bool ordered = true;
    bool intact = true;
    Message m{};
    for (;;) {
        if (queue.Pop(m)) {
            ordered &= static_cast<int64_t>(m.sequence) > lastSequence;
            intact &= m.check == m.sequence * 2654435761u;
            lastSequence = m.sequence;
            ++received;
            EXPECT_LE(queue.ElementsAvailable(), 32u);
        } else if (producerDone.load()) {
            if (!queue.Pop(m)) {
                break;
            }
            ordered &= static_cast<int64_t>(m.sequence) > lastSequence;
            intact &= m.check == m.sequence * 2654435761u;
            lastSequence = m.sequence;
            ++received;
        }
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_TRUE(intact);
    EXPECT_EQ(received, accepted);
    EXPECT_GT(received, 0u);
}

TEST(MainRunLoopConcurrency, TasksDispatchedFromAnotherThreadRunOnTheLoopThread)
{
    MainRunLoop loop;
    const auto loopThread = std::this_thread::get_id();
    std::atomic<int> ran{0};
    std::atomic<bool> allOnLoop{true};
    std::thread other([&] {
        for (int i = 0; i < 1000; ++i) {
            loop.Dispatch([&] {
                allOnLoop.store(allOnLoop.load() && std::this_thread::get_id() == loopThread);
                ran.fetch_add(1);
            });
        }
    });
    EXPECT_TRUE(loop.RunUntil([&] { return ran.load() == 1000; }, std::chrono::seconds(30)));
    other.join();
    EXPECT_TRUE(allOnLoop.load());
}

TEST(IParamConcurrency, ReadersSeeWholeValuesWhileAnotherThreadWrites)
{
    IParam param;
    param.InitDouble("Yaw", 0.0, -180.0, 180.0, 0.1);
    const double a = -123.456789012345;
    const double b = 98.7654321098765;
    param.Set(a);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 100000; ++i) {
            param.Set((i & 1) ? a : b);
        }
        stop.store(true);
    });
    bool whole = true;
    while (!stop.load()) {
        const double v = param.Value();
        whole &= (v == a || v == b);
    }
    writer.join();
    EXPECT_TRUE(whole);
}

// The render thread reports received MIDI to the editor through the API base's
// queue while the main thread's idle tick drains it.
class EditorHost : public IHostAPIBase {
public:
    static Config editorConfig()
    {
        Config config;
        config.nParams = 1;
        config.plugHasUI = true;
        return config;
    }
    EditorHost() : IHostAPIBase(editorConfig(), kAPIAUv3) {}
    void SendMidiMsgFromDelegate(const IMidiMsg& msg) override
    {
        mInOrder &= msg.mOffset > mLastOffset;
        mLastOffset = msg.mOffset;
        ++mReceived;
    }
    bool PushFromRenderThread(const IMidiMsg& msg) { return mMidiToUI.Push(msg); }

    int mReceived = 0;
    int mLastOffset = -1;
    bool mInOrder = true;
};

TEST(IHostAPIBaseConcurrency, IdleTickDrainsMidiPushedByTheRenderThread)
{
    MainRunLoop loop;
    EditorHost host;
    host.CreateTimer(loop);
    std::atomic<int> accepted{0};
    std::atomic<bool> done{false};
    std::thread render([&] {
        for (int i = 0; i < 2000; ++i) {
            if (host.PushFromRenderThread(IMidiMsg(i, 0x90, 60, 100))) {
                accepted.fetch_add(1);
            }
            if (i % 16 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        done.store(true);
    });
    EXPECT_TRUE(loop.RunUntil([&] { return done.load() && host.mReceived == accepted.load(); }, std::chrono::seconds(60)));
    render.join();
    EXPECT_TRUE(host.mInOrder);
    EXPECT_GT(host.mReceived, 0);
}

// A plug-in whose ticks use a part it owns, and whose destructor stops the
// ticks before that part goes.
class PartOwningHost : public IHostAPIBase {
public:
    struct Part {
        int mUses = 0;
    };

    explicit PartOwningHost(std::atomic<int>& ticksWithoutPart)
        : IHostAPIBase(EditorHost::editorConfig(), kAPIAUv3), mTicksWithoutPart(ticksWithoutPart)
    {
    }
    ~PartOwningHost() override
    {
        StopTimer();
        mPart.reset();
    }

    void OnIdle() override
    {
        mInTick.store(true);
        // Long enough for the destructor, started meanwhile, to reach its end
        // were it not made to wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (mPart) {
            ++mPart->mUses;
        } else {
            mTicksWithoutPart.fetch_add(1);
        }
    }

    std::atomic<bool> mInTick{false};

private:
    std::atomic<int>& mTicksWithoutPart;
    std::unique_ptr<Part> mPart = std::make_unique<Part>();
};

TEST(IHostAPIBaseConcurrency, DestructionOnAnotherThreadWaitsOutTheTickInProgress)
{
    MainRunLoop loop;
    std::atomic<int> ticksWithoutPart{0};
    auto host = std::make_unique<PartOwningHost>(ticksWithoutPart);
    host->CreateTimer(loop);
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        while (!host->mInTick.load()) {
            std::this_thread::yield();
        }
        host.reset();
        destroyed.store(true);
    });
    // The loop keeps ticking while the destructor runs; none of its ticks may
    // find the part gone.
    EXPECT_TRUE(loop.RunUntil([&] { return destroyed.load(); }, std::chrono::seconds(30)));
    loop.RunFor(std::chrono::milliseconds(100));
    destroyer.join();
    EXPECT_EQ(ticksWithoutPart.load(), 0);
    EXPECT_EQ(loop.NTimers(), 0);
}

} // namespace
