#include "audiofile/AudioFileReader.h"

#include "audiofile/ChunkWalker.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

namespace dspkit
{

namespace
{

constexpr uint32_t kAIFCVersion1 = 0xA2805140;

// Integer samples are placed in the top bytes of a 32-bit word and scaled by 2^-31,
// so every width shares one scale and full-scale negative is exactly -1.
template <typename T>
constexpr T kIntScale = T(1) / T(2147483648.0);

inline uint32_t byteAt(const unsigned char* bytes, size_t index)
{
    return bytes[index];
}

template <typename T, AudioFileFormat::PCMFormat Format, bool BigEndian, bool OffsetBinary>
inline T decodeSample(const unsigned char* b)
{
    if constexpr (Format == AudioFileFormat::kAudioFileInt8)
    {
        if constexpr (OffsetBinary)
            return (T(b[0]) - T(128)) * T(0.0078125);
        else
            return T(static_cast<int32_t>(byteAt(b, 0) << 24)) * kIntScale<T>;
    }
    else if constexpr (Format == AudioFileFormat::kAudioFileInt16)
    {
        const uint32_t w = BigEndian ? (byteAt(b, 0) << 24 | byteAt(b, 1) << 16)
                                     : (byteAt(b, 1) << 24 | byteAt(b, 0) << 16);
        return T(static_cast<int32_t>(w)) * kIntScale<T>;
    }
    else if constexpr (Format == AudioFileFormat::kAudioFileInt24)
    {
        const uint32_t w = BigEndian ? (byteAt(b, 0) << 24 | byteAt(b, 1) << 16 | byteAt(b, 2) << 8)
                                     : (byteAt(b, 2) << 24 | byteAt(b, 1) << 16 | byteAt(b, 0) << 8);
        return T(static_cast<int32_t>(w)) * kIntScale<T>;
    }
    else if constexpr (Format == AudioFileFormat::kAudioFileInt32)
    {
        const uint32_t w = BigEndian
            ? (byteAt(b, 0) << 24 | byteAt(b, 1) << 16 | byteAt(b, 2) << 8 | byteAt(b, 3))
            : (byteAt(b, 3) << 24 | byteAt(b, 2) << 16 | byteAt(b, 1) << 8 | byteAt(b, 0));
        return T(static_cast<int32_t>(w)) * kIntScale<T>;
    }
    else if constexpr (Format == AudioFileFormat::kAudioFileFloat32)
    {
        uint32_t w = BigEndian
            ? (byteAt(b, 0) << 24 | byteAt(b, 1) << 16 | byteAt(b, 2) << 8 | byteAt(b, 3))
            : (byteAt(b, 3) << 24 | byteAt(b, 2) << 16 | byteAt(b, 1) << 8 | byteAt(b, 0));
        float value;
        std::memcpy(&value, &w, sizeof value);
        return T(value);
    }
    else
    {
        uint64_t w = 0;
        for (size_t i = 0; i < 8; ++i)
            w = (w << 8) | uint64_t(b[BigEndian ? i : 7 - i]);
        double value;
        std::memcpy(&value, &w, sizeof value);
        return T(value);
    }
}

template <typename T, AudioFileFormat::PCMFormat Format, bool BigEndian, bool OffsetBinary>
void convertValues(const unsigned char* __restrict input, size_t stride, T* __restrict output, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        output[i] = decodeSample<T, Format, BigEndian, OffsetBinary>(input + i * stride);
}

template <typename T>
using Converter = void (*)(const unsigned char*, size_t, T*, size_t);

template <typename T, AudioFileFormat::PCMFormat Format>
Converter<T> pickByteOrder(bool bigEndian)
{
    return bigEndian ? &convertValues<T, Format, true, false> : &convertValues<T, Format, false, false>;
}

template <typename T>
Converter<T> pickConverter(AudioFileFormat::PCMFormat format, bool bigEndian, bool wave)
{
    switch (format)
    {
    case AudioFileFormat::kAudioFileInt8:
        // WAVE stores 8-bit samples as unsigned offset binary, the others as signed.
        return wave ? &convertValues<T, AudioFileFormat::kAudioFileInt8, false, true>
                    : &convertValues<T, AudioFileFormat::kAudioFileInt8, false, false>;
    case AudioFileFormat::kAudioFileInt16: return pickByteOrder<T, AudioFileFormat::kAudioFileInt16>(bigEndian);
    case AudioFileFormat::kAudioFileInt24: return pickByteOrder<T, AudioFileFormat::kAudioFileInt24>(bigEndian);
    case AudioFileFormat::kAudioFileInt32: return pickByteOrder<T, AudioFileFormat::kAudioFileInt32>(bigEndian);
    case AudioFileFormat::kAudioFileFloat32: return pickByteOrder<T, AudioFileFormat::kAudioFileFloat32>(bigEndian);
    case AudioFileFormat::kAudioFileFloat64: return pickByteOrder<T, AudioFileFormat::kAudioFileFloat64>(bigEndian);
    }
    return nullptr;
}

} // namespace

AudioFileReader::AudioFileReader(const std::string& path)
{
    open(path);
}

AudioFileReader::~AudioFileReader()
{
    AudioFileReader::close();
}

void AudioFileReader::open(const std::string& path)
{
    close();
    if (path.empty())
        return;

    // Only regular files: opening a FIFO would block the loading thread until some
    // writer appeared, and a folder opens but has no bytes to read.
    std::error_code statusError;
    const bool regular = std::filesystem::is_regular_file(path, statusError);
    if (regular)
        mFile.open(path, std::ios::in | std::ios::binary);
    if (!mFile.is_open())
    {
        setErrorBit(kErrFileCouldNotOpen);
        return;
    }

    mFile.seekg(0, std::ios::end);
    const std::streamoff length = mFile.tellg();
    mFileBytes = length > 0 ? uint64_t(length) : 0;
    seekInternal(0);

    parseHeader();

    const uint64_t frameBytes = getFrameByteCount();
    if (frameBytes > 0)
    {
        mBufferFrames = unsigned(std::clamp<uint64_t>(kMaxConversionBytes / frameBytes, 1, kBlockFrames));
        mBuffer = std::make_unique<unsigned char[]>(size_t(frameBytes * mBufferFrames));
    }
    mDataEnd = getPCMOffset() + uint64_t(getFrames()) * frameBytes;

    seek(0);
}

void AudioFileReader::close()
{
    if (mFile.is_open())
        mFile.close();
    mFile.clear();
    mBuffer.reset();
    mBufferFrames = 0;
    mFileBytes = 0;
    mDataEnd = 0;
    AudioFileFormat::close();
}

bool AudioFileReader::isOpen() const
{
    return mFile.is_open();
}

void AudioFileReader::seek(unsigned int frame)
{
    if (!isOpen())
        return;
    seekInternal(getPCMOffset() + uint64_t(frame) * getFrameByteCount());
}

unsigned int AudioFileReader::getPosition()
{
    const uint64_t frameBytes = getFrameByteCount();
    if (getPCMOffset() == 0 || frameBytes == 0 || !isOpen())
        return 0;
    const uint64_t position = positionInternal();
    if (position <= getPCMOffset())
        return 0;
    const uint64_t frame = (position - getPCMOffset()) / frameBytes;
    return unsigned(std::min<uint64_t>(frame, std::numeric_limits<unsigned int>::max()));
}

bool AudioFileReader::canRead() const
{
    return isOpen() && !getIsError() && mBuffer != nullptr;
}

unsigned int AudioFileReader::readFrames(unsigned char* destination, unsigned int numFrames) noexcept
{
    const uint64_t frameBytes = getFrameByteCount();
    const uint64_t wanted = uint64_t(numFrames) * frameBytes;
    const uint64_t start = positionInternal();
    const uint64_t end = std::min(mDataEnd, mFileBytes);

    uint64_t delivered = 0;
    if (start < end)
    {
        const uint64_t available = std::min(wanted, end - start);
        delivered = readAvailable(reinterpret_cast<char*>(destination), size_t(available));
    }
    // A frame cut short by the end of the file is dropped whole, as if never stored.
    const uint64_t frames = delivered / frameBytes;
    std::memset(destination + frames * frameBytes, 0, size_t(wanted - frames * frameBytes));

    if (delivered != wanted)
        seekInternal(start + wanted);
    return unsigned(frames);
}

void AudioFileReader::readRaw(void* output, unsigned int numFrames) noexcept
{
    if (output == nullptr || numFrames == 0)
        return;
    auto* bytes = static_cast<unsigned char*>(output);
    if (!canRead())
    {
        std::memset(bytes, 0, size_t(uint64_t(numFrames) * getFrameByteCount()));
        return;
    }
    readFrames(bytes, numFrames);
}

template <typename T>
void AudioFileReader::readAudio(T* output, unsigned int numFrames, int channel) noexcept
{
    if (output == nullptr || numFrames == 0)
        return;

    const size_t channels = getChannels();
    const size_t valuesPerFrame = channel < 0 ? channels : 1;
    const bool channelValid = channel < 0 || size_t(channel) < channels;
    const Converter<T> convert = pickConverter<T>(getPCMFormat(), getAudioEndianness() == kAudioFileBigEndian,
                                                  getFileType() == kAudioFileWAVE);

    if (!canRead() || !channelValid || convert == nullptr)
    {
        std::fill_n(output, size_t(numFrames) * valuesPerFrame, T(0));
        // A bad channel on a good file still moves on, like any other read.
        if (canRead())
            seekInternal(positionInternal() + uint64_t(numFrames) * getFrameByteCount());
        return;
    }

    const size_t byteDepth = getByteDepth();
    const size_t first = channel < 0 ? 0 : size_t(channel) * byteDepth;
    const size_t stride = channel < 0 ? byteDepth : byteDepth * channels;

    unsigned int remaining = numFrames;
    while (remaining > 0)
    {
        const unsigned int block = std::min(remaining, mBufferFrames);
        const unsigned int delivered = readFrames(mBuffer.get(), block);
        // Undelivered frames are zero samples, not decoded zero bytes (which would
        // be -1 in 8-bit offset binary).
        const size_t count = size_t(delivered) * valuesPerFrame;
        convert(mBuffer.get() + first, stride, output, count);
        std::fill(output + count, output + size_t(block) * valuesPerFrame, T(0));
        output += size_t(block) * valuesPerFrame;
        remaining -= block;
    }
}

void AudioFileReader::readInterleaved(double* output, unsigned int numFrames) noexcept
{
    readAudio(output, numFrames, -1);
}

void AudioFileReader::readInterleaved(float* output, unsigned int numFrames) noexcept
{
    readAudio(output, numFrames, -1);
}

void AudioFileReader::readChannel(double* output, unsigned int numFrames, unsigned short channel) noexcept
{
    readAudio(output, numFrames, channel);
}

void AudioFileReader::readChannel(float* output, unsigned int numFrames, unsigned short channel) noexcept
{
    readAudio(output, numFrames, channel);
}

// Container parsing

void AudioFileReader::parseHeader()
{
    char header[12];
    if (!seekInternal(0) || !readInternal(header, sizeof header))
    {
        setErrorBit(kErrFileBadFormat);
        return;
    }
    // The container's own size (bytes 4 to 7) is ignored: the chunk walk runs to
    // the end of the file, which also copes with writers that never patched it.
    const char* containerId = header;
    const char* formType = header + 8;
    if (matchTag(containerId, "FORM") && (matchTag(formType, "AIFF") || matchTag(formType, "AIFC")))
        parseAIFFHeader(formType);
    else if ((matchTag(containerId, "RIFF") || matchTag(containerId, "RIFX")) && matchTag(formType, "WAVE"))
        parseWaveHeader(containerId);
    else
        setErrorBit(kErrFileUnknownFormat);
}

void AudioFileReader::parseWaveHeader(const char* containerId)
{
    const Endianness endianness = matchTag(containerId, "RIFX") ? kAudioFileBigEndian : kAudioFileLittleEndian;
    setHeaderEndianness(endianness);
    setAudioEndianness(endianness);

    ChunkWalker chunks(chunkReader(), endianness == kAudioFileBigEndian);
    ChunkWalker::Chunk chunk;
    char format[16];
    if (!chunks.find("fmt ", chunk) || !seekInternal(chunk.offset) || !readChunk(format, sizeof format, chunk.size))
    {
        setErrorBit(kErrFileBadFormat);
        return;
    }

    const uint16_t tag = getU16(format, endianness);
    if (tag != 1 && tag != 3)
    {
        setErrorBit(kErrWaveUnsupportedFormat);
        return;
    }
    setChannels(getU16(format + 2, endianness));
    setSamplingRate(double(getU32(format + 4, endianness)));
    // Without channels there is no frame size to divide the data size by.
    if (getChannels() == 0)
    {
        setErrorBit(kErrFileBadFormat);
        return;
    }

    setPCMFormat(getU16(format + 14, endianness), tag == 3 ? kAudioFileFloat : kAudioFileInt);
    if (getIsError())
        return;

    if (!chunks.find("data", chunk))
    {
        setErrorBit(kErrFileBadFormat);
        return;
    }
    setFrames(uint32_t(chunk.size / getFrameByteCount()));
    setPCMOffset(chunk.offset);
    setFileType(kAudioFileWAVE);
}

void AudioFileReader::parseAIFFHeader(const char* formType)
{
    setHeaderEndianness(kAudioFileBigEndian);
    const bool isAIFC = matchTag(formType, "AIFC");
    if (isAIFC)
        setFileType(kAudioFileAIFC);
    const int required = isAIFC ? (kAiffTagVersion | kAiffTagCommon | kAiffTagAudio) : (kAiffTagCommon | kAiffTagAudio);
    int found = 0;

    ChunkWalker chunks(chunkReader(), true);
    ChunkWalker::Chunk chunk;
    while (chunks.next(chunk))
    {
        const unsigned int size = chunk.size;
        if (!seekInternal(chunk.offset))
        {
            setErrorBit(kErrFileBadFormat);
            return;
        }
        switch (aiffTag(chunk.id))
        {
        case kAiffTagAudio:
        {
            setPCMOffset(chunk.offset + 8);
            char offset[4];
            if (!readChunk(offset, sizeof offset, size))
            {
                setErrorBit(kErrFileBadFormat);
                return;
            }
            setPCMOffset(getPCMOffset() + getU32(offset, kAudioFileBigEndian));
            found |= kAiffTagAudio;
            break;
        }
        case kAiffTagCommon:
        {
            found |= kAiffTagCommon;
            char common[22] = {};
            const unsigned int readSize = std::min(std::max(size, 18u), 22u);
            if (size < 18 || !readChunk(common, readSize, size))
            {
                setErrorBit(kErrFileBadFormat);
                return;
            }
            setChannels(getU16(common, kAudioFileBigEndian));
            setFrames(getU32(common + 2, kAudioFileBigEndian));
            const uint16_t bits = getU16(common + 6, kAudioFileBigEndian);
            setSamplingRate(extendedToDouble(common + 8));
            setAudioEndianness(kAudioFileBigEndian);
            if (getFrames() == 0)
                found |= kAiffTagAudio;
            if (getChannels() == 0)
            {
                setErrorBit(kErrFileBadFormat);
                return;
            }

            if (!isAIFC)
            {
                setFileType(kAudioFileAIFF);
                setPCMFormat(bits, kAudioFileInt);
            }
            else
            {
                // An AIFC "COMM" always names its compression; one too short to
                // hold it is malformed rather than silently uncompressed.
                if (readSize < 22)
                {
                    setErrorBit(kErrFileBadFormat);
                    return;
                }
                switch (getAIFCCompression(common + 18))
                {
                case kAIFCCompressionNone: setPCMFormat(bits, kAudioFileInt); break;
                case kAIFCCompressionLittleEndian:
                    setAudioEndianness(kAudioFileLittleEndian);
                    setPCMFormat(bits, kAudioFileInt);
                    break;
                case kAIFCCompressionFloat: setPCMFormat(bits, kAudioFileFloat); break;
                case kAIFCCompressionUnknown: setErrorBit(kErrAIFCUnsupportedFormat); return;
                }
            }
            if (getIsError())
                return;
            break;
        }
        case kAiffTagVersion:
        {
            found |= kAiffTagVersion;
            char version[4];
            if (!readChunk(version, sizeof version, size))
            {
                setErrorBit(kErrFileBadFormat);
                return;
            }
            if (getU32(version, kAudioFileBigEndian) != kAIFCVersion1)
            {
                setErrorBit(kErrAIFCWrongVersion);
                return;
            }
            break;
        }
        case kAiffTagUnknown:
            if (!readChunk(nullptr, 0, size))
            {
                setErrorBit(kErrFileBadFormat);
                return;
            }
            break;
        }
    }

    if ((found & required) != required)
        setErrorBit(kErrFileBadFormat);
}

ReadAt AudioFileReader::chunkReader()
{
    return [this](uint64_t offset, char* data, size_t size) { return seekInternal(offset) && readInternal(data, size); };
}

bool AudioFileReader::readChunk(char* data, unsigned int readSize, unsigned int chunkSize)
{
    if (readSize != 0)
    {
        if (chunkSize < readSize || !readInternal(data, readSize))
            return false;
    }
    return advanceInternal(uint64_t(chunkSize) - readSize + (chunkSize & 1));
}

AudioFileReader::AiffTag AudioFileReader::aiffTag(const char* id)
{
    if (matchTag(id, "FVER"))
        return kAiffTagVersion;
    if (matchTag(id, "COMM"))
        return kAiffTagCommon;
    if (matchTag(id, "SSND"))
        return kAiffTagAudio;
    return kAiffTagUnknown;
}

AudioFileReader::AIFCCompression AudioFileReader::getAIFCCompression(const char* code)
{
    if (matchTag(code, "NONE") || matchTag(code, "twos"))
        return kAIFCCompressionNone;
    if (matchTag(code, "sowt"))
        return kAIFCCompressionLittleEndian;
    if (matchTag(code, "fl32") || matchTag(code, "FL32") || matchTag(code, "fl64") || matchTag(code, "FL64"))
        return kAIFCCompressionFloat;
    return kAIFCCompressionUnknown;
}

AudioFileFormat::Error AudioFileReader::findPCMFormat(unsigned short bits, NumberFormat numberFormat,
                                                      PCMFormat& format)
{
    if (numberFormat == kAudioFileFloat)
    {
        switch (bits)
        {
        case 32: format = kAudioFileFloat32; return kErrNone;
        case 64: format = kAudioFileFloat64; return kErrNone;
        default: return kErrFileUnsupportedPCMFormat;
        }
    }
    switch (bits)
    {
    case 8: format = kAudioFileInt8; return kErrNone;
    case 16: format = kAudioFileInt16; return kErrNone;
    case 24: format = kAudioFileInt24; return kErrNone;
    case 32: format = kAudioFileInt32; return kErrNone;
    default: return kErrFileUnsupportedPCMFormat;
    }
}

void AudioFileReader::setPCMFormat(unsigned short bits, NumberFormat numberFormat)
{
    PCMFormat format = kAudioFileInt8;
    if (findPCMFormat(bits, numberFormat, format) == kErrNone)
        setPCMFormat(format);
    else
        setErrorBit(kErrFileUnsupportedPCMFormat);
}

bool AudioFileReader::matchTag(const char* a, const char* b)
{
    return ChunkWalker::matchTag(a, b);
}

uint16_t AudioFileReader::getU16(const char* bytes, Endianness endianness)
{
    const uint16_t first = uint8_t(bytes[0]);
    const uint16_t second = uint8_t(bytes[1]);
    return uint16_t(endianness == kAudioFileBigEndian ? (first << 8 | second) : (second << 8 | first));
}

uint32_t AudioFileReader::getU24(const char* bytes, Endianness endianness)
{
    uint32_t value = 0;
    for (int i = 0; i < 3; ++i)
        value = value << 8 | uint8_t(bytes[endianness == kAudioFileBigEndian ? i : 2 - i]);
    return value;
}

uint32_t AudioFileReader::getU32(const char* bytes, Endianness endianness)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = value << 8 | uint8_t(bytes[endianness == kAudioFileBigEndian ? i : 3 - i]);
    return value;
}

uint64_t AudioFileReader::getU64(const char* bytes, Endianness endianness)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | uint8_t(bytes[endianness == kAudioFileBigEndian ? i : 7 - i]);
    return value;
}

double AudioFileReader::extendedToDouble(const char* bytes)
{
    const bool negative = (uint8_t(bytes[0]) & 0x80) != 0;
    const int exponent = int(getU16(bytes, kAudioFileBigEndian) & 0x7FFF);
    const uint32_t hi = getU32(bytes + 2, kAudioFileBigEndian);
    const uint32_t lo = getU32(bytes + 6, kAudioFileBigEndian);

    if (exponent == 0 && hi == 0 && lo == 0)
        return 0.0;
    if (exponent == 0x7FFF)
        return std::numeric_limits<double>::infinity();
    // 16414 = 16383 + 31 and 16446 = 16383 + 63: the bias plus the position of
    // each 32-bit half of the mantissa below the binary point.
    const double value = std::ldexp(double(hi), exponent - 16414) + std::ldexp(double(lo), exponent - 16446);
    return negative ? -value : value;
}

// File layer. Every operation clears the stream's error state first, so an end of
// file met by one read never blocks the next seek or read.

uint64_t AudioFileReader::positionInternal()
{
    mFile.clear();
    const std::streamoff position = mFile.tellg();
    return position > 0 ? uint64_t(position) : 0;
}

bool AudioFileReader::seekInternal(uint64_t position)
{
    // Far beyond any real file; also keeps the conversion to a signed offset exact.
    if (position > uint64_t(std::numeric_limits<std::streamoff>::max() / 2))
        return false;
    mFile.clear();
    mFile.seekg(std::streamoff(position), std::ios::beg);
    return !mFile.fail() && positionInternal() == position;
}

bool AudioFileReader::advanceInternal(uint64_t bytes)
{
    return seekInternal(positionInternal() + bytes);
}

bool AudioFileReader::readInternal(char* data, size_t size)
{
    return readAvailable(data, size) == size;
}

size_t AudioFileReader::readAvailable(char* data, size_t size) noexcept
{
    mFile.clear();
    mFile.read(data, std::streamsize(size));
    const std::streamsize count = mFile.gcount();
    return count > 0 ? size_t(count) : 0;
}

} // namespace dspkit
