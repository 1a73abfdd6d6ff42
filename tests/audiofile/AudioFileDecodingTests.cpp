// Sample decoding: files written by sox, checked sample for sample against
// libsndfile's reading of the same file, then the scaling extremes, positioning,
// and what reads outside the data deliver.

#include "audiofile/AudioFileReader.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

using dspkit::AudioFileFormat;
using dspkit::AudioFileReader;
using qirtest::ByteWriter;
using qirtest::Bytes;

namespace {

using F = AudioFileFormat;

// Frames of every sox fixture: more than two 1024-frame blocks and a partial one.
constexpr unsigned kSoxFrames = 2500;
constexpr unsigned kSoxChannels = 3;

template <typename T>
std::vector<T> readWithLibsndfile(const std::string& path, int& channels)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return {};
    channels = info.channels;
    std::vector<T> values(size_t(info.frames) * size_t(info.channels));
    sf_count_t read = 0;
    if constexpr (std::is_same_v<T, double>)
        read = sf_readf_double(file, values.data(), info.frames);
    else
        read = sf_readf_float(file, values.data(), info.frames);
    sf_close(file);
    values.resize(size_t(read) * size_t(info.channels));
    return values;
}

// Exact comparison that treats two NaNs as equal and tells +0 from -0 apart.
template <typename T>
::testing::AssertionResult sameValues(const std::vector<T>& actual, const std::vector<T>& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "size " << actual.size() << " != " << expected.size();
    for (size_t i = 0; i < actual.size(); ++i)
    {
        if (std::memcmp(&actual[i], &expected[i], sizeof(T)) != 0 && !(std::isnan(actual[i]) && std::isnan(expected[i])))
            return ::testing::AssertionFailure() << "value " << i << ": " << actual[i] << " != " << expected[i];
    }
    return ::testing::AssertionSuccess();
}

// Walks the chunks of a big-endian "FORM" file: calls visit(id, payloadOffset, size).
template <typename Visit>
void walkFormChunks(Bytes& file, Visit visit)
{
    size_t at = 12;
    while (at + 8 <= file.size())
    {
        const char* id = reinterpret_cast<const char*>(&file[at]);
        const uint32_t size = AudioFileReader::getU32(id + 4, F::kAudioFileBigEndian);
        visit(std::string(id, 4), at + 8, size);
        at += 8 + size + (size & 1);
    }
}

// sox writes AIFC only in big-endian ("NONE"); the little-endian "sowt" form is
// made from it by renaming the compression and swapping the bytes of each sample.
Bytes toSowt(Bytes file, size_t byteDepth)
{
    walkFormChunks(file, [&](const std::string& id, size_t payload, uint32_t size) {
        if (id == "COMM")
            std::memcpy(&file[payload + 18], "sowt", 4);
        if (id == "SSND")
        {
            const size_t first = payload + 8 + AudioFileReader::getU32(
                                                   reinterpret_cast<const char*>(&file[payload]), F::kAudioFileBigEndian);
            const size_t end = std::min<size_t>(payload + size, file.size());
            for (size_t at = first; at + byteDepth <= end; at += byteDepth)
                std::reverse(file.begin() + long(at), file.begin() + long(at + byteDepth));
        }
    });
    return file;
}

struct SoxCase
{
    const char* name;
    const char* soxFormat; // type, encoding, bits and byte order, as sox options
    F::FileType type;
    F::PCMFormat format;
    F::Endianness audioEndianness;
    size_t sowtByteDepth; // non-zero: rewrite the sox file as AIFC "sowt"
};

void PrintTo(const SoxCase& c, std::ostream* out)
{
    *out << c.name;
}

class AudioFileAgainstLibsndfile : public ::testing::TestWithParam<SoxCase>
{
protected:
    std::string makeFixture()
    {
        const SoxCase& c = GetParam();
        const std::string path = mDir.path(std::string(c.name) + ".snd");
        // Noise, a sine, and a full-scale square that reaches both integer extremes.
        const std::string arguments = "-D -n -r 48000 -c " + std::to_string(kSoxChannels) + " " + c.soxFormat + " " +
                                      path + " synth " + std::to_string(kSoxFrames) +
                                      "s whitenoise sine 441 square 300 gain -0.0";
        if (!qirtest::runSox(arguments))
            return {};
        if (c.sowtByteDepth != 0)
            return mDir.write(std::string(c.name) + ".aifc", toSowt(qirtest::readFileBytes(path), c.sowtByteDepth));
        return path;
    }

    qirtest::TempDir mDir;
};

TEST_P(AudioFileAgainstLibsndfile, EverySampleEqualsLibsndfile)
{
    const SoxCase& c = GetParam();
    const std::string path = makeFixture();
    ASSERT_FALSE(path.empty()) << "sox could not write the fixture";

    int channels = 0;
    const std::vector<double> expectedDouble = readWithLibsndfile<double>(path, channels);
    const std::vector<float> expectedFloat = readWithLibsndfile<float>(path, channels);
    ASSERT_EQ(channels, int(kSoxChannels));
    ASSERT_EQ(expectedDouble.size(), size_t(kSoxFrames) * kSoxChannels);

    AudioFileReader reader(path);
    ASSERT_FALSE(reader.getIsError()) << reader.getErrorFlags();
    EXPECT_EQ(reader.getFileType(), c.type);
    EXPECT_EQ(reader.getPCMFormat(), c.format);
    EXPECT_EQ(reader.getAudioEndianness(), c.audioEndianness);
    EXPECT_EQ(reader.getChannels(), kSoxChannels);
    EXPECT_EQ(reader.getSamplingRate(), 48000.0);
    ASSERT_EQ(reader.getFrames(), kSoxFrames);

    std::vector<double> interleavedDouble(expectedDouble.size());
    reader.readInterleaved(interleavedDouble.data(), kSoxFrames);
    EXPECT_TRUE(sameValues(interleavedDouble, expectedDouble));
    EXPECT_EQ(reader.getPosition(), kSoxFrames);

    reader.seek(0);
    std::vector<float> interleavedFloat(expectedFloat.size());
    reader.readInterleaved(interleavedFloat.data(), kSoxFrames);
    EXPECT_TRUE(sameValues(interleavedFloat, expectedFloat));

    for (unsigned short channel = 0; channel < kSoxChannels; ++channel)
    {
        std::vector<double> expectedChannelDouble;
        std::vector<float> expectedChannelFloat;
        for (size_t frame = 0; frame < kSoxFrames; ++frame)
        {
            expectedChannelDouble.push_back(expectedDouble[frame * kSoxChannels + channel]);
            expectedChannelFloat.push_back(expectedFloat[frame * kSoxChannels + channel]);
        }
        std::vector<double> channelDouble(kSoxFrames);
        std::vector<float> channelFloat(kSoxFrames);
        reader.seek(0);
        reader.readChannel(channelDouble.data(), kSoxFrames, channel);
        reader.seek(0);
        reader.readChannel(channelFloat.data(), kSoxFrames, channel);
        EXPECT_TRUE(sameValues(channelDouble, expectedChannelDouble)) << "channel " << channel;
        EXPECT_TRUE(sameValues(channelFloat, expectedChannelFloat)) << "channel " << channel;
    }
}

const SoxCase kSoxCases[] = {
    {"WaveUnsigned8", "-t wavpcm -e unsigned -b 8", F::kAudioFileWAVE, F::kAudioFileInt8, F::kAudioFileLittleEndian, 0},
    {"WaveSigned16", "-t wavpcm -e signed -b 16", F::kAudioFileWAVE, F::kAudioFileInt16, F::kAudioFileLittleEndian, 0},
    {"WaveSigned24", "-t wavpcm -e signed -b 24", F::kAudioFileWAVE, F::kAudioFileInt24, F::kAudioFileLittleEndian, 0},
    {"WaveSigned32", "-t wavpcm -e signed -b 32", F::kAudioFileWAVE, F::kAudioFileInt32, F::kAudioFileLittleEndian, 0},
    {"WaveFloat32", "-t wavpcm -e floating-point -b 32", F::kAudioFileWAVE, F::kAudioFileFloat32,
     F::kAudioFileLittleEndian, 0},
    {"WaveFloat64", "-t wavpcm -e floating-point -b 64", F::kAudioFileWAVE, F::kAudioFileFloat64,
     F::kAudioFileLittleEndian, 0},
    {"RifxSigned16", "-t wavpcm -B -e signed -b 16", F::kAudioFileWAVE, F::kAudioFileInt16, F::kAudioFileBigEndian, 0},
    {"RifxSigned24", "-t wavpcm -B -e signed -b 24", F::kAudioFileWAVE, F::kAudioFileInt24, F::kAudioFileBigEndian, 0},
    {"RifxSigned32", "-t wavpcm -B -e signed -b 32", F::kAudioFileWAVE, F::kAudioFileInt32, F::kAudioFileBigEndian, 0},
    {"RifxFloat32", "-t wavpcm -B -e floating-point -b 32", F::kAudioFileWAVE, F::kAudioFileFloat32,
     F::kAudioFileBigEndian, 0},
    {"RifxFloat64", "-t wavpcm -B -e floating-point -b 64", F::kAudioFileWAVE, F::kAudioFileFloat64,
     F::kAudioFileBigEndian, 0},
    {"AiffSigned8", "-t aiff -e signed -b 8", F::kAudioFileAIFF, F::kAudioFileInt8, F::kAudioFileBigEndian, 0},
    {"AiffSigned16", "-t aiff -e signed -b 16", F::kAudioFileAIFF, F::kAudioFileInt16, F::kAudioFileBigEndian, 0},
    {"AiffSigned24", "-t aiff -e signed -b 24", F::kAudioFileAIFF, F::kAudioFileInt24, F::kAudioFileBigEndian, 0},
    {"AiffSigned32", "-t aiff -e signed -b 32", F::kAudioFileAIFF, F::kAudioFileInt32, F::kAudioFileBigEndian, 0},
    {"AifcNone16", "-t aifc -e signed -b 16", F::kAudioFileAIFC, F::kAudioFileInt16, F::kAudioFileBigEndian, 0},
    {"AifcFl32", "-t aifc -e floating-point -b 32", F::kAudioFileAIFC, F::kAudioFileFloat32, F::kAudioFileBigEndian, 0},
    {"AifcFl64", "-t aifc -e floating-point -b 64", F::kAudioFileAIFC, F::kAudioFileFloat64, F::kAudioFileBigEndian, 0},
    {"AifcSowt16", "-t aifc -e signed -b 16", F::kAudioFileAIFC, F::kAudioFileInt16, F::kAudioFileLittleEndian, 2},
    {"AifcSowt24", "-t aifc -e signed -b 24", F::kAudioFileAIFC, F::kAudioFileInt24, F::kAudioFileLittleEndian, 3},
    {"AifcSowt32", "-t aifc -e signed -b 32", F::kAudioFileAIFC, F::kAudioFileInt32, F::kAudioFileLittleEndian, 4},
};

INSTANTIATE_TEST_SUITE_P(SoxFiles, AudioFileAgainstLibsndfile, ::testing::ValuesIn(kSoxCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AudioFileReader, RefusesTheExtensibleWaveThatSoxWritesByDefault)
{
    // sox switches to the extensible header for integer samples above 16 bits.
    qirtest::TempDir dir;
    const std::string path = dir.path("extensible.wav");
    ASSERT_TRUE(qirtest::runSox("-n -r 48000 -c 2 -e signed -b 24 " + path + " synth 100s sine 440"));
    AudioFileReader reader(path);
    EXPECT_EQ(reader.getErrors(), std::vector<F::Error>{F::kErrWaveUnsupportedFormat});
    EXPECT_EQ(reader.getFrames(), 0u);
}

// One sample per case, decoded to double and to float.
struct ScalingCase
{
    const char* name;
    Bytes file;
    double expectedDouble;
    float expectedFloat;
};

TEST(AudioFileReader, ScalesIntegerExtremesExactly)
{
    const double top16 = 0.999969482421875;
    const double top24 = 8388607.0 / 8388608.0;
    const ScalingCase cases[] = {
        {"wave16 00 80", qirtest::waveFile(1, 1, 48000, 16, {0x00, 0x80}), -1.0, -1.0f},
        {"wave16 FF 7F", qirtest::waveFile(1, 1, 48000, 16, {0xFF, 0x7F}), top16, float(top16)},
        {"wave16 01 00", qirtest::waveFile(1, 1, 48000, 16, {0x01, 0x00}), 1.0 / 32768, 1.0f / 32768},
        {"rifx16 80 00", qirtest::waveFile(1, 1, 48000, 16, {0x80, 0x00}, true), -1.0, -1.0f},
        {"rifx16 7F FF", qirtest::waveFile(1, 1, 48000, 16, {0x7F, 0xFF}, true), top16, float(top16)},
        {"wave24 00 00 80", qirtest::waveFile(1, 1, 48000, 24, {0x00, 0x00, 0x80}), -1.0, -1.0f},
        {"wave24 FF FF 7F", qirtest::waveFile(1, 1, 48000, 24, {0xFF, 0xFF, 0x7F}), top24, float(top24)},
        {"rifx24 7F FF FF", qirtest::waveFile(1, 1, 48000, 24, {0x7F, 0xFF, 0xFF}, true), top24, float(top24)},
        {"wave32 FF FF FF 7F", qirtest::waveFile(1, 1, 48000, 32, {0xFF, 0xFF, 0xFF, 0x7F}), 0.9999999995343387, 1.0f},
        {"wave32 00 00 00 80", qirtest::waveFile(1, 1, 48000, 32, {0x00, 0x00, 0x00, 0x80}), -1.0, -1.0f},
        {"wave8 00", qirtest::waveFile(1, 1, 48000, 8, {0x00}), -1.0, -1.0f},
        {"wave8 80", qirtest::waveFile(1, 1, 48000, 8, {0x80}), 0.0, 0.0f},
        {"wave8 FF", qirtest::waveFile(1, 1, 48000, 8, {0xFF}), 0.9921875, 0.9921875f},
        {"aiff8 80", qirtest::aiffFile(1, 8, 48000, {0x80}), -1.0, -1.0f},
        {"aiff8 00", qirtest::aiffFile(1, 8, 48000, {0x00}), 0.0, 0.0f},
        {"aiff8 7F", qirtest::aiffFile(1, 8, 48000, {0x7F}), 0.9921875, 0.9921875f},
        {"aiff16 80 00", qirtest::aiffFile(1, 16, 48000, {0x80, 0x00}), -1.0, -1.0f},
        {"sowt16 00 80", qirtest::aiffFile(1, 16, 48000, {0x00, 0x80}, "sowt"), -1.0, -1.0f},
        {"sowt8 80 (byte order ignored)", qirtest::aiffFile(1, 8, 48000, {0x80}, "sowt"), -1.0, -1.0f},
        // Floats pass unchanged, infinities and NaN payloads included, and are not clipped.
        {"float32 1.5", qirtest::waveFile(3, 1, 48000, 32, {0x00, 0x00, 0xC0, 0x3F}), 1.5, 1.5f},
        {"float32 -inf", qirtest::waveFile(3, 1, 48000, 32, {0x00, 0x00, 0x80, 0xFF}),
         -std::numeric_limits<double>::infinity(), -std::numeric_limits<float>::infinity()},
        {"rifx float64 -2.25", qirtest::waveFile(3, 1, 48000, 64, {0xC0, 0x02, 0, 0, 0, 0, 0, 0}, true), -2.25,
         -2.25f},
        // Narrowing a double rounds to nearest: 1 + 2^-30 becomes 1.0f.
        {"float64 1+2^-30", qirtest::waveFile(3, 1, 48000, 64, {0, 0, 0x40, 0, 0, 0, 0xF0, 0x3F}),
         1.0 + std::ldexp(1.0, -30), 1.0f},
        {"fl32 big-endian 0.25", qirtest::aiffFile(1, 32, 48000, {0x3E, 0x80, 0x00, 0x00}, "fl32"), 0.25, 0.25f},
    };
    qirtest::TempDir dir;
    for (const ScalingCase& c : cases)
    {
        AudioFileReader reader(dir.write("scaling", c.file));
        ASSERT_FALSE(reader.getIsError()) << c.name;
        ASSERT_EQ(reader.getFrames(), 1u) << c.name;
        double valueDouble = 123.0;
        float valueFloat = 123.0f;
        reader.readChannel(&valueDouble, 1, 0);
        reader.seek(0);
        reader.readInterleaved(&valueFloat, 1);
        EXPECT_EQ(valueDouble, c.expectedDouble) << c.name;
        EXPECT_EQ(valueFloat, c.expectedFloat) << c.name;
    }
}

TEST(AudioFileReader, PassesNaNThrough)
{
    qirtest::TempDir dir;
    AudioFileReader reader(dir.write("nan.wav", qirtest::waveFile(3, 1, 48000, 32, {0x00, 0x00, 0xC0, 0x7F})));
    float value = 0.0f;
    reader.readChannel(&value, 1, 0);
    EXPECT_TRUE(std::isnan(value));
}

// A 3-channel 16-bit file whose sample at (frame, channel) is frame * 3 + channel + 1.
Bytes countingWave(unsigned frames, bool bigEndian = false)
{
    ByteWriter samples(bigEndian);
    for (unsigned i = 0; i < frames * 3; ++i)
        samples.u16(uint16_t(i + 1));
    return qirtest::waveFile(1, 3, 48000, 16, samples.data(), bigEndian);
}

double countingValue(size_t frame, size_t channel)
{
    return double(frame * 3 + channel + 1) / 32768.0;
}

TEST(AudioFileReader, ReadsOneChannelOrAllAndTracksThePosition)
{
    qirtest::TempDir dir;
    constexpr unsigned frames = 3000;
    AudioFileReader reader(dir.write("counting.wav", countingWave(frames)));
    ASSERT_FALSE(reader.getIsError());

    std::vector<double> middle(frames);
    reader.readChannel(middle.data(), frames, 1);
    EXPECT_EQ(reader.getPosition(), frames);
    for (size_t i = 0; i < frames; ++i)
        ASSERT_EQ(middle[i], countingValue(i, 1)) << i;

    reader.seek(0);
    EXPECT_EQ(reader.getPosition(), 0u);
    std::vector<double> all(frames * 3);
    reader.readInterleaved(all.data(), frames);
    for (size_t i = 0; i < frames * 3; ++i)
        ASSERT_EQ(all[i], countingValue(i / 3, i % 3)) << i;

    reader.seek(1234);
    EXPECT_EQ(reader.getPosition(), 1234u);
    double value = 0.0;
    reader.readChannel(&value, 1, 2);
    EXPECT_EQ(value, countingValue(1234, 2));
    EXPECT_EQ(reader.getPosition(), 1235u);
}

TEST(AudioFileReader, RifxAndRiffHoldingTheSameValuesDecodeIdentically)
{
    qirtest::TempDir dir;
    AudioFileReader little(dir.write("little.wav", countingWave(1500)));
    AudioFileReader big(dir.write("big.wav", countingWave(1500, true)));
    std::vector<float> fromLittle(4500);
    std::vector<float> fromBig(4500);
    little.readInterleaved(fromLittle.data(), 1500);
    big.readInterleaved(fromBig.data(), 1500);
    EXPECT_EQ(fromLittle, fromBig);
    EXPECT_EQ(fromBig[4499], float(countingValue(1499, 2)));
}

TEST(AudioFileReader, BlockwiseReadsEqualOneRead)
{
    qirtest::TempDir dir;
    constexpr unsigned frames = 2500;
    AudioFileReader reader(dir.write("counting.wav", countingWave(frames)));
    std::vector<float> whole(frames);
    reader.readChannel(whole.data(), frames, 2);

    for (unsigned piece : {1u, 7u, 452u, 1023u, 1024u, 1025u})
    {
        reader.seek(0);
        std::vector<float> pieces(frames);
        for (unsigned at = 0; at < frames; at += piece)
            reader.readChannel(pieces.data() + at, std::min(piece, frames - at), 2);
        EXPECT_EQ(pieces, whole) << piece;
    }
}

TEST(AudioFileReader, ReadRawCopiesFramesAsStored)
{
    qirtest::TempDir dir;
    const Bytes samples{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    AudioFileReader reader(dir.write("raw.wav", qirtest::waveFile(1, 2, 48000, 24, samples)));
    ASSERT_EQ(reader.getFrameByteCount(), 6u);

    uint8_t frame[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    reader.readRaw(frame, 1);
    EXPECT_EQ(Bytes(frame, frame + 6), Bytes(samples.begin(), samples.begin() + 6));
    EXPECT_EQ(frame[6], 0xEE);
    EXPECT_EQ(reader.getPosition(), 1u);
    reader.readRaw(frame, 1);
    EXPECT_EQ(Bytes(frame, frame + 6), Bytes(samples.begin() + 6, samples.end()));
    // Past the data: zero bytes, never the bytes of whatever follows.
    reader.readRaw(frame, 1);
    EXPECT_EQ(Bytes(frame, frame + 6), Bytes(6, 0));
    EXPECT_EQ(frame[6], 0xEE);
}

TEST(AudioFileReader, SeekRecoversAfterReachingTheEndOfTheFile)
{
    qirtest::TempDir dir;
    AudioFileReader reader(dir.write("counting.wav", countingWave(100)));
    std::vector<double> first(100);
    reader.readChannel(first.data(), 100, 0);
    double beyond[3] = {7, 7, 7};
    reader.readChannel(beyond, 3, 0);
    EXPECT_EQ(beyond[0], 0.0);
    EXPECT_EQ(beyond[2], 0.0);

    reader.seek(0);
    EXPECT_EQ(reader.getPosition(), 0u);
    std::vector<double> again(100);
    reader.readChannel(again.data(), 100, 0);
    EXPECT_EQ(again, first);
    EXPECT_EQ(again[99], countingValue(99, 0));

    reader.seek(99);
    double last = 0.0;
    reader.readChannel(&last, 1, 0);
    EXPECT_EQ(last, countingValue(99, 0));
}

// Reads outside what the file delivers. Every case checks that the caller's values
// past numFrames stay untouched (a guard region filled with a marker).
TEST(AudioFileReader, ReadsZerosForEverythingTheFileDoesNotDeliver)
{
    qirtest::TempDir dir;
    constexpr float kMarker = -12345.0f;
    constexpr size_t kGuard = 64;

    struct Case
    {
        const char* name;
        Bytes file;
        unsigned seekTo;
        unsigned numFrames;
        int channel; // -1 interleaved
        size_t realFrames; // frames read from the file before the zeros start
    };
    ByteWriter truncated(false);
    truncated.chunk("fmt ", qirtest::waveFormatChunk(1, 3, 48000, 16, false));
    {
        ByteWriter samples(false);
        for (unsigned i = 0; i < 10 * 3 + 2; ++i) // ten frames and two samples of the next
            samples.u16(uint16_t(i + 1));
        truncated.chunkWithSize("data", 3000 * 6, samples.data());
    }
    ByteWriter trailing(false);
    {
        ByteWriter samples(false);
        for (unsigned i = 0; i < 30; ++i)
            samples.u16(uint16_t(i + 1));
        trailing.chunk("fmt ", qirtest::waveFormatChunk(1, 3, 48000, 16, false))
            .chunk("data", samples.data())
            .chunk("LIST", Bytes(600, 0x55));
    }
    const Case cases[] = {
        {"past the data end", countingWave(10), 0, 2100, -1, 10},
        {"past the data end, one channel", countingWave(10), 4, 2100, 1, 10},
        {"starting beyond the end", countingWave(10), 5000, 1500, -1, 0},
        {"declared data larger than the file", qirtest::container("RIFF", "WAVE", truncated.data()), 0, 3000, -1,
         10},
        {"declared data larger than the file, one channel", qirtest::container("RIFF", "WAVE", truncated.data()), 0,
         3000, 2, 10},
        {"trailing chunk after the data", qirtest::container("RIFF", "WAVE", trailing.data()), 0, 100, -1, 10},
        {"channel above the count", countingWave(10), 0, 10, 3, 0},
        {"channel far above the count", countingWave(10), 0, 10, 65535, 0},
    };
    for (const Case& c : cases)
    {
        AudioFileReader reader(dir.write("case.wav", c.file));
        ASSERT_FALSE(reader.getIsError()) << c.name;
        const size_t perFrame = c.channel < 0 ? reader.getChannels() : 1;
        std::vector<float> output(c.numFrames * perFrame + kGuard, kMarker);
        reader.seek(c.seekTo);
        if (c.channel < 0)
            reader.readInterleaved(output.data(), c.numFrames);
        else
            reader.readChannel(output.data(), c.numFrames, static_cast<unsigned short>(c.channel));

        for (size_t i = 0; i < c.numFrames * perFrame; ++i)
        {
            const size_t frame = c.seekTo + i / perFrame;
            const size_t channel = c.channel < 0 ? i % perFrame : size_t(c.channel);
            const float expected = frame < c.realFrames ? float(countingValue(frame, channel)) : 0.0f;
            ASSERT_EQ(output[i], expected) << c.name << ", value " << i;
        }
        for (size_t i = c.numFrames * perFrame; i < output.size(); ++i)
            ASSERT_EQ(output[i], kMarker) << c.name << ", guard " << i;
        EXPECT_EQ(reader.getPosition(), c.seekTo + c.numFrames) << c.name;
    }
}

TEST(AudioFileReader, EightBitWaveReadsSilenceNotFullScaleNegativePastTheEnd)
{
    // In offset binary a zero byte is -1.0: undelivered frames must be zero samples.
    qirtest::TempDir dir;
    AudioFileReader reader(dir.write("u8.wav", qirtest::waveFile(1, 1, 48000, 8, {0xFF, 0x00})));
    ASSERT_EQ(reader.getFrames(), 2u);
    double values[5] = {7, 7, 7, 7, 7};
    reader.readChannel(values, 4, 0);
    EXPECT_EQ(values[0], 0.9921875);
    EXPECT_EQ(values[1], -1.0);
    EXPECT_EQ(values[2], 0.0);
    EXPECT_EQ(values[3], 0.0);
    EXPECT_EQ(values[4], 7.0);
}

TEST(AudioFileReader, FailedParseReadsZerosAndWritesNothingBeyondTheRequest)
{
    qirtest::TempDir dir;
    // Fails on "FVER" after "COMM" has set 2 channels and 500 frames.
    ByteWriter chunks(true);
    chunks.chunk("COMM", qirtest::aiffCommon(2, 500, 16, 44100))
        .chunk("SSND", ByteWriter(true).u32(0).u32(0).bytes(Bytes(2000, 0x41)).data())
        .chunk("FVER", ByteWriter(true).u32(7).data());
    AudioFileReader reader(dir.write("failed.aif", qirtest::container("FORM", "AIFF", chunks.data())));
    ASSERT_EQ(reader.getErrorFlags(), F::kErrAIFCWrongVersion);
    ASSERT_EQ(reader.getFrames(), 500u);
    ASSERT_EQ(reader.getChannels(), 2);

    std::vector<double> interleaved(1000 + 8, 9.0);
    reader.readInterleaved(interleaved.data(), 500);
    for (size_t i = 0; i < 1000; ++i)
        ASSERT_EQ(interleaved[i], 0.0) << i;
    EXPECT_EQ(interleaved[1000], 9.0);

    std::vector<float> channel(500 + 8, 9.0f);
    reader.readChannel(channel.data(), 500, 1);
    EXPECT_EQ(std::count(channel.begin(), channel.begin() + 500, 0.0f), 500);
    EXPECT_EQ(channel[500], 9.0f);

    std::vector<uint8_t> raw(2000 + 8, 9);
    reader.readRaw(raw.data(), 500);
    EXPECT_EQ(std::count(raw.begin(), raw.begin() + 2000, 0), 2000);
    EXPECT_EQ(raw[2000], 9);

    // A reader that never opened a file writes nothing for its zero channels.
    AudioFileReader closed("");
    double untouched = 9.0;
    closed.readInterleaved(&untouched, 100);
    closed.readRaw(&untouched, 100);
    EXPECT_EQ(untouched, 9.0);
    closed.readChannel(&untouched, 1, 0);
    EXPECT_EQ(untouched, 0.0);
}

TEST(AudioFileReader, ReadsFilesWithVeryManyChannels)
{
    // 65535 channels of doubles: a frame is half a megabyte, so the reader must
    // convert a couple of frames per block rather than 1024 of them.
    constexpr unsigned channels = 65535;
    constexpr unsigned frames = 5;
    ByteWriter samples(false);
    std::vector<double> expected;
    for (unsigned i = 0; i < channels * frames; ++i)
    {
        const double value = double(i) * 0.25 - 1000.0;
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        samples.u32(uint32_t(bits)).u32(uint32_t(bits >> 32));
        expected.push_back(value);
    }
    qirtest::TempDir dir;
    AudioFileReader reader(dir.write("wide.wav", qirtest::waveFile(3, uint16_t(channels), 48000, 64, samples.data())));
    ASSERT_FALSE(reader.getIsError());
    ASSERT_EQ(reader.getFrames(), frames);

    std::vector<double> all(size_t(channels) * frames);
    reader.readInterleaved(all.data(), frames);
    EXPECT_EQ(all, expected);

    std::vector<double> last(frames);
    reader.seek(0);
    reader.readChannel(last.data(), frames, channels - 1);
    for (size_t f = 0; f < frames; ++f)
        EXPECT_EQ(last[f], expected[f * channels + channels - 1]);
}

TEST(AudioFileReader, ReadsWithoutAllocating)
{
    qirtest::TempDir dir;
    AudioFileReader reader(dir.write("counting.wav", countingWave(3000)));
    std::vector<float> output(3000 * 3);
    qirtest::AllocationCounter counter;
    reader.readInterleaved(output.data(), 3000);
    reader.seek(0);
    reader.readChannel(output.data(), 3000, 1);
    reader.readChannel(output.data(), 100, 1); // past the end
    EXPECT_EQ(counter.count(), 0u);
}

} // namespace
