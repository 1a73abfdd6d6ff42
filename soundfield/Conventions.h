// soundfield: ambisonic channel-order and normalisation codes, and the in-place conversions
// between them. FuMa is defined for first order only.
#pragma once

// Setting codes, taken by the rotator and encoder setters (the plug-in's "Channel Layout" and
// "Normalization Type" parameters hold these values minus one).
enum EChannelOrder {
    kChannelOrderACN = 1,
    kChannelOrderFuMa = 2,
};

enum ENormalisation {
    kNormalisationN3D = 1,
    kNormalisationSN3D = 2,
    kNormalisationFuMa = 3,
};

// Conversion codes, taken by convertChannelOrder and convertNormalisation.
enum EChannelOrderCode {
    kConvertACN = 0,
    kConvertFuMa = 1,
};

enum ENormalisationCode {
    kConvertN3D = 0,
    kConvertSN3D = 1,
    kConvertFuMaNorm = 2,
};

// signal: (order + 1)^2 channels one after another, channel c at c * signalLength.
// Converts in place between ACN (W Y Z X ...) and FuMa (W X Y Z) order. Either direction sets
// channels 4 and up to zero when the order is above 1, since FuMa has no higher channels.
// Does nothing for order <= 0, signalLength <= 0, from == to or codes outside the table.
// Any thread, allocates nothing.
void convertChannelOrder(float* signal, int order, int signalLength, int from, int to) noexcept;

// Converts in place between N3D, SN3D and FuMa normalisation. FuMa touches channels 0 to 3
// only. Does nothing for order <= 0, signalLength <= 0, from == to or codes outside the table.
// Any thread, allocates nothing.
void convertNormalisation(float* signal, int order, int signalLength, int from, int to) noexcept;
