#include "audiofile/AudioFileFormat.h"

namespace dspkit
{

namespace
{
// Indexed by format - 1: the 8-bit format sits outside the tables on purpose, so
// that any unknown value falls back to the smallest sample.
constexpr uint16_t kBitDepths[5] = {16, 24, 32, 32, 64};
constexpr uint16_t kByteDepths[5] = {2, 3, 4, 4, 8};

bool inTable(AudioFileFormat::PCMFormat format)
{
    return format >= AudioFileFormat::kAudioFileInt16 && format <= AudioFileFormat::kAudioFileFloat64;
}
} // namespace

void AudioFileFormat::close()
{
    mFileType = kAudioFileNone;
    mPCMFormat = kAudioFileInt8;
    mHeaderEndianness = kAudioFileLittleEndian;
    mAudioEndianness = kAudioFileLittleEndian;
    mSamplingRate = 0.0;
    mChannels = 0;
    mFrames = 0;
    mPCMOffset = 0;
    mErrorFlags = 0;
}

uint16_t AudioFileFormat::findBitDepth(PCMFormat format)
{
    return inTable(format) ? kBitDepths[format - 1] : 8;
}

uint16_t AudioFileFormat::findByteDepth(PCMFormat format)
{
    return inTable(format) ? kByteDepths[format - 1] : 1;
}

AudioFileFormat::NumberFormat AudioFileFormat::findNumberFormat(PCMFormat format)
{
    return (format == kAudioFileFloat32 || format == kAudioFileFloat64) ? kAudioFileFloat : kAudioFileInt;
}

std::string AudioFileFormat::getErrorString(Error error)
{
    switch (error)
    {
    case kErrNone: return "no error";
    case kErrMemCouldNotAllocate: return "mem could not allocate";
    case kErrFileError: return "file error";
    case kErrFileCouldNotOpen: return "file couldn't open";
    case kErrFileBadFormat: return "file bad format";
    case kErrFileUnknownFormat: return "file unknown format";
    case kErrFileUnsupportedPCMFormat: return "file unsupported pcm format";
    case kErrAIFCWrongVersion: return "aifc wrong version";
    case kErrAIFCUnsupportedFormat: return "aifc unsupported format";
    case kErrWaveUnsupportedFormat: return "wave unsupported format";
    case kErrFileCouldNotWrite: return "file couldn't write";
    }
    // Every larger value shares the last message; smaller gaps name no error bit.
    return static_cast<int>(error) > 127 ? "file couldn't write" : "unknown error";
}

std::vector<AudioFileFormat::Error> AudioFileFormat::extractErrorsFromFlags(int flags)
{
    std::vector<Error> errors;
    for (int bit = 0; bit < 16; ++bit)
    {
        if (flags & (1 << bit))
            errors.push_back(static_cast<Error>(1 << bit));
    }
    return errors;
}

} // namespace dspkit
