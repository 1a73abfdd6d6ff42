// Opens arbitrary bytes as an audio file and reads every channel, interleaved and
// one at a time, in blocks and past the end. Besides the sanitizers' findings it
// traps when a read breaks the reader's promises: zeros for everything the file
// does not deliver, and the position numFrames further on after each read.

#include "audiofile/AudioFileReader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Interleaved values per read, so that a header declaring 65535 channels and
// 4 billion frames costs the fuzzer a bounded amount of memory and time.
constexpr size_t kMaxValues = size_t(1) << 15;
constexpr unsigned kFramesPastEnd = 37;
constexpr unsigned kBlockFrames = 700;

const std::string& scratchPath()
{
    static const std::string path = [] {
        const char* folder = std::getenv("TMPDIR");
        return std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/qir-audiofile-fuzz-" +
               std::to_string(::getpid()) + ".bin";
    }();
    return path;
}

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

template <typename T>
bool allZero(const std::vector<T>& values, size_t from)
{
    return std::all_of(values.begin() + long(std::min(from, values.size())), values.end(),
                       [](T v) { return v == T(0); });
}

template <typename T>
void readEveryChannel(dspkit::AudioFileReader& reader, unsigned numFrames, size_t fileBytes)
{
    const unsigned channels = reader.getChannels();
    const bool readable = !reader.getIsError();
    // Values from this frame on lie outside the declared data or outside the file.
    const uint64_t offset = reader.getPCMOffset();
    const uint64_t frameBytes = reader.getFrameByteCount();
    const uint64_t framesInFile = (readable && offset < fileBytes) ? (fileBytes - offset) / frameBytes : 0;
    const size_t dataFrames = readable ? size_t(std::min<uint64_t>({reader.getFrames(), framesInFile, numFrames})) : 0;

    std::vector<T> interleaved(size_t(numFrames) * channels);
    reader.seek(0);
    for (unsigned at = 0; at < numFrames; at += kBlockFrames)
        reader.readInterleaved(interleaved.data() + size_t(at) * channels, std::min(kBlockFrames, numFrames - at));
    check(allZero(interleaved, dataFrames * channels));
    // An AIFF without frames may lack "SSND" and so a PCM offset; its position stays 0.
    if (readable && offset != 0)
        check(reader.getPosition() == numFrames);

    // Every channel, then one past the last, which must read as zeros.
    std::vector<T> channel(numFrames);
    const unsigned channelsToRead = std::min(channels, 16u);
    for (unsigned c = 0; c <= channelsToRead; ++c)
    {
        const unsigned short index = static_cast<unsigned short>(c == channelsToRead ? channels : c);
        reader.seek(0);
        reader.readChannel(channel.data(), numFrames, index);
        check(allZero(channel, index < channels ? dataFrames : 0));
        for (size_t f = 0; index < channels && f < numFrames; ++f)
        {
            const T a = channel[f];
            const T b = interleaved[f * channels + index];
            check(a == b || (a != a && b != b));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        std::FILE* file = std::fopen(scratchPath().c_str(), "wb");
        if (file == nullptr)
            return 0;
        const size_t written = std::fwrite(data, 1, size, file);
        std::fclose(file);
        if (written != size)
            return 0;
    }

    dspkit::AudioFileReader reader(scratchPath());
    for (dspkit::AudioFileFormat::Error error : reader.getErrors())
        check(!dspkit::AudioFileFormat::getErrorString(error).empty());
    check(reader.getPosition() == 0);

    const unsigned channels = std::max(1u, unsigned(reader.getChannels()));
    const size_t framesFitting = kMaxValues / channels;
    const unsigned numFrames = unsigned(std::min<size_t>(size_t(reader.getFrames()) + kFramesPastEnd, framesFitting));

    readEveryChannel<float>(reader, numFrames, size);
    readEveryChannel<double>(reader, numFrames, size);

    std::vector<uint8_t> raw(size_t(numFrames) * reader.getFrameByteCount());
    reader.seek(0);
    reader.readRaw(raw.data(), numFrames);
    if (reader.getIsError())
        check(allZero(raw, 0));

    // A seek far beyond the end, then reading there.
    reader.seek(0xFFFFFFFFu);
    std::vector<float> beyond(size_t(std::min(numFrames, 8u)) * reader.getChannels());
    reader.readInterleaved(beyond.data(), std::min(numFrames, 8u));
    check(allZero(beyond, 0));

    reader.close();
    check(!reader.isOpen() && reader.getChannels() == 0 && reader.getPosition() == 0);
    return 0;
}
