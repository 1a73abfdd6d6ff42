// tests/support: sound fields as the tests handle them (one vector of frames
// per channel): written to and read from WAV files with libsndfile, white
// noise, silence and the peak.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace qirtest {

using Field = std::vector<std::vector<float>>; // [channel][frame]

// Writes a field as a 32-bit float WAV with libsndfile, and reads one back.
void WriteSoundFile(const std::filesystem::path& file, const Field& field, double rate);
Field ReadSoundFile(const std::filesystem::path& file);

// Independent white noise per channel at a quarter of full scale.
Field Noise(int channels, std::size_t frames, uint32_t seed);
Field Silence(int channels, std::size_t frames);

// The largest absolute sample of a field (MaxDifference, in
// tests/support/AudioFixtures.h, compares two).
double Peak(const Field& field);

} // namespace qirtest
