// cli: command-line parsing for qir-render.
#include "cli/RenderOptions.h"

#include "cli/AsciiCase.h"

#include "engine/DecoderParameters.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
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

} // namespace

std::optional<long> ParameterIndexOf(const std::string& name)
{
    long index = 0;
    return ParseInteger(name, index) ? std::optional<long>(index) : std::nullopt;
}

bool NamesParameter(const std::string& name, long index, const std::string& displayName)
{
    if (const std::optional<long> given = ParameterIndexOf(name)) {
        return *given == index;
    }
    return Lower(name) == Lower(displayName);
}

const char* DecoderModeName(EDecoderMode mode) noexcept
{
    switch (mode) {
    case EDecoderMode::kAnechoic:
        return "Anechoic";
    case EDecoderMode::kRoom:
        return "Room";
    case EDecoderMode::kUHJ:
        return "UHJ";
    }
    return "?";
}

ParseResult ParseRenderOptions(const std::vector<std::string>& args)
{
    ParseResult result;
    RenderOptions& o = result.mOptions;
    std::vector<std::string> positional;

    using Handler = std::function<std::string(const std::string&)>;
    const std::map<std::string, Handler> withValue = {
        {"--mode", [&](const std::string& v) {
             return Choice<EDecoderMode>("--mode", v,
                                         {{"anechoic", EDecoderMode::kAnechoic},
                                          {"room", EDecoderMode::kRoom},
                                          {"uhj", EDecoderMode::kUHJ}},
                                         o.mMode);
         }},
        {"--order", [&](const std::string& v) {
             int order = 0;
             std::string e = IntegerInRange("--order", v, 1, 7, order);
             if (e.empty()) {
                 o.mOrder = order;
             }
             return e;
         }},
        {"--layout", [&](const std::string& v) {
             EChannelLayout layout = EChannelLayout::kACN;
             std::string e = Choice<EChannelLayout>(
                 "--layout", v, {{"acn", EChannelLayout::kACN}, {"fuma", EChannelLayout::kFuMa}}, layout);
             if (e.empty()) {
                 o.mLayout = layout;
             }
             return e;
         }},
        {"--norm", [&](const std::string& v) {
             ENormalization norm = ENormalization::kSN3D;
             std::string e = Choice<ENormalization>("--norm", v,
                                                    {{"n3d", ENormalization::kN3D},
                                                     {"sn3d", ENormalization::kSN3D},
                                                     {"fuma", ENormalization::kFuMa}},
                                                    norm);
             if (e.empty()) {
                 o.mNorm = norm;
             }
             return e;
         }},
        {"--rotation", [&](const std::string& v) {
             return Choice<bool>("--rotation", v, {{"on", true}, {"off", false}}, o.mRotation);
         }},
        {"--yaw", [&](const std::string& v) { return NumberInRange("--yaw", v, -180.0, 180.0, o.mYaw); }},
        {"--pitch", [&](const std::string& v) { return NumberInRange("--pitch", v, -90.0, 90.0, o.mPitch); }},
        {"--roll", [&](const std::string& v) { return NumberInRange("--roll", v, -90.0, 90.0, o.mRoll); }},
        {"--head-track", [&](const std::string& v) {
             if (v.empty()) {
                 return std::string("--head-track needs a file");
             }
             o.mHeadTrack = v;
             return std::string();
         }},
        {"--volume", [&](const std::string& v) { return NumberInRange("--volume", v, -70.0, 12.0, o.mVolumeDB); }},
        {"--set", [&](const std::string& v) {
             AutomationRequest request;
             std::string e = ParseAutomation(v, request);
             if (e.empty()) {
                 o.mAutomation.push_back(request);
             }
             return e;
         }},
        {"--note", [&](const std::string& v) {
             NoteRequest request;
             std::string e = ParseNote(v, request);
             if (e.empty()) {
                 o.mNotes.push_back(request);
             }
             return e;
         }},
        {"--block", [&](const std::string& v) { return IntegerInRange("--block", v, 1, 4096, o.mBlockSize); }},
        {"--format", [&](const std::string& v) {
             ESampleFormat format = ESampleFormat::kFloat;
             std::string e = Choice<ESampleFormat>("--format", v,
                                                   {{"float", ESampleFormat::kFloat},
                                                    {"pcm24", ESampleFormat::kPCM24},
                                                    {"pcm16", ESampleFormat::kPCM16}},
                                                   format);
             if (e.empty()) {
                 o.mFormat = format;
             }
             return e;
         }},
        {"--resources", [&](const std::string& v) {
             if (v.empty()) {
                 return std::string("--resources needs a folder");
             }
             o.mResources = v;
             return std::string();
         }},
        {"--sofa", [&](const std::string& v) {
             if (v.empty()) {
                 return std::string("--sofa needs a SOFA file");
             }
             o.mSofa = v;
             return std::string();
         }},
        {"--output", [&](const std::string& v) { return SetOutput(o, v); }},
        {"-o", [&](const std::string& v) { return SetOutput(o, v); }},
    };
    const std::map<std::string, std::function<void()>> flags = {
        {"--help", [&] { o.mHelp = true; }},
        {"-h", [&] { o.mHelp = true; }},
        {"--version", [&] { o.mVersion = true; }},
        {"--demo", [&] { o.mDemo = true; }},
        {"--rpy", [&] { o.mRollPitchYaw = true; }},
        {"--flip-yaw", [&] { o.mFlipYaw = true; }},
        {"--flip-pitch", [&] { o.mFlipPitch = true; }},
        {"--flip-roll", [&] { o.mFlipRoll = true; }},
        {"--tail", [&] { o.mTail = true; }},
        {"--no-tail", [&] { o.mTail = false; }},
        {"--host-path", [&] { o.mHostPath = true; }},
        {"--quiet", [&] { o.mQuiet = true; }},
        {"-q", [&] { o.mQuiet = true; }},
    };

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
        if (const auto flag = flags.find(name); flag != flags.end() && !inlineValue) {
            flag->second();
            continue;
        }
        given.insert(name);
        const auto handler = withValue.find(name);
        if (handler == withValue.end()) {
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
        if (std::string error = handler->second(value); !error.empty()) {
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
            return NamesParameter(request.mParameter, qir::kEnableRotation, "Enable Rotation");
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
    const bool fuma = o.mLayout == EChannelLayout::kFuMa || o.mNorm == ENormalization::kFuMa;
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
    return R"(usage: qir-render [options] INPUT OUTPUT
       qir-render [options] -o OUTPUT INPUT
       qir-render [options] -o DIR INPUT...
       qir-render --demo OUTPUT

Decodes an ambisonic file (order 1 to 7: 4, 9, 16, 25, 36, 49 or 64 channels,
any format libsndfile reads) to a 2-channel file at the input's sample rate,
by running the QIR Matrix Decoder plug-in as an audio-unit host does, in the
engine's throughput configuration unless --host-path says otherwise.
INPUT and OUTPUT may be "-": standard input (any format libsndfile reads) and
standard output (a WAV file; every message goes to standard error). With
-o DIR, an existing folder, each INPUT is rendered to DIR/<its name>.wav.

  --mode anechoic|room|uhj     decoder (default anechoic): binaural without room,
                               binaural with a room, or stereo UHJ (first order)
  --order N                    decode order 1..7 (default: the input's order;
                               a lower order decodes the first (N+1)^2 channels)
  --layout acn|fuma            input channel order (default: fuma for a file
                               with the B-format tag or named .amb, else acn;
                               fuma is first-order only)
  --norm n3d|sn3d|fuma         input normalisation (default: fuma for such a
                               file, else sn3d)
  --rotation on|off            rotate the field before decoding (default on)
  --yaw DEG                    -180..180 degrees (default 0); positive turns a
                               source in front to the right, as the listener's
                               head turning left would
  --pitch DEG --roll DEG       -90..90 degrees (default 0); positive pitch moves
                               a source in front up (head nodding down),
                               positive roll a source on the left down (head
                               tilting to the right)
  --head-track FILE            the angles from a head tracker's CSV rows:
                               time(s),yaw,pitch,roll (degrees) or
                               time(s),w,x,y,z (quaternion; w = cos(a/2),
                               z = sin(a/2) is --yaw a); header line optional.
                               Interpolated for every 128-frame frame, the
                               first row's orientation from the first frame
  --rpy                        roll-pitch-yaw order instead of yaw-pitch-roll
  --flip-yaw --flip-pitch --flip-roll
                               invert the sense of an angle
  --volume DB                  output volume, -70..12 dB in 0.5 dB steps (default 0)
  --set NAME@SECONDS=VALUE     parameter automation, repeatable. NAME is a
                               parameter's name (e.g. "Yaw", "Output Volume")
                               or its index; VALUE is the parameter's own value
                               (a number, or one of its texts such as "FuMa").
                               "Pitch" and "Roll" span -180..180 and turn the
                               field by half their value; "Enable Rotation@T=off"
                               fades the rotation out over the processing frame
                               that holds T. Decoder Mode and Decode Order
                               cannot be automated.
  --note NOTE@START[:END]       test-source note on (and off) at seconds,
                               NOTE 0..25 picks one of its 26 directions;
                               repeatable
  --block N                    host block size, 1..4096 (default 512)
  --host-path                  run the plug-in exactly as an audio-unit host
                               does: its real-time configuration, 128 frames of
                               latency, one thread. By default its engine runs
                               in its throughput configuration (convolution in
                               batches of 8192 frames on a second thread), which
                               is several times faster and gives the same
                               output within float rounding
  --tail | --no-tail           after the input ends, render the decoder set's
                               tail: its responses' true length, trailing
                               zeros left out (default on)
  --format float|pcm24|pcm16   output sample format (default: float; pcm24 for
                               FLAC); the container follows OUTPUT's extension
                               (.wav, .aiff, .caf, .flac, .w64, .rf64; .ogg for
                               Vorbis and .opus for Opus, which take no --format)
  --resources DIR              folder holding the decoder sets (default:
                               $QIR_RESOURCE_DIR, else beside the program in
                               ../share/qir-matrix-decoder/decoder-sets)
  --sofa FILE                  decode with sets fitted to this HRTF set (a SOFA
                               file, SimpleFreeFieldHRIR), fitted on first use
                               in a second or two and kept for later renders in
                               $XDG_CACHE_HOME/qir-matrix-decoder
                               (default ~/.cache/qir-matrix-decoder); UHJ uses
                               no HRTF and keeps the regular folder's sets
  -o, --output FILE|DIR        the output file, or a folder for several inputs
  -q, --quiet                  no progress display and no notes (what was
                               detected, levels, the summary); warnings and
                               errors are still given
  --demo                       render a built-in scene (moving sources and the
                               test source at several directions) to OUTPUT
  -h, --help                   this text
  --version                    the version of qir-render and of libsndfile

Timing. Output sample t belongs to input sample t. On the host path the
plug-in reports a latency of 128 frames, in the throughput configuration
16384 frames, constant for every block size and setting, and qir-render
compensates exactly that. Automation and notes take effect at their
own frames on both paths; rotation changes cross-fade over the decoder's
128-frame processing frame that holds them.

The output is written to a temporary file next to OUTPUT and renamed when the
render is complete, so a failed or interrupted render never leaves a partial
OUTPUT. After the render the output's peak is reported, and samples beyond
full scale are warned about in every format.

Sample rates. The output has the input's rate, from 8 kHz to 384 kHz (an
input whose header claims another rate is refused). The decoder sets are
made for 48 kHz; at any other rate the plug-in resamples them as they load
(best-quality sinc, no added delay, the same frequency response), so every
cue of the decoder is the same at every rate. The UHJ set is also made for
22.05, 32, 44.1, 88.2, 96, 176.4 and 192 kHz (AMBIX_2_UHJ-<rate>.wav), which
is used as it is at its rate.
)";
}

} // namespace qircli
