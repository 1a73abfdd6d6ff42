#pragma once

// Format description of an audio file (container, sample encoding, byte orders,
// channel and frame counts, where the samples start) and the error bits collected
// while a file is opened. Readers derive from it and fill it in as they parse.

#include <cstdint>
#include <string>
#include <vector>

namespace dspkit
{

class AudioFileFormat
{
public:
    enum FileType : int
    {
        kAudioFileNone = 0,
        kAudioFileAIFF = 1,
        kAudioFileAIFC = 2,
        kAudioFileWAVE = 3
    };

    enum PCMFormat : int
    {
        kAudioFileInt8 = 0,
        kAudioFileInt16 = 1,
        kAudioFileInt24 = 2,
        kAudioFileInt32 = 3,
        kAudioFileFloat32 = 4,
        kAudioFileFloat64 = 5
    };

    enum Endianness : int
    {
        kAudioFileLittleEndian = 0,
        kAudioFileBigEndian = 1
    };

    enum NumberFormat : int
    {
        kAudioFileInt = 0,
        kAudioFileFloat = 1
    };

    // Single bits, OR-ed into one flag word.
    enum Error : int
    {
        kErrNone = 0,
        kErrMemCouldNotAllocate = 1,
        kErrFileError = 2,
        kErrFileCouldNotOpen = 4,
        kErrFileBadFormat = 8,
        kErrFileUnknownFormat = 16,
        kErrFileUnsupportedPCMFormat = 32,
        kErrAIFCWrongVersion = 64,
        kErrAIFCUnsupportedFormat = 128,
        kErrWaveUnsupportedFormat = 256,
        kErrFileCouldNotWrite = 512
    };

    AudioFileFormat() = default;
    virtual ~AudioFileFormat() = default;

    AudioFileFormat(const AudioFileFormat&) = delete;
    AudioFileFormat& operator=(const AudioFileFormat&) = delete;

    // Resets every field and the error bits to the state after construction.
    virtual void close();
    [[nodiscard]] virtual bool isOpen() const = 0;
    virtual void seek(unsigned int frame) = 0;
    [[nodiscard]] virtual unsigned int getPosition() = 0;

    FileType getFileType() const { return mFileType; }
    PCMFormat getPCMFormat() const { return mPCMFormat; }
    Endianness getHeaderEndianness() const { return mHeaderEndianness; }
    Endianness getAudioEndianness() const { return mAudioEndianness; }
    double getSamplingRate() const { return mSamplingRate; }
    uint16_t getChannels() const { return mChannels; }
    uint32_t getFrames() const { return mFrames; }
    uint64_t getPCMOffset() const { return mPCMOffset; }

    uint16_t getBitDepth() const { return findBitDepth(mPCMFormat); }
    uint16_t getByteDepth() const { return findByteDepth(mPCMFormat); }
    uint64_t getFrameByteCount() const { return uint64_t(getByteDepth()) * mChannels; }
    NumberFormat getNumberFormat() const { return findNumberFormat(mPCMFormat); }

    int getErrorFlags() const { return mErrorFlags; }
    bool getIsError() const { return mErrorFlags != 0; }
    std::vector<Error> getErrors() const { return extractErrorsFromFlags(mErrorFlags); }
    void clearErrorFlags() { mErrorFlags = 0; }

    // Any value outside the table (also kAudioFileInt8) gives 8 bits and 1 byte.
    static uint16_t findBitDepth(PCMFormat format);
    static uint16_t findByteDepth(PCMFormat format);
    static NumberFormat findNumberFormat(PCMFormat format);

    static std::string getErrorString(Error error);
    // The set bits among the low 16, in ascending order, as Error values.
    static std::vector<Error> extractErrorsFromFlags(int flags);

protected:
    void setFileType(FileType type) { mFileType = type; }
    void setPCMFormat(PCMFormat format) { mPCMFormat = format; }
    void setHeaderEndianness(Endianness endianness) { mHeaderEndianness = endianness; }
    void setAudioEndianness(Endianness endianness) { mAudioEndianness = endianness; }
    void setSamplingRate(double rate) { mSamplingRate = rate; }
    void setChannels(uint16_t channels) { mChannels = channels; }
    void setFrames(uint32_t frames) { mFrames = frames; }
    void setPCMOffset(uint64_t offset) { mPCMOffset = offset; }
    void setErrorFlags(int flags) { mErrorFlags = flags; }
    void setErrorBit(Error error) { mErrorFlags |= error; }

private:
    FileType mFileType = kAudioFileNone;
    PCMFormat mPCMFormat = kAudioFileInt8;
    Endianness mHeaderEndianness = kAudioFileLittleEndian;
    Endianness mAudioEndianness = kAudioFileLittleEndian;
    double mSamplingRate = 0.0;
    uint16_t mChannels = 0;
    uint32_t mFrames = 0;
    uint64_t mPCMOffset = 0;
    int mErrorFlags = 0;
};

} // namespace dspkit
