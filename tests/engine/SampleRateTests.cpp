// tests/engine: decoder sets brought to the running rate. The sets hold
// band-limited pulses (Gaussians, far below every Nyquist frequency), so the
// response a set must have at any rate is known without resampling anything:
// the same pulses sampled at that rate, scaled by file rate / running rate.
#include "engine/DecoderSetResponses.h"
#include "tests/engine/EngineHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace qirtest {
namespace {

using qir::DecoderSetResponses;
using qir::QIRMatrixDecoderDSP;

constexpr int kFileLength = 16384;
constexpr int kFileRate = 48000;
// Width of every pulse in samples at the file's rate: its spectrum is 86 dB
// down at 4 kHz, the Nyquist frequency of the lowest rate served.
constexpr double kPulseWidth = 12.0;

struct Pulse {
    int mInput;
    int mOutput;
    double mCentre; // in samples at the file's rate
    double mAmplitude;
};

// A pulse near the end of a response, which a resampled set must keep whole
// (so its responses must grow beyond 16384 samples above 48 kHz), and an
// output whose responses start later than the other's.
const std::vector<Pulse> kPulses = {
    {0, 0, 1000.0, 0.5}, {0, 1, 1300.0, -0.25}, {1, 0, 600.0, 0.3}, {1, 1, 15000.0, 0.75}};
// The same without the late pulse: a set whose responses end early.
const std::vector<Pulse> kEarlyPulses = {{0, 0, 1000.0, 0.5}, {0, 1, 1300.0, -0.25}, {1, 0, 600.0, 0.3}};

double PulseValue(const std::vector<Pulse>& pulses, int input, int output, double fileSample)
{
    double value = 0.0;
    for (const Pulse& p : pulses) {
        if (p.mInput == input && p.mOutput == output) {
            const double x = (fileSample - p.mCentre) / kPulseWidth;
            value += p.mAmplitude * std::exp(-x * x);
        }
    }
    return value;
}

// A set of four inputs (two of them silent) holding the pulses.
DecoderSetIRs PulseSet(const std::vector<Pulse>& pulses)
{
    DecoderSetIRs set;
    for (int o = 0; o < 2; ++o) {
        set.ir[o].assign(4, std::vector<float>(kFileLength, 0.0f));
        for (int i = 0; i < 2; ++i) {
            for (int n = 0; n < kFileLength; ++n) {
                set.ir[o][static_cast<std::size_t>(i)][static_cast<std::size_t>(n)] =
                    static_cast<float>(PulseValue(pulses, i, o, n));
            }
        }
    }
    return set;
}

// The response from input into output at rate: the pulses sampled at rate and
// scaled so that each keeps its sum (its gain at low frequencies).
std::vector<double> ExpectedResponse(const std::vector<Pulse>& pulses, int input, int output, double rate,
                                     int length)
{
    std::vector<double> response(static_cast<std::size_t>(length));
    const double step = kFileRate / rate;
    for (int n = 0; n < length; ++n) {
        response[static_cast<std::size_t>(n)] = step * PulseValue(pulses, input, output, n * step);
    }
    return response;
}

// Other pulses than kPulses, for a set's file made for one rate: the responses
// show which file was read.
const std::vector<Pulse> kRatePulses = {{0, 0, 2000.0, -0.4}, {1, 1, 500.0, 0.6}, {1, 0, 15800.0, 0.2}};

// A set's file made for rate: the pulses sampled at rate, in responses that
// last as long as 16384 samples at 48 kHz.
DecoderSetIRs PulseSetAtRate(const std::vector<Pulse>& pulses, double rate)
{
    const int length = qir::ResponseLengthForRate(rate);
    DecoderSetIRs set;
    for (int o = 0; o < 2; ++o) {
        for (int i = 0; i < 4; ++i) {
            const std::vector<double> response = ExpectedResponse(pulses, i, o, rate, length);
            set.ir[o].emplace_back(response.begin(), response.end());
        }
    }
    return set;
}

// Largest difference between actual and expected, relative to expected's peak.
double PeakRelativeError(const float* actual, const std::vector<double>& expected)
{
    double peak = 0.0;
    double error = 0.0;
    for (std::size_t n = 0; n < expected.size(); ++n) {
        peak = std::max(peak, std::abs(expected[n]));
        error = std::max(error, std::abs(static_cast<double>(actual[n]) - expected[n]));
    }
    return peak > 0.0 ? error / peak : error;
}

class ResponsesAtRate : public ::testing::TestWithParam<int> {
protected:
    DecoderSetResponses Read(const std::vector<Pulse>& pulses)
    {
        writeDecoderSet(mDir.file("set.wav"), PulseSet(pulses));
        DecoderSetResponses set;
        std::string error;
        EXPECT_TRUE(qir::ReadDecoderSetResponses(mDir.file("set.wav"), GetParam(), 64, set, error)) << error;
        return set;
    }

    TempDir mDir;
};

TEST_P(ResponsesAtRate, AreThePulsesSampledAtTheRunningRateWithNoDelayAndTheSameGain)
{
    const int rate = GetParam();
    const DecoderSetResponses set = Read(kPulses);
    ASSERT_EQ(set.mNumInputs, 4);
    EXPECT_EQ(set.mSampleRate, rate);
    EXPECT_EQ(set.mFileSampleRate, kFileRate);
    // ceil(16384 * rate / 48000): the responses last as long as in the file.
    EXPECT_EQ(set.mLength, (int64_t{kFileLength} * rate + kFileRate - 1) / kFileRate);
    for (int i = 0; i < 4; ++i) {
        for (int o = 0; o < 2; ++o) {
            EXPECT_LT(PeakRelativeError(set.Response(i, o), ExpectedResponse(kPulses, i, o, rate, set.mLength)), 1e-4)
                << "input " << i << " output " << o;
        }
    }
}

TEST_P(ResponsesAtRate, TrueLengthEndsWhereTheResponsesBecomeExactZeros)
{
    const int rate = GetParam();
    const DecoderSetResponses set = Read(kEarlyPulses);
    ASSERT_GT(set.mTrueLength, 0);
    bool lastIsNonZero = false;
    for (int i = 0; i < set.mNumInputs; ++i) {
        for (int o = 0; o < 2; ++o) {
            const float* response = set.Response(i, o);
            lastIsNonZero = lastIsNonZero || response[set.mTrueLength - 1] != 0.0f;
            for (int n = set.mTrueLength; n < set.mLength; ++n) {
                ASSERT_EQ(response[n], 0.0f) << "input " << i << " output " << o << " sample " << n;
            }
        }
    }
    EXPECT_TRUE(lastIsNonZero);

    // In the file the pulses end where a float Gaussian underflows to zero; at
    // another rate the converter's filter reaches about 140 samples (at the
    // lower rate) beyond. The responses stop far short of their length.
    const DecoderSetIRs file = PulseSet(kEarlyPulses);
    int fileTrueLength = 0;
    for (const auto& output : file.ir) {
        for (const auto& response : output) {
            for (int n = 0; n < kFileLength; ++n) {
                if (response[static_cast<std::size_t>(n)] != 0.0f) {
                    fileTrueLength = std::max(fileTrueLength, n + 1);
                }
            }
        }
    }
    const double ratio = static_cast<double>(rate) / kFileRate;
    if (rate == kFileRate) {
        EXPECT_EQ(set.mTrueLength, fileTrueLength);
    } else {
        EXPECT_LE(set.mTrueLength, std::ceil(fileTrueLength * ratio) + 300.0 * std::max(1.0, ratio));
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, ResponsesAtRate,
                         ::testing::Values(8000, 22050, 44100, 48000, 88200, 96000, 192000, 384000),
                         [](const auto& info) { return std::to_string(info.param) + "Hz"; });

struct RefusalCase {
    const char* mName;
    int mFileRate;
    double mRunningRate;
};

class ResponsesRefused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ResponsesRefused, ForARateOutsideEightKilohertzTo384KilohertzWithASentence)
{
    const RefusalCase& c = GetParam();
    TempDir dir;
    writeDecoderSet(dir.file("set.wav"), PulseSet(kPulses), 2, 0, c.mFileRate);
    DecoderSetResponses set;
    std::string error;
    EXPECT_FALSE(qir::ReadDecoderSetResponses(dir.file("set.wav"), c.mRunningRate, 64, set, error));
    EXPECT_NE(error.find("8 kHz to 384 kHz"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Rates, ResponsesRefused,
    ::testing::Values(RefusalCase{"RunningBelow", kFileRate, 7999.0}, RefusalCase{"RunningAbove", kFileRate, 384001.0},
                      RefusalCase{"RunningNotANumber", kFileRate, std::numeric_limits<double>::quiet_NaN()},
                      RefusalCase{"FileBelow", 4000, 48000.0}, RefusalCase{"FileAbove", 400000, 48000.0}),
    [](const auto& info) { return std::string(info.param.mName); });

struct FileChoiceCase {
    const char* mName;
    double mRunningRate;
    // The file beside "set.wav": the rate in its name and in its header.
    int mNamedRate;
    int mHeaderRate;
    // What is read: the file made for the running rate as it is, or else the
    // regular file brought to the running rate; "" when refused.
    bool mReadsFileForRate;
    const char* mError;
};

class ResponsesFileChoice : public ::testing::TestWithParam<FileChoiceCase> {};

// A set's file made for the running rate ("set-44100.wav" beside "set.wav") is
// read as it is, without resampling; at any other rate the regular file is
// resampled as before, and a file whose header contradicts its name is refused.
TEST_P(ResponsesFileChoice, ReadsTheFileMadeForTheRunningRateAsItIs)
{
    const FileChoiceCase& c = GetParam();
    TempDir dir;
    writeDecoderSet(dir.file("set.wav"), PulseSet(kPulses));
    const std::string named = dir.file("set-" + std::to_string(c.mNamedRate) + ".wav");
    const DecoderSetIRs forRate = PulseSetAtRate(kRatePulses, c.mNamedRate);
    writeDecoderSet(named, forRate, 2, 0, c.mHeaderRate);

    DecoderSetResponses set;
    std::string error;
    const bool read = qir::ReadDecoderSetResponses(dir.file("set.wav"), c.mRunningRate, 64, set, error);
    if (*c.mError != '\0') {
        EXPECT_FALSE(read);
        EXPECT_NE(error.find(named + c.mError), std::string::npos) << error;
        return;
    }
    ASSERT_TRUE(read) << error;
    ASSERT_EQ(set.mNumInputs, 4);
    EXPECT_EQ(set.mSampleRate, c.mRunningRate);
    if (c.mReadsFileForRate) {
        EXPECT_EQ(set.mFileSampleRate, c.mNamedRate);
        ASSERT_EQ(set.mLength, qir::ResponseLengthForRate(c.mNamedRate));
        for (int i = 0; i < 4; ++i) {
            for (int o = 0; o < 2; ++o) {
                const std::vector<float>& expected = forRate.ir[o][static_cast<std::size_t>(i)];
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), set.Response(i, o)))
                    << "input " << i << " output " << o;
            }
        }
        return;
    }
    EXPECT_EQ(set.mFileSampleRate, kFileRate);
    for (int i = 0; i < 4; ++i) {
        for (int o = 0; o < 2; ++o) {
            EXPECT_LT(PeakRelativeError(set.Response(i, o),
                                        ExpectedResponse(kPulses, i, o, c.mRunningRate, set.mLength)),
                      1e-4)
                << "input " << i << " output " << o;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ResponsesFileChoice,
    ::testing::Values(FileChoiceCase{"MadeForTheRunningRate", 44100.0, 44100, 44100, true, ""},
                      FileChoiceCase{"MadeForAHigherRunningRate", 192000.0, 192000, 192000, true, ""},
                      FileChoiceCase{"MadeForAnotherRate", 96000.0, 44100, 44100, false, ""},
                      FileChoiceCase{"RunningRateNotInWholeHertz", 44100.5, 44100, 44100, false, ""},
                      FileChoiceCase{"HeaderContradictsTheName", 44100.0, 44100, 48000, false,
                                     " is named for 44100 Hz but made for 48000 Hz"}),
    [](const auto& info) { return std::string(info.param.mName); });

// The engine: sets loaded at the rate of the last reset, a reset at another rate
// reloading them.
class EngineAtRate : public EngineHarness {
protected:
    void SetUp() override
    {
        EngineHarness::SetUp();
        setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    }

    // One idle tick and its load; what it printed.
    std::string idleAndCapture()
    {
        ::testing::internal::CaptureStdout();
        idleAndWait();
        return ::testing::internal::GetCapturedStdout();
    }

    // Decodes unit impulses on inputs 0 and 1 and checks the output against the
    // responses of a set of pulses at rate, kLatency frames late.
    void ExpectDecodesPulsesAt(double rate, const std::vector<Pulse>& pulses = kPulses)
    {
        const int length = qir::ResampledLength(kFileLength, kFileRate, rate);
        Channels input(4, std::vector<float>(static_cast<std::size_t>(length + QIRMatrixDecoderDSP::kLatency), 0.0f));
        input[0][0] = 1.0f;
        input[1][0] = 1.0f;
        const Channels out = render(input, [] { return 512; });
        for (int o = 0; o < 2; ++o) {
            std::vector<double> expected = ExpectedResponse(pulses, 0, o, rate, length);
            const std::vector<double> second = ExpectedResponse(pulses, 1, o, rate, length);
            for (std::size_t n = 0; n < expected.size(); ++n) {
                expected[n] += second[n];
            }
            EXPECT_LT(PeakRelativeError(out[static_cast<std::size_t>(o)].data() + QIRMatrixDecoderDSP::kLatency,
                                        expected),
                      1e-4)
                << "output " << o << " at " << rate << " Hz";
        }
    }

    const std::string mSetPath = mDir.file("1OA-decoder-anechoic.wav");
};

class EngineLoadsAtRate : public EngineAtRate, public ::testing::WithParamInterface<int> {};

TEST_P(EngineLoadsAtRate, DecodesWithTheSetBroughtToTheRateOfTheReset)
{
    const int rate = GetParam();
    writeDecoderSet(mSetPath, PulseSet(kPulses));
    ASSERT_EQ(engine().OnReset(512, rate), QIRMatrixDecoderDSP::kLatency);
    EXPECT_EQ(idleAndCapture(), "QIRMatrixDecoder loaded " + mSetPath + "\n");
    EXPECT_EQ(engine().GetTailFrames(), 0) << "no set in use yet";
    settle(4);
    ExpectDecodesPulsesAt(rate);

    DecoderSetResponses responses;
    std::string error;
    ASSERT_TRUE(qir::ReadDecoderSetResponses(mSetPath, rate, 64, responses, error)) << error;
    EXPECT_EQ(engine().GetTailFrames(), responses.mTrueLength);
}

INSTANTIATE_TEST_SUITE_P(Rates, EngineLoadsAtRate, ::testing::Values(8000, 44100, 96000, 384000),
                         [](const auto& info) { return std::to_string(info.param) + "Hz"; });

TEST_F(EngineAtRate, AResetAtAnotherRateReloadsTheSetWhileTheOldOneKeepsPlaying)
{
    writeDecoderSet(mSetPath, PulseSet(kPulses));
    ASSERT_EQ(engine().OnReset(512, 48000.0), QIRMatrixDecoderDSP::kLatency);
    ASSERT_EQ(idleAndCapture(), "QIRMatrixDecoder loaded " + mSetPath + "\n");
    settle(4);
    const int tailAt48k = engine().GetTailFrames();

    // The same rate again: nothing to reload.
    engine().OnReset(256, 48000.0);
    EXPECT_FALSE(engine().IsLoadRequested());

    engine().OnReset(512, 96000.0);
    EXPECT_TRUE(engine().IsLoadRequested());
    // Until the reloaded set is in, the old one decodes: not silence.
    ExpectDecodesPulsesAt(48000.0);
    EXPECT_EQ(engine().GetTailFrames(), tailAt48k);

    EXPECT_EQ(idleAndCapture(), "QIRMatrixDecoder loaded " + mSetPath + "\n");
    settle(4);
    ExpectDecodesPulsesAt(96000.0);
    EXPECT_GT(engine().GetTailFrames(), tailAt48k);
}

// At a rate its set has a file of its own for, the loader reads that file (its
// line names it); at another rate it resamples the regular file, and back at
// the first rate it reads the file made for it again.
TEST_F(EngineAtRate, LoadsTheFileMadeForTheRunningRateAndTheRegularOneElsewhere)
{
    writeDecoderSet(mSetPath, PulseSet(kPulses));
    const std::string forRate = mDir.file("1OA-decoder-anechoic-44100.wav");
    writeDecoderSet(forRate, PulseSetAtRate(kRatePulses, 44100.0), 2, 0, 44100);

    struct Step {
        double mRate;
        const std::string& mFile;
        const std::vector<Pulse>& mPulses;
    };
    const Step steps[] = {
        {44100.0, forRate, kRatePulses}, {96000.0, mSetPath, kPulses}, {44100.0, forRate, kRatePulses}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.mRate);
        engine().OnReset(512, step.mRate);
        EXPECT_EQ(idleAndCapture(), "QIRMatrixDecoder loaded " + step.mFile + "\n");
        settle(4);
        ExpectDecodesPulsesAt(step.mRate, step.mPulses);
    }
}

struct UnsupportedCase {
    const char* mName;
    int mFileRate;
    double mRunningRate;
};

class EngineRefusesRate : public EngineAtRate, public ::testing::WithParamInterface<UnsupportedCase> {};

TEST_P(EngineRefusesRate, PrintsOneLineAndKeepsTheSetInUse)
{
    const UnsupportedCase& c = GetParam();
    writeDecoderSet(mSetPath, PulseSet(kPulses));
    ASSERT_EQ(engine().OnReset(512, 48000.0), QIRMatrixDecoderDSP::kLatency);
    ASSERT_EQ(idleAndCapture(), "QIRMatrixDecoder loaded " + mSetPath + "\n");
    settle(4);

    // The next load reads a set made for mFileRate at mRunningRate.
    const std::string path = mDir.file("2OA-decoder-anechoic.wav");
    writeDecoderSet(path, PulseSet(kPulses), 2, 0, c.mFileRate);
    engine().OnReset(512, c.mRunningRate);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 1);
    EXPECT_EQ(idleAndCapture(), "QIRMatrixDecoder couldn't load IR at " + path + "\n");
    settle(4);
    ExpectDecodesPulsesAt(48000.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, EngineRefusesRate,
                         ::testing::Values(UnsupportedCase{"RunningRateBelow", kFileRate, 4000.0},
                                           UnsupportedCase{"RunningRateAbove", kFileRate, 768000.0},
                                           UnsupportedCase{"FileRateBelow", 4000, 48000.0}),
                         [](const auto& info) { return std::string(info.param.mName); });

} // namespace
} // namespace qirtest
