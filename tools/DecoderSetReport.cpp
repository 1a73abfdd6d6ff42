// tools: quality report of the generated decoder sets.
#include "tools/DecoderSetReport.h"

#include "audiofile/AudioFileReader.h"
#include "engine/DecoderSetResponses.h"
#include "tools/AnechoicDesigner.h"
#include "tools/BinauralMeasures.h"
#include "tools/DiffuseFieldLevel.h"
#include "tools/DecoderSetGenerator.h"
#include "tools/RealFft.h"
#include "tools/SphereGeometry.h"
#include "tools/UhjDesigner.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <memory>
#include <ostream>
#include <sstream>

namespace qirtools {

namespace {

constexpr int kMaxOrder = 7;
// Start of the late tail of the room sets for the coherence figure.
constexpr double kLateStartSeconds = 0.080;
// The end of the room sets' responses whose level is reported: 1024 samples at 48 kHz.
constexpr double kEndSeconds = 1024.0 / kDecoderSetSampleRate;
// Bands are measured up to this fraction of the sample rate: at lower rates the bands above
// it are left out, since the resampler's filter takes the last tenth below the Nyquist
// frequency.
constexpr double kBandLimitOfRate = 0.45;
// Highest frequency the interaural time difference looks at (its low-pass is 4th order at
// 1.5 kHz, 30 dB down at 3 kHz).
constexpr double kItdAnalysisHz = 4000.0;
// The band of the UHJ set's magnitude figures (up to 0.45 times the rate where that is lower).
constexpr double kUhjMagnitudeLowHz = 20.0;
constexpr double kUhjMagnitudeHighHz = 20000.0;
const double kOctaveCentres[] = {125.0, 250.0, 500.0, 1000.0, 2000.0, 4000.0, 8000.0};

// Hertz as kilohertz with up to three digits: 18000 -> "18", 9922.5 -> "9.92".
std::string kiloHertz(double hz)
{
    std::ostringstream text;
    text << std::setprecision(3) << hz / 1000.0;
    return text.str();
}

int nextPowerOfTwo(int n)
{
    int size = 1;
    while (size < n)
        size *= 2;
    return size;
}

double mean(const std::vector<double>& values)
{
    double sum = 0.0;
    for (double v : values)
        sum += v;
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

double percentile95(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(std::ceil(0.95 * static_cast<double>(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

std::string quoted(const std::string& path)
{
    std::string result = "'";
    for (char c : path) {
        if (c == '\'')
            result += "'\\''";
        else
            result += c;
    }
    return result + "'";
}

// Runs gnuplot on a script; false when gnuplot is missing or fails.
bool runGnuplot(const std::filesystem::path& script)
{
    const std::string command = "gnuplot " + quoted(script.string()) + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

struct RoomFigures {
    int order = 0;
    std::vector<double> reverberationTimes;
    std::vector<double> coherence;
    double endLevelDb = 0.0;
};

RoomFigures measureRoomSet(const DecoderSet& set, int order)
{
    RoomFigures figures;
    figures.order = order;
    std::vector<std::vector<double>> lefts;
    std::vector<std::vector<double>> rights;
    std::vector<double> powers;
    for (int i = 0; i < set.numInputs; ++i) {
        lefts.emplace_back(set.response(i, 0), set.response(i, 0) + set.length);
        rights.emplace_back(set.response(i, 1), set.response(i, 1) + set.length);
        // A diffuse field: SN3D channels of degree n carry 1/(2n+1) of the omni power.
        powers.push_back(1.0 / (2.0 * degreeOfChannel(i) + 1.0));
    }
    for (double centre : kOctaveCentres) {
        const double l = reverberationTime(lefts[0], set.sampleRate, centre);
        const double r = reverberationTime(rights[0], set.sampleRate, centre);
        figures.reverberationTimes.push_back(l > 0.0 && r > 0.0 ? 0.5 * (l + r) : -1.0);
        figures.coherence.push_back(interauralCoherence(lefts, rights, powers, set.sampleRate, centre,
                                                        static_cast<int>(kLateStartSeconds * set.sampleRate)));
    }
    // Largest magnitude in the last 21.3 ms (1024 samples at 48 kHz) of any response,
    // relative to the largest magnitude of the whole set.
    const int endStart = set.length - static_cast<int>(std::lround(kEndSeconds * set.sampleRate));
    double peak = 0.0;
    double end = 0.0;
    for (int ear = 0; ear < 2; ++ear)
        for (int i = 0; i < set.numInputs; ++i) {
            const float* h = set.response(i, ear);
            for (int n = 0; n < set.length; ++n) {
                peak = std::max(peak, static_cast<double>(std::abs(h[n])));
                if (n >= endStart)
                    end = std::max(end, static_cast<double>(std::abs(h[n])));
            }
        }
    figures.endLevelDb = 20.0 * std::log10(std::max(end, 1e-30) / std::max(peak, 1e-30));
    return figures;
}

} // namespace

bool readDecoderSetFile(const std::string& path, DecoderSet& set, std::string& error, double sampleRate)
{
    // The plug-in's loader: the file made for the rate where there is one, its reader, and
    // its resampling to the running rate.
    const qir::DecoderSetFile file = qir::ChooseDecoderSetFile(path, sampleRate);
    {
        dspkit::AudioFileReader reader(file.mPath);
        if (reader.getIsError() || !reader.isOpen()) {
            error = "cannot read " + file.mPath;
            for (auto e : reader.getErrors())
                error += ": " + dspkit::AudioFileFormat::getErrorString(e);
            return false;
        }
        if (reader.getChannels() != 2 || reader.getFrames() < static_cast<unsigned int>(file.mResponseLength)) {
            error = file.mPath + " is not a two-channel decoder set of at least one input";
            return false;
        }
    }
    qir::DecoderSetResponses responses;
    if (!qir::ReadDecoderSetResponses(file, sampleRate, 64, responses, error))
        return false;
    set = DecoderSet(responses.mNumInputs, responses.mLength, responses.mSampleRate);
    set.left = std::move(responses.mResponses[0]);
    set.right = std::move(responses.mResponses[1]);
    return true;
}

double responseItd(const float* left, const float* right, int length, double sampleRate)
{
    RealFft fft(nextPowerOfTwo(length));
    const auto l = fft.forwardFloat(left, length);
    const auto r = fft.forwardFloat(right, length);
    return interauralTimeDifference(fft, l.data(), r.data(), sampleRate);
}

UhjReportFigures measureUhjSet(const DecoderSet& set)
{
    using C = UhjCoefficients;
    UhjReportFigures figures;
    figures.phaseBandHighHz = uhjBandHighHz(set.sampleRate);
    figures.magnitudeBandHighHz = std::min(kUhjMagnitudeHighHz, kBandLimitOfRate * set.sampleRate);
    // The pair from the Y and X responses into the left output.
    const int size = set.length;
    std::vector<double> reference(static_cast<size_t>(size));
    std::vector<double> shifted(static_cast<size_t>(size));
    for (int n = 0; n < size; ++n) {
        reference[static_cast<size_t>(n)] = 2.0 * set.response(1, 0)[n] / C::kDY;
        shifted[static_cast<size_t>(n)] = (2.0 * set.response(3, 0)[n] - C::kSX * reference[static_cast<size_t>(n)]) / C::kDX;
    }
    for (int ear = 0; ear < 2; ++ear)
        for (int n = 0; n < size; ++n)
            figures.zEnergy += static_cast<double>(set.response(2, ear)[n]) * set.response(2, ear)[n];
    RealFft fft(nextPowerOfTwo(size));
    const auto a = fft.forward(shifted);
    const auto b = fft.forward(reference);
    const double binHz = set.sampleRate / fft.size();
    // The reference branch is an all-pass: its magnitude at 1 kHz is the set's gain.
    figures.gainDb = 20.0 * std::log10(std::abs(b[static_cast<size_t>(std::lround(1000.0 / binHz))]));
    for (int branch = 0; branch < 2; ++branch) {
        figures.magnitudeMinDb[branch] = 1e9;
        figures.magnitudeMaxDb[branch] = -1e9;
    }
    for (int k = 1; k < fft.numBins(); ++k) {
        const double f = k * binHz;
        if (f < kUhjMagnitudeLowHz || f > figures.magnitudeBandHighHz)
            continue;
        const double magnitudes[2] = {20.0 * std::log10(std::abs(a[static_cast<size_t>(k)])) - figures.gainDb,
                                      20.0 * std::log10(std::abs(b[static_cast<size_t>(k)])) - figures.gainDb};
        for (int branch = 0; branch < 2; ++branch) {
            figures.magnitudeMinDb[branch] = std::min(figures.magnitudeMinDb[branch], magnitudes[branch]);
            figures.magnitudeMaxDb[branch] = std::max(figures.magnitudeMaxDb[branch], magnitudes[branch]);
        }
        const double difference = std::arg(a[static_cast<size_t>(k)] / b[static_cast<size_t>(k)]) * 180.0 / 3.14159265358979323846;
        if (f >= kUhjBandLowHz && f <= figures.phaseBandHighHz && std::abs(difference - 90.0) > figures.maxPhaseErrorDeg) {
            figures.maxPhaseErrorDeg = std::abs(difference - 90.0);
            figures.worstPhaseFrequencyHz = f;
        }
        figures.frequencies.push_back(f);
        figures.phaseDifference.push_back(difference);
    }
    return figures;
}

AnechoicReportFigures measureAnechoicSet(const DecoderSet& set, int order, const HrtfSet& hrtf)
{
    AnechoicReportFigures figures;
    figures.order = order;
    const int numChannels = std::min((order + 1) * (order + 1), set.numInputs);
    const auto& bands = reportBands();
    const double fs = set.sampleRate;
    // The bands the rate carries.
    int numBands = 0;
    while (numBands < static_cast<int>(bands.size()) && bands[static_cast<size_t>(numBands)].highHz < kBandLimitOfRate * fs)
        ++numBands;
    const int transform = nextPowerOfTwo(std::max(set.length, hrtf.length()));
    // The HRTF set keeps its sample values when it is resampled, so its level grows with the
    // rate; the sets, fitted to it at 48 kHz, keep their level at every rate. The measured
    // responses are compared at the level they have at 48 kHz.
    const double measuredGain = kDecoderSetSampleRate / hrtf.sampleRate();
    const double binHz = fs / transform;
    const int usedBins = std::min(transform / 2 + 1, static_cast<int>(std::ceil(bands.back().highHz / binHz)) + 2);
    RealFft fft(transform);

    // Spectra of the decoder's filters (only the bins the measures use).
    std::vector<std::complex<double>> filters(static_cast<size_t>(numChannels) * 2 * static_cast<size_t>(usedBins));
    for (int i = 0; i < numChannels; ++i)
        for (int ear = 0; ear < 2; ++ear) {
            const auto spectrum = fft.forwardFloat(set.response(i, ear), set.length);
            std::copy_n(spectrum.begin(), usedBins, filters.begin() + static_cast<std::ptrdiff_t>((static_cast<size_t>(i) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(usedBins)));
        }
    auto decode = [&](const double* y, int ear, std::vector<std::complex<double>>& out) {
        std::fill(out.begin(), out.end(), 0.0);
        for (int i = 0; i < numChannels; ++i) {
            const std::complex<double>* f = filters.data() + (static_cast<size_t>(i) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(usedBins);
            const double g = y[i];
            for (int k = 0; k < usedBins; ++k)
                out[static_cast<size_t>(k)] += g * f[k];
        }
    };

    const int numDirections = hrtf.numDirections();
    const std::vector<double> y = harmonicsSn3d(order, hrtf.directionsDeg());
    const int stride = (order + 1) * (order + 1);
    // Bins kept for the interaural time difference (its low-pass leaves nothing above).
    const int itdBins = std::min(usedBins, static_cast<int>(std::ceil(kItdAnalysisHz / binHz)));
    std::vector<double> difference(static_cast<size_t>(numDirections) * 2 * static_cast<size_t>(numBands));
    std::vector<double> ildDifference(static_cast<size_t>(numDirections) * static_cast<size_t>(numBands));
    std::vector<double> levelOffsets;
    std::vector<std::complex<double>> decodedLow(static_cast<size_t>(numDirections) * 2 * static_cast<size_t>(itdBins));
    std::vector<std::complex<double>> measuredLow(decodedLow.size());
    std::vector<double> decodedPower(static_cast<size_t>(itdBins), 0.0);
    std::vector<double> measuredPower(static_cast<size_t>(itdBins), 0.0);
    std::vector<std::complex<double>> scratch(static_cast<size_t>(usedBins));
    for (int d = 0; d < numDirections; ++d) {
        std::vector<double> decodedLevels[2];
        std::vector<double> measuredLevels[2];
        for (int ear = 0; ear < 2; ++ear) {
            decode(y.data() + static_cast<size_t>(d * stride), ear, scratch);
            auto measured = fft.forwardFloat(hrtf.response(d, ear), hrtf.length());
            for (auto& bin : measured)
                bin *= measuredGain;
            decodedLevels[ear] = bandLevelsDb(scratch.data(), usedBins, binHz);
            measuredLevels[ear] = bandLevelsDb(measured.data(), fft.numBins(), binHz);
            const size_t row = (static_cast<size_t>(d) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(itdBins);
            for (int k = 0; k < itdBins; ++k) {
                decodedLow[row + static_cast<size_t>(k)] = scratch[static_cast<size_t>(k)];
                measuredLow[row + static_cast<size_t>(k)] = measured[static_cast<size_t>(k)];
                decodedPower[static_cast<size_t>(k)] += std::norm(scratch[static_cast<size_t>(k)]);
                measuredPower[static_cast<size_t>(k)] += std::norm(measured[static_cast<size_t>(k)]);
            }
            for (int b = 0; b < numBands; ++b) {
                difference[(static_cast<size_t>(d) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(numBands) + static_cast<size_t>(b)] = decodedLevels[ear][static_cast<size_t>(b)] - measuredLevels[ear][static_cast<size_t>(b)];
                if (bands[static_cast<size_t>(b)].centreHz < 1100.0)
                    levelOffsets.push_back(decodedLevels[ear][static_cast<size_t>(b)] - measuredLevels[ear][static_cast<size_t>(b)]);
            }
        }
        for (int b = 0; b < numBands; ++b)
            ildDifference[static_cast<size_t>(d) * static_cast<size_t>(numBands) + static_cast<size_t>(b)] =
                (decodedLevels[0][static_cast<size_t>(b)] - decodedLevels[1][static_cast<size_t>(b)]) - (measuredLevels[0][static_cast<size_t>(b)] - measuredLevels[1][static_cast<size_t>(b)]);
    }

    // Interaural time differences. The set's global equalisation (decoded over measured power,
    // summed over directions and ears, applied with zero phase) is given to the measured
    // responses first: it reweights the frequencies inside the low-pass band, which moves the
    // cross-correlation peak of a frequency-dependent ITD without any timing error of the
    // decoder. The plain comparison is reported as well.
    std::vector<double> globalGain(static_cast<size_t>(itdBins));
    for (int k = 0; k < itdBins; ++k)
        globalGain[static_cast<size_t>(k)] = std::sqrt(decodedPower[static_cast<size_t>(k)] / std::max(measuredPower[static_cast<size_t>(k)], 1e-30));
    std::vector<double> itdErrors;
    std::vector<double> rawItdErrors;
    std::vector<std::complex<double>> spectra[3];
    for (auto& s : spectra)
        s.assign(static_cast<size_t>(fft.numBins()), 0.0);
    std::vector<std::complex<double>> spectraRight[3];
    for (auto& s : spectraRight)
        s.assign(static_cast<size_t>(fft.numBins()), 0.0);
    for (int d = 0; d < numDirections; ++d) {
        const size_t left = static_cast<size_t>(d) * 2 * static_cast<size_t>(itdBins);
        const size_t right = left + static_cast<size_t>(itdBins);
        for (int k = 0; k < itdBins; ++k) {
            spectra[0][static_cast<size_t>(k)] = decodedLow[left + static_cast<size_t>(k)];
            spectraRight[0][static_cast<size_t>(k)] = decodedLow[right + static_cast<size_t>(k)];
            spectra[1][static_cast<size_t>(k)] = measuredLow[left + static_cast<size_t>(k)] * globalGain[static_cast<size_t>(k)];
            spectraRight[1][static_cast<size_t>(k)] = measuredLow[right + static_cast<size_t>(k)] * globalGain[static_cast<size_t>(k)];
            spectra[2][static_cast<size_t>(k)] = measuredLow[left + static_cast<size_t>(k)];
            spectraRight[2][static_cast<size_t>(k)] = measuredLow[right + static_cast<size_t>(k)];
        }
        const double decodedItd = interauralTimeDifference(fft, spectra[0].data(), spectraRight[0].data(), fs);
        const double measuredItd = interauralTimeDifference(fft, spectra[1].data(), spectraRight[1].data(), fs);
        const double rawItd = interauralTimeDifference(fft, spectra[2].data(), spectraRight[2].data(), fs);
        itdErrors.push_back(std::abs(decodedItd - measuredItd));
        rawItdErrors.push_back(std::abs(decodedItd - rawItd));
    }
    figures.rawItdMean = mean(rawItdErrors);
    figures.rawItdP95 = percentile95(rawItdErrors);
    figures.levelOffsetDb = mean(levelOffsets);

    // Remove each band's mean difference (a global equalisation is not an error).
    std::vector<double> magnitudeErrors;
    std::vector<double> ildErrors;
    figures.magnitudeByBand.assign(static_cast<size_t>(numBands), 0.0);
    figures.ildByBand.assign(static_cast<size_t>(numBands), 0.0);
    for (int b = 0; b < numBands; ++b) {
        double bandMean = 0.0;
        double ildMean = 0.0;
        for (int d = 0; d < numDirections; ++d) {
            for (int ear = 0; ear < 2; ++ear)
                bandMean += difference[(static_cast<size_t>(d) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(numBands) + static_cast<size_t>(b)];
            ildMean += ildDifference[static_cast<size_t>(d) * static_cast<size_t>(numBands) + static_cast<size_t>(b)];
        }
        bandMean /= 2.0 * numDirections;
        ildMean /= numDirections;
        for (int d = 0; d < numDirections; ++d) {
            for (int ear = 0; ear < 2; ++ear) {
                const double e = std::abs(difference[(static_cast<size_t>(d) * 2 + static_cast<size_t>(ear)) * static_cast<size_t>(numBands) + static_cast<size_t>(b)] - bandMean);
                magnitudeErrors.push_back(e);
                figures.magnitudeByBand[static_cast<size_t>(b)] += e / (2.0 * numDirections);
            }
            const double e = std::abs(ildDifference[static_cast<size_t>(d) * static_cast<size_t>(numBands) + static_cast<size_t>(b)] - ildMean);
            ildErrors.push_back(e);
            figures.ildByBand[static_cast<size_t>(b)] += e / numDirections;
        }
    }
    figures.magnitudeMean = mean(magnitudeErrors);
    figures.magnitudeP95 = percentile95(magnitudeErrors);
    figures.ildMean = mean(ildErrors);
    figures.ildP95 = percentile95(ildErrors);
    figures.itdMean = mean(itdErrors);
    figures.itdP95 = percentile95(itdErrors);

    // Below the measured region: broadband level (200 Hz to 16 kHz, both ears) of plane waves
    // relative to the mean level of the same azimuths on the lowest measured ring.
    double lowest = 90.0;
    for (int d = 0; d < numDirections; ++d)
        lowest = std::min(lowest, static_cast<double>(hrtf.elevationDeg(d)));
    std::vector<double> ringLevels;
    for (double elevation = lowest; elevation >= -90.0 - 1e-9; elevation -= 10.0) {
        std::vector<float> directions;
        for (int azimuth = -180; azimuth < 180; azimuth += 15) {
            directions.push_back(static_cast<float>(azimuth));
            directions.push_back(static_cast<float>(elevation));
        }
        const std::vector<double> yc = harmonicsSn3d(order, directions);
        std::vector<double> levels;
        for (size_t p = 0; p < directions.size() / 2; ++p) {
            double power = 0.0;
            for (int ear = 0; ear < 2; ++ear) {
                decode(yc.data() + p * static_cast<size_t>(stride), ear, scratch);
                for (int k = 0; k < usedBins; ++k)
                    if (k * binHz >= bands.front().lowHz)
                        power += std::norm(scratch[static_cast<size_t>(k)]);
            }
            levels.push_back(10.0 * std::log10(std::max(power, 1e-30)));
        }
        if (ringLevels.empty())
            ringLevels = levels;
        const double reference = mean(ringLevels);
        figures.capElevations.push_back(elevation);
        figures.capMeanDb.push_back(mean(levels) - reference);
        figures.capMaxDb.push_back(*std::max_element(levels.begin(), levels.end()) - reference);
    }
    return figures;
}

int runDecoderSetReport(const std::vector<std::string>& arguments, const std::string& defaultSets,
                        const std::string& defaultOutput, std::ostream& out, std::ostream& err)
{
    namespace fs = std::filesystem;
    std::string setsDir = defaultSets;
    std::string sofaPath = kDefaultSofaPath;
    std::string outputDir = defaultOutput;
    std::string rateText = "48000";
    for (size_t a = 0; a < arguments.size(); ++a) {
        const std::string& argument = arguments[a];
        std::string* target = nullptr;
        if (argument == "--sets")
            target = &setsDir;
        else if (argument == "--sofa")
            target = &sofaPath;
        else if (argument == "--output")
            target = &outputDir;
        else if (argument == "--rate")
            target = &rateText;
        else if (argument == "--help" || argument == "-h") {
            out << "usage: qir-decoder-set-report [--sets DIR] [--sofa PATH] [--output DIR] [--rate HZ]\n"
                   "  --sets DIR     folder of the decoder sets (default " << defaultSets << ")\n"
                   "  --sofa PATH    the HRTF set they were made from (default " << kDefaultSofaPath << ")\n"
                   "  --output DIR   folder for report.txt and the plots (default " << defaultOutput << ")\n"
                   "  --rate HZ      evaluate the sets as the plug-in's loader delivers them at this\n"
                   "                 sample rate, 8000 to 384000 (resampled), against the HRTF set\n"
                   "                 resampled to it (default 48000, the rate the sets are made for)\n";
            return 0;
        }
        if (target == nullptr || a + 1 >= arguments.size()) {
            err << "qir-decoder-set-report: " << (target == nullptr ? "unknown option " : "missing value for ") << argument << '\n';
            return 2;
        }
        *target = arguments[++a];
    }
    char* rateEnd = nullptr;
    const double sampleRate = std::strtod(rateText.c_str(), &rateEnd);
    if (rateEnd != rateText.c_str() + rateText.size() || !qir::IsSupportedSampleRate(sampleRate)) {
        err << "qir-decoder-set-report: --rate " << rateText << ": give a sample rate from 8000 to 384000 Hz\n";
        return 2;
    }

    std::ostringstream report;
    std::unique_ptr<HrtfSet> hrtf;
    try {
        hrtf = std::make_unique<HrtfSet>(HrtfSet::load(sofaPath, sampleRate));
        std::error_code created;
        fs::create_directories(outputDir, created);
        if (created)
            throw std::runtime_error("cannot create " + outputDir + ": " + created.message());
    } catch (const std::exception& e) {
        err << "qir-decoder-set-report: " << e.what() << '\n';
        return 1;
    }
    const fs::path output(outputDir);
    const auto& bands = reportBands();

    // Diffuse-field level of every set found, [mode][order]; NaN when absent.
    double levels[3][kMaxOrder + 1];
    for (auto& mode : levels)
        std::fill(std::begin(mode), std::end(mode), std::nan(""));

    // Anechoic sets.
    std::vector<AnechoicReportFigures> anechoic;
    for (int order = 1; order <= kMaxOrder; ++order) {
        const std::string path = (fs::path(setsDir) / decoderSetFileName(DecoderKind::Anechoic, order)).string();
        if (!fs::exists(path))
            continue;
        DecoderSet set;
        std::string error;
        if (!readDecoderSetFile(path, set, error, sampleRate)) {
            err << "qir-decoder-set-report: " << error << '\n';
            return 1;
        }
        anechoic.push_back(measureAnechoicSet(set, order, *hrtf));
        levels[0][order] = diffuseFieldLevelDb(set);
    }
    if (sampleRate != kDecoderSetSampleRate)
        report << "At " << std::setprecision(0) << std::fixed << sampleRate
               << " Hz: the sets as the plug-in's loader delivers them at that rate (resampled from the rate they are made for,\n"
               << "or read as they are from a set made for that rate where there is one), against the HRTF set resampled to it.\n\n";
    const double highestBand = [&] {
        double highest = 0.0;
        for (const auto& band : bands)
            if (band.highHz < kBandLimitOfRate * sampleRate)
                highest = band.centreHz;
        return highest;
    }();
    report << "Anechoic decoder sets against the " << hrtf->numDirections() << " measured directions of " << sofaPath << "\n"
           << "(errors in third-octave bands 200 Hz to " << std::setprecision(highestBand < 10000.0 ? 1 : 0) << std::fixed
           << highestBand / 1000.0 << " kHz, band mean over directions and ears removed;\n"
           << " mean and 95th percentile over every direction, ear and band; ITD over directions)\n\n"
           << "order | magnitude dB mean  p95 | ILD dB mean  p95 | ITD us mean  p95 | ITD us, unequalised reference | level dB 200-1k\n"
           << "------+------------------------+------------------+------------------+-------------------------------+----------------\n";
    for (const auto& f : anechoic)
        report << std::fixed << std::setprecision(2) << "  " << f.order << "   |          " << std::setw(5) << f.magnitudeMean << "  " << std::setw(5) << f.magnitudeP95
               << " |      " << std::setw(5) << f.ildMean << " " << std::setw(5) << f.ildP95 << " |   " << std::setprecision(1) << std::setw(6) << f.itdMean * 1e6 << " "
               << std::setw(5) << f.itdP95 * 1e6 << " |         " << std::setw(6) << f.rawItdMean * 1e6 << " " << std::setw(6) << f.rawItdP95 * 1e6 << "          |   " << std::showpos << std::setprecision(2) << f.levelOffsetDb << std::noshowpos << "\n";
    if (!anechoic.empty()) {
        report << "\nBelow the measured region: decoded broadband level relative to the lowest measured ring, dB (mean / max over azimuths)\n";
        report << "order";
        for (double e : anechoic.front().capElevations)
            report << " | el " << std::setw(4) << std::setprecision(0) << e << "    ";
        report << "\n";
        for (const auto& f : anechoic) {
            report << "  " << f.order << "  ";
            for (size_t i = 0; i < f.capElevations.size(); ++i)
                report << " | " << std::showpos << std::setprecision(1) << std::setw(5) << f.capMeanDb[i] << "/" << std::setw(5) << f.capMaxDb[i] << std::noshowpos;
            report << "\n";
        }

        std::ofstream data(output / "anechoic-bands.dat");
        data << "# band_hz";
        for (const auto& f : anechoic)
            data << " mag_o" << f.order << " ild_o" << f.order;
        data << "\n";
        for (size_t b = 0; b < anechoic.front().magnitudeByBand.size(); ++b) {
            data << bands[b].centreHz;
            for (const auto& f : anechoic)
                data << ' ' << f.magnitudeByBand[b] << ' ' << f.ildByBand[b];
            data << "\n";
        }
        std::ofstream summary(output / "anechoic-orders.dat");
        summary << "# order mag_mean mag_p95 ild_mean ild_p95 itd_mean_us itd_p95_us\n";
        for (const auto& f : anechoic)
            summary << f.order << ' ' << f.magnitudeMean << ' ' << f.magnitudeP95 << ' ' << f.ildMean << ' ' << f.ildP95 << ' ' << f.itdMean * 1e6 << ' ' << f.itdP95 * 1e6 << "\n";
    }

    // Room sets.
    std::vector<RoomFigures> rooms;
    for (int order = 1; order <= kMaxOrder; ++order) {
        const std::string path = (fs::path(setsDir) / decoderSetFileName(DecoderKind::Room, order)).string();
        if (!fs::exists(path))
            continue;
        DecoderSet set;
        std::string error;
        if (!readDecoderSetFile(path, set, error, sampleRate)) {
            err << "qir-decoder-set-report: " << error << '\n';
            return 1;
        }
        rooms.push_back(measureRoomSet(set, order));
        levels[1][order] = diffuseFieldLevelDb(set);
    }
    if (!rooms.empty()) {
        const AnechoicDesigner designer(*hrtf);
        const auto& coherence = designer.diffuseFieldCoherence();
        const auto& power = designer.diffuseFieldPower();
        const double tableBinHz = hrtf->sampleRate() / designer.parameters().fftSize;
        report << "\nRoom decoder sets: RT60 (T30) per octave band of the omnidirectional (W) response, s; "
               << "interaural coherence of the tail after " << kLateStartSeconds * 1000 << " ms in a diffuse field; "
               << "largest magnitude in the last 21.3 ms (1024 samples at 48 kHz) relative to the set's peak\n";
        report << "order |";
        for (double c : kOctaveCentres)
            report << std::setw(6) << static_cast<int>(c) << " ";
        report << "| coherence:";
        for (double c : kOctaveCentres)
            report << std::setw(6) << static_cast<int>(c);
        report << " | end dB\n";
        for (const auto& r : rooms) {
            report << "  " << r.order << "   |" << std::setprecision(2);
            for (double t : r.reverberationTimes)
                report << std::setw(6) << t << " ";
            report << "|           ";
            for (double c : r.coherence)
                report << std::setw(6) << c;
            report << " | " << std::setprecision(1) << r.endLevelDb << "\n";
        }
        report << "diffuse field of the HRTF set (same bands):                  ";
        for (double c : kOctaveCentres) {
            double cross = 0.0;
            double weight = 0.0;
            for (size_t k = 0; k < coherence.size(); ++k) {
                const double g = octaveBandGain(k * tableBinHz, c);
                cross += g * g * coherence[k] * power[k];
                weight += g * g * power[k];
            }
            report << std::setw(6) << std::setprecision(2) << (weight > 0.0 ? cross / weight : 0.0);
        }
        report << "\n";
        std::ofstream data(output / "room-rt60.dat");
        data << "# octave_hz";
        for (const auto& r : rooms)
            data << " rt60_o" << r.order;
        data << "\n";
        for (size_t b = 0; b < std::size(kOctaveCentres); ++b) {
            data << kOctaveCentres[b];
            for (const auto& r : rooms)
                data << ' ' << r.reverberationTimes[b];
            data << "\n";
        }
    }

    // UHJ set, from the file the loader reads at the rate.
    const std::string uhjPath = (fs::path(setsDir) / decoderSetFileName(DecoderKind::Uhj, 1)).string();
    const qir::DecoderSetFile uhjFile = qir::ChooseDecoderSetFile(uhjPath, sampleRate);
    bool haveUhj = false;
    if (fs::exists(uhjFile.mPath)) {
        DecoderSet set;
        std::string error;
        if (!readDecoderSetFile(uhjPath, set, error, sampleRate) || set.numInputs < 4) {
            err << "qir-decoder-set-report: " << (error.empty() ? uhjFile.mPath + " has fewer than 4 inputs" : error) << '\n';
            return 1;
        }
        const UhjReportFigures u = measureUhjSet(set);
        levels[2][1] = diffuseFieldLevelDb(set);
        haveUhj = true;
        const std::string fileName = fs::path(uhjFile.mPath).filename().string();
        report << "\nUHJ (" << fileName
               << (uhjFile.mNamedRate != 0.0 ? ", made for this rate" : sampleRate != kDecoderSetSampleRate ? ", resampled" : "")
               << "): all-pass pair (from the Y and X responses), phase difference " << static_cast<int>(kUhjBandLowHz) << " Hz - "
               << kiloHertz(u.phaseBandHighHz) << " kHz: 90 deg, largest error "
               << std::setprecision(2) << u.maxPhaseErrorDeg << " deg at " << std::setprecision(0) << u.worstPhaseFrequencyHz << " Hz\n"
               << "     gain " << std::showpos << std::setprecision(2) << u.gainDb << std::noshowpos
               << " dB on the encoding equations (the loudness match)\n"
               << "     magnitudes relative to that gain, " << static_cast<int>(kUhjMagnitudeLowHz) << " Hz - " << kiloHertz(u.magnitudeBandHighHz)
               << " kHz: leading branch " << std::setprecision(3) << u.magnitudeMinDb[0] << " to " << u.magnitudeMaxDb[0]
               << " dB, reference branch " << u.magnitudeMinDb[1] << " to " << u.magnitudeMaxDb[1] << " dB; Z energy " << std::setprecision(1) << std::scientific << u.zEnergy << std::fixed << "\n";
        std::ofstream data(output / "uhj-phase.dat");
        data << "# frequency_hz phase_difference_deg\n";
        for (size_t i = 0; i < u.frequencies.size(); i += std::max<size_t>(1, u.frequencies.size() / 2000))
            data << u.frequencies[i] << ' ' << u.phaseDifference[i] << "\n";
    }

    // Loudness: the diffuse-field level of every set, which the generator matches.
    if (!anechoic.empty() || !rooms.empty() || haveUhj) {
        auto level = [&](double value) {
            std::ostringstream text;
            if (std::isnan(value))
                text << std::setw(9) << "-";
            else
                text << std::fixed << std::showpos << std::setprecision(2) << std::setw(9) << value;
            return text.str();
        };
        report << "\nDiffuse-field level: output power per ear relative to the W channel's, dB, for pink noise ("
               << static_cast<int>(kPinkLowHz) << " Hz - " << static_cast<int>(kPinkHighHz / 1000.0)
               << " kHz) from every direction\n(a field of the set's own order; UHJ: its first-order part); the generator scales every set to "
               << std::showpos << std::setprecision(1) << kDiffuseFieldLevelDb << std::noshowpos << " dB\n"
               << "order | Anechoic     Room      UHJ\n";
        for (int order = 1; order <= kMaxOrder; ++order) {
            if (std::isnan(levels[0][order]) && std::isnan(levels[1][order]))
                continue;
            report << "  " << order << "   |" << level(levels[0][order]) << level(levels[1][order]) << level(levels[2][1]) << "\n";
        }
        if (anechoic.empty() && rooms.empty())
            report << "  UHJ |                  " << level(levels[2][1]) << "\n";
    }

    // Plots.
    std::vector<std::string> plots;
    {
        std::ofstream script(output / "plots.gp");
        script << "set terminal pngcairo size 1000,600 enhanced font 'sans,10'\nset grid\nset logscale x\nset key outside right\n";
        if (!anechoic.empty()) {
            for (int which = 0; which < 2; ++which) {
                const std::string name = which == 0 ? "anechoic-magnitude-error.png" : "anechoic-ild-error.png";
                script << "set output '" << (output / name).string() << "'\n"
                       << "set title '" << (which == 0 ? "Anechoic sets: mean absolute magnitude error per third-octave band" : "Anechoic sets: mean absolute ILD error per third-octave band") << "'\n"
                       << "set xlabel 'frequency (Hz)'\nset ylabel 'error (dB)'\nset xrange [180:18000]\nset yrange [0:*]\n"
                       << "plot ";
                for (size_t i = 0; i < anechoic.size(); ++i)
                    script << (i ? ", " : "") << "'" << (output / "anechoic-bands.dat").string() << "' using 1:" << 2 + 2 * i + which << " with linespoints title 'order " << anechoic[i].order << "'";
                script << "\n";
                plots.push_back((output / name).string());
            }
            script << "unset logscale x\nset output '" << (output / "anechoic-orders.png").string() << "'\n"
                   << "set title 'Anechoic sets: mean errors against order'\nset xlabel 'order'\nset ylabel 'dB'\nset y2label 'ITD error (us)'\nset y2tics\nset ytics nomirror\nset xrange [0.5:7.5]\nset yrange [0:*]\nset y2range [0:*]\n"
                   << "plot '" << (output / "anechoic-orders.dat").string() << "' using 1:2 with linespoints title 'magnitude', '' using 1:4 with linespoints title 'ILD', '' using 1:6 axes x1y2 with linespoints title 'ITD'\n"
                   << "unset y2tics\nunset y2label\nset ytics mirror\nset logscale x\n";
            plots.push_back((output / "anechoic-orders.png").string());
        }
        if (!rooms.empty()) {
            script << "set output '" << (output / "room-rt60.png").string() << "'\n"
                   << "set title 'Room sets: RT60 of the omnidirectional response per octave band'\nset xlabel 'frequency (Hz)'\nset ylabel 'RT60 (s)'\nset xrange [100:10000]\nset yrange [0:0.5]\nplot ";
            for (size_t i = 0; i < rooms.size(); ++i)
                script << (i ? ", " : "") << "'" << (output / "room-rt60.dat").string() << "' using 1:" << 2 + i << " with linespoints title 'order " << rooms[i].order << "'";
            script << "\n";
            plots.push_back((output / "room-rt60.png").string());
        }
        if (haveUhj) {
            script << "set output '" << (output / "uhj-phase.png").string() << "'\n"
                   << "set title 'UHJ all-pass pair: phase difference'\nset xlabel 'frequency (Hz)'\nset ylabel 'degrees'\nset xrange [20:20000]\nset yrange [86:94]\n"
                   << "set arrow from 40,88 to 18000,88 nohead dt 2\nset arrow from 40,92 to 18000,92 nohead dt 2\n"
                   << "plot '" << (output / "uhj-phase.dat").string() << "' using 1:2 with lines title 'leading minus reference'\n";
            plots.push_back((output / "uhj-phase.png").string());
        }
    }
    if (!plots.empty()) {
        if (runGnuplot(output / "plots.gp")) {
            report << "\nPlots:\n";
            for (const auto& p : plots)
                report << "  " << p << "\n";
        } else {
            report << "\n(gnuplot failed or is missing; plot data and script are in " << outputDir << ")\n";
        }
    }
    if (anechoic.empty() && rooms.empty() && !haveUhj)
        report << "no decoder sets found in " << setsDir << "\n";

    out << report.str();
    std::ofstream(output / "report.txt") << report.str();
    return 0;
}

} // namespace qirtools
