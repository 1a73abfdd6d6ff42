// framework: the processor's record of one possible channel of one direction:
// whether the host connected it in the current render call, and where its
// samples are.
#pragma once

#include "framework/TextBuf.h"
#include "framework/TypedBuf.h"

namespace plugfw {

// THost is the sample type of double-precision hosts, TProcess the processing type.
template <typename THost = double, typename TProcess = float>
struct IChannelData {
    static constexpr int kMaxLabelLength = 32;

    bool mIsConnected = false;
    // This channel's entry in the processor's attached-pointer array.
    TProcess** mSlot = nullptr;
    // Host buffer of the double-precision path (not owned).
    THost* mHostBuffer = nullptr;
    // Zeroed stand-in for an unconnected channel, and conversion buffer.
    TypedBuf<TProcess> mScratch{4096};
    TextBuf mChannelLabel;
};

} // namespace plugfw
