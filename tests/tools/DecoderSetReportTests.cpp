// The quality report at other sample rates: a generated set read as the plug-in's loader
// delivers it at that rate, measured against the HRTF set resampled to the same rate, gives
// the figures it gives at 48 kHz (the decoder is the same; only the rate differs).
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
