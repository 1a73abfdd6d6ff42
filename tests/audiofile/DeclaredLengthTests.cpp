// The frame count a header declares, read over byte-exact headers: what a file
// cut short should have held, and no count for a stream's placeholder sizes.
#include "audiofile/DeclaredLength.h"

#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

namespace {

using qirtest::Bytes;
using qirtest::ByteWriter;

// 4 channels of 16 bits: 8 bytes a frame. Only a few frames are really there.
constexpr std::uint16_t kChannels = 4;
const Bytes kSomeFrames(3 * 8, 0);

Bytes format(std::uint16_t tag, bool bigEndian = false)
{
    return qirtest::waveFormatChunk(tag, kChannels, 48000, 16, bigEndian);
}

// A WAVE file whose "data" chunk declares dataSize bytes.
Bytes wave(const char* id, std::uint32_t dataSize, std::uint16_t tag = 1, const Bytes& before = {})
{
    const bool bigEndian = std::strncmp(id, "RIFX", 4) == 0;
    ByteWriter chunks(bigEndian);
    chunks.bytes(before).chunk("fmt ", format(tag, bigEndian)).chunkWithSize("data", dataSize, kSomeFrames);
    return qirtest::container(id, "WAVE", chunks.data());
}

// An RF64 file: the data size in its "ds64" chunk, 0xFFFFFFFF in "data".
Bytes rf64(std::uint64_t dataSize)
{
    ByteWriter ds64(false);
    ds64.u32(0).u32(0).u32(std::uint32_t(dataSize)).u32(std::uint32_t(dataSize >> 32)).u32(0).u32(0).u32(0);
    ByteWriter chunks(false);
    chunks.chunk("ds64", ds64.data()).chunk("fmt ", format(1)).chunkWithSize("data", 0xFFFFFFFFu, kSomeFrames);
    return qirtest::container("RF64", "WAVE", chunks.data());
}

Bytes aiff(std::uint32_t frames, std::uint16_t bits = 16)
{
    ByteWriter chunks(true);
    ByteWriter sound(true);
    sound.u32(0).u32(0).bytes(kSomeFrames);
    chunks.chunk("COMM", qirtest::aiffCommon(kChannels, frames, bits, 48000.0)).chunk("SSND", sound.data());
    return qirtest::container("FORM", "AIFF", chunks.data());
}

Bytes manyChunks(int count)
{
    ByteWriter chunks(false);
    for (int i = 0; i < count; ++i) {
        chunks.chunk("junk", Bytes(2, 0));
    }
    return chunks.data();
}

struct DeclaredCase {
    const char* mName;
    std::function<Bytes()> mFile;
    std::optional<std::int64_t> mFrames;
};

class DeclaredLength : public ::testing::TestWithParam<DeclaredCase> {};

TEST_P(DeclaredLength, IsTheHeadersFrameCount)
{
    const Bytes file = GetParam().mFile();
    const auto readAt = [&](std::uint64_t offset, char* data, std::size_t size) {
        if (offset > file.size() || file.size() - offset < size) {
            return false;
        }
        std::copy_n(file.begin() + std::ptrdiff_t(offset), size, data);
        return true;
    };
    EXPECT_EQ(dspkit::declaredFrames(readAt), GetParam().mFrames);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeclaredLength,
    ::testing::Values(
        DeclaredCase{"Riff", [] { return wave("RIFF", 9600 * 8); }, 9600},
        DeclaredCase{"Rifx", [] { return wave("RIFX", 9600 * 8); }, 9600},
        // The reader refuses the extensible header; its length is declared all the same.
        DeclaredCase{"Extensible", [] { return wave("RIFF", 9600 * 8, 0xFFFE); }, 9600},
        DeclaredCase{"PartOfAFrameIsNoFrame", [] { return wave("RIFF", 9600 * 8 + 5); }, 9600},
        DeclaredCase{"ChunksBeforeTheFormat", [] { return wave("RIFF", 800, 1, manyChunks(10)); }, 100},
        DeclaredCase{"Rf64", [] { return rf64(std::uint64_t(3) << 32); }, (std::int64_t(3) << 32) / 8},
        DeclaredCase{"Aiff", [] { return aiff(9600); }, 9600},
        DeclaredCase{"EmptyData", [] { return wave("RIFF", 0); }, std::nullopt},
        DeclaredCase{"UnknownLength", [] { return wave("RIFF", 0xFFFFFFFFu); }, std::nullopt},
        DeclaredCase{"SoxStream", [] { return wave("RIFF", 0x7FFFF000u); }, std::nullopt},
        DeclaredCase{"SoxAiffStream", [] { return aiff(0x7F000000u / 12, 24); }, std::nullopt},
        DeclaredCase{"Rf64WithoutItsSize", [] { return rf64(0); }, std::nullopt},
        DeclaredCase{"DataBeforeFormat",
                     [] {
                         ByteWriter chunks(false);
                         chunks.chunkWithSize("data", 800, kSomeFrames);
                         return qirtest::container("RIFF", "WAVE", chunks.data());
                     },
                     std::nullopt},
        DeclaredCase{"FormatBeyondTheChunksLookedAt", [] { return wave("RIFF", 800, 1, manyChunks(64)); },
                     std::nullopt},
        DeclaredCase{"NotAContainer", [] { return Bytes(64, 'x'); }, std::nullopt},
        DeclaredCase{"ShorterThanAHeader", [] { return Bytes{'R', 'I', 'F', 'F'}; }, std::nullopt}),
    [](const auto& info) { return std::string(info.param.mName); });

} // namespace
