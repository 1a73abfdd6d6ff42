// cli: command-line parsing for qir-render.
#include "cli/RenderOptions.h"

#include "cli/AsciiCase.h"

#include "engine/DecoderParameters.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

namespace qircli {

bool ParseNumber(const std::string& text, double& value)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v)) {
        return false;
    }
    value = v;
    return true;
}

namespace {

bool ParseInteger(const std::string& text, long& value)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end != text.c_str() + text.size()) {
        return false;
    }
    value = v;
    return true;
}

std::string FormatNumber(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

// Parses "--option VALUE" with a value in [lo, hi].
std::string NumberInRange(const std::string& option, const std::string& text, double lo, double hi, double& out)
{
    double v = 0.0;
    if (!ParseNumber(text, v)) {
        return option + " needs a number, not \"" + text + "\"";
    }
    if (v < lo || v > hi) {
        return option + " " + text + " is out of range: it must be from " + FormatNumber(lo) + " to " +
               FormatNumber(hi);
    }
    out = v;
    return {};
}

std::string IntegerInRange(const std::string& option, const std::string& text, long lo, long hi, int& out)
{
    long v = 0;
    if (!ParseInteger(text, v)) {
        return option + " needs a whole number, not \"" + text + "\"";
    }
    if (v < lo || v > hi) {
        return option + " " + text + " is out of range: it must be from " + std::to_string(lo) + " to " +
               std::to_string(hi);
    }
    out = static_cast<int>(v);
    return {};
}

template <typename E>
std::string Choice(const std::string& option, const std::string& text, const std::map<std::string, E>& choices,
                   E& out)
{
    const auto it = choices.find(Lower(text));
    if (it != choices.end()) {
        out = it->second;
        return {};
    }
    std::string list;
    for (const auto& [name, value] : choices) {
        list += list.empty() ? name : "|" + name;
    }
    return option + " must be one of " + list + ", not \"" + text + "\"";
}

std::string ParseSeconds(const std::string& option, const std::string& whole, const std::string& text, double& out)
{
    double v = 0.0;
    if (!ParseNumber(text, v) || v < 0.0) {
        return option + " " + whole + ": the time must be a number of seconds from 0, not \"" + text + "\"";
    }
    out = v;
    return {};
}

// NAME@SECONDS=VALUE
std::string ParseAutomation(const std::string& text, AutomationRequest& out)
{
    const auto at = text.find('@');
    const auto eq = text.find('=', at == std::string::npos ? 0 : at);
    if (at == std::string::npos || eq == std::string::npos || at == 0 || eq + 1 == text.size()) {
        return "--set " + text + ": expected NAME@SECONDS=VALUE, for example \"Yaw@2.5=90\"";
    }
    out.mParameter = text.substr(0, at);
    out.mValue = text.substr(eq + 1);
    out.mText = text;
    return ParseSeconds("--set", text, text.substr(at + 1, eq - at - 1), out.mSeconds);
}

// NOTE@START[:END]
std::string ParseNote(const std::string& text, NoteRequest& out)
{
    const auto at = text.find('@');
    if (at == std::string::npos || at == 0 || at + 1 == text.size()) {
        return "--note " + text + ": expected NOTE@START or NOTE@START:END, for example \"2@1.0:3.5\"";
    }
    long note = 0;
    if (!ParseInteger(text.substr(0, at), note) || note < 0 || note > 25) {
        return "--note " + text + ": the note must be from 0 to 25 (the test source's 26 directions)";
    }
    out.mNote = static_cast<int>(note);
    const std::string times = text.substr(at + 1);
    const auto colon = times.find(':');
    if (std::string error = ParseSeconds("--note", text, times.substr(0, colon), out.mStart); !error.empty()) {
        return error;
    }
    if (colon != std::string::npos) {
        double end = 0.0;
        if (std::string error = ParseSeconds("--note", text, times.substr(colon + 1), end); !error.empty()) {
            return error;
        }
        if (end <= out.mStart) {
            return "--note " + text + ": the end must come after the start";
        }
        out.mEnd = end;
    }
    return {};
}

// -o FILE, -o DIR or --output: given once.
std::string SetOutput(RenderOptions& o, const std::string& value)
{
    if (o.mOutputFromOption) {
        return "-o given twice: one output (a file, or a folder for several inputs)";
    }
    if (value.empty()) {
        return "-o needs a file or a folder";
    }
    o.mOutput = value;
    o.mOutputFromOption = true;
    return {};
}

// The option values that are choices of one of the plug-in's enumerated
// parameters: its display texts in lower case.
template <typename E, std::size_t N>
std::map<std::string, E> ParameterChoices(const std::array<const char*, N>& names)
{
    std::map<std::string, E> choices;
    for (std::size_t i = 0; i < N; ++i) {
        choices.emplace(Lower(names[i]), static_cast<E>(i));
    }
    return choices;
}

// "a|b|c": the choices in the parameter's own order, for the help.
template <std::size_t N>
std::string ChoiceList(const std::array<const char*, N>& names)
{
    std::string list;
    for (const char* name : names) {
        list += (list.empty() ? "" : "|") + Lower(name);
    }
    return list;
}

// An option's value into o, or what is wrong with it.
using OptionHandler = std::string (*)(RenderOptions& o, const std::string& value);

// One entry of qir-render's option table: the names, the argument (empty for
// a flag, which takes no value), the one line of --help, and what it sets. The
// manual page describes each in full.
struct OptionEntry {
    std::vector<std::string> mNames;
    std::string mArgument;
    std::string mHelp;
    OptionHandler mHandler;
};

// A flag's handler: sets one member, taking no value.
template <auto Member, auto Value>
std::string SetFlag(RenderOptions& o, const std::string& /*value*/)
{
    o.*Member = Value;
    return {};
}

const std::vector<OptionEntry>& OptionTable()
{
    static const std::vector<OptionEntry> table = {
        {{"--mode"}, ChoiceList(qir::kDecoderModeNames), "decoder (default anechoic); uhj is first order",
         [](RenderOptions& o, const std::string& v) {
             return Choice("--mode", v, ParameterChoices<qir::EDecoderMode>(qir::kDecoderModeNames), o.mMode);
         }},
        {{"--order"}, "N", "decode order 1..7 (default: the input's)",
         [](RenderOptions& o, const std::string& v) {
             int order = 0;
             std::string e = IntegerInRange("--order", v, 1, 7, order);
             if (e.empty()) {
                 o.mOrder = order;
             }
             return e;
         }},
        {{"--layout"}, ChoiceList(qir::kChannelLayoutNames), "input channel order (default: from the file)",
         [](RenderOptions& o, const std::string& v) {
             qir::EChannelLayout layout = qir::kChannelLayoutACN;
             std::string e =
                 Choice("--layout", v, ParameterChoices<qir::EChannelLayout>(qir::kChannelLayoutNames), layout);
             if (e.empty()) {
                 o.mLayout = layout;
             }
             return e;
         }},
        {{"--norm"}, ChoiceList(qir::kNormalizationTypeNames), "input normalisation (default: from the file)",
         [](RenderOptions& o, const std::string& v) {
             qir::ENormalizationType norm = qir::kNormalizationSN3D;
             std::string e =
                 Choice("--norm", v, ParameterChoices<qir::ENormalizationType>(qir::kNormalizationTypeNames), norm);
             if (e.empty()) {
                 o.mNorm = norm;
             }
             return e;
         }},
        {{"--rotation"}, "on|off", "rotate the field before decoding (default on)",
         [](RenderOptions& o, const std::string& v) {
             return Choice<bool>("--rotation", v, {{"on", true}, {"off", false}}, o.mRotation);
         }},
        {{"--yaw"}, "DEG", "-180..180 degrees; positive turns sources right",
         [](RenderOptions& o, const std::string& v) { return NumberInRange("--yaw", v, -180.0, 180.0, o.mYaw); }},
        {{"--pitch"}, "DEG", "-90..90 degrees; positive moves the front up",
         [](RenderOptions& o, const std::string& v) { return NumberInRange("--pitch", v, -90.0, 90.0, o.mPitch); }},
        {{"--roll"}, "DEG", "-90..90 degrees; positive moves the left down",
         [](RenderOptions& o, const std::string& v) { return NumberInRange("--roll", v, -90.0, 90.0, o.mRoll); }},
        {{"--head-track"}, "FILE", "the angles from a head tracker's CSV rows",
         [](RenderOptions& o, const std::string& v) {
             if (v.empty()) {
                 return std::string("--head-track needs a file");
             }
             o.mHeadTrack = v;
             return std::string();
         }},
        {{"--rpy"}, "", "roll-pitch-yaw order instead of yaw-pitch-roll", &SetFlag<&RenderOptions::mRollPitchYaw, true>},
        {{"--flip-yaw"}, "", "invert the sense of yaw", &SetFlag<&RenderOptions::mFlipYaw, true>},
        {{"--flip-pitch"}, "", "invert the sense of pitch", &SetFlag<&RenderOptions::mFlipPitch, true>},
        {{"--flip-roll"}, "", "invert the sense of roll", &SetFlag<&RenderOptions::mFlipRoll, true>},
        {{"--volume"}, "DB", "output volume, -70..12 dB (default 0)",
         [](RenderOptions& o, const std::string& v) {
             return NumberInRange("--volume", v, -70.0, 12.0, o.mVolumeDB);
         }},
        {{"--set"}, "NAME@SECONDS=VALUE", "parameter automation, repeatable",
         [](RenderOptions& o, const std::string& v) {
             AutomationRequest request;
             std::string e = ParseAutomation(v, request);
             if (e.empty()) {
                 o.mAutomation.push_back(request);
             }
             return e;
         }},
        {{"--note"}, "NOTE@START[:END]", "test-source note 0..25 on (and off), repeatable",
         [](RenderOptions& o, const std::string& v) {
             NoteRequest request;
             std::string e = ParseNote(v, request);
             if (e.empty()) {
                 o.mNotes.push_back(request);
             }
             return e;
         }},
        {{"--block"}, "N", "host block size, 1..4096 (default 512)",
         [](RenderOptions& o, const std::string& v) { return IntegerInRange("--block", v, 1, 4096, o.mBlockSize); }},
        {{"--host-path"}, "", "run the plug-in as an audio-unit host does", &SetFlag<&RenderOptions::mHostPath, true>},
        {{"--tail"}, "", "render the decoder set's tail (default)", &SetFlag<&RenderOptions::mTail, true>},
        {{"--no-tail"}, "", "end the output with the input", &SetFlag<&RenderOptions::mTail, false>},
        {{"--format"}, "float|pcm24|pcm16", "sample format (default float; pcm24 for FLAC)",
         [](RenderOptions& o, const std::string& v) {
             ESampleFormat format = ESampleFormat::kFloat;
             std::string e = Choice<ESampleFormat>(
                 "--format", v,
                 {{"float", ESampleFormat::kFloat}, {"pcm24", ESampleFormat::kPCM24}, {"pcm16", ESampleFormat::kPCM16}},
                 format);
             if (e.empty()) {
                 o.mFormat = format;
             }
             return e;
         }},
        {{"--resources"}, "DIR", "folder holding the decoder sets",
         [](RenderOptions& o, const std::string& v) {
             if (v.empty()) {
                 return std::string("--resources needs a folder");
             }
             o.mResources = v;
             return std::string();
         }},
        {{"--sofa"}, "FILE", "decode with sets fitted to this HRTF set (SOFA)",
         [](RenderOptions& o, const std::string& v) {
             if (v.empty()) {
                 return std::string("--sofa needs a SOFA file");
             }
             o.mSofa = v;
             return std::string();
         }},
        {{"-o", "--output"}, "FILE|DIR", "the output file, or a folder for several inputs", &SetOutput},
        {{"-q", "--quiet"}, "", "no progress display and no notes", &SetFlag<&RenderOptions::mQuiet, true>},
        {{"--demo"}, "", "render a built-in scene to OUTPUT", &SetFlag<&RenderOptions::mDemo, true>},
        {{"-h", "--help"}, "", "this text", &SetFlag<&RenderOptions::mHelp, true>},
        {{"--version"}, "", "the version of qir-render and of libsndfile", &SetFlag<&RenderOptions::mVersion, true>},
    };
    return table;
}

const OptionEntry* FindOption(const std::string& name)
{
    for (const OptionEntry& entry : OptionTable()) {
        if (std::find(entry.mNames.begin(), entry.mNames.end(), name) != entry.mNames.end()) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

std::vector<std::string> OptionNames()
{
    std::vector<std::string> names;
    for (const OptionEntry& entry : OptionTable()) {
        names.insert(names.end(), entry.mNames.begin(), entry.mNames.end());
    }
    return names;
}

std::optional<long> ParameterIndexOf(const std::string& name)
{
    long index = 0;
    return ParseInteger(name, index) ? std::optional<long>(index) : std::nullopt;
}

bool NamesParameter(const std::string& name, qir::EParams parameter)
{
    if (const std::optional<long> given = ParameterIndexOf(name)) {
        return *given == parameter;
    }
    return Lower(name) == Lower(qir::kParamNames[parameter]);
}

ParseResult ParseRenderOptions(const std::vector<std::string>& args)
{
    ParseResult result;
    RenderOptions& o = result.mOptions;
    std::vector<std::string> positional;

    // Options given, for the checks of combinations below.
    std::set<std::string> given;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const OptionEntry* option = FindOption(name);
        if (option && option->mArgument.empty() && !inlineValue) {
            (void)option->mHandler(o, {});
            continue;
        }
        given.insert(name);
        if (!option || option->mArgument.empty()) {
            result.mError = "unknown option " + arg + " (see qir-render --help)";
            return result;
        }
        std::string value;
        if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            result.mError = name + " needs a value";
            return result;
        }
        if (std::string error = option->mHandler(o, value); !error.empty()) {
            result.mError = error;
            return result;
        }
    }
    if (o.mHelp || o.mVersion) {
        return result;
    }

    if (o.mDemo) {
        if (positional.size() != (o.mOutputFromOption ? 0u : 1u)) {
            result.mError = "usage: qir-render --demo OUTPUT";
            return result;
        }
        if (!o.mOutputFromOption) {
            o.mOutput = positional[0];
        }
    } else if (o.mOutputFromOption) {
        if (positional.empty()) {
            result.mError = "missing INPUT (usage: qir-render [options] -o OUTPUT INPUT...)";
            return result;
        }
        o.mInputs = positional;
    } else {
        if (positional.size() != 2) {
            result.mError = positional.size() < 2
                                ? "missing INPUT or OUTPUT (usage: qir-render [options] INPUT OUTPUT)"
                                : "too many file names: expected INPUT OUTPUT, or -o DIR INPUT... for several inputs";
            return result;
        }
        o.mInputs = {positional[0]};
        o.mOutput = positional[1];
    }

    if (!o.mSofa.empty() && !o.mResources.empty()) {
        result.mError = "--sofa and --resources both choose the decoder sets; give one of them";
        return result;
    }
    // The orientation comes from the angles or from a head track, and either
    // needs the rotation.
    std::string angles;
    for (const char* option : {"--yaw", "--pitch", "--roll"}) {
        if (given.count(option) != 0) {
            angles += angles.empty() ? option : std::string(", ") + option;
        }
    }
    // Unless "Enable Rotation" is automated: then the rotation may turn on later.
    const bool rotationAutomated =
        std::any_of(o.mAutomation.begin(), o.mAutomation.end(), [](const AutomationRequest& request) {
            return NamesParameter(request.mParameter, qir::kEnableRotation);
        });
    if (!o.mRotation && !rotationAutomated && (!angles.empty() || !o.mHeadTrack.empty())) {
        result.mError = "--rotation off turns nothing, so " +
                        (angles.empty() ? std::string("--head-track") : angles) + " would be ignored; drop one or the other";
        return result;
    }
    if (!o.mHeadTrack.empty() && !angles.empty()) {
        result.mError = "--head-track gives the angles; drop " + angles;
        return result;
    }

    // FuMa order and normalisation exist for first-order fields only: the
    // plug-in converts channels 0 to 3 and nothing above.
    const bool fuma = o.mLayout == qir::kChannelLayoutFuMa || o.mNorm == qir::kNormalizationFuMa;
    if (fuma && o.mOrder && *o.mOrder != 1) {
        result.mError = "FuMa channel order and normalisation are first-order conventions: they need --order 1";
        return result;
    }
    return result;
}

bool PlanRenders(const RenderOptions& options, std::vector<RenderOptions>& renders, std::string& error)
{
    namespace fs = std::filesystem;
    renders.clear();
    if (options.mDemo) {
        renders.push_back(options);
        return true;
    }
    std::error_code ec;
    const bool toFolder = options.mOutputFromOption && options.mOutput != "-" && fs::is_directory(options.mOutput, ec);
    if (!toFolder) {
        if (options.mInputs.size() > 1) {
            error = "-o " + options.mOutput + " is not a folder: several inputs need -o DIR, an existing folder";
            return false;
        }
        RenderOptions render = options;
        render.mInput = options.mInputs.front();
        renders.push_back(std::move(render));
        return true;
    }
    std::set<std::string> names;
    for (const std::string& input : options.mInputs) {
        if (input == "-") {
            error = "standard input has no name for its output in " + options.mOutput + "; use -o FILE";
            return false;
        }
        const std::string stem = fs::path(input).stem().string();
        if (stem.empty() || stem == "." || stem == "..") {
            error = "cannot name an output in " + options.mOutput + " after \"" + input + "\"";
            return false;
        }
        const std::string name = stem + ".wav";
        if (!names.insert(name).second) {
            error = "two inputs would both be written to " + (fs::path(options.mOutput) / name).string();
            return false;
        }
        RenderOptions render = options;
        render.mInputs = {input};
        render.mInput = input;
        render.mOutput = (fs::path(options.mOutput) / name).string();
        renders.push_back(std::move(render));
    }
    return true;
}

std::string VersionText()
{
    char sndfile[128] = "libsndfile";
    sf_command(nullptr, SFC_GET_LIB_VERSION, sndfile, sizeof sndfile);
    return std::string("qir-render " QIR_VERSION " (QIR Matrix Decoder)\nreads and writes sound files with ") +
           sndfile + "\n";
}

std::string UsageText()
{
    std::string text = R"(usage: qir-render [options] INPUT OUTPUT
       qir-render [options] -o OUTPUT INPUT
       qir-render [options] -o DIR INPUT...
       qir-render --demo OUTPUT

Decodes an ambisonic file (order 1 to 7: 4, 9, 16, 25, 36, 49 or 64 channels,
any format libsndfile reads) to a 2-channel file at the input's sample rate,
by running the QIR Matrix Decoder plug-in as an audio-unit host does, in the
engine's throughput configuration unless --host-path says otherwise.
INPUT and OUTPUT may be "-": standard input and standard output (a WAV file;
every message goes to standard error). With -o DIR, an existing folder, each
INPUT is rendered to DIR/<its name>.wav.

)";
    constexpr std::size_t kHelpColumn = 31;
    for (const OptionEntry& entry : OptionTable()) {
        std::string names;
        for (const std::string& name : entry.mNames) {
            names += (names.empty() ? "" : ", ") + name;
        }
        std::string line = "  " + names + (entry.mArgument.empty() ? "" : " " + entry.mArgument);
        line += line.size() + 1 < kHelpColumn ? std::string(kHelpColumn - line.size(), ' ')
                                              : "\n" + std::string(kHelpColumn, ' ');
        text += line + entry.mHelp + "\n";
    }
    text += R"(
Timing. Output sample t belongs to input sample t. On the host path the
plug-in reports a latency of 128 frames, in the throughput configuration
16384 frames, constant for every block size and setting, and qir-render
compensates exactly that. Automation and notes take effect at their
own frames on both paths; rotation changes cross-fade over the decoder's
128-frame processing frame that holds them.

The manual page, qir-render(1), describes every option in full.
)";
    return text;
}

} // namespace qircli
