// The loudness of the generated decoder sets, measured the way a listener meets it: a
// diffuse field of pink noise rendered by qir-render through every set, its output level
// compared across decoder modes and orders. Uses the sets the build generated (the test
// scripts generate them); skips when they are absent.
#include "soundfield/SphericalHarmonics.h"
#include "tests/support/ChildProcess.h"
#include "tools/DiffuseFieldLevel.h"
#include "tools/RealFft.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr double kRate = 48000.0;
constexpr int kMaxOrder = 7;
constexpr int kChannels = (kMaxOrder + 1) * (kMaxOrder + 1);
// 0.3 s for the rooms to build up, then a little over a second measured.
constexpr int kFrames = 65536;
constexpr int kSettleFrames = static_cast<int>(0.3 * kRate);
constexpr int kDirections = 240;
constexpr double kPi = 3.14159265358979323846;

// Stationary pink noise, power spectral density 1/f from 20 Hz to 20 kHz and nothing
// outside, unit power: Gaussian white noise shaped in the frequency domain (one period of
// a periodic signal, so the shaping leaves no edges).
std::vector<float> pinkNoise(std::mt19937_64& engine)
{
    std::normal_distribution<double> gaussian;
    std::vector<double> white(kFrames);
    for (double& v : white)
        v = gaussian(engine);
    qirtools::RealFft fft(kFrames);
    auto spectrum = fft.forward(white);
    for (size_t k = 0; k < spectrum.size(); ++k) {
        const double f = static_cast<double>(k) * kRate / kFrames;
        spectrum[k] *= f >= 20.0 && f <= 20000.0 ? 1.0 / std::sqrt(f) : 0.0;
    }
    std::vector<double> shaped(kFrames);
    fft.inverse(spectrum.data(), shaped.data());
    double power = 0.0;
    for (double v : shaped)
        power += v * v / kFrames;
    std::vector<float> noise(kFrames);
    for (int n = 0; n < kFrames; ++n)
        noise[static_cast<size_t>(n)] = static_cast<float>(shaped[static_cast<size_t>(n)] / std::sqrt(power));
    return noise;
}

// An order-7 diffuse field, ACN/SN3D, channel-major: independent pink noise from
// kDirections directions spread evenly over the sphere (a spiral of equal-area steps),
// scaled so that W has the power 0.01. Its first (N+1)^2 channels are the order-N field.
std::vector<std::vector<float>> diffuseField()
{
    std::vector<float> directions;
    for (int d = 0; d < kDirections; ++d) {
        const double z = 1.0 - (2.0 * d + 1.0) / kDirections;
        directions.push_back(static_cast<float>(std::fmod(d * 137.50776405, 360.0) - 180.0));
        directions.push_back(static_cast<float>(std::asin(z) * 180.0 / kPi));
    }
    std::vector<float> y(static_cast<size_t>(kDirections * kChannels));
    realSphericalHarmonics(kMaxOrder, directions.data(), kDirections, y.data());

    std::vector<std::vector<float>> field(kChannels, std::vector<float>(kFrames, 0.0f));
    std::mt19937_64 engine(20240917);
    const float sourceGain = static_cast<float>(0.1 / std::sqrt(static_cast<double>(kDirections)));
    for (int d = 0; d < kDirections; ++d) {
        const std::vector<float> noise = pinkNoise(engine);
        for (int c = 0; c < kChannels; ++c) {
            const int degree = static_cast<int>(std::sqrt(static_cast<double>(c)) + 1e-9);
            // N3D to SN3D.
            const float gain = sourceGain * y[static_cast<size_t>(d * kChannels + c)] / std::sqrt(2.0f * degree + 1.0f);
            float* __restrict out = field[static_cast<size_t>(c)].data();
            const float* __restrict in = noise.data();
            for (int n = 0; n < kFrames; ++n)
                out[n] += gain * in[n];
        }
    }
    return field;
}

bool writeField(const fs::path& path, const std::vector<std::vector<float>>& field)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(kRate);
    info.channels = static_cast<int>(field.size());
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        return false;
    std::vector<float> interleaved(field.size() * kFrames);
    for (size_t n = 0; n < kFrames; ++n)
        for (size_t c = 0; c < field.size(); ++c)
            interleaved[n * field.size() + c] = field[c][n];
    const bool ok = sf_writef_float(file, interleaved.data(), kFrames) == kFrames;
    return sf_close(file) == 0 && ok;
}

// Mean power over both output channels from kSettleFrames on, read with libsndfile.
double settledPower(const fs::path& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr || info.channels != 2 || info.frames <= kSettleFrames) {
        if (file != nullptr)
            sf_close(file);
        ADD_FAILURE() << "cannot read a stereo render from " << path;
        return 0.0;
    }
    std::vector<float> samples(static_cast<size_t>(info.frames * 2));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    double power = 0.0;
    for (size_t i = 2 * static_cast<size_t>(kSettleFrames); i < samples.size(); ++i)
        power += static_cast<double>(samples[i]) * samples[i];
    return power / static_cast<double>(samples.size() - 2 * static_cast<size_t>(kSettleFrames));
}

struct Rendering {
    const char* mode;
    int order;
};

TEST(GeneratedDecoderSets, EveryModeAndOrderPlaysADiffuseFieldWithinOneDecibel)
{
    const fs::path sets(QIR_DECODER_SET_DIR);
    std::vector<Rendering> renderings;
    for (int order = 1; order <= kMaxOrder; ++order) {
        renderings.push_back({"anechoic", order});
        renderings.push_back({"room", order});
    }
    // UHJ decodes the first-order part of the field.
    renderings.push_back({"uhj", 1});
    for (const char* name : {"AMBIX_2_UHJ.wav", "1OA-decoder-anechoic.wav", "7OA-decoder-room.wav"})
        if (!fs::exists(sets / name))
            GTEST_SKIP() << "the generated decoder sets are not in " << sets;

    const fs::path folder = fs::temp_directory_path() / ("qir-loudness-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const auto field = diffuseField();
    ASSERT_TRUE(writeField(folder / "field.wav", field));
    double wPower = 0.0;
    for (int n = kSettleFrames; n < kFrames; ++n)
        wPower += static_cast<double>(field[0][static_cast<size_t>(n)]) * field[0][static_cast<size_t>(n)] / (kFrames - kSettleFrames);

    std::vector<double> levels;
    for (const Rendering& r : renderings) {
        SCOPED_TRACE(std::string(r.mode) + " order " + std::to_string(r.order));
        const qirtest::ProcessResult run = qirtest::RunProcess(
            QIR_RENDER_PATH,
            {"--resources", sets.string(), "--quiet", "--rotation", "off", "--no-tail", "--mode", r.mode, "--order",
             std::to_string(r.order), "field.wav", "out.wav"},
            folder);
        ASSERT_EQ(run.mExitCode, 0) << run.mErr;
        levels.push_back(10.0 * std::log10(settledPower(folder / "out.wav") / wPower));
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);

    // Output level relative to W, dB, as the figures of the decoder sets' loudness.
    std::string table;
    for (size_t i = 0; i < renderings.size(); ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "  %-8s order %d: %+6.2f dB\n", renderings[i].mode, renderings[i].order, levels[i]);
        table += line;
    }
    std::printf("diffuse-field level through qir-render, output power per ear re W:\n%s", table.c_str());

    const auto [lowest, highest] = std::minmax_element(levels.begin(), levels.end());
    EXPECT_LT(*highest - *lowest, 1.0) << table;
    // The generator's own figure, computed from the responses, is the level heard.
    for (double level : levels)
        EXPECT_NEAR(level, qirtools::kDiffuseFieldLevelDb, 0.5) << table;
}

} // namespace
