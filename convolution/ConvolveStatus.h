// convolution: the status codes every convolution operation returns, and the
// latency modes of the mono and multichannel convolvers.
#pragma once

namespace dspkit {

// Integer status of a convolution operation; the numeric values are part of the
// interface.
enum ConvolveStatus : int {
    kConvolveOk = 0,
    kConvolveInputOutOfRange = 1,
    kConvolveOutputOutOfRange = 2,
    kConvolveMemoryUnavailable = 3,
    kConvolveMemoryTooSmall = 4,
    kConvolveTimeImpulseTooLong = 5,
    kConvolveTimeLengthOutOfRange = 6,
    kConvolvePartitionLengthTooLarge = 7,
    kConvolveMaxFFTSizeTooSmall = 8,
    kConvolveMaxFFTSizeTooLarge = 9,
    kConvolveMaxFFTSizeNotPowerOfTwo = 10,
    kConvolveFFTSizeOutOfRange = 11,
    kConvolveFFTSizeNotPowerOfTwo = 12,
};

// Latency of a mono convolver: 0, 128 or 512 samples.
enum LatencyMode : int {
    ZeroLatency = 0,
    ShortLatency = 1,
    MediumLatency = 2,
};

} // namespace dspkit
