// tools: the quality report of generated decoder sets against the measured HRTF set.
#pragma once

#include "tools/DecoderSet.h"
#include "tools/HrtfSet.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace qirtools {

// Reads a decoder set as the plug-in's loader delivers it at sampleRate: from the file made
// for that rate beside path when there is one, else from path; through the plug-in's own
// audio-file reader (channel 0 and channel 1, inputs = frames / the file's response length)
// and, at a rate other than the file's, its resampling. False with a message when the file
// cannot be read, is not a two-channel set of at least one input, or cannot be brought to
// sampleRate.
bool readDecoderSetFile(const std::string& path, DecoderSet& set, std::string& error,
                        double sampleRate = kDecoderSetSampleRate);

// Figures of one anechoic set against the measurement. Errors in dB (magnitude and ILD),
// seconds (ITD); "band" vectors follow reportBands(). Magnitude and ILD errors have each
// band's mean over directions (and ears) removed; the ITD is compared with the measured
// responses carrying the set's global equalisation (zero phase), so that in all three a
// global equalisation does not count as error.
struct AnechoicReportFigures {
    int order = 0;
    double magnitudeMean = 0.0;
    double magnitudeP95 = 0.0;
    double ildMean = 0.0;
    double ildP95 = 0.0;
    double itdMean = 0.0;
    double itdP95 = 0.0;
    // ITD error against the measured responses without the set's global equalisation.
    double rawItdMean = 0.0;
    double rawItdP95 = 0.0;
    // Decoded minus measured level, 200 Hz to 1 kHz, averaged over directions and ears
    // (before any per-band mean is removed): the plane-wave level check.
    double levelOffsetDb = 0.0;
    std::vector<double> magnitudeByBand;
    std::vector<double> ildByBand;
    // Decoded level of directions below the measured region relative to the lowest measured
    // ring: elevations, then mean and largest value per elevation.
    std::vector<double> capElevations;
    std::vector<double> capMeanDb;
    std::vector<double> capMaxDb;
};

// Figures of a UHJ set: the all-pass pair recovered from its Y and X responses into the left
// output through the encoding equations.
struct UhjReportFigures {
    // The gain the set applies to the encoding equations (its loudness match), dB; the
    // branch magnitudes below are relative to it.
    double gainDb = 0.0;
    // Largest departure of the pair's phase difference from 90 degrees from kUhjBandLowHz
    // to phaseBandHighHz (uhjBandHighHz of the set's rate), and where it is.
    double maxPhaseErrorDeg = 0.0;
    double worstPhaseFrequencyHz = 0.0;
    double phaseBandHighHz = 0.0;
    // Lowest and highest magnitude of the leading (0) and reference (1) branch from 20 Hz to
    // magnitudeBandHighHz (20 kHz, or 0.45 times the rate where that is lower).
    double magnitudeMinDb[2] = {0.0, 0.0};
    double magnitudeMaxDb[2] = {0.0, 0.0};
    double magnitudeBandHighHz = 0.0;
    double zEnergy = 0.0;
    std::vector<double> frequencies;
    std::vector<double> phaseDifference;
};

UhjReportFigures measureUhjSet(const DecoderSet& set);

// Compares a decoder set with every measured direction of the HRTF set, both at the set's
// rate (the HRTF set resampled to it), as the quality report does; at rates below 40 kHz
// the bands the rate does not carry are left out.
AnechoicReportFigures measureAnechoicSet(const DecoderSet& set, int order, const HrtfSet& hrtf);

// The interaural time difference measured the report's way on two responses (seconds).
double responseItd(const float* left, const float* right, int length, double sampleRate = kDecoderSetSampleRate);

// The report command: qir-decoder-set-report [--sets DIR] [--sofa PATH] [--output DIR]
// [--rate HZ].
// Prints the tables, writes report.txt, the plot data and PNG plots into the output folder
// (defaults: defaultSets and defaultOutput). Returns the process exit status.
int runDecoderSetReport(const std::vector<std::string>& arguments, const std::string& defaultSets,
                        const std::string& defaultOutput, std::ostream& out, std::ostream& err);

} // namespace qirtools
