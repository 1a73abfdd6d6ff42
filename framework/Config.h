// framework: the plug-in's static description, handed to the framework
// constructors by the plug-in class.
#pragma once

#include <cstdint>

namespace plugfw {

// A four-character code as a big-endian packed int32: "QiR1" -> 0x51695231.
constexpr int32_t MakeFourCC(const char (&code)[5]) noexcept
{
    return static_cast<int32_t>((static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
                                (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) |
                                static_cast<uint32_t>(static_cast<uint8_t>(code[3])));
}

struct Config {
    int nParams = 0;
    int nPresets = 0;
    const char* channelIOStr = "";
    const char* pluginName = "";
    const char* productName = "";
    const char* mfrName = "";
    int vendorVersion = 0; // major << 16 | minor << 8 | revision
    int uniqueID = 0;
    int mfrID = 0;
    int latency = 0;
    bool plugDoesMidiIn = false;
    bool plugDoesMidiOut = false;
    bool plugDoesMPE = false;
    bool plugDoesChunks = false;
    int plugType = 0; // 0 effect, 1 instrument, 2 MIDI effect
    bool plugHasUI = false;
    int plugWidth = 0;
    int plugHeight = 0;
    bool plugHostResize = false;
    int plugMinWidth = 0;
    int plugMaxWidth = 0;
    int plugMinHeight = 0;
    int plugMaxHeight = 0;
    const char* bundleID = "";
};

} // namespace plugfw
