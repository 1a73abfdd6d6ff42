// cli: a progress bar on standard error for long renders, drawn only when
// standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>

namespace qircli {

class ProgressDisplay {
public:
    // enabled: the caller's wish (--quiet turns it off); the bar also stays off
    // when standard error is not a terminal.
    ProgressDisplay(int64_t totalFrames, double sampleRate, bool enabled);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Redraws at most ten times a second.
    void Update(int64_t framesDone);
    // Clears the bar's line.
    void Finish();

private:
    int64_t mTotal;
    double mSampleRate;
    bool mEnabled;
    bool mDrawn = false;
    std::chrono::steady_clock::time_point mLastDraw{};
};

} // namespace qircli
