// cli: where the ambisonic field of a render comes from: a sound file, or the
// demo scene synthesised at run time. Channels are delivered one buffer per
// channel (the host's non-interleaved layout).
#pragma once

#include <cstdint>
#include <string>

namespace qircli {

class FieldSource {
public:
    virtual ~FieldSource() = default;

    [[nodiscard]] virtual int channels() const noexcept = 0;
    [[nodiscard]] virtual double sampleRate() const noexcept = 0;
    [[nodiscard]] virtual int64_t frames() const noexcept = 0;
    // A short description for messages ("demo scene", the file name).
    [[nodiscard]] virtual std::string name() const = 0;

    // Fills frames samples of every channel (destination[c] for c <
    // channels()). Returns false, with error() set, when the source cannot
    // deliver them; frames beyond frames() are never asked for.
    [[nodiscard]] virtual bool read(float* const* destination, int frames) = 0;
    [[nodiscard]] virtual const std::string& error() const noexcept = 0;
};

// The channel counts the plug-in accepts: (order + 1)^2 for orders 1 to 7.
[[nodiscard]] bool IsSupportedChannelCount(int channels) noexcept;
// The order of a supported channel count, else 0.
[[nodiscard]] int OrderForChannelCount(int channels) noexcept;
// "4, 9, 16, 25, 36, 49 or 64"
[[nodiscard]] const char* SupportedChannelCountsText() noexcept;

} // namespace qircli
