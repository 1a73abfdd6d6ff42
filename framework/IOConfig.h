// framework: one channel-I/O configuration of the plug-in: its input busses and
// output busses with their channel counts.
#pragma once

#include "framework/PlugTypes.h"
#include "framework/PtrList.h"

namespace plugfw {

// Channel count of a bus written as "*": any number of channels.
constexpr int kWildcardChannels = -64;

struct IBusInfo {
    ERoute mDirection = kRouteInput;
    // Never 0; negative for a wildcard bus.
    int mNChans = 0;

    IBusInfo(ERoute direction, int nChans) noexcept : mDirection(direction), mNChans(nChans) {}
};

class IOConfig {
public:
    // Appends a bus; false when memory ran out.
    bool AddBusInfo(ERoute direction, int nChans);

    [[nodiscard]] const IBusInfo* GetBusInfo(ERoute direction, int index) const noexcept
    {
        return mBuses[direction].Get(index);
    }
    // Channel count of bus index, or 0 past the last bus.
    [[nodiscard]] int NChansOnBusSAFE(ERoute direction, int index) const noexcept
    {
        const IBusInfo* bus = GetBusInfo(direction, index);
        return bus ? bus->mNChans : 0;
    }
    [[nodiscard]] int NBuses(ERoute direction) const noexcept { return mBuses[direction].GetSize(); }
    // Sum of the busses' counts, wildcards counted as -64.
    [[nodiscard]] int GetTotalNChannels(ERoute direction) const noexcept;
    [[nodiscard]] bool ContainsWildcard(ERoute direction) const noexcept;

private:
    OwnedPtrList<IBusInfo> mBuses[2];
};

} // namespace plugfw
