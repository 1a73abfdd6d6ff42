// Container recognition and the chunk walk, on hand-made files whose every byte is known.

#include "audiofile/AudioFileReader.h"
#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <functional>

using dspkit::AudioFileFormat;
using dspkit::AudioFileReader;
using qirtest::ByteWriter;
using qirtest::Bytes;

namespace {

using F = AudioFileFormat;

Bytes zeros(size_t n)
{
    return Bytes(n, 0);
}

Bytes riff(const Bytes& chunks, bool bigEndian = false)
{
    return qirtest::container(bigEndian ? "RIFX" : "RIFF", "WAVE", chunks);
}

Bytes form(const char* type, const Bytes& chunks)
{
    return qirtest::container("FORM", type, chunks);
}

Bytes version(uint32_t value = 0xA2805140)
{
    return ByteWriter(true).u32(value).data();
}

Bytes ssnd(uint32_t offset, const Bytes& samples)
{
    return ByteWriter(true).u32(offset).u32(0).bytes(samples).data();
}

struct ParseCase
{
    const char* name;
    std::function<Bytes()> build;
    int errors;
    F::FileType type;
    int channels;   // -1: not checked
    long frames;    // -1: not checked
    long pcmOffset; // -1: not checked
};

void PrintTo(const ParseCase& c, std::ostream* out)
{
    *out << c.name;
}

class AudioFileParse : public ::testing::TestWithParam<ParseCase>
{};

TEST_P(AudioFileParse, ReportsTheExpectedErrorsAndFields)
{
    const ParseCase& c = GetParam();
    qirtest::TempDir dir;
    AudioFileReader reader(dir.write("case.bin", c.build()));

    EXPECT_TRUE(reader.isOpen());
    EXPECT_EQ(reader.getErrorFlags(), c.errors);
    EXPECT_EQ(reader.getFileType(), c.type);
    if (c.channels >= 0)
    {
        EXPECT_EQ(reader.getChannels(), c.channels);
    }
    if (c.frames >= 0)
    {
        EXPECT_EQ(reader.getFrames(), uint32_t(c.frames));
    }
    if (c.pcmOffset >= 0)
    {
        EXPECT_EQ(reader.getPCMOffset(), uint64_t(c.pcmOffset));
    }
}

const ParseCase kParseCases[] = {
    {"ElevenBytes", [] { return Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V'}; }, F::kErrFileBadFormat,
     F::kAudioFileNone, 0, 0, 0},
    {"EmptyFile", [] { return Bytes{}; }, F::kErrFileBadFormat, F::kAudioFileNone, 0, 0, 0},
    {"UnknownContainer", [] { return Bytes{'O', 'g', 'g', 'S', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}; },
     F::kErrFileUnknownFormat, F::kAudioFileNone, 0, 0, 0},
    {"RiffWithoutWave", [] { return qirtest::container("RIFF", "AVI ", {}); }, F::kErrFileUnknownFormat,
     F::kAudioFileNone, 0, 0, 0},
    {"LowerCaseRiff", [] { return qirtest::container("riff", "WAVE", {}); }, F::kErrFileUnknownFormat,
     F::kAudioFileNone, 0, 0, 0},
    {"WaveWithoutFmt", [] { return riff({}); }, F::kErrFileBadFormat, F::kAudioFileNone, 0, 0, 0},
    {"WaveMinimal",
     [] { return qirtest::waveFile(1, 2, 48000, 16, zeros(8)); }, 0, F::kAudioFileWAVE, 2, 2, 44},
    {"FmtOf18Bytes",
     [] {
         return riff(ByteWriter(false).chunk("fmt ", qirtest::waveFormatChunk(1, 2, 48000, 16, false, 2))
                         .chunk("data", zeros(8)).data());
     },
     0, F::kAudioFileWAVE, 2, 2, 46},
    {"FmtOf40Bytes",
     [] {
         return riff(ByteWriter(false).chunk("fmt ", qirtest::waveFormatChunk(3, 1, 48000, 32, false, 24))
                         .chunk("data", zeros(12)).data());
     },
     0, F::kAudioFileWAVE, 1, 3, 68},
    {"FmtOf14Bytes",
     [] {
         Bytes fmt = qirtest::waveFormatChunk(1, 2, 48000, 16, false);
         fmt.resize(14);
         return riff(ByteWriter(false).chunk("fmt ", fmt).chunk("data", zeros(8)).data());
     },
     F::kErrFileBadFormat, F::kAudioFileNone, 0, 0, 0},
    {"FmtCutShortByEndOfFile",
     [] {
         Bytes fmt = qirtest::waveFormatChunk(1, 2, 48000, 16, false);
         fmt.resize(10);
         return riff(ByteWriter(false).chunkWithSize("fmt ", 16, fmt).data());
     },
     F::kErrFileBadFormat, F::kAudioFileNone, 0, 0, 0},
    {"ExtensibleTag", [] { return qirtest::waveFile(0xFFFE, 2, 48000, 16, zeros(8)); }, F::kErrWaveUnsupportedFormat,
     F::kAudioFileNone, -1, 0, 0},
    {"FloatOf16Bits", [] { return qirtest::waveFile(3, 2, 48000, 16, zeros(8)); }, F::kErrFileUnsupportedPCMFormat,
     F::kAudioFileNone, 2, 0, 0},
    {"IntegerOf12Bits", [] { return qirtest::waveFile(1, 1, 48000, 12, zeros(8)); }, F::kErrFileUnsupportedPCMFormat,
     F::kAudioFileNone, 1, 0, 0},
    {"ZeroChannelWave", [] { return qirtest::waveFile(1, 0, 48000, 16, zeros(8)); }, F::kErrFileBadFormat,
     F::kAudioFileNone, 0, 0, 0},
    {"OddChunkSkippedWithItsPad",
     [] {
         return riff(ByteWriter(false).chunk("fmt ", qirtest::waveFormatChunk(1, 2, 48000, 16, false))
                         .chunk("junk", Bytes{1, 2, 3, 4, 5, 6, 7})
                         .chunk("data", zeros(8)).data());
     },
     0, F::kAudioFileWAVE, 2, 2, 44 + 16},
    {"DataBeforeFmtIsNeverFound",
     [] {
         return riff(ByteWriter(false).chunk("data", zeros(8))
                         .chunk("fmt ", qirtest::waveFormatChunk(1, 2, 48000, 16, false)).data());
     },
     F::kErrFileBadFormat, F::kAudioFileNone, 2, 0, 0},
    {"DataOfTenBytesHoldsTwoFrames", [] { return qirtest::waveFile(1, 2, 48000, 16, zeros(10)); }, 0,
     F::kAudioFileWAVE, 2, 2, 44},
    {"DataOfThreeBytesHoldsNoFrame", [] { return qirtest::waveFile(1, 2, 48000, 16, zeros(3)); }, 0,
     F::kAudioFileWAVE, 2, 0, 44},
    {"DataSizeLargerThanFileIsTrusted",
     [] {
         return riff(ByteWriter(false).chunk("fmt ", qirtest::waveFormatChunk(1, 2, 48000, 16, false))
                         .chunkWithSize("data", 0xFFFFFFF0u, zeros(8)).data());
     },
     0, F::kAudioFileWAVE, 2, 0x3FFFFFFC, 44},
    {"HugeChunkBeforeDataDoesNotWrapAround",
     [] {
         // A size of 0xFFFFFFFF plus its pad byte is 2^32, not 0: the walk leaves
         // the file instead of reading the chunk's payload as the next header.
         return riff(ByteWriter(false).chunk("fmt ", qirtest::waveFormatChunk(1, 2, 48000, 16, false))
                         .chunkWithSize("junk", 0xFFFFFFFFu, {})
                         .chunk("data", zeros(8)).data());
     },
     F::kErrFileBadFormat, F::kAudioFileNone, 2, 0, 0},
    {"Rifx",
     [] { return qirtest::waveFile(1, 3, 96000, 24, zeros(18), true); }, 0, F::kAudioFileWAVE, 3, 2, 44},
    {"AiffWithoutFramesNeedsNoSound",
     [] { return form("AIFF", ByteWriter(true).chunk("COMM", qirtest::aiffCommon(2, 0, 16, 44100)).data()); }, 0,
     F::kAudioFileAIFF, 2, 0, 0},
    {"AiffWithFramesNeedsSound",
     [] { return form("AIFF", ByteWriter(true).chunk("COMM", qirtest::aiffCommon(2, 5, 16, 44100)).data()); },
     F::kErrFileBadFormat, F::kAudioFileAIFF, 2, 5, 0},
    {"AiffWithoutCommon", [] { return form("AIFF", ByteWriter(true).chunk("SSND", ssnd(0, zeros(8))).data()); },
     F::kErrFileBadFormat, F::kAudioFileNone, 0, 0, 28},
    {"AiffSoundBeforeCommon",
     [] {
         return form("AIFF", ByteWriter(true).chunk("SSND", ssnd(0, zeros(8)))
                                 .chunk("COMM", qirtest::aiffCommon(2, 2, 16, 44100)).data());
     },
     0, F::kAudioFileAIFF, 2, 2, 28},
    {"AiffSoundOffsetMovesTheFirstSample",
     [] {
         return form("AIFF", ByteWriter(true).chunk("COMM", qirtest::aiffCommon(1, 2, 16, 44100))
                                 .chunk("SSND", ssnd(4, zeros(8))).data());
     },
     0, F::kAudioFileAIFF, 1, 2, 12 + 26 + 16 + 4},
    {"AiffCommonShorterThan18",
     [] {
         Bytes comm = qirtest::aiffCommon(2, 2, 16, 44100);
         comm.resize(16);
         return form("AIFF", ByteWriter(true).chunk("COMM", comm).chunk("SSND", ssnd(0, zeros(8))).data());
     },
     F::kErrFileBadFormat, F::kAudioFileNone, 0, 0, 0},
    {"AiffZeroChannels",
     [] {
         return form("AIFF", ByteWriter(true).chunk("COMM", qirtest::aiffCommon(0, 2, 16, 44100))
                                 .chunk("SSND", ssnd(0, zeros(8))).data());
     },
     F::kErrFileBadFormat, F::kAudioFileNone, 0, 2, 0},
    {"AiffOf12Bits",
     [] {
         return form("AIFF", ByteWriter(true).chunk("COMM", qirtest::aiffCommon(2, 2, 12, 44100))
                                 .chunk("SSND", ssnd(0, zeros(8))).data());
     },
     F::kErrFileUnsupportedPCMFormat, F::kAudioFileAIFF, 2, 2, 0},
    {"AiffWithWrongVersion",
     [] {
         return form("AIFF", ByteWriter(true).chunk("FVER", version(1))
                                 .chunk("COMM", qirtest::aiffCommon(2, 2, 16, 44100))
                                 .chunk("SSND", ssnd(0, zeros(8))).data());
     },
     F::kErrAIFCWrongVersion, F::kAudioFileNone, 0, 0, 0},
    {"AiffOddUnknownChunk",
     [] {
         return form("AIFF", ByteWriter(true).chunk("NAME", Bytes{'a', 'b', 'c'})
                                 .chunk("COMM", qirtest::aiffCommon(2, 2, 16, 44100))
                                 .chunk("SSND", ssnd(0, zeros(8))).data());
     },
     0, F::kAudioFileAIFF, 2, 2, 12 + 12 + 26 + 16},
    {"AifcComplete", [] { return qirtest::aiffFile(2, 16, 48000, zeros(8), "NONE"); }, 0, F::kAudioFileAIFC, 2, 2,
     12 + 12 + 32 + 16},
    {"AifcWithoutVersion",
     [] {
         return form("AIFC", ByteWriter(true).chunk("COMM", qirtest::aiffCommon(2, 2, 16, 44100, "NONE"))
                                 .chunk("SSND", ssnd(0, zeros(8))).data());
     },
     F::kErrFileBadFormat, F::kAudioFileAIFC, 2, 2, -1},
    {"AifcWithWrongVersion",
     [] {
         return form("AIFC", ByteWriter(true).chunk("FVER", version(0xA2805141))
                                 .chunk("COMM", qirtest::aiffCommon(2, 2, 16, 44100, "NONE"))
                                 .chunk("SSND", ssnd(0, zeros(8))).data());
     },
     F::kErrAIFCWrongVersion, F::kAudioFileAIFC, 0, 0, 0},
    {"AifcUnknownCompression", [] { return qirtest::aiffFile(2, 16, 48000, zeros(8), "ulaw"); },
     F::kErrAIFCUnsupportedFormat, F::kAudioFileAIFC, 2, 2, 0},
    {"AifcCommonWithoutCompression",
     [] {
         return form("AIFC", ByteWriter(true).chunk("FVER", version())
                                 .chunk("COMM", qirtest::aiffCommon(2, 2, 16, 44100))
                                 .chunk("SSND", ssnd(0, zeros(8))).data());
     },
     F::kErrFileBadFormat, F::kAudioFileAIFC, 2, 2, 0},
    {"AifcFloatOf24Bits", [] { return qirtest::aiffFile(1, 24, 48000, zeros(6), "fl32"); },
     F::kErrFileUnsupportedPCMFormat, F::kAudioFileAIFC, 1, 2, 0},
    {"SoundChunkTooShortForItsOffset",
     [] {
         return form("AIFF", ByteWriter(true).chunk("COMM", qirtest::aiffCommon(2, 2, 16, 44100))
                                 .chunk("SSND", Bytes{0, 0}).data());
     },
     F::kErrFileBadFormat, F::kAudioFileAIFF, 2, 2, -1},
};

INSTANTIATE_TEST_SUITE_P(Cases, AudioFileParse, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AudioFileReader, RecordsTheFormatOfEachContainer)
{
    qirtest::TempDir dir;
    struct Case
    {
        Bytes file;
        F::PCMFormat format;
        F::Endianness header;
        F::Endianness audio;
        double rate;
    };
    const Case cases[] = {
        {qirtest::waveFile(1, 2, 44100, 16, zeros(8)), F::kAudioFileInt16, F::kAudioFileLittleEndian,
         F::kAudioFileLittleEndian, 44100},
        {qirtest::waveFile(3, 2, 96000, 64, zeros(16), true), F::kAudioFileFloat64, F::kAudioFileBigEndian,
         F::kAudioFileBigEndian, 96000},
        {qirtest::waveFile(1, 1, 8000, 32, zeros(4)), F::kAudioFileInt32, F::kAudioFileLittleEndian,
         F::kAudioFileLittleEndian, 8000},
        {qirtest::aiffFile(1, 8, 22050, zeros(2)), F::kAudioFileInt8, F::kAudioFileBigEndian, F::kAudioFileBigEndian,
         22050},
        {qirtest::aiffFile(2, 16, 48000, zeros(8), "sowt"), F::kAudioFileInt16, F::kAudioFileBigEndian,
         F::kAudioFileLittleEndian, 48000},
        {qirtest::aiffFile(2, 16, 48000, zeros(8), "twos"), F::kAudioFileInt16, F::kAudioFileBigEndian,
         F::kAudioFileBigEndian, 48000},
        // The float codes name only the kind; the width comes from the sample size.
        {qirtest::aiffFile(1, 32, 48000, zeros(8), "fl64"), F::kAudioFileFloat32, F::kAudioFileBigEndian,
         F::kAudioFileBigEndian, 48000},
        {qirtest::aiffFile(1, 64, 48000, zeros(8), "FL32"), F::kAudioFileFloat64, F::kAudioFileBigEndian,
         F::kAudioFileBigEndian, 48000},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        const Case& c = cases[i];
        AudioFileReader reader(dir.write(std::to_string(i) + ".snd", c.file));
        ASSERT_FALSE(reader.getIsError()) << i;
        EXPECT_EQ(reader.getPCMFormat(), c.format) << i;
        EXPECT_EQ(reader.getHeaderEndianness(), c.header) << i;
        EXPECT_EQ(reader.getAudioEndianness(), c.audio) << i;
        EXPECT_EQ(reader.getSamplingRate(), c.rate) << i;
        EXPECT_EQ(reader.getPosition(), 0u) << i;
    }
}

TEST(AudioFileReader, MissingAndEmptyPathsLeaveTheReaderClosed)
{
    AudioFileReader missing("/nonexistent/folder/file.wav");
    EXPECT_FALSE(missing.isOpen());
    EXPECT_EQ(missing.getErrorFlags(), F::kErrFileCouldNotOpen);
    EXPECT_EQ(missing.getErrors(), std::vector<F::Error>{F::kErrFileCouldNotOpen});
    EXPECT_EQ(missing.getFrames(), 0u);
    EXPECT_EQ(missing.getPosition(), 0u);

    AudioFileReader empty("");
    EXPECT_FALSE(empty.isOpen());
    EXPECT_FALSE(empty.getIsError());
    EXPECT_EQ(empty.getFileType(), F::kAudioFileNone);
}

TEST(AudioFileReader, ReopeningStartsAfreshAndCloseResetsEveryField)
{
    qirtest::TempDir dir;
    const std::string bad = dir.write("bad.wav", qirtest::waveFile(0xFFFE, 2, 48000, 16, zeros(8)));
    const std::string good = dir.write("good.aif", qirtest::aiffFile(3, 24, 44100, zeros(18)));

    AudioFileReader reader(bad);
    EXPECT_EQ(reader.getErrorFlags(), F::kErrWaveUnsupportedFormat);
    reader.open(good);
    EXPECT_FALSE(reader.getIsError());
    EXPECT_EQ(reader.getFileType(), F::kAudioFileAIFF);
    EXPECT_EQ(reader.getChannels(), 3);
    EXPECT_EQ(reader.getFrames(), 2u);

    reader.close();
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.getFileType(), F::kAudioFileNone);
    EXPECT_EQ(reader.getPCMFormat(), F::kAudioFileInt8);
    EXPECT_EQ(reader.getHeaderEndianness(), F::kAudioFileLittleEndian);
    EXPECT_EQ(reader.getAudioEndianness(), F::kAudioFileLittleEndian);
    EXPECT_EQ(reader.getSamplingRate(), 0.0);
    EXPECT_EQ(reader.getChannels(), 0);
    EXPECT_EQ(reader.getFrames(), 0u);
    EXPECT_EQ(reader.getPCMOffset(), 0u);
    EXPECT_EQ(reader.getPosition(), 0u);
    EXPECT_FALSE(reader.getIsError());

    reader.open("/nonexistent/file.aif");
    EXPECT_EQ(reader.getErrorFlags(), F::kErrFileCouldNotOpen);
    reader.clearErrorFlags();
    EXPECT_FALSE(reader.getIsError());
}

} // namespace
