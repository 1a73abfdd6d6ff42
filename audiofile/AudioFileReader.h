#pragma once

// Reader for WAVE (RIFF and RIFX), AIFF and AIFC files: parses the container on
// open and converts sample frames to float or double, interleaved or one channel.
//
// The files it opens are not trusted (decoder sets come from a resource folder
// anyone can write to), so every read is bounded twice: by the sample data the
// header declares and by the bytes the file really holds. Whatever lies outside
// both reads as zeros, and nothing beyond the caller's frame count is written.
//
// One thread uses an instance at a time; it does file I/O and so never runs on
// the audio thread (decoder sets are read on their loading thread).

#include "audiofile/AudioFileFormat.h"
#include "audiofile/ChunkWalker.h"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

namespace dspkit
{

class AudioFileReader : public AudioFileFormat
{
public:
    // The bits of the AIFF chunk walk's found and required masks.
    enum AiffTag : int
    {
        kAiffTagUnknown = 0,
        kAiffTagVersion = 1,
        kAiffTagCommon = 2,
        kAiffTagAudio = 4
    };

    enum AIFCCompression : int
    {
        kAIFCCompressionUnknown = 0,
        kAIFCCompressionNone = 1,
        kAIFCCompressionLittleEndian = 2,
        kAIFCCompressionFloat = 3
    };

    // Frames converted per stream read.
    static constexpr unsigned int kBlockFrames = 1024;
    // Upper bound of the conversion buffer. Files whose frames are so wide that
    // kBlockFrames of them would not fit (more than 128 channels of doubles) are
    // read in proportionally shorter blocks, so a header declaring 65535 channels
    // cannot make the reader claim half a gigabyte.
    static constexpr size_t kMaxConversionBytes = size_t(1) << 20;

    explicit AudioFileReader(const std::string& path);
    ~AudioFileReader() override;

    // Closes any open file, then opens and parses the one at path. An empty path
    // leaves the reader closed without an error bit. The position is frame 0.
    void open(const std::string& path);
    void close() override;
    [[nodiscard]] bool isOpen() const override;

    // Moves to the given frame; positions beyond the data are allowed and read as zeros.
    void seek(unsigned int frame) override;
    // The current frame; 0 while no file has been parsed.
    [[nodiscard]] unsigned int getPosition() override;

    // Copies numFrames frames exactly as stored. Frames the file does not hold, and
    // every frame of a reader whose open or parse failed, are written as zero bytes.
    void readRaw(void* output, unsigned int numFrames) noexcept;
    // Writes numFrames x getChannels() values, frame-major.
    void readInterleaved(double* output, unsigned int numFrames) noexcept;
    void readInterleaved(float* output, unsigned int numFrames) noexcept;
    // Writes numFrames values of one channel. A channel at or above getChannels()
    // yields zeros.
    void readChannel(double* output, unsigned int numFrames, unsigned short channel) noexcept;
    void readChannel(float* output, unsigned int numFrames, unsigned short channel) noexcept;

    // Case-sensitive match of the four-character compression type of an AIFC "COMM".
    static AIFCCompression getAIFCCompression(const char* code);
    // kErrNone with format written, or kErrFileUnsupportedPCMFormat with format untouched.
    static Error findPCMFormat(unsigned short bits, NumberFormat numberFormat, PCMFormat& format);
    static bool matchTag(const char* a, const char* b);
    static uint16_t getU16(const char* bytes, Endianness endianness);
    static uint32_t getU24(const char* bytes, Endianness endianness);
    static uint32_t getU32(const char* bytes, Endianness endianness);
    static uint64_t getU64(const char* bytes, Endianness endianness);
    // IEEE 754 80-bit extended (the AIFF sample rate) to double; exponent 0x7FFF is +infinity.
    static double extendedToDouble(const char* bytes);

private:
    using AudioFileFormat::setPCMFormat;

    template <typename T>
    void readAudio(T* output, unsigned int numFrames, int channel) noexcept;

    void parseHeader();
    void parseWaveHeader(const char* containerId);
    void parseAIFFHeader(const char* formType);

    // Positional reads for the chunk walk, through this reader's stream.
    [[nodiscard]] ReadAt chunkReader();
    [[nodiscard]] bool readChunk(char* data, unsigned int readSize, unsigned int chunkSize);
    [[nodiscard]] static AiffTag aiffTag(const char* id);
    void setPCMFormat(unsigned short bits, NumberFormat numberFormat);

    // True when the file parsed without error, so that its samples may be read.
    bool canRead() const;
    // Reads numFrames frames at the current position into destination, which holds
    // numFrames x frame byte count bytes, and returns the whole frames delivered.
    // Bytes of frames that lie outside the sample data or the file are zeroed; the
    // position always ends numFrames frames further on.
    unsigned int readFrames(unsigned char* destination, unsigned int numFrames) noexcept;

    uint64_t positionInternal();
    bool seekInternal(uint64_t position);
    bool advanceInternal(uint64_t bytes);
    [[nodiscard]] bool readInternal(char* data, size_t size);
    // Bytes delivered, which may be fewer than asked for.
    size_t readAvailable(char* data, size_t size) noexcept;

    std::ifstream mFile;
    std::unique_ptr<unsigned char[]> mBuffer;
    // Frames the conversion buffer holds: kBlockFrames unless the frames are very wide.
    unsigned int mBufferFrames = 0;
    // Real length of the file and end of the declared sample data, both in bytes.
    uint64_t mFileBytes = 0;
    uint64_t mDataEnd = 0;
};

} // namespace dspkit
