#include "tests/support/AudioFixtures.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace qirtest {

ByteWriter& ByteWriter::tag(const char* fourCharacters)
{
    mData.insert(mData.end(), fourCharacters, fourCharacters + 4);
    return *this;
}

ByteWriter& ByteWriter::u8(std::uint8_t value)
{
    mData.push_back(value);
    return *this;
}

ByteWriter& ByteWriter::u16(std::uint16_t value)
{
    if (mBigEndian)
        return u8(std::uint8_t(value >> 8)).u8(std::uint8_t(value));
    return u8(std::uint8_t(value)).u8(std::uint8_t(value >> 8));
}

ByteWriter& ByteWriter::u32(std::uint32_t value)
{
    if (mBigEndian)
        return u16(std::uint16_t(value >> 16)).u16(std::uint16_t(value));
    return u16(std::uint16_t(value)).u16(std::uint16_t(value >> 16));
}

ByteWriter& ByteWriter::bytes(const Bytes& values)
{
    mData.insert(mData.end(), values.begin(), values.end());
    return *this;
}

ByteWriter& ByteWriter::bytes(std::initializer_list<std::uint8_t> values)
{
    mData.insert(mData.end(), values.begin(), values.end());
    return *this;
}

ByteWriter& ByteWriter::chunk(const char* id, const Bytes& payload)
{
    tag(id).u32(std::uint32_t(payload.size())).bytes(payload);
    if (payload.size() % 2 == 1)
        u8(0);
    return *this;
}

ByteWriter& ByteWriter::chunkWithSize(const char* id, std::uint32_t declaredSize, const Bytes& payload)
{
    return tag(id).u32(declaredSize).bytes(payload);
}

Bytes waveFormatChunk(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                      bool bigEndian, std::size_t extraBytes)
{
    const std::uint16_t blockAlign = std::uint16_t(channels * ((bits + 7) / 8));
    ByteWriter w(bigEndian);
    w.u16(tag).u16(channels).u32(rate).u32(rate * blockAlign).u16(blockAlign).u16(bits);
    Bytes out = w.data();
    out.resize(out.size() + extraBytes, 0);
    return out;
}

Bytes waveFile(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               const Bytes& samples, bool bigEndian)
{
    ByteWriter chunks(bigEndian);
    chunks.chunk("fmt ", waveFormatChunk(tag, channels, rate, bits, bigEndian)).chunk("data", samples);
    return container(bigEndian ? "RIFX" : "RIFF", "WAVE", chunks.data());
}

Bytes extendedRate(double rate)
{
    Bytes out(10, 0);
    if (rate == 0.0)
        return out;
    int exponent = 0;
    const double mantissa = std::frexp(std::fabs(rate), &exponent); // in [0.5, 1)
    const std::uint16_t biased = std::uint16_t((exponent - 1 + 16383) | (rate < 0 ? 0x8000 : 0));
    // The 64-bit mantissa holds the integer bit explicitly.
    const std::uint64_t bits = std::uint64_t(std::ldexp(mantissa, 64));
    out[0] = std::uint8_t(biased >> 8);
    out[1] = std::uint8_t(biased);
    for (int i = 0; i < 8; ++i)
        out[2 + i] = std::uint8_t(bits >> (56 - 8 * i));
    return out;
}

Bytes aiffCommon(std::uint16_t channels, std::uint32_t frames, std::uint16_t bits, double rate,
                 const char* compression)
{
    ByteWriter w(true);
    w.u16(channels).u32(frames).u16(bits).bytes(extendedRate(rate));
    if (compression != nullptr)
        w.tag(compression).u8(0).u8(0); // empty Pascal name, padded to even length
    return w.data();
}

Bytes aiffFile(std::uint16_t channels, std::uint16_t bits, double rate, const Bytes& samples,
               const char* compression)
{
    const std::uint32_t frameBytes = channels * ((bits + 7u) / 8u);
    const std::uint32_t frames = frameBytes == 0 ? 0 : std::uint32_t(samples.size() / frameBytes);
    ByteWriter chunks(true);
    if (compression != nullptr)
        chunks.chunk("FVER", ByteWriter(true).u32(0xA2805140).data());
    chunks.chunk("COMM", aiffCommon(channels, frames, bits, rate, compression));
    ByteWriter ssnd(true);
    ssnd.u32(0).u32(0).bytes(samples);
    chunks.chunk("SSND", ssnd.data());
    return container("FORM", compression != nullptr ? "AIFC" : "AIFF", chunks.data());
}

Bytes container(const char* id, const char* formType, const Bytes& chunks)
{
    const bool bigEndian = std::strncmp(id, "RIFF", 4) != 0;
    ByteWriter w(bigEndian);
    w.tag(id).u32(std::uint32_t(chunks.size() + 4)).tag(formType).bytes(chunks);
    return w.data();
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qir-audiofile-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a temporary folder");
    mPath = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

std::string TempDir::path(const std::string& name) const
{
    return mPath + "/" + name;
}

std::string TempDir::write(const std::string& name, const Bytes& bytes) const
{
    const std::string full = path(name);
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + full);
    return full;
}

Bytes readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool runSox(const std::string& arguments)
{
    const std::string command = "sox -V1 -R " + arguments;
    return std::system(command.c_str()) == 0;
}

double MaxDifference(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b)
{
    if (a.size() != b.size() || a.empty()) {
        return std::numeric_limits<double>::infinity();
    }
    double worst = 0.0;
    for (std::size_t c = 0; c < a.size(); ++c) {
        if (a[c].size() != b[c].size()) {
            return std::numeric_limits<double>::infinity();
        }
        for (std::size_t t = 0; t < a[c].size(); ++t) {
            const double d = std::fabs(static_cast<double>(a[c][t]) - static_cast<double>(b[c][t]));
            if (!(d <= worst)) {
                worst = d; // a NaN sticks
            }
        }
    }
    return worst;
}

} // namespace qirtest
