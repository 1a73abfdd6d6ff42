// tools: the impulse responses of one decoder set and the file that holds them.
#pragma once

#include <string>
#include <vector>

namespace qirtools {

// Every (input, output) impulse response of a decoder set has this many samples.
inline constexpr int kDecoderSetResponseLength = 16384;
inline constexpr double kDecoderSetSampleRate = 48000.0;

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

// Writes the set as a two-channel 32-bit float WAV at 48 kHz. The data go to a temporary
// file in the same folder that is renamed over the final name only when complete, so an
// interrupted run never leaves a truncated set under the name the plug-in loads.
// Throws std::runtime_error on failure (the temporary file is removed).
void writeDecoderSet(const DecoderSet& set, const std::string& path);

} // namespace qirtools
