// tests/support: writers for audio-file fixtures. Byte-exact WAVE/AIFF/AIFC files
// built chunk by chunk (for malformed and edge-case headers), a scratch folder that
// removes itself, and a way to have sox write files of real-world shape.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace qirtest {

using Bytes = std::vector<std::uint8_t>;

// Appends fields to a byte vector in a chosen byte order.
class ByteWriter {
public:
    explicit ByteWriter(bool bigEndian) : mBigEndian(bigEndian) {}

    ByteWriter& tag(const char* fourCharacters);
    ByteWriter& u8(std::uint8_t value);
    ByteWriter& u16(std::uint16_t value);
    ByteWriter& u32(std::uint32_t value);
    ByteWriter& bytes(const Bytes& values);
    ByteWriter& bytes(std::initializer_list<std::uint8_t> values);
    // An 8-byte chunk header, the payload and a pad byte when the payload is odd.
    ByteWriter& chunk(const char* id, const Bytes& payload);
    // A chunk header declaring declaredSize, followed by payload as it is (no pad).
    ByteWriter& chunkWithSize(const char* id, std::uint32_t declaredSize, const Bytes& payload);

    const Bytes& data() const { return mData; }

private:
    bool mBigEndian;
    Bytes mData;
};

// The 16 bytes of a WAVE "fmt " chunk, plus extraBytes zero bytes of extension.
Bytes waveFormatChunk(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                      bool bigEndian, std::size_t extraBytes = 0);

// A whole WAVE file: container header, "fmt ", the given chunks, then "data".
Bytes waveFile(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               const Bytes& samples, bool bigEndian = false);

// The 80-bit extended encoding of a sample rate.
Bytes extendedRate(double rate);

// An AIFF "COMM" payload (18 bytes) or an AIFC one (22 bytes, with compression).
Bytes aiffCommon(std::uint16_t channels, std::uint32_t frames, std::uint16_t bits, double rate,
                 const char* compression = nullptr);

// A whole AIFF ("AIFC" when compression is given, with "FVER") file holding samples.
Bytes aiffFile(std::uint16_t channels, std::uint16_t bits, double rate, const Bytes& samples,
               const char* compression = nullptr);

// Wraps chunks in a container: "RIFF"/"RIFX" + "WAVE" or "FORM" + "AIFF"/"AIFC".
Bytes container(const char* id, const char* formType, const Bytes& chunks);

// A folder under the system's temporary directory, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const;
    // Writes bytes to name and returns the full path.
    std::string write(const std::string& name, const Bytes& bytes) const;

private:
    std::string mPath;
};

Bytes readFileBytes(const std::string& path);

// Runs sox with the given arguments (quiet, repeatable); true when it exits with 0.
bool runSox(const std::string& arguments);

// The largest absolute difference between two multichannel signals
// ([channel][frame]): infinity when their shapes differ or they are empty; a NaN
// anywhere makes the result NaN.
double MaxDifference(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b);

} // namespace qirtest
