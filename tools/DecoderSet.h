// tools: the impulse responses of one decoder set and the file that holds them.
#pragma once

#include <string>
#include <vector>

namespace qirtools {

// Every (input, output) impulse response of a decoder set has this many samples.
inline constexpr int kDecoderSetResponseLength = 16384;
inline constexpr double kDecoderSetSampleRate = 48000.0;

// The common rates other than 48 kHz that the UHJ set is also made for, each in a file of
// its own ("AMBIX_2_UHJ-44100.wav"), which the plug-in's loader reads as it is at that rate
// instead of resampling the 48 kHz set: the UHJ responses carry the whole band from their
// first sample, which a resampler without delay cannot keep.
inline constexpr int kUhjSampleRates[] = {22050, 32000, 44100, 88200, 96000, 176400, 192000};

// Samples of every response of a set made for sampleRate: as long as 16384 samples last at
// 48 kHz (the loader's layout of a set's file made for one rate).
int decoderSetResponseLength(double sampleRate);

// The generator's version, written into every set it makes. Raised whenever the sets it
// makes change, so that sets made by an older generator (in a build folder or a cache) are
// recognised and made again.
inline constexpr int kDecoderSetGeneratorVersion = 2;

// One decoder set: numInputs ambisonic inputs (ACN, SN3D) into two outputs, every response
// length samples at sampleRate. left/right hold numInputs * length samples each, input i's
// response at i * length: as the generator makes a set, 16384 samples at 48 kHz (or
// decoderSetResponseLength(rate) at another rate), which is exactly the frame layout of the
// file; read for another rate, as the plug-in's loader delivers it there.
struct DecoderSet {
    int numInputs = 0;
    int length = kDecoderSetResponseLength;
    double sampleRate = kDecoderSetSampleRate;
    std::vector<float> left;
    std::vector<float> right;

    explicit DecoderSet(int inputs = 0, int responseLength = kDecoderSetResponseLength,
                        double rate = kDecoderSetSampleRate);
    float* response(int input, int ear);
    const float* response(int input, int ear) const;
};

enum class DecoderKind { Anechoic, Room, Uhj };

// The file names the plug-in looks for: "<order>OA-decoder-anechoic.wav",
// "<order>OA-decoder-room.wav" and "AMBIX_2_UHJ.wav" (the order is ignored for UHJ); for a
// set made for another rate than 48 kHz, the name the loader looks for at that rate
// ("AMBIX_2_UHJ-44100.wav").
std::string decoderSetFileName(DecoderKind kind, int order, int sampleRate = static_cast<int>(kDecoderSetSampleRate));

// Writes the set (decoderSetResponseLength(rate) samples per response at a supported rate in
// whole hertz, as the generator makes it; any other is refused with std::runtime_error) as a
// two-channel 32-bit float WAV at the set's rate, with the generator's name and version as
// the file's software tag. The data go to a temporary file in the same folder
// that is renamed over the final name only when complete, so an interrupted run, or another
// process writing the same set at the same time, never leaves a truncated set under the name
// the plug-in loads. Throws std::runtime_error on failure (the temporary file is removed).
void writeDecoderSet(const DecoderSet& set, const std::string& path);

// The generator version written into the set at path; 0 when the file cannot be read or
// carries no version of this generator.
int decoderSetGeneratorVersion(const std::string& path);

} // namespace qirtools
