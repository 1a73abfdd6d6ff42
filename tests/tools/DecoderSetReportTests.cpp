// The quality report at other sample rates: a generated set read as the plug-in's loader
// delivers it at that rate (resampled, or the set made for that rate where there is one),
// measured against the HRTF set resampled to the same rate, gives the figures it gives at
// 48 kHz (the decoder is the same; only the rate differs).
#include "tools/DecoderSetGenerator.h"
#include "tools/DecoderSetReport.h"
#include "tools/HrtfSet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int kOrder = 3;
const char* const kSetName = "3OA-decoder-anechoic.wav";

class ReportAtRate : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite()
    {
        sFolder = fs::temp_directory_path() / ("qir-report-test-" + std::to_string(::getpid()));
        fs::create_directories(sFolder);
        std::ostringstream out;
        std::ostringstream err;
        ASSERT_EQ(qirtools::runDecoderSetGenerator({"--output", sFolder.string(), "--only", kSetName}, "/nonexistent",
                                                   out, err),
                  0)
            << err.str();
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(sFolder, ignored);
    }

    static qirtools::AnechoicReportFigures measure(double rate, qirtools::DecoderSet& set)
    {
        std::string error;
        EXPECT_TRUE(qirtools::readDecoderSetFile((sFolder / kSetName).string(), set, error, rate)) << error;
        const qirtools::HrtfSet hrtf = qirtools::HrtfSet::load(qirtools::kDefaultSofaPath, rate);
        return qirtools::measureAnechoicSet(set, kOrder, hrtf);
    }

    static fs::path sFolder;
};

fs::path ReportAtRate::sFolder;

TEST_P(ReportAtRate, GivesTheFiguresOf48Kilohertz)
{
    const int rate = GetParam();
    qirtools::DecoderSet reference;
    const qirtools::AnechoicReportFigures atReference = measure(48000.0, reference);
    qirtools::DecoderSet set;
    const qirtools::AnechoicReportFigures atRate = measure(rate, set);

    // The set as the loader delivers it: as long as in its file, at the rate.
    EXPECT_EQ(set.sampleRate, rate);
    EXPECT_EQ(set.length, (int64_t{16384} * rate + 47999) / 48000);
    EXPECT_EQ(set.numInputs, 16);

    EXPECT_NEAR(atRate.magnitudeMean, atReference.magnitudeMean, 0.02);
    EXPECT_NEAR(atRate.ildMean, atReference.ildMean, 0.02);
    EXPECT_NEAR(atRate.itdMean, atReference.itdMean, 1e-6);
    EXPECT_NEAR(atRate.itdP95, atReference.itdP95, 2e-6);
    // The measured responses are compared at their 48 kHz level, whatever the rate.
    EXPECT_NEAR(atRate.levelOffsetDb, atReference.levelOffsetDb, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Rates, ReportAtRate, ::testing::Values(44100, 96000),
                         [](const auto& info) { return std::to_string(info.param) + "Hz"; });

// The UHJ set at other rates: the loader reads the set made for the rate, whose all-pass pair
// the report finds as good as the 48 kHz set's (resampled, it was 90 +- 6.2 degrees at
// 44.1 kHz and 90 +- 0.85 degrees at 96 kHz, with magnitudes off by up to 1.5 dB).
class UhjReportAtRate : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite()
    {
        sFolder = fs::temp_directory_path() / ("qir-uhj-report-test-" + std::to_string(::getpid()));
        fs::create_directories(sFolder);
        std::vector<std::string> arguments {"--output", sFolder.string()};
        for (int rate : qirtools::uhjSampleRates())
            arguments.insert(arguments.end(), {"--only", qirtools::decoderSetFileName(qirtools::DecoderKind::Uhj, 1, rate)});
        std::ostringstream out;
        std::ostringstream err;
        ASSERT_EQ(qirtools::runDecoderSetGenerator(arguments, "/nonexistent", out, err), 0) << err.str();
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(sFolder, ignored);
    }

    static qirtools::UhjReportFigures measure(double rate, qirtools::DecoderSet& set)
    {
        std::string error;
        EXPECT_TRUE(qirtools::readDecoderSetFile((sFolder / "AMBIX_2_UHJ.wav").string(), set, error, rate)) << error;
        return qirtools::measureUhjSet(set);
    }

    static fs::path sFolder;
};

fs::path UhjReportAtRate::sFolder;

TEST_P(UhjReportAtRate, IsNinetyDegreesApartWithinFiveHundredthsOfADegreeAndFlatAsAt48Kilohertz)
{
    const int rate = GetParam();
    qirtools::DecoderSet reference;
    const qirtools::UhjReportFigures atReference = measure(48000.0, reference);
    qirtools::DecoderSet set;
    const qirtools::UhjReportFigures atRate = measure(rate, set);

    // The set made for the rate, as it is: as long as the 48 kHz one lasts.
    EXPECT_EQ(set.sampleRate, rate);
    EXPECT_EQ(set.length, (int64_t {16384} * rate + 47999) / 48000);
    EXPECT_EQ(atRate.phaseBandHighHz, 18000.0);

    for (const qirtools::UhjReportFigures* figures : {&atReference, &atRate}) {
        EXPECT_LE(figures->maxPhaseErrorDeg, 0.05);
        for (int branch = 0; branch < 2; ++branch) {
            EXPECT_GT(figures->magnitudeMinDb[branch], -0.01) << "branch " << branch;
            EXPECT_LT(figures->magnitudeMaxDb[branch], 0.01) << "branch " << branch;
        }
        EXPECT_EQ(figures->zEnergy, 0.0);
    }
    // Loudness-matched alike.
    EXPECT_NEAR(atRate.gainDb, atReference.gainDb, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Rates, UhjReportAtRate, ::testing::Values(44100, 96000),
                         [](const auto& info) { return std::to_string(info.param) + "Hz"; });

// The report says which UHJ file it measures: the one made for the rate, or the 48 kHz one
// resampled at a rate that has no set of its own.
TEST_F(UhjReportAtRate, NamesTheFileItMeasuresAtEachRate)
{
    struct Case {
        const char* rate;
        const char* line;
    };
    for (const Case c : {Case {"44100", "UHJ (AMBIX_2_UHJ-44100.wav, made for this rate):"},
                         Case {"50000", "UHJ (AMBIX_2_UHJ.wav, resampled):"},
                         Case {"48000", "UHJ (AMBIX_2_UHJ.wav):"}}) {
        SCOPED_TRACE(c.rate);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(qirtools::runDecoderSetReport({"--rate", c.rate, "--output", (sFolder / "report").string()},
                                                sFolder.string(), "/nonexistent", out, err),
                  0)
            << err.str();
        EXPECT_NE(out.str().find(c.line), std::string::npos) << out.str();
    }
}

TEST(DecoderSetReportCommand, RefusesARateItCannotBringTheSetsTo)
{
    for (const char* rate : {"4000", "400000", "fast", ""}) {
        SCOPED_TRACE(rate);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(qirtools::runDecoderSetReport({"--rate", rate}, "/nonexistent", "/nonexistent", out, err), 2);
        EXPECT_NE(err.str().find("give a sample rate from 8000 to 384000 Hz"), std::string::npos) << err.str();
    }
}

} // namespace
