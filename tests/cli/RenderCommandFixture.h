// tests/cli: qir-render run as a process in a scratch folder, with synthetic
// decoder sets whose decodings the tests compute directly, and the sound-file
// helpers the command tests share.
#pragma once

#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qirclitest {

namespace fs = std::filesystem;

inline constexpr int kIRLength = 16384;
inline constexpr int kHeadTaps = 48;
inline constexpr double kRate = 48000.0;
inline constexpr float kDegrees = 3.14159265358979f / 180.0f;

using Field = std::vector<std::vector<float>>; // [channel][frame]

struct RunResult {
    int mExitCode = -1;
    std::string mOut;
    std::string mErr;
};

std::string ReadText(const fs::path& file);
std::vector<char> ReadBytes(const fs::path& file);

// How a process is started: its standard input (a file in the folder, or
// nothing), and environment variables removed or added.
struct SpawnSetup {
    std::string mStdin;
    std::vector<std::string> mUnset;
    std::vector<std::string> mSet; // "NAME=value"
};

// Starts program (qir-render when empty) with args in dir, its standard output
// and error in dir/stdout.txt and dir/stderr.txt.
pid_t Spawn(const fs::path& dir, const std::vector<std::string>& args, const SpawnSetup& setup = {},
            const std::string& program = {});
RunResult Finish(const fs::path& dir, pid_t pid);

// Writes field with libsndfile in format; with ambisonicTag the file (WAVE-EX)
// carries libsndfile's B-format tag.
void WriteSoundFile(const fs::path& file, const Field& field, double rate, int format, bool ambisonicTag = false);
Field ReadSoundFile(const fs::path& file, double* rate = nullptr);

// Independent white noise per channel at a quarter of full scale.
Field Noise(int channels, std::size_t frames, uint32_t seed);
Field Padded(Field field, std::size_t frames);
Field Scaled(Field field, float gain);

// A decoder set whose responses have a dense head of kHeadTaps samples and
// three sparse taps further out (the last at the response's final sample), so
// a renderer that cuts or misplaces the responses' later parts is caught. Its
// responses are length samples long (more than 9000 + 11 * inputs): kIRLength
// for a set's regular file, fewer or more for a file made for another rate.
struct SyntheticDecoderSet {
    struct Tap {
        int mPosition;
        float mValue;
    };
    int mInputs = 0;
    int mLength = kIRLength;
    std::vector<std::vector<float>> mHead[2];
    std::vector<std::vector<Tap>> mSparse[2];

    SyntheticDecoderSet(int inputs, uint32_t seed, int length = kIRLength);
    // As a decoder-set file with rate in its header.
    void Write(const fs::path& file, double rate = kRate) const;
    // The decoding of field (its first mInputs channels) into output o, as long
    // as the field.
    std::vector<double> Decode(const Field& field, int o) const;
};

// The field turned by the spherical-harmonic rotation of yaw, pitch and roll
// (degrees), as the rotation routines define it.
Field Rotated(const Field& field, int order, float yawDegrees, float pitchDegrees, float rollDegrees = 0.0f,
              bool rollPitchYaw = false);

// ACN/SN3D (W, Y, Z, X) to FuMa order and weights (W / sqrt 2, X, Y, Z).
Field ToFuMa(const Field& acn);

// Largest absolute difference between two renders' channels.
using qirtest::MaxDifference;

class RenderCommand : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The synthetic anechoic set of an order, written into the sets folder on
    // first use.
    const SyntheticDecoderSet& Set(int order);

    // qir-render with the scratch sets and --quiet.
    RunResult Run(std::vector<std::string> args);
    // The same without --quiet: the informational lines are wanted.
    RunResult RunWithNotes(std::vector<std::string> args);
    // A shell script run in the folder with $QIR_RENDER naming qir-render and
    // $SETS the scratch sets, for pipelines.
    RunResult RunShell(const std::string& script);

    // Files other than the fixtures: what a render left behind.
    std::vector<std::string> Leftovers(const std::vector<std::string>& fixtures) const;

    void ExpectDecodes(const Field& output, const Field& field, const SyntheticDecoderSet& set,
                       double tolerance = 1e-4);

    fs::path mDir;
    std::unique_ptr<SyntheticDecoderSet> mSets[8];
};

} // namespace qirclitest
