#pragma once

// The chunk walk of the containers built from chunks (RIFF, RIFX, RF64 and BW64
// WAVE files; FORM AIFF and AIFC files): 8-byte headers of a four-character id and
// a 32-bit size, each payload padded to an even length. The one walk both the
// reader and the declared-length check run over a file.
//
// Reads go through a callback at absolute offsets, so a caller can walk a file it
// holds any way (a stream, a descriptor it must not move). One thread at a time.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace dspkit
{

// Reads size bytes at offset into data; false when the file does not hold them all.
using ReadAt = std::function<bool(uint64_t offset, char* data, size_t size)>;

class ChunkWalker
{
public:
    struct Chunk
    {
        char id[4] = {};
        uint32_t size = 0;   // as the header declares it
        uint64_t offset = 0; // of the payload
    };

    // Starts at the chunk at firstChunk (12: after a container's own header).
    ChunkWalker(ReadAt readAt, bool bigEndian, uint64_t firstChunk = 12);

    // The next chunk's header; false at the end of the file. A chunk's declared
    // size is skipped as it is (in 64 bits, so 0xFFFFFFFF and its pad byte do not
    // wrap), whatever the file really holds.
    [[nodiscard]] bool next(Chunk& chunk);
    // The next chunk called id, skipping others; false when none follows.
    [[nodiscard]] bool find(const char* id, Chunk& chunk);

    [[nodiscard]] static bool matchTag(const char* a, const char* b);

private:
    ReadAt mReadAt;
    bool mBigEndian;
    uint64_t mNext; // offset of the next chunk header
};

} // namespace dspkit
