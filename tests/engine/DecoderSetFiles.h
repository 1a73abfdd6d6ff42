// tests/engine: decoder-set files written by the tests (through libsndfile, not
// through the reader under test), and the impulse responses they hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qirtest {

// Impulse responses of a decoder set: ir[o][i] is input i into output o.
struct DecoderSetIRs {
    std::vector<std::vector<float>> ir[2];
    [[nodiscard]] int numInputs() const { return static_cast<int>(ir[0].size()); }
};

// A set of numInputs inputs whose responses are a few impulses at random taps
// (one of them always at tap 0, one near the end of the 16384 taps) with random
// gains.
DecoderSetIRs makeSparseSet(int numInputs, std::uint32_t seed);

// Writes set as a 32-bit float WAV with numChannels channels (1 or 2: a
// one-channel file holds only the responses into output 0) and extraFrames
// frames of noise after the last segment, with sampleRate in its header. Each
// input's segment is as long as the set's responses (16384 samples as a rule).
void writeDecoderSet(const std::string& path, const DecoderSetIRs& set, int numChannels = 2, int extraFrames = 0,
                     int sampleRate = 48000);

// Reads a decoder set (through libsndfile); an empty set when the file cannot be read.
DecoderSetIRs readDecoderSet(const std::string& path);

// Writes a file of bytes that is no audio file.
void writeGarbage(const std::string& path, std::size_t bytes);

// A fresh temporary folder, removed with everything in it by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    [[nodiscard]] const std::string& path() const { return mPath; }
    [[nodiscard]] std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

} // namespace qirtest
