// The format description's tables and the byte-level helpers of the reader.

#include "audiofile/AudioFileReader.h"
#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using dspkit::AudioFileFormat;
using dspkit::AudioFileReader;

TEST(AudioFileFormat, ErrorStringsAreTheFixedMessages)
{
    const std::pair<int, const char*> cases[] = {
        {0, "no error"},
        {1, "mem could not allocate"},
        {2, "file error"},
        {4, "file couldn't open"},
        {8, "file bad format"},
        {16, "file unknown format"},
        {32, "file unsupported pcm format"},
        {64, "aifc wrong version"},
        {128, "aifc unsupported format"},
        {256, "wave unsupported format"},
        {512, "file couldn't write"},
        // Every other value above 127 shares the last message.
        {129, "file couldn't write"},
        {1024, "file couldn't write"},
        {32768, "file couldn't write"},
    };
    for (const auto& [value, message] : cases)
        EXPECT_EQ(AudioFileFormat::getErrorString(AudioFileFormat::Error(value)), message) << value;
}

TEST(AudioFileFormat, ExtractsTheLow16BitsInAscendingOrder)
{
    using E = AudioFileFormat::Error;
    EXPECT_EQ(AudioFileFormat::extractErrorsFromFlags(36),
              (std::vector<E>{AudioFileFormat::kErrFileCouldNotOpen, AudioFileFormat::kErrFileUnsupportedPCMFormat}));
    EXPECT_TRUE(AudioFileFormat::extractErrorsFromFlags(0).empty());
    EXPECT_EQ(AudioFileFormat::extractErrorsFromFlags(0x10000 | 0x8000 | 8), (std::vector<E>{E(8), E(0x8000)}));

    const std::vector<E> all = AudioFileFormat::extractErrorsFromFlags(-1);
    ASSERT_EQ(all.size(), 16u);
    for (int bit = 0; bit < 16; ++bit)
        EXPECT_EQ(all[size_t(bit)], E(1 << bit));
}

TEST(AudioFileFormat, DepthTablesCoverEveryFormatAndFallBackToEightBits)
{
    struct Case
    {
        int format;
        uint16_t bits;
        uint16_t bytes;
        AudioFileFormat::NumberFormat number;
    };
    const Case cases[] = {
        {0, 8, 1, AudioFileFormat::kAudioFileInt},    {1, 16, 2, AudioFileFormat::kAudioFileInt},
        {2, 24, 3, AudioFileFormat::kAudioFileInt},   {3, 32, 4, AudioFileFormat::kAudioFileInt},
        {4, 32, 4, AudioFileFormat::kAudioFileFloat}, {5, 64, 8, AudioFileFormat::kAudioFileFloat},
        {6, 8, 1, AudioFileFormat::kAudioFileInt},    {-1, 8, 1, AudioFileFormat::kAudioFileInt},
    };
    for (const Case& c : cases)
    {
        const auto format = AudioFileFormat::PCMFormat(c.format);
        EXPECT_EQ(AudioFileFormat::findBitDepth(format), c.bits) << c.format;
        EXPECT_EQ(AudioFileFormat::findByteDepth(format), c.bytes) << c.format;
        EXPECT_EQ(AudioFileFormat::findNumberFormat(format), c.number) << c.format;
    }
}

TEST(AudioFileReader, FindsPCMFormatOnlyForKnownBitDepths)
{
    using F = AudioFileFormat;
    struct Case
    {
        unsigned short bits;
        F::NumberFormat number;
        F::Error error;
        F::PCMFormat format;
    };
    const Case cases[] = {
        {8, F::kAudioFileInt, F::kErrNone, F::kAudioFileInt8},
        {16, F::kAudioFileInt, F::kErrNone, F::kAudioFileInt16},
        {24, F::kAudioFileInt, F::kErrNone, F::kAudioFileInt24},
        {32, F::kAudioFileInt, F::kErrNone, F::kAudioFileInt32},
        {32, F::kAudioFileFloat, F::kErrNone, F::kAudioFileFloat32},
        {64, F::kAudioFileFloat, F::kErrNone, F::kAudioFileFloat64},
        {12, F::kAudioFileInt, F::kErrFileUnsupportedPCMFormat, F::kAudioFileInt24},
        {64, F::kAudioFileInt, F::kErrFileUnsupportedPCMFormat, F::kAudioFileInt24},
        {16, F::kAudioFileFloat, F::kErrFileUnsupportedPCMFormat, F::kAudioFileInt24},
        {0, F::kAudioFileFloat, F::kErrFileUnsupportedPCMFormat, F::kAudioFileInt24},
    };
    for (const Case& c : cases)
    {
        // A failed lookup leaves the out-parameter as it was (Int24 here).
        F::PCMFormat format = F::kAudioFileInt24;
        EXPECT_EQ(AudioFileReader::findPCMFormat(c.bits, c.number, format), c.error) << c.bits;
        EXPECT_EQ(format, c.format) << c.bits;
    }
}

TEST(AudioFileReader, MatchesAIFCCompressionCodesCaseSensitively)
{
    const std::pair<const char*, AudioFileReader::AIFCCompression> cases[] = {
        {"NONE", AudioFileReader::kAIFCCompressionNone},
        {"twos", AudioFileReader::kAIFCCompressionNone},
        {"sowt", AudioFileReader::kAIFCCompressionLittleEndian},
        {"fl32", AudioFileReader::kAIFCCompressionFloat},
        {"FL32", AudioFileReader::kAIFCCompressionFloat},
        {"fl64", AudioFileReader::kAIFCCompressionFloat},
        {"FL64", AudioFileReader::kAIFCCompressionFloat},
        {"none", AudioFileReader::kAIFCCompressionUnknown},
        {"SOWT", AudioFileReader::kAIFCCompressionUnknown},
        {"ulaw", AudioFileReader::kAIFCCompressionUnknown},
    };
    for (const auto& [code, expected] : cases)
        EXPECT_EQ(AudioFileReader::getAIFCCompression(code), expected) << code;
}

TEST(AudioFileReader, AssemblesUnsignedIntegersInEitherByteOrder)
{
    const char bytes[8] = {'\x01', '\x02', '\x03', '\x04', '\x05', '\x06', '\x07', '\x88'};
    const auto big = AudioFileFormat::kAudioFileBigEndian;
    const auto little = AudioFileFormat::kAudioFileLittleEndian;
    EXPECT_EQ(AudioFileReader::getU16(bytes, big), 0x0102u);
    EXPECT_EQ(AudioFileReader::getU16(bytes, little), 0x0201u);
    EXPECT_EQ(AudioFileReader::getU24(bytes, big), 0x010203u);
    EXPECT_EQ(AudioFileReader::getU24(bytes, little), 0x030201u);
    EXPECT_EQ(AudioFileReader::getU32(bytes, big), 0x01020304u);
    EXPECT_EQ(AudioFileReader::getU32(bytes, little), 0x04030201u);
    EXPECT_EQ(AudioFileReader::getU64(bytes, big), 0x0102030405060788ull);
    EXPECT_EQ(AudioFileReader::getU64(bytes, little), 0x8807060504030201ull);
}

TEST(AudioFileReader, DecodesExtendedSampleRates)
{
    auto decode = [](std::initializer_list<uint8_t> bytes) {
        const qirtest::Bytes b(bytes);
        return AudioFileReader::extendedToDouble(reinterpret_cast<const char*>(b.data()));
    };
    EXPECT_EQ(decode({0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}), 44100.0);
    EXPECT_EQ(decode({0x40, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}), 48000.0);
    EXPECT_EQ(decode({0xC0, 0x0E, 0xBB, 0x80, 0, 0, 0, 0, 0, 0}), -48000.0);
    EXPECT_EQ(decode({0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0.0);
    // The low mantissa word counts: 1 + 2^-40.
    EXPECT_EQ(decode({0x3F, 0xFF, 0x80, 0, 0, 0, 0, 0x80, 0, 0}), 1.0 + std::ldexp(1.0, -40));
    // Exponent 0x7FFF is +infinity whatever the sign.
    EXPECT_EQ(decode({0x7F, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}), std::numeric_limits<double>::infinity());
    EXPECT_EQ(decode({0xFF, 0xFF, 0xC0, 0, 0, 0, 0, 0, 0, 1}), std::numeric_limits<double>::infinity());
    // Exponents far outside double's range underflow to 0 rather than misbehave.
    EXPECT_EQ(decode({0x00, 0x01, 0x80, 0, 0, 0, 0, 0, 0, 0}), 0.0);

    for (double rate : {8000.0, 22050.0, 44100.0, 88200.0, 96000.0, 192000.0, 11025.5})
    {
        const qirtest::Bytes b = qirtest::extendedRate(rate);
        EXPECT_EQ(AudioFileReader::extendedToDouble(reinterpret_cast<const char*>(b.data())), rate);
    }
}
