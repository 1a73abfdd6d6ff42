// host/auv3: lets callbacks on any thread use an object that teardown destroys.
// Each call enters the gate for as long as it uses the object; teardown closes
// the gate, which turns later calls away and waits until every call that got in
// has left. Entering and leaving never wait, so a host thread is never held up
// by another; only the closing thread waits.
#pragma once

#include <atomic>

class CallbackGate {
public:
    // One use of the guarded object, for the lifetime of this value. Test it
    // before touching the object: false once the gate is closed.
    class Use {
    public:
        explicit Use(CallbackGate& gate) noexcept : mGate(gate), mEntered(gate.Enter()) {}
        ~Use()
        {
            if (mEntered) {
                mGate.Leave();
            }
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        [[nodiscard]] explicit operator bool() const noexcept { return mEntered; }

    private:
        CallbackGate& mGate;
        bool mEntered;
    };

    // Teardown thread, once, outside any use of this gate (a use on the closing
    // thread would be waited for forever). Returns when no call is inside.
    void Close() noexcept
    {
        mClosed.store(true);
        for (int inside = mInside.load(); inside != 0; inside = mInside.load()) {
            mInside.wait(inside);
        }
    }

    [[nodiscard]] bool IsClosed() const noexcept { return mClosed.load(); }

private:
    // Sequentially consistent: either an entering call sees the gate closed, or
    // the closing thread sees that call inside and waits for it.
    bool Enter() noexcept
    {
        mInside.fetch_add(1);
        if (mClosed.load()) {
            Leave();
            return false;
        }
        return true;
    }

    void Leave() noexcept
    {
        if (mInside.fetch_sub(1) == 1 && mClosed.load()) {
            mInside.notify_all();
        }
    }

    std::atomic<int> mInside{0};
    std::atomic<bool> mClosed{false};
};
