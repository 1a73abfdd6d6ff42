// cli: command-line parsing for qir-render.
#include "cli/RenderOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace qircli {

namespace {

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

std::string Lower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
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

} // namespace

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
             return Choice<EChannelLayout>("--layout", v, {{"acn", EChannelLayout::kACN}, {"fuma", EChannelLayout::kFuMa}},
                                           o.mLayout);
         }},
        {"--norm", [&](const std::string& v) {
             return Choice<ENormalization>("--norm", v,
                                           {{"n3d", ENormalization::kN3D},
                                            {"sn3d", ENormalization::kSN3D},
                                            {"fuma", ENormalization::kFuMa}},
                                           o.mNorm);
         }},
        {"--rotation", [&](const std::string& v) {
             return Choice<bool>("--rotation", v, {{"on", true}, {"off", false}}, o.mRotation);
         }},
        {"--yaw", [&](const std::string& v) { return NumberInRange("--yaw", v, -180.0, 180.0, o.mYaw); }},
        {"--pitch", [&](const std::string& v) { return NumberInRange("--pitch", v, -90.0, 90.0, o.mPitch); }},
        {"--roll", [&](const std::string& v) { return NumberInRange("--roll", v, -90.0, 90.0, o.mRoll); }},
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
             return Choice<ESampleFormat>("--format", v,
                                          {{"float", ESampleFormat::kFloat},
                                           {"pcm24", ESampleFormat::kPCM24},
                                           {"pcm16", ESampleFormat::kPCM16}},
                                          o.mFormat);
         }},
        {"--resources", [&](const std::string& v) {
             if (v.empty()) {
                 return std::string("--resources needs a folder");
             }
             o.mResources = v;
             return std::string();
         }},
    };
    const std::map<std::string, std::function<void()>> flags = {
        {"--help", [&] { o.mHelp = true; }},
        {"-h", [&] { o.mHelp = true; }},
        {"--demo", [&] { o.mDemo = true; }},
        {"--rpy", [&] { o.mRollPitchYaw = true; }},
        {"--flip-yaw", [&] { o.mFlipYaw = true; }},
        {"--flip-pitch", [&] { o.mFlipPitch = true; }},
        {"--flip-roll", [&] { o.mFlipRoll = true; }},
        {"--tail", [&] { o.mTail = true; }},
        {"--no-tail", [&] { o.mTail = false; }},
        {"--quiet", [&] { o.mQuiet = true; }},
    };

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
    if (o.mHelp) {
        return result;
    }

    if (o.mDemo) {
        if (positional.size() != 1) {
            result.mError = "usage: qir-render --demo OUTPUT";
            return result;
        }
        o.mOutput = positional[0];
    } else {
        if (positional.size() != 2) {
            result.mError = positional.size() < 2 ? "missing INPUT or OUTPUT (usage: qir-render [options] INPUT OUTPUT)"
                                                  : "too many file names: expected INPUT OUTPUT";
            return result;
        }
        o.mInput = positional[0];
        o.mOutput = positional[1];
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

std::string UsageText()
{
    return R"(usage: qir-render [options] INPUT OUTPUT
       qir-render --demo OUTPUT

Decodes an ambisonic file (order 1 to 7: 4, 9, 16, 25, 36, 49 or 64 channels,
any format libsndfile reads) to a 2-channel file at the input's sample rate,
by running the QIR Matrix Decoder plug-in exactly as an audio-unit host does.

  --mode anechoic|room|uhj     decoder (default anechoic): binaural without room,
                               binaural with a room, or stereo UHJ (first order)
  --order N                    decode order 1..7 (default: the input's order;
                               a lower order decodes the first (N+1)^2 channels)
  --layout acn|fuma            input channel order (default acn; fuma: order 1)
  --norm n3d|sn3d|fuma         input normalisation (default sn3d; fuma: order 1)
  --rotation on|off            rotate the field before decoding (default on)
  --yaw DEG                    -180..180 degrees, in 0.1-degree steps (default 0)
  --pitch DEG --roll DEG       -90..90 degrees, in 0.05-degree steps (default 0)
  --rpy                        roll-pitch-yaw order instead of yaw-pitch-roll
  --flip-yaw --flip-pitch --flip-roll
                               invert the sense of an angle
  --volume DB                  output volume, -70..12 dB in 0.5 dB steps (default 0)
  --set NAME@SECONDS=VALUE     parameter automation, repeatable. NAME is a
                               parameter's name (e.g. "Yaw", "Output Volume")
                               or its index; VALUE is the parameter's own value
                               (a number, or one of its texts such as "FuMa").
                               "Pitch" and "Roll" span -180..180 and turn the
                               field by half their value. Decoder Mode, Decode
                               Order and Enable Rotation cannot be automated.
  --note NOTE@START[:END]       test-source note on (and off) at seconds,
                               NOTE 0..25 picks one of its 26 directions;
                               repeatable
  --block N                    host block size, 1..4096 (default 512)
  --tail | --no-tail           render the decoders' 16384-sample tail after
                               the input ends (default on)
  --format float|pcm24|pcm16   output sample format (default float); the
                               container follows OUTPUT's extension (.wav,
                               .aiff, .caf, .flac, .w64, .rf64)
  --resources DIR              folder holding the decoder sets (default: the
                               sets generated by the build)
  --quiet                      no progress display
  --demo                       render a built-in scene (moving sources and the
                               test source at several directions) to OUTPUT
  --help                       this text

Timing. Output sample t belongs to input sample t. The plug-in reports a
latency of 128 frames, constant for every block size and setting, and
qir-render compensates exactly that. Automation and notes take effect at their
own frames; rotation changes cross-fade over the decoder's 128-frame
processing frame that holds them.

The output is written to a temporary file next to OUTPUT and renamed when the
render is complete, so a failed or interrupted render never leaves a partial
OUTPUT. The decoder sets are made for 48 kHz; other input rates are rendered
with a warning.
)";
}

} // namespace qircli
