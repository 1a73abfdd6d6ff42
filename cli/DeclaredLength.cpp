// cli: the header's declared length.
#include "cli/DeclaredLength.h"

#include <cstring>
#include <unistd.h>

namespace qircli {

namespace {

// Chunks looked at before the search gives up: real headers put the format and
// data chunks within the first few.
constexpr int kMaxChunks = 64;
// The data sizes sox writes into the header of a stream of unknown length.
constexpr uint32_t kStreamPlaceholder = 0x7FFFF000u;
constexpr uint32_t kAiffStreamPlaceholder = 0x7F000000u;

bool ReadAt(int fd, int64_t offset, unsigned char* bytes, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, bytes + done, size - done, static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

uint64_t Unsigned(const unsigned char* bytes, int size, bool bigEndian)
{
    uint64_t v = 0;
    for (int i = 0; i < size; ++i) {
        v |= static_cast<uint64_t>(bytes[bigEndian ? size - 1 - i : i]) << (8 * i);
    }
    return v;
}

bool Is(const unsigned char* bytes, const char* tag) { return std::memcmp(bytes, tag, 4) == 0; }

std::optional<int64_t> WaveFrames(int fd, bool bigEndian, bool sixtyFour)
{
    uint64_t blockAlign = 0;
    std::optional<uint64_t> longDataSize; // from an RF64 "ds64" chunk
    int64_t offset = 12;
    for (int i = 0; i < kMaxChunks; ++i) {
        unsigned char chunk[8];
        if (!ReadAt(fd, offset, chunk, sizeof chunk)) {
            return std::nullopt;
        }
        const uint64_t size = Unsigned(chunk + 4, 4, bigEndian);
        if (Is(chunk, "fmt ")) {
            unsigned char format[16];
            if (size < sizeof format || !ReadAt(fd, offset + 8, format, sizeof format)) {
                return std::nullopt;
            }
            blockAlign = Unsigned(format + 12, 2, bigEndian);
        } else if (Is(chunk, "ds64") && sixtyFour) {
            unsigned char sizes[16];
            if (size < sizeof sizes || !ReadAt(fd, offset + 8, sizes, sizeof sizes)) {
                return std::nullopt;
            }
            longDataSize = Unsigned(sizes + 8, 8, false);
        } else if (Is(chunk, "data")) {
            uint64_t dataSize = size;
            if (sixtyFour && size == 0xFFFFFFFFu) {
                if (!longDataSize || *longDataSize == 0 || *longDataSize == ~uint64_t(0)) {
                    return std::nullopt;
                }
                dataSize = *longDataSize;
            } else if (size == 0 || size == 0xFFFFFFFFu ||
                       (blockAlign > 0 && size == kStreamPlaceholder / blockAlign * blockAlign)) {
                return std::nullopt;
            }
            if (blockAlign == 0) {
                return std::nullopt;
            }
            return static_cast<int64_t>(dataSize / blockAlign);
        }
        offset += 8 + static_cast<int64_t>(size + (size & 1));
    }
    return std::nullopt;
}

std::optional<int64_t> AiffFrames(int fd)
{
    int64_t offset = 12;
    for (int i = 0; i < kMaxChunks; ++i) {
        unsigned char chunk[8];
        if (!ReadAt(fd, offset, chunk, sizeof chunk)) {
            return std::nullopt;
        }
        const uint64_t size = Unsigned(chunk + 4, 4, true);
        if (Is(chunk, "COMM")) {
            unsigned char common[8];
            if (size < sizeof common || !ReadAt(fd, offset + 8, common, sizeof common)) {
                return std::nullopt;
            }
            const uint64_t channels = Unsigned(common, 2, true);
            const uint64_t frames = Unsigned(common + 2, 4, true);
            const uint64_t frameBytes = channels * ((Unsigned(common + 6, 2, true) + 7) / 8);
            if (frames == 0 || frames == 0xFFFFFFFFu ||
                (frameBytes > 0 && frames == kAiffStreamPlaceholder / frameBytes)) {
                return std::nullopt;
            }
            return static_cast<int64_t>(frames);
        }
        offset += 8 + static_cast<int64_t>(size + (size & 1));
    }
    return std::nullopt;
}

} // namespace

std::optional<int64_t> DeclaredFrames(int fd)
{
    unsigned char header[12];
    if (!ReadAt(fd, 0, header, sizeof header)) {
        return std::nullopt;
    }
    if (Is(header + 8, "WAVE")) {
        if (Is(header, "RIFF")) {
            return WaveFrames(fd, false, false);
        }
        if (Is(header, "RIFX")) {
            return WaveFrames(fd, true, false);
        }
        if (Is(header, "RF64") || Is(header, "BW64")) {
            return WaveFrames(fd, false, true);
        }
    }
    if (Is(header, "FORM") && (Is(header + 8, "AIFF") || Is(header + 8, "AIFC"))) {
        return AiffFrames(fd);
    }
    return std::nullopt;
}

} // namespace qircli
