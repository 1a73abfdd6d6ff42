// framework: channel-I/O configurations.
#include "framework/IOConfig.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

namespace plugfw {

bool IOConfig::AddBusInfo(ERoute direction, int nChans)
{
    auto bus = std::make_unique<IBusInfo>(direction, nChans);
    if (!mBuses[direction].Add(bus.get())) {
        return false;
    }
    bus.release();
    return true;
}

int IOConfig::GetTotalNChannels(ERoute direction) const noexcept
{
    int64_t total = 0;
    for (int i = 0; i < NBuses(direction); ++i) {
        total += GetBusInfo(direction, i)->mNChans;
    }
    return static_cast<int>(std::clamp<int64_t>(total, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

bool IOConfig::ContainsWildcard(ERoute direction) const noexcept
{
    for (int i = 0; i < NBuses(direction); ++i) {
        if (GetBusInfo(direction, i)->mNChans < 0) {
            return true;
        }
    }
    return false;
}

} // namespace plugfw
