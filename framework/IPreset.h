// framework: one preset slot: whether it holds a state, its name and the state
// exactly as the plug-in serialised it.
#pragma once

#include "framework/IByteChunk.h"

#include <cstring>

namespace plugfw {

struct IPreset {
    // Size of the name field, terminator included: longer names are cut.
    static constexpr int kMaxNameLength = 256;

    bool mInitialized = false;
    char mName[kMaxNameLength] = "empty";
    IByteChunk mChunk;

    // Copies at most kMaxNameLength - 1 characters of name (null clears).
    void SetName(const char* name) noexcept
    {
        const std::size_t length = name ? strnlen(name, kMaxNameLength - 1) : 0;
        if (length > 0) {
            std::memmove(mName, name, length);
        }
        mName[length] = '\0';
    }
};

} // namespace plugfw
