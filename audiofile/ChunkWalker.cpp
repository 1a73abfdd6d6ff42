#include "audiofile/ChunkWalker.h"

#include <cstring>
#include <utility>

namespace dspkit
{

ChunkWalker::ChunkWalker(ReadAt readAt, bool bigEndian, uint64_t firstChunk)
    : mReadAt(std::move(readAt)), mBigEndian(bigEndian), mNext(firstChunk)
{
}

bool ChunkWalker::next(Chunk& chunk)
{
    char header[8];
    if (!mReadAt(mNext, header, sizeof header))
        return false;
    std::memcpy(chunk.id, header, 4);
    uint32_t size = 0;
    for (int i = 0; i < 4; ++i)
        size = size << 8 | uint8_t(header[4 + (mBigEndian ? i : 3 - i)]);
    chunk.size = size;
    chunk.offset = mNext + 8;
    mNext = chunk.offset + uint64_t(size) + (size & 1);
    return true;
}

bool ChunkWalker::find(const char* id, Chunk& chunk)
{
    while (next(chunk))
    {
        if (matchTag(chunk.id, id))
            return true;
    }
    return false;
}

bool ChunkWalker::matchTag(const char* a, const char* b)
{
    return std::memcmp(a, b, 4) == 0;
}

} // namespace dspkit
