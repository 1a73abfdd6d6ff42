// framework: the host's musical time for the current render call.
#pragma once

namespace plugfw {

struct ITimeInfo {
    double mTempo = 120.0;
    double mSamplePos = -1.0;
    double mPPQPos = -1.0;
    double mLastBar = -1.0;
    double mCycleStart = -1.0;
    double mCycleEnd = -1.0;
    int mNumerator = 4;
    int mDenominator = 4;
    bool mTransportIsRunning = false;
    bool mTransportLoopEnabled = false;
};

} // namespace plugfw
