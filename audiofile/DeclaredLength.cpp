#include "audiofile/DeclaredLength.h"

namespace dspkit
{

namespace
{

// Chunks looked at before the search gives up: real headers put the format and
// data chunks within the first few.
constexpr int kMaxChunks = 64;
// The data sizes sox writes into the header of a stream of unknown length.
constexpr uint32_t kStreamPlaceholder = 0x7FFFF000u;
constexpr uint32_t kAiffStreamPlaceholder = 0x7F000000u;

uint64_t getUnsigned(const char* bytes, int size, bool bigEndian)
{
    uint64_t v = 0;
    for (int i = 0; i < size; ++i)
        v |= uint64_t(uint8_t(bytes[bigEndian ? size - 1 - i : i])) << (8 * i);
    return v;
}

std::optional<int64_t> waveFrames(const ReadAt& readAt, bool bigEndian, bool sixtyFour)
{
    uint64_t blockAlign = 0;
    std::optional<uint64_t> longDataSize; // from an RF64 "ds64" chunk
    ChunkWalker chunks(readAt, bigEndian);
    ChunkWalker::Chunk chunk;
    for (int i = 0; i < kMaxChunks && chunks.next(chunk); ++i)
    {
        const uint64_t size = chunk.size;
        if (ChunkWalker::matchTag(chunk.id, "fmt "))
        {
            char format[16];
            if (size < sizeof format || !readAt(chunk.offset, format, sizeof format))
                return std::nullopt;
            blockAlign = getUnsigned(format + 12, 2, bigEndian);
        }
        else if (ChunkWalker::matchTag(chunk.id, "ds64") && sixtyFour)
        {
            char sizes[16];
            if (size < sizeof sizes || !readAt(chunk.offset, sizes, sizeof sizes))
                return std::nullopt;
            longDataSize = getUnsigned(sizes + 8, 8, false);
        }
        else if (ChunkWalker::matchTag(chunk.id, "data"))
        {
            uint64_t dataSize = size;
            if (sixtyFour && size == 0xFFFFFFFFu)
            {
                if (!longDataSize || *longDataSize == 0 || *longDataSize == ~uint64_t(0))
                    return std::nullopt;
                dataSize = *longDataSize;
            }
            else if (size == 0 || size == 0xFFFFFFFFu ||
                     (blockAlign > 0 && size == kStreamPlaceholder / blockAlign * blockAlign))
            {
                return std::nullopt;
            }
            if (blockAlign == 0)
                return std::nullopt;
            return int64_t(dataSize / blockAlign);
        }
    }
    return std::nullopt;
}

std::optional<int64_t> aiffFrames(const ReadAt& readAt)
{
    ChunkWalker chunks(readAt, true);
    ChunkWalker::Chunk chunk;
    for (int i = 0; i < kMaxChunks && chunks.next(chunk); ++i)
    {
        if (!ChunkWalker::matchTag(chunk.id, "COMM"))
            continue;
        char common[8];
        if (chunk.size < sizeof common || !readAt(chunk.offset, common, sizeof common))
            return std::nullopt;
        const uint64_t channels = getUnsigned(common, 2, true);
        const uint64_t frames = getUnsigned(common + 2, 4, true);
        const uint64_t frameBytes = channels * ((getUnsigned(common + 6, 2, true) + 7) / 8);
        if (frames == 0 || frames == 0xFFFFFFFFu || (frameBytes > 0 && frames == kAiffStreamPlaceholder / frameBytes))
            return std::nullopt;
        return int64_t(frames);
    }
    return std::nullopt;
}

} // namespace

std::optional<int64_t> declaredFrames(const ReadAt& readAt)
{
    char header[12];
    if (!readAt(0, header, sizeof header))
        return std::nullopt;
    const char* container = header;
    const char* form = header + 8;
    if (ChunkWalker::matchTag(form, "WAVE"))
    {
        if (ChunkWalker::matchTag(container, "RIFF"))
            return waveFrames(readAt, false, false);
        if (ChunkWalker::matchTag(container, "RIFX"))
            return waveFrames(readAt, true, false);
        if (ChunkWalker::matchTag(container, "RF64") || ChunkWalker::matchTag(container, "BW64"))
            return waveFrames(readAt, false, true);
    }
    if (ChunkWalker::matchTag(container, "FORM") &&
        (ChunkWalker::matchTag(form, "AIFF") || ChunkWalker::matchTag(form, "AIFC")))
        return aiffFrames(readAt);
    return std::nullopt;
}

} // namespace dspkit
