// cli: the progress bar.
#include "cli/ProgressDisplay.h"

#include <cstdio>
#include <string>
#include <unistd.h>

namespace qircli {

ProgressDisplay::ProgressDisplay(int64_t totalFrames, double sampleRate, bool enabled)
    : mTotal(totalFrames > 0 ? totalFrames : 1), mSampleRate(sampleRate), mEnabled(enabled && ::isatty(STDERR_FILENO) == 1)
{
}

ProgressDisplay::~ProgressDisplay() { Finish(); }

void ProgressDisplay::Update(int64_t framesDone)
{
    if (!mEnabled) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (mDrawn && now - mLastDraw < std::chrono::milliseconds(100)) {
        return;
    }
    mLastDraw = now;
    mDrawn = true;
    constexpr int kWidth = 30;
    const double fraction = static_cast<double>(framesDone) / static_cast<double>(mTotal);
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<std::size_t>(kWidth), ' ');
    for (int i = 0; i < filled && i < kWidth; ++i) {
        bar[static_cast<std::size_t>(i)] = '#';
    }
    std::fprintf(stderr, "\r[%s] %3d%%  %.1f / %.1f s", bar.c_str(), static_cast<int>(fraction * 100.0),
                 static_cast<double>(framesDone) / mSampleRate, static_cast<double>(mTotal) / mSampleRate);
    std::fflush(stderr);
}

void ProgressDisplay::Finish()
{
    if (mEnabled && mDrawn) {
        std::fprintf(stderr, "\r%60s\r", "");
        std::fflush(stderr);
        mDrawn = false;
    }
}

} // namespace qircli
