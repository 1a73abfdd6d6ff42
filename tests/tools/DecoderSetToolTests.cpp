// Tests of the decoder-set generator: file layout, plane-wave decoding against the measured
// HRTF set, the UHJ all-pass pair, the room tail, determinism and the command's options.
// Sets are read back with libsndfile, independently of the writer and of the plug-in's reader.
#include "tools/DecoderSet.h"
#include "tools/DecoderSetGenerator.h"
#include "tools/HrtfSet.h"
#include "tools/RealFft.h"
#include "tools/SphereGeometry.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdint>
#include <complex>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using qirtools::HrtfSet;
using qirtools::RealFft;

constexpr int kLength = 16384;
constexpr double kFs = 48000.0;
constexpr double kPi = 3.14159265358979323846;

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempFolder {
public:
    explicit TempFolder(const std::string& tag)
    {
        static int counter = 0;
        mPath = fs::temp_directory_path() / ("qir-tools-test-" + std::to_string(::getpid()) + "-" + tag + "-" + std::to_string(counter++));
        fs::remove_all(mPath);
        fs::create_directories(mPath);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(mPath, ignored);
    }
    const fs::path& path() const { return mPath; }

private:
    fs::path mPath;
};

int generate(const std::vector<std::string>& arguments, std::string* errors = nullptr)
{
    std::ostringstream out;
    std::ostringstream err;
    const int status = qirtools::runDecoderSetGenerator(arguments, "/nonexistent-default", out, err);
    if (errors != nullptr)
        *errors = err.str();
    return status;
}

// Samples of every response of a set made for rate: as many as last as long as 16384 at 48 kHz.
int responseLengthAt(int rate)
{
    return static_cast<int>((int64_t {kLength} * rate + 47999) / 48000);
}

// A decoder set read with libsndfile: channel 0 and 1 de-interleaved; its responses as long as
// its rate implies.
struct FileSet {
    int channels = 0;
    int sampleRate = 0;
    int format = 0;
    long frames = 0;
    int length = kLength;
    std::vector<float> left;
    std::vector<float> right;
    int inputs() const { return static_cast<int>(frames / length); }
    const float* response(int input, int ear) const { return (ear == 0 ? left : right).data() + static_cast<size_t>(input) * static_cast<size_t>(length); }
};

FileSet readWithSndfile(const fs::path& path)
{
    FileSet set;
    SF_INFO info {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return set;
    set.channels = info.channels;
    set.sampleRate = info.samplerate;
    set.length = responseLengthAt(info.samplerate);
    set.format = info.format;
    set.frames = static_cast<long>(info.frames);
    std::vector<float> interleaved(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    if (info.channels == 2) {
        for (sf_count_t n = 0; n < info.frames; ++n) {
            set.left.push_back(interleaved[static_cast<size_t>(2 * n)]);
            set.right.push_back(interleaved[static_cast<size_t>(2 * n + 1)]);
        }
    }
    return set;
}

std::string fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The binaural response of a plane wave of amplitude 1 from (azimuth, elevation), SN3D with
// W = 1, decoded through the set as the plug-in's convolver would (input i's responses at
// frames 16384 i).
std::vector<float> decodePlaneWave(const FileSet& set, int order, float azimuth, float elevation, int ear)
{
    const std::vector<double> y = qirtools::harmonicsSn3d(order, {azimuth, elevation});
    std::vector<float> out(kLength, 0.0f);
    for (int i = 0; i < (order + 1) * (order + 1); ++i) {
        const float* h = set.response(i, ear);
        for (int n = 0; n < kLength; ++n)
            out[static_cast<size_t>(n)] += static_cast<float>(y[static_cast<size_t>(i)]) * h[n];
    }
    return out;
}

// Energy in dB of a response between two frequencies.
double bandEnergyDb(const float* response, int length, double lowHz, double highHz)
{
    RealFft fft(kLength);
    const auto spectrum = fft.forwardFloat(response, length);
    double power = 0.0;
    for (int k = 0; k < fft.numBins(); ++k) {
        const double f = k * kFs / kLength;
        if (f >= lowHz && f < highHz)
            power += std::norm(spectrum[static_cast<size_t>(k)]);
    }
    return 10.0 * std::log10(power + 1e-30);
}

// Sets generated on first use into one folder per test program; each test asks only for the
// files it reads, so that a test run in its own process does not pay for the others.
class GeneratedSets : public ::testing::Test {
protected:
    static void TearDownTestSuite()
    {
        delete sFolder;
        delete sHrtf;
        sFolder = nullptr;
        sHrtf = nullptr;
    }

    static const fs::path& folder()
    {
        if (sFolder == nullptr)
            sFolder = new TempFolder("sets");
        return sFolder->path();
    }

    static FileSet read(const std::string& name)
    {
        if (!fs::exists(folder() / name)) {
            std::string errors;
            EXPECT_EQ(generate({"--output", folder().string(), "--only", name}, &errors), 0) << errors;
        }
        return readWithSndfile(folder() / name);
    }

    static const HrtfSet& hrtf()
    {
        if (sHrtf == nullptr)
            sHrtf = new HrtfSet(HrtfSet::load(qirtools::kDefaultSofaPath, kFs));
        return *sHrtf;
    }

    static TempFolder* sFolder;
    static HrtfSet* sHrtf;
};

TempFolder* GeneratedSets::sFolder = nullptr;
HrtfSet* GeneratedSets::sHrtf = nullptr;

// The sets are 48 kHz with 16384 frames per input; the UHJ set made for another rate is at that
// rate with as many frames per input as last as long.
TEST_F(GeneratedSets, WritesOnlyTheRequestedFilesAsTwoChannelFloatWavOfOneDurationPerInput)
{
    struct Case {
        const char* name;
        int inputs;
        int rate;
        long framesPerInput;
    };
    const Case cases[] = {{"1OA-decoder-anechoic.wav", 4, 48000, 16384},
                          {"2OA-decoder-anechoic.wav", 9, 48000, 16384},
                          {"AMBIX_2_UHJ.wav", 4, 48000, 16384},
                          {"AMBIX_2_UHJ-22050.wav", 4, 22050, 7527},
                          {"AMBIX_2_UHJ-44100.wav", 4, 44100, 15053},
                          {"AMBIX_2_UHJ-192000.wav", 4, 192000, 65536}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FileSet set = read(c.name);
        EXPECT_EQ(set.channels, 2);
        EXPECT_EQ(set.sampleRate, c.rate);
        EXPECT_EQ(set.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        EXPECT_EQ(set.frames, c.inputs * c.framesPerInput);
    }
    // Nothing else: no other set and no temporary file left behind.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder())) {
        ++files;
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
    }
    EXPECT_EQ(files, static_cast<int>(std::size(cases)));
}

// Input i at frames 16384 i, left ear on channel 0: plane waves decoded through the file must
// show the interaural level relation of the direction and the level of the measured response.
TEST_F(GeneratedSets, PlaneWavesFromFrontAndSidesDecodeWithTheMeasuredInterauralLevelRelation)
{
    struct Case {
        float azimuth;
        float elevation;
        double minIld;
        double maxIld;
    };
    // ILD in dB (left minus right) over 1 to 8 kHz.
    const Case cases[] = {{0.0f, 0.0f, -1.5, 1.5}, {90.0f, 0.0f, 8.0, 40.0}, {-90.0f, 0.0f, -40.0, -8.0}, {180.0f, 0.0f, -1.5, 1.5}, {45.0f, 20.0f, 3.0, 40.0}};
    for (int order : {1, 3}) {
        const FileSet set = read(std::to_string(order) + "OA-decoder-anechoic.wav");
        ASSERT_EQ(set.inputs(), (order + 1) * (order + 1));
        for (const auto& c : cases) {
            SCOPED_TRACE("order " + std::to_string(order) + " azimuth " + std::to_string(c.azimuth) + " elevation " + std::to_string(c.elevation));
            const auto left = decodePlaneWave(set, order, c.azimuth, c.elevation, 0);
            const auto right = decodePlaneWave(set, order, c.azimuth, c.elevation, 1);
            const double ild = bandEnergyDb(left.data(), kLength, 1000.0, 8000.0) - bandEnergyDb(right.data(), kLength, 1000.0, 8000.0);
            EXPECT_GT(ild, c.minIld);
            EXPECT_LT(ild, c.maxIld);

            // The measured ILD has the same sign and roughly the same size.
            const int measured = hrtf().nearestDirection(c.azimuth, c.elevation);
            const double measuredIld = bandEnergyDb(hrtf().response(measured, 0), hrtf().length(), 1000.0, 8000.0)
                - bandEnergyDb(hrtf().response(measured, 1), hrtf().length(), 1000.0, 8000.0);
            EXPECT_NEAR(ild, measuredIld, order == 1 ? 6.0 : 3.0);

        }
    }
}

// Across the measured directions the decoded band levels follow the measured ones (a set
// whose inputs were misplaced would confuse front and back or left and right), and a plane
// wave of amplitude 1 decodes on average at the level of the measured response where the
// equalisation is neutral (200 Hz - 1 kHz).
double correlation(const std::vector<double>& a, const std::vector<double>& b)
{
    double ma = 0.0;
    double mb = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        ma += a[i] / static_cast<double>(a.size());
        mb += b[i] / static_cast<double>(a.size());
    }
    double sab = 0.0;
    double saa = 0.0;
    double sbb = 0.0;
    for (size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

TEST_F(GeneratedSets, PlaneWavesFollowTheMeasuredResponsesOfAllDirections)
{
    struct Case {
        int order;
        double minCorrelation;
        double levelTolerance;
    };
    // Order 1 loses some level between 500 Hz and 1 kHz, where it cannot resolve the head.
    for (const Case c : {Case {1, 0.8, 1.5}, Case {3, 0.95, 0.75}}) {
        SCOPED_TRACE("order " + std::to_string(c.order));
        const FileSet set = read(std::to_string(c.order) + "OA-decoder-anechoic.wav");
        std::vector<double> decoded;
        std::vector<double> measured;
        double levelOffset = 0.0;
        int count = 0;
        for (int d = 0; d < hrtf().numDirections(); d += 7) {
            for (int ear = 0; ear < 2; ++ear) {
                const auto response = decodePlaneWave(set, c.order, hrtf().azimuthDeg(d), hrtf().elevationDeg(d), ear);
                decoded.push_back(bandEnergyDb(response.data(), kLength, 2000.0, 6000.0));
                measured.push_back(bandEnergyDb(hrtf().response(d, ear), hrtf().length(), 2000.0, 6000.0));
                levelOffset += bandEnergyDb(response.data(), kLength, 200.0, 1000.0) - bandEnergyDb(hrtf().response(d, ear), hrtf().length(), 200.0, 1000.0);
                ++count;
            }
        }
        EXPECT_GT(correlation(decoded, measured), c.minCorrelation);
        EXPECT_NEAR(levelOffset / count, 0.0, c.levelTolerance);
    }
}

// The UHJ set at 48 kHz and the one made for each other common rate, and the band each is
// promised to hold the pair at 90 degrees over: 40 Hz to 18 kHz, or to 0.45 of the rate
// where that is lower.
struct UhjCase {
    const char* name;
    int rate;
    double bandHighHz;
};

class GeneratedUhjSets : public GeneratedSets, public ::testing::WithParamInterface<UhjCase> {
protected:
    static int fftSizeFor(int length)
    {
        int size = 1;
        while (size < length)
            size *= 2;
        return size;
    }

    // The level at 1 kHz by which a source at the left (W = 1, Y = 1) reaches the left output
    // above the UHJ equations' level: the set's one gain (its loudness match), dB; and the
    // near-to-far difference and that gain at each of the frequencies.
    struct SideLevels {
        std::vector<double> nearMinusFar;
        std::vector<double> gains;
    };
    static SideLevels sideLevels(const FileSet& set, const std::vector<double>& frequencies)
    {
        const double s = 0.9396926 / std::sqrt(2.0);
        const std::complex<double> d(0.6554516, -0.3420201 / std::sqrt(2.0));
        const double near = 20.0 * std::log10(0.5 * std::abs(s + d));
        SideLevels levels;
        for (double side : {1.0, -1.0}) {
            std::vector<float> out[2] = {std::vector<float>(static_cast<size_t>(set.length)), std::vector<float>(static_cast<size_t>(set.length))};
            for (int ear = 0; ear < 2; ++ear)
                for (int n = 0; n < set.length; ++n)
                    out[ear][static_cast<size_t>(n)] = set.response(0, ear)[n] + static_cast<float>(side) * set.response(1, ear)[n];
            RealFft fft(fftSizeFor(set.length));
            const auto l = fft.forwardFloat(out[0].data(), set.length);
            const auto r = fft.forwardFloat(out[1].data(), set.length);
            for (double f : frequencies) {
                const size_t k = static_cast<size_t>(std::lround(f * fft.size() / set.sampleRate));
                const double leftDb = 20.0 * std::log10(std::abs(l[k]));
                const double rightDb = 20.0 * std::log10(std::abs(r[k]));
                const double nearDb = side > 0 ? leftDb : rightDb;
                const double farDb = side > 0 ? rightDb : leftDb;
                levels.nearMinusFar.push_back(nearDb - farDb);
                levels.gains.push_back(nearDb - near);
            }
        }
        return levels;
    }
};

TEST_P(GeneratedUhjSets, AllPassPairIsNinetyDegreesApartWithinFiveHundredthsOfADegreeAndFlat)
{
    const UhjCase& c = GetParam();
    const FileSet set = read(c.name);
    ASSERT_EQ(set.sampleRate, c.rate);
    ASSERT_EQ(set.inputs(), 4);
    // From the standard equations: Y reaches the left output as 0.5 * 0.6554516 * reference,
    // X as 0.5 * (0.1855740 * reference + 0.5098604 * shifted).
    const int length = set.length;
    std::vector<double> reference(static_cast<size_t>(length));
    std::vector<double> shifted(static_cast<size_t>(length));
    for (int n = 0; n < length; ++n) {
        reference[static_cast<size_t>(n)] = 2.0 * set.response(1, 0)[n] / 0.6554516;
        shifted[static_cast<size_t>(n)] = (2.0 * set.response(3, 0)[n] - 0.1855740 * reference[static_cast<size_t>(n)]) / 0.5098604;
    }
    RealFft fft(fftSizeFor(length));
    const auto a = fft.forward(shifted);
    const auto b = fft.forward(reference);
    double worstPhase = 0.0;
    double lowestDb[2] = {1e9, 1e9};
    double highestDb[2] = {-1e9, -1e9};
    for (int k = 1; k < fft.numBins(); ++k) {
        const double f = k * static_cast<double>(c.rate) / fft.size();
        if (f >= 40.0 && f <= c.bandHighHz)
            worstPhase = std::max(worstPhase, std::abs(std::arg(a[static_cast<size_t>(k)] / b[static_cast<size_t>(k)]) * 180.0 / kPi - 90.0));
        if (f >= 20.0 && f <= std::min(20000.0, c.bandHighHz))
            for (int branch = 0; branch < 2; ++branch) {
                const double level = 20.0 * std::log10(std::abs((branch == 0 ? a : b)[static_cast<size_t>(k)]));
                lowestDb[branch] = std::min(lowestDb[branch], level);
                highestDb[branch] = std::max(highestDb[branch], level);
            }
    }
    EXPECT_LE(worstPhase, 0.05);
    // Both branches flat and equal: the set is the equations times one gain (its loudness
    // match), which both branches carry.
    for (int branch = 0; branch < 2; ++branch)
        EXPECT_LT(highestDb[branch] - lowestDb[branch], 0.01) << "branch " << branch;
    EXPECT_NEAR(highestDb[0], highestDb[1], 0.01);

    // Causal with no bulk delay: the responses start at sample 0.
    EXPECT_GT(std::abs(set.response(0, 0)[0]), 1e-3f);
    EXPECT_GT(std::abs(set.response(1, 0)[0]), 1e-3f);
    // Z is not part of UHJ.
    for (int ear = 0; ear < 2; ++ear)
        for (int n = 0; n < length; ++n)
            ASSERT_EQ(set.response(2, ear)[n], 0.0f);
}

// A source at the left (W = 1, Y = 1) or right gives the channel levels of the UHJ equations,
// |L| = 0.5 |S + D| with S = 0.9396926 / sqrt 2, D = 0.6554516 - j 0.3420201 / sqrt 2, times
// the one gain of the set's loudness match: the same near-to-far difference, the same gain on
// both sides at every frequency, and the gain of the 48 kHz set at every rate, so that
// switching rates keeps the loudness.
TEST_P(GeneratedUhjSets, PlacesSideSourcesWithTheLevelsOfTheEncodingEquationsAndTheLoudnessOf48Kilohertz)
{
    const UhjCase& c = GetParam();
    const double s = 0.9396926 / std::sqrt(2.0);
    const std::complex<double> d(0.6554516, -0.3420201 / std::sqrt(2.0));
    const double nearMinusFar = 20.0 * std::log10(std::abs(s + d) / std::abs(s - d));
    const std::vector<double> frequencies = {100.0, 1000.0, std::min(10000.0, c.bandHighHz)};
    const SideLevels levels = sideLevels(read(c.name), frequencies);
    for (size_t i = 0; i < levels.nearMinusFar.size(); ++i)
        EXPECT_NEAR(levels.nearMinusFar[i], nearMinusFar, 0.3) << frequencies[i % frequencies.size()] << " Hz";
    const auto [lowest, highest] = std::minmax_element(levels.gains.begin(), levels.gains.end());
    EXPECT_LT(*highest - *lowest, 0.3);

    const SideLevels at48k = sideLevels(read("AMBIX_2_UHJ.wav"), {1000.0});
    EXPECT_NEAR(levels.gains[1], at48k.gains[0], 0.01);
}

INSTANTIATE_TEST_SUITE_P(Rates, GeneratedUhjSets,
                         ::testing::Values(UhjCase {"AMBIX_2_UHJ.wav", 48000, 18000.0},
                                           UhjCase {"AMBIX_2_UHJ-22050.wav", 22050, 9922.5},
                                           UhjCase {"AMBIX_2_UHJ-32000.wav", 32000, 14400.0},
                                           UhjCase {"AMBIX_2_UHJ-44100.wav", 44100, 18000.0},
                                           UhjCase {"AMBIX_2_UHJ-88200.wav", 88200, 18000.0},
                                           UhjCase {"AMBIX_2_UHJ-96000.wav", 96000, 18000.0},
                                           UhjCase {"AMBIX_2_UHJ-176400.wav", 176400, 18000.0},
                                           UhjCase {"AMBIX_2_UHJ-192000.wav", 192000, 18000.0}),
                         [](const auto& info) { return std::to_string(info.param.rate) + "Hz"; });

TEST_F(GeneratedSets, RoomTailDecaysWithAboutAThirdOfASecondAndEndsBelowMinus60Decibels)
{
    const FileSet set = read("1OA-decoder-room.wav");
    ASSERT_EQ(set.inputs(), 4);
    // Energy of the omnidirectional (W) response, both ears, in 50 ms windows from 100 ms on:
    // the decay rate gives the reverberation time.
    auto windowEnergyDb = [&](double start) {
        double energy = 0.0;
        for (int ear = 0; ear < 2; ++ear)
            for (int n = static_cast<int>(start * kFs); n < static_cast<int>((start + 0.05) * kFs); ++n)
                energy += static_cast<double>(set.response(0, ear)[n]) * set.response(0, ear)[n];
        return 10.0 * std::log10(energy + 1e-30);
    };
    const double decayDbPerSecond = (windowEnergyDb(0.10) - windowEnergyDb(0.25)) / 0.15;
    const double rt60 = 60.0 / decayDbPerSecond;
    EXPECT_GT(rt60, 0.2);
    EXPECT_LT(rt60, 0.45);

    // The last 1024 samples of every response stay 60 dB below the set's peak.
    float peak = 0.0f;
    float end = 0.0f;
    for (int ear = 0; ear < 2; ++ear)
        for (int i = 0; i < set.inputs(); ++i)
            for (int n = 0; n < kLength; ++n) {
                peak = std::max(peak, std::abs(set.response(i, ear)[n]));
                if (n >= kLength - 1024)
                    end = std::max(end, std::abs(set.response(i, ear)[n]));
            }
    EXPECT_LT(20.0 * std::log10(end / peak), -60.0);

    // The room set starts with the anechoic set's direct sound: nothing else arrives in the
    // first 1.75 ms (the virtual loudspeakers keep their distance from the walls). The two
    // sets are loudness-matched, so the room's direct sound is the anechoic one times one
    // gain below 1: the room's reflections and tail take their share of the level.
    const FileSet anechoic = read("1OA-decoder-anechoic.wav");
    double cross = 0.0;
    double direct = 0.0;
    for (int i = 0; i < 4; ++i)
        for (int ear = 0; ear < 2; ++ear)
            for (int n = 0; n < 84; ++n) {
                cross += static_cast<double>(set.response(i, ear)[n]) * anechoic.response(i, ear)[n];
                direct += static_cast<double>(anechoic.response(i, ear)[n]) * anechoic.response(i, ear)[n];
            }
    const double gain = cross / direct;
    EXPECT_GT(gain, 0.1);
    EXPECT_LT(gain, 0.9);
    for (int i = 0; i < 4; ++i)
        for (int ear = 0; ear < 2; ++ear) {
            double difference = 0.0;
            double energy = 0.0;
            for (int n = 0; n < 84; ++n) {
                const double d = set.response(i, ear)[n] - gain * anechoic.response(i, ear)[n];
                difference += d * d;
                energy += static_cast<double>(anechoic.response(i, ear)[n]) * anechoic.response(i, ear)[n];
            }
            EXPECT_LT(difference, 1e-4 * gain * gain * energy) << "input " << i << " ear " << ear;
        }
}

TEST_F(GeneratedSets, GeneratingAgainGivesTheSameBytes)
{
    const char* const names[] = {"1OA-decoder-room.wav", "AMBIX_2_UHJ.wav", "AMBIX_2_UHJ-44100.wav", "3OA-decoder-anechoic.wav"};
    for (const char* name : names)
        read(name);
    TempFolder again("again");
    std::vector<std::string> arguments {"--output", again.path().string()};
    for (const char* name : names)
        arguments.insert(arguments.end(), {"--only", name});
    ASSERT_EQ(generate(arguments), 0);
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const std::string first = fileBytes(folder() / name);
        EXPECT_FALSE(first.empty());
        EXPECT_TRUE(first == fileBytes(again.path() / name));
    }
}

// A two-channel float WAV of one 16384-frame input whose software tag is the given text.
void writeTaggedWav(const fs::path& path, const char* software)
{
    SF_INFO info {};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_set_string(file, SF_STR_SOFTWARE, software);
    std::vector<float> frames(2 * kLength, 0.0f);
    sf_writef_float(file, frames.data(), kLength);
    sf_close(file);
}

// --if-missing keeps a set made by this generator version, without opening the HRTF set, and
// makes again a set of an older version or a file that is no set of this generator; the UHJ
// sets made for other rates like the others.
TEST(DecoderSetGenerator, IfMissingKeepsCurrentSetsAndRemakesOutdatedOnes)
{
    for (const std::string name : {"AMBIX_2_UHJ.wav", "AMBIX_2_UHJ-96000.wav"}) {
        SCOPED_TRACE(name);
        TempFolder reference("reference");
        ASSERT_EQ(generate({"--output", reference.path().string(), "--only", name}), 0);
        const std::string current = fileBytes(reference.path() / name);

        struct Case {
            const char* what;
            std::function<void(const fs::path&)> make;
            bool kept;
        };
        const Case cases[] = {
            {"a set of this version", [&](const fs::path& p) { fs::copy_file(reference.path() / name, p); }, true},
            {"a set of version 1", [](const fs::path& p) { writeTaggedWav(p, "qir-make-decoder-sets 1"); }, false},
            {"a WAV file of another program", [](const fs::path& p) { writeTaggedWav(p, "sox"); }, false},
            {"a text file", [](const fs::path& p) { std::ofstream(p) << "not a set"; }, false},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            TempFolder folder("keep");
            const fs::path path = folder.path() / name;
            c.make(path);
            const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(1);
            fs::last_write_time(path, stamp);
            // The HRTF path is invalid: it must not even be opened for the UHJ set.
            std::string errors;
            EXPECT_EQ(generate({"--output", folder.path().string(), "--if-missing", "--only", name, "--sofa", "/nonexistent.sofa"}, &errors), 0) << errors;
            EXPECT_EQ(fs::last_write_time(path) == stamp, c.kept);
            EXPECT_TRUE(fileBytes(path) == current);
        }
    }

    // A binaural set of this version is kept without reading the HRTF set.
    TempFolder folder("keep-binaural");
    const fs::path binaural = folder.path() / "2OA-decoder-anechoic.wav";
    writeTaggedWav(binaural, ("qir-make-decoder-sets " + std::to_string(qirtools::kDecoderSetGeneratorVersion)).c_str());
    const std::string before = fileBytes(binaural);
    EXPECT_EQ(generate({"--output", folder.path().string(), "--if-missing", "--only", "2OA-decoder-anechoic.wav", "--sofa", "/nonexistent.sofa"}), 0);
    EXPECT_TRUE(fileBytes(binaural) == before);
}

// Files that are not usable HRTF sets, made in folder: a WAV file, a KEMAR set cut to a
// third of its length, an empty file.
void writeBadSofaFiles(const fs::path& folder)
{
    SF_INFO info {};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* wav = sf_open((folder / "noise.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(wav, nullptr);
    std::vector<short> frames(2 * 4800, 1000);
    sf_writef_short(wav, frames.data(), 4800);
    sf_close(wav);
    const std::string kemar = fileBytes(qirtools::kDefaultSofaPath);
    ASSERT_FALSE(kemar.empty());
    std::ofstream(folder / "cut.sofa", std::ios::binary) << kemar.substr(0, kemar.size() / 3);
    std::ofstream(folder / "empty.sofa");
}

TEST(DecoderSetGenerator, RejectsBadArgumentsAndUnusableHrtfFilesAndLeavesNoFilesOnFailure)
{
    struct Case {
        std::vector<std::string> extra;
        int status;
        const char* message;
    };
    // {dir} stands for the case's folder, which holds the files of writeBadSofaFiles.
    const Case cases[] = {
        {{"--only", "8OA-decoder-anechoic.wav"}, 2, "unknown decoder set"},
        {{"--frobnicate"}, 2, "unknown option"},
        {{"--sofa"}, 2, "needs a value"},
        {{"--only", "1OA-decoder-anechoic.wav", "--sofa", "/nonexistent.sofa"}, 1, "the SOFA file /nonexistent.sofa does not exist"},
        {{"--only", "1OA-decoder-room.wav", "--sofa", "{dir}/noise.wav"}, 1, "noise.wav is a WAV audio file, not a SOFA file"},
        {{"--only", "2OA-decoder-anechoic.wav", "--sofa", "{dir}/cut.sofa"}, 1, "cut.sofa is damaged or truncated"},
        {{"--only", "1OA-decoder-anechoic.wav", "--sofa", "{dir}/empty.sofa"}, 1, "empty.sofa is empty"},
        {{"--only", "1OA-decoder-anechoic.wav", "--sofa", "{dir}"}, 1, "is a folder, not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        TempFolder folder("bad");
        writeBadSofaFiles(folder.path());
        std::vector<std::string> arguments {"--output", (folder.path() / "sets").string()};
        for (std::string argument : c.extra) {
            if (const auto at = argument.find("{dir}"); at != std::string::npos)
                argument.replace(at, 5, folder.path().string());
            arguments.push_back(argument);
        }
        std::string errors;
        EXPECT_EQ(generate(arguments, &errors), c.status);
        EXPECT_NE(errors.find(c.message), std::string::npos) << errors;
        // A failure is one sentence, not a library's error number.
        if (c.status == 1) {
            EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
            EXPECT_EQ(errors.find("libmysofa error"), std::string::npos) << errors;
        }
        if (fs::exists(folder.path() / "sets")) {
            EXPECT_TRUE(fs::is_empty(folder.path() / "sets"));
        }
    }
}

} // namespace
