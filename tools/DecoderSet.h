// tools: the impulse responses of one decoder set and the file that holds them.
#pragma once

#include <string>
#include <vector>

namespace qirtools {

// Every (input, output) impulse response of a decoder set has this many samples.
inline constexpr int kDecoderSetResponseLength = 16384;
inline constexpr double kDecoderSetSampleRate = 48000.0;

// The generator's version, written into every set it makes. Raised whenever the sets it
// makes change, so that sets made by an older generator (in a build folder or a cache) are
// recognised and made again.
inline constexpr int kDecoderSetGeneratorVersion = 2;

// One decoder set: numInputs ambisonic inputs (ACN, SN3D) into two outputs. left/right hold
// numInputs * kDecoderSetResponseLength samples each, input i's response at
// i * kDecoderSetResponseLength, which is exactly the frame layout of the file.
struct DecoderSet {
    int numInputs = 0;
    std::vector<float> left;
    std::vector<float> right;

    explicit DecoderSet(int inputs = 0);
    float* response(int input, int ear);
    const float* response(int input, int ear) const;
};

enum class DecoderKind { Anechoic, Room, Uhj };

// The file names the plug-in looks for: "<order>OA-decoder-anechoic.wav",
// "<order>OA-decoder-room.wav" and "AMBIX_2_UHJ.wav" (the order is ignored for UHJ).
std::string decoderSetFileName(DecoderKind kind, int order);

// Writes the set as a two-channel 32-bit float WAV at 48 kHz, with the generator's name and
// version as the file's software tag. The data go to a temporary file in the same folder
// that is renamed over the final name only when complete, so an interrupted run, or another
// process writing the same set at the same time, never leaves a truncated set under the name
// the plug-in loads. Throws std::runtime_error on failure (the temporary file is removed).
void writeDecoderSet(const DecoderSet& set, const std::string& path);

// The generator version written into the set at path; 0 when the file cannot be read or
// carries no version of this generator.
int decoderSetGeneratorVersion(const std::string& path);

} // namespace qirtools
