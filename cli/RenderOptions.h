// cli: the command line of qir-render, parsed and range-checked into the
// settings of one render. Parsing knows nothing of the input file; the checks
// that need it (channel count, order, sample rate) happen once it is open.
#pragma once

#include "engine/DecoderParameters.h"

#include <optional>
#include <string>
#include <vector>

namespace qircli {

enum class ESampleFormat { kFloat, kPCM24, kPCM16 };

// A finite decimal number making up the whole of text (as strtod reads it).
[[nodiscard]] bool ParseNumber(const std::string& text, double& value);

// One --set: a parameter (by name or index, resolved against the plug-in's
// parameter tree later) takes a value at a time in seconds.
struct AutomationRequest {
    std::string mParameter;
    double mSeconds = 0.0;
    std::string mValue;
    std::string mText; // the option as given, for messages
};

// The parameter index a --set NAME gives as a whole number (as strtol reads
// it, so "06" is 6), or empty when NAME is not a number.
[[nodiscard]] std::optional<long> ParameterIndexOf(const std::string& name);

// Whether a --set NAME names the parameter: by its index, or by its name in
// any case. The one rule the automation and the checks of the options that
// clash with it read names by.
[[nodiscard]] bool NamesParameter(const std::string& name, qir::EParams parameter);

// One --note: test-source note on at mStart, off at mEnd (when given).
struct NoteRequest {
    int mNote = 0;
    double mStart = 0.0;
    std::optional<double> mEnd;
};

struct RenderOptions {
    bool mHelp = false;
    bool mVersion = false;
    bool mDemo = false;
    // The inputs as given ("-" is standard input); empty with --demo.
    std::vector<std::string> mInputs;
    // OUTPUT, or the value of -o: a file, "-" (standard output) or, with -o,
    // an existing folder that receives one file per input.
    std::string mOutput;
    bool mOutputFromOption = false;
    // The one render's input and output, set by PlanRenders.
    std::string mInput;

    // The plug-in's choices, as its parameters take them.
    qir::EDecoderMode mMode = qir::kDecoderModeAnechoic;
    std::optional<int> mOrder; // default: from the input's channel count
    // Empty: from the input (FuMa for a B-format tag or an .amb file), else
    // ACN and SN3D.
    std::optional<qir::EChannelLayout> mLayout;
    std::optional<qir::ENormalizationType> mNorm;
    bool mRotation = true;
    // Degrees of rotation: yaw -180..180, pitch and roll -90..90.
    double mYaw = 0.0;
    double mPitch = 0.0;
    double mRoll = 0.0;
    // A head track (see HeadTrack) in place of fixed angles.
    std::string mHeadTrack;
    bool mRollPitchYaw = false;
    bool mFlipYaw = false;
    bool mFlipPitch = false;
    bool mFlipRoll = false;
    double mVolumeDB = 0.0;
    std::vector<AutomationRequest> mAutomation;
    std::vector<NoteRequest> mNotes;
    int mBlockSize = 512;
    // Render through the plug-in exactly as an audio-unit host runs it (its
    // real-time configuration, 128 frames of latency) instead of through the
    // engine's throughput configuration.
    bool mHostPath = false;
    bool mTail = true;
    // Empty: what the output's container holds best (float; 24-bit PCM for FLAC).
    std::optional<ESampleFormat> mFormat;
    std::string mResources; // empty: the engine's default folder
    std::string mSofa;      // an HRTF set to fit the decoder sets to; empty: the generated sets
    // No progress display and no informational lines (the plug-in's console
    // lines, what was detected, levels, the summary); warnings and errors stay.
    bool mQuiet = false;
};

// The result of parsing: options, or one message saying what is wrong.
struct ParseResult {
    RenderOptions mOptions;
    std::string mError;
    [[nodiscard]] bool ok() const noexcept { return mError.empty(); }
};

[[nodiscard]] ParseResult ParseRenderOptions(const std::vector<std::string>& args);

// One render per input: mInput and mOutput set, with -o DIR naming each output
// DIR/<input name>.wav. False with error set when the inputs and the output do
// not fit together (several inputs without a folder, two inputs with the same
// name, standard input into a folder).
[[nodiscard]] bool PlanRenders(const RenderOptions& options, std::vector<RenderOptions>& renders,
                               std::string& error);

// The --help text: a summary, then one line per option from the option table.
[[nodiscard]] std::string UsageText();
// Every name of every option in the table ("-o", "--output", ...).
[[nodiscard]] std::vector<std::string> OptionNames();
// The --version text.
[[nodiscard]] std::string VersionText();

} // namespace qircli
