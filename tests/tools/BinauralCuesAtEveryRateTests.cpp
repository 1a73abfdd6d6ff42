// The generated decoder sets at other sample rates, heard the way a listener meets
// them: a plane wave from either side rendered by qir-render (the plug-in brings the
// 48 kHz sets to the input's rate as they load), its interaural time and level
// differences measured at every rate and compared with those at 48 kHz. Uses the sets
// the build generated (the test scripts generate them); skips when they are absent.
#include "tests/support/ChildProcess.h"
#include "tools/BinauralMeasures.h"
#include "tools/RealFft.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int kReferenceRate = 48000;
const int kRates[] = {22050, 44100, 88200, 96000, 192000};
// The interaural level difference is taken over the band every one of these rates
// carries in full.
constexpr double kLevelBandLowHz = 200.0;
constexpr double kLevelBandHighHz = 8000.0;
constexpr double kItdToleranceSeconds = 20e-6;
constexpr double kIldToleranceDb = 0.5;
constexpr int kInputFrames = 256;

// Real spherical harmonics in ACN order with SN3D normalisation, without the
// Condon-Shortley phase: the decoder sets' convention.
std::vector<double> sn3d(int order, double azimuthDeg, double elevationDeg)
{
    const double az = azimuthDeg * std::numbers::pi / 180.0;
    const double x = std::sin(elevationDeg * std::numbers::pi / 180.0);
    std::vector<double> y(static_cast<size_t>((order + 1) * (order + 1)));
    for (int n = 0; n <= order; ++n)
        for (int m = 0; m <= n; ++m) {
            const double ratio = std::tgamma(n - m + 1) / std::tgamma(n + m + 1);
            const double norm = std::sqrt((m == 0 ? 1.0 : 2.0) * ratio);
            const double p = norm * std::assoc_legendre(static_cast<unsigned>(n), static_cast<unsigned>(m), x);
            y[static_cast<size_t>(n * n + n + m)] = p * std::cos(m * az);
            if (m > 0)
                y[static_cast<size_t>(n * n + n - m)] = p * std::sin(m * az);
        }
    return y;
}

// A plane wave from the azimuth (elevation 0): an impulse at the first frame,
// encoded at the given order.
bool writePlaneWave(const fs::path& path, int order, double azimuthDeg, int rate)
{
    const std::vector<double> gains = sn3d(order, azimuthDeg, 0.0);
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = static_cast<int>(gains.size());
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        return false;
    std::vector<float> interleaved(gains.size() * kInputFrames, 0.0f);
    for (size_t c = 0; c < gains.size(); ++c)
        interleaved[c] = static_cast<float>(0.5 * gains[c]);
    const bool ok = sf_writef_float(file, interleaved.data(), kInputFrames) == kInputFrames;
    return sf_close(file) == 0 && ok;
}

struct Cues {
    double itdSeconds = 0.0;
    double ildDb = 0.0;
};

// The interaural time difference (the report's measure) and the level difference
// in the common band of a stereo render, read with libsndfile.
Cues measure(const fs::path& path, int rate)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr || info.channels != 2 || info.samplerate != rate) {
        if (file != nullptr)
            sf_close(file);
        ADD_FAILURE() << "cannot read a stereo render at " << rate << " Hz from " << path;
        return {};
    }
    std::vector<float> samples(static_cast<size_t>(info.frames) * 2);
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    int size = 1;
    while (size < 2 * info.frames)
        size *= 2;
    std::vector<double> ears[2];
    for (int ear = 0; ear < 2; ++ear) {
        ears[ear].assign(static_cast<size_t>(size), 0.0);
        for (sf_count_t n = 0; n < info.frames; ++n)
            ears[ear][static_cast<size_t>(n)] = samples[static_cast<size_t>(2 * n + ear)];
    }
    qirtools::RealFft fft(size);
    const auto left = fft.forward(ears[0]);
    const auto right = fft.forward(ears[1]);
    Cues cues;
    cues.itdSeconds = qirtools::interauralTimeDifference(fft, left.data(), right.data(), rate);
    const double binHz = static_cast<double>(rate) / size;
    double power[2] = {0.0, 0.0};
    for (int k = 0; k < fft.numBins(); ++k) {
        const double f = k * binHz;
        if (f >= kLevelBandLowHz && f <= kLevelBandHighHz) {
            power[0] += std::norm(left[static_cast<size_t>(k)]);
            power[1] += std::norm(right[static_cast<size_t>(k)]);
        }
    }
    cues.ildDb = 10.0 * std::log10(power[0] / power[1]);
    return cues;
}

struct Decoder {
    const char* mode;
    int order;
    const char* file;
};

class GeneratedSetsAtEveryRate : public ::testing::TestWithParam<Decoder> {};

TEST_P(GeneratedSetsAtEveryRate, KeepTheInterauralCuesOfASourceAtEitherSide)
{
    const Decoder& d = GetParam();
    const fs::path sets(QIR_DECODER_SET_DIR);
    if (!fs::exists(sets / d.file))
        GTEST_SKIP() << "the generated decoder sets are not in " << sets;
    const fs::path folder =
        fs::temp_directory_path() / ("qir-rates-" + std::to_string(::getpid()) + "-" + d.mode + std::to_string(d.order));
    fs::create_directories(folder);

    const auto render = [&](double azimuth, int rate) {
        SCOPED_TRACE(std::string(d.mode) + " order " + std::to_string(d.order) + ", azimuth " +
                     std::to_string(static_cast<int>(azimuth)) + ", " + std::to_string(rate) + " Hz");
        EXPECT_TRUE(writePlaneWave(folder / "in.wav", d.order, azimuth, rate));
        const qirtest::ProcessResult run = qirtest::RunProcess(
            QIR_RENDER_PATH,
            {"--resources", sets.string(), "--quiet", "--rotation", "off", "--tail", "--mode", d.mode, "--order",
             std::to_string(d.order), "in.wav", "out.wav"},
            folder);
        EXPECT_EQ(run.mExitCode, 0) << run.mErr;
        return measure(folder / "out.wav", rate);
    };

    std::string table;
    for (double azimuth : {90.0, -90.0}) {
        const Cues reference = render(azimuth, kReferenceRate);
        // The cues are there to be kept: the near ear leads and is louder.
        EXPECT_GT(reference.itdSeconds * azimuth, 0.0);
        EXPECT_GT(std::abs(reference.itdSeconds), 500e-6);
        EXPECT_GT(reference.ildDb * azimuth, 0.0);
        EXPECT_GT(std::abs(reference.ildDb), 3.0);
        char line[128];
        std::snprintf(line, sizeof line, "  %+4.0f deg %6d Hz: ITD %+8.1f us, ILD %+6.2f dB\n", azimuth,
                      kReferenceRate, reference.itdSeconds * 1e6, reference.ildDb);
        table += line;
        for (int rate : kRates) {
            const Cues cues = render(azimuth, rate);
            std::snprintf(line, sizeof line, "  %+4.0f deg %6d Hz: ITD %+8.1f us, ILD %+6.2f dB\n", azimuth, rate,
                          cues.itdSeconds * 1e6, cues.ildDb);
            table += line;
            EXPECT_NEAR(cues.itdSeconds, reference.itdSeconds, kItdToleranceSeconds)
                << rate << " Hz, azimuth " << azimuth;
            EXPECT_NEAR(cues.ildDb, reference.ildDb, kIldToleranceDb) << rate << " Hz, azimuth " << azimuth;
        }
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    std::printf("%s order %d through qir-render, interaural differences (left minus right):\n%s", d.mode, d.order,
                table.c_str());
}

INSTANTIATE_TEST_SUITE_P(Sets, GeneratedSetsAtEveryRate,
                         ::testing::Values(Decoder{"anechoic", 3, "3OA-decoder-anechoic.wav"},
                                           Decoder{"anechoic", 7, "7OA-decoder-anechoic.wav"},
                                           Decoder{"room", 1, "1OA-decoder-room.wav"}),
                         [](const auto& info) { return std::string(info.param.mode) + std::to_string(info.param.order); });

} // namespace
