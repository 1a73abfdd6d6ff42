// cli: one render.
#include "cli/RenderJob.h"

#include "cli/AsciiCase.h"
#include "cli/DemoScene.h"
#include "cli/EventSchedule.h"
#include "cli/FieldSource.h"
#include "cli/HeadTrack.h"
#include "cli/OutputFile.h"
#include "cli/PluginHost.h"
#include "cli/ProgressDisplay.h"
#include "cli/SofaCache.h"
#include "cli/SoundFileInput.h"
#include "engine/DecoderParameters.h"
#include "engine/DecoderSetResponses.h"
#include "engine/QIRMatrixDecoderDSP.h"
#include "engine/platform/ResourceDirectory.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace qircli {

namespace {

using Engine = qir::QIRMatrixDecoderDSP;

// The plug-in's parameter addresses are its parameter indices.
using enum qir::EParams;

// Silence rendered before the input, as a host's pre-roll: the plug-in's
// output-volume smoother starts from 0 and the first decoder set fades in, both
// within it, so the first output sample is already at full volume. A whole
// number of the engine's processing frames, so that they line up with the
// input's timeline whatever the block size.
constexpr int64_t kPreRollFrames = 2048;
static_assert(kPreRollFrames % Engine::kSubBlockFrames == 0);
static_assert(kPreRollFrames >= Engine::kCrossfadeFrames);
constexpr auto kDecoderSetTimeout = std::chrono::seconds(120);

void Error(const std::string& message) { std::fprintf(stderr, "qir-render: %s\n", message.c_str()); }
void Warning(const std::string& message) { std::fprintf(stderr, "qir-render: warning: %s\n", message.c_str()); }
// What a render found and did; --quiet leaves these out.
void Note(const RenderOptions& o, const std::string& message)
{
    if (!o.mQuiet) {
        std::fprintf(stderr, "qir-render: %s\n", message.c_str());
    }
}

// What the decoder-set file on disk holds.
struct DecoderSetProbe {
    std::string mPath;
    int mInputs = 0;
    double mSampleRate = 0.0;
};

std::string GenerateHint(const std::string& folder)
{
    return "generate the decoder sets with qir-make-decoder-sets --output " + folder +
           " (in a build tree: cmake --build BUILD --target decoder-sets), or name their folder with --resources or "
           "QIR_RESOURCE_DIR";
}

// The file the plug-in's loader will read at sampleRate: the set's file made for
// that rate when there is one, else its regular file.
bool ProbeDecoderSet(const RenderOptions& o, int decodeOrder, double sampleRate, DecoderSetProbe& probe)
{
    const std::string folder = qir::platform::GetResourceDirectory();
    const std::string file =
        Engine::DecoderSetFileName(static_cast<double>(o.mMode), static_cast<double>(decodeOrder - 1));
    const qir::DecoderSetFile chosen =
        qir::ChooseDecoderSetFile((std::filesystem::path(folder) / file).string(), sampleRate);
    probe.mPath = chosen.mPath;
    const std::string what = std::string("the ") + qir::kDecoderModeNames[o.mMode] + " decoder set" +
                             (o.mMode == qir::kDecoderModeUHJ ? "" : " for order " + std::to_string(decodeOrder));
    std::error_code ec;
    if (!std::filesystem::is_regular_file(probe.mPath, ec)) {
        Error(what + " is missing (" + probe.mPath + "); " + GenerateHint(folder));
        return false;
    }
    SF_INFO info{};
    SNDFILE* set = sf_open(probe.mPath.c_str(), SFM_READ, &info);
    if (!set) {
        Error(what + " cannot be read (" + probe.mPath + ": " + sf_strerror(nullptr) + "); " + GenerateHint(folder));
        return false;
    }
    sf_close(set);
    probe.mInputs = static_cast<int>(info.frames / chosen.mResponseLength);
    probe.mSampleRate = info.samplerate;
    if (info.channels != 2 || probe.mInputs < 1) {
        Error(what + " (" + probe.mPath + ") is not a decoder set: it needs 2 channels and " +
              std::to_string(chosen.mResponseLength) + " frames per ambisonic channel; " + GenerateHint(folder));
        return false;
    }
    if (!qir::IsSupportedSampleRate(probe.mSampleRate)) {
        Error(what + " (" + probe.mPath + ") is made for " + std::to_string(info.samplerate) +
              " Hz; decoder sets are made for 8 kHz to 384 kHz; " + GenerateHint(folder));
        return false;
    }
    if (chosen.mNamedRate != 0.0 && probe.mSampleRate != chosen.mNamedRate) {
        Error(what + " (" + probe.mPath + ") is named for " + std::to_string(static_cast<long>(chosen.mNamedRate)) +
              " Hz but made for " + std::to_string(info.samplerate) + " Hz; " + GenerateHint(folder));
        return false;
    }
    return true;
}

// The input's ambisonic conventions: what the options say, else what the file
// says, else ACN with SN3D.
struct InputConventions {
    qir::EChannelLayout mLayout = qir::kChannelLayoutACN;
    qir::ENormalizationType mNorm = qir::kNormalizationSN3D;
    // The file says FuMa (B-format tag or .amb), whatever the options then chose.
    bool mFileSaysFuMa = false;
    [[nodiscard]] bool fuma() const noexcept
    {
        return mLayout == qir::kChannelLayoutFuMa || mNorm == qir::kNormalizationFuMa;
    }
};

bool HasAmbExtension(const std::string& path)
{
    return Lower(std::filesystem::path(path).extension().string()) == ".amb";
}

InputConventions ResolveConventions(const RenderOptions& o, const SoundFileInput* file)
{
    InputConventions conventions;
    const bool tagged = file && file->hasBFormatTag();
    const bool amb = file && HasAmbExtension(o.mInput);
    conventions.mFileSaysFuMa = tagged || amb;
    const qir::EChannelLayout fileLayout = conventions.mFileSaysFuMa ? qir::kChannelLayoutFuMa : qir::kChannelLayoutACN;
    const qir::ENormalizationType fileNorm =
        conventions.mFileSaysFuMa ? qir::kNormalizationFuMa : qir::kNormalizationSN3D;
    conventions.mLayout = o.mLayout.value_or(fileLayout);
    conventions.mNorm = o.mNorm.value_or(fileNorm);
    if (conventions.mFileSaysFuMa) {
        const char* layout = qir::kChannelLayoutNames[conventions.mLayout];
        const char* norm = qir::kNormalizationTypeNames[conventions.mNorm];
        Note(o, file->name() + (tagged ? " carries the B-format tag of WAVE-EX files" : " is an .amb file") +
                    ", which means FuMa: reading it with " + layout + " channel order" +
                    (o.mLayout ? " (--layout)" : "") + " and " + norm + " normalisation" + (o.mNorm ? " (--norm)" : ""));
    }
    return conventions;
}

// A header that declares more frames than the file holds: the file was cut
// short, and the render covers what is there.
void WarnIfCutShort(const SoundFileInput& file)
{
    const std::optional<int64_t> declared = file.declaredFrames();
    if (declared && *declared > file.frames()) {
        Warning(file.name() + " is cut short: its header declares " + std::to_string(*declared) +
                " frames but it holds " + std::to_string(file.frames()) + "; rendering the " +
                std::to_string(file.frames()) + " frames there are");
    }
}

// The plug-in's angle parameters for an orientation: yaw as it is; pitch and
// roll doubled, since their parameters span -180..180 and turn the field by
// half their value.
struct AngleParameters {
    AUValue mYaw = 0.0f;
    AUValue mPitch = 0.0f;
    AUValue mRoll = 0.0f;
};

AngleParameters ParametersOf(const HeadOrientation& orientation)
{
    return {static_cast<AUValue>(orientation.mYaw), static_cast<AUValue>(2.0 * orientation.mPitch),
            static_cast<AUValue>(2.0 * orientation.mRoll)};
}

// Reads --head-track and checks it against the options it must not meet.
// False after saying why.
bool LoadHeadTrack(const RenderOptions& o, HeadTrack& track)
{
    std::string error;
    if (!track.Load(o.mHeadTrack, error)) {
        Error(error);
        return false;
    }
    if (track.usesQuaternions() && o.mRollPitchYaw) {
        Error("--rpy: the quaternions of " + o.mHeadTrack +
              " become yaw-pitch-roll angles; drop --rpy (it is for tracks of angles)");
        return false;
    }
    for (const AutomationRequest& request : o.mAutomation) {
        if (NamesParameter(request.mParameter, kYaw) || NamesParameter(request.mParameter, kPitch) ||
            NamesParameter(request.mParameter, kRoll)) {
            Error("--set " + request.mText + ": the head track " + o.mHeadTrack + " gives the angles");
            return false;
        }
    }
    return true;
}

// Head tracking on the processing grid: every 128-frame frame turns to the
// track's orientation at the frame's end, as parameter changes at its start
// (the rotator cross-fades over the frame, so the field follows the track
// without lag). Only angles that change are sent, so a still head leaves the
// fixed rotation untouched.
void ScheduleHeadTrack(const HeadTrack& track, double sampleRate, int64_t renderFrames, AngleParameters current,
                       EventSchedule& schedule)
{
    for (int64_t frame = 0; frame < renderFrames; frame += Engine::kSubBlockFrames) {
        const AngleParameters next =
            ParametersOf(track.At(static_cast<double>(frame + Engine::kSubBlockFrames) / sampleRate));
        if (next.mYaw != current.mYaw) {
            schedule.AddParameterChange(frame, kYaw, next.mYaw);
        }
        if (next.mPitch != current.mPitch) {
            schedule.AddParameterChange(frame, kPitch, next.mPitch);
        }
        if (next.mRoll != current.mRoll) {
            schedule.AddParameterChange(frame, kRoll, next.mRoll);
        }
        current = next;
    }
}

double Decibels(float magnitude) { return 20.0 * std::log10(static_cast<double>(magnitude)); }

// The output's peak on both channels, and a warning with a way out when
// samples went beyond full scale: lower the volume by the overshoot, rounded up
// to the volume's 0.5 dB steps.
void ReportLevels(const RenderOptions& o, const OutputFile& output)
{
    const auto level = [](float peak) {
        char text[32];
        if (peak > 0.0f) {
            std::snprintf(text, sizeof text, "%+.1f dBFS", Decibels(peak));
        } else {
            std::snprintf(text, sizeof text, "silent");
        }
        return std::string(text);
    };
    Note(o, "output peak: left " + level(output.peak(0)) + ", right " + level(output.peak(1)));
    if (output.overs() == 0) {
        return;
    }
    const float peak = std::max(output.peak(0), output.peak(1));
    const double over = Decibels(peak);
    double lower = std::ceil(over * 2.0) / 2.0;
    if (lower <= over) {
        lower += 0.5;
    }
    char text[512];
    const double volume = o.mVolumeDB - lower;
    char advice[160];
    if (volume >= -70.0) {
        std::snprintf(advice, sizeof advice, "lower --volume by %.1f dB (--volume %.1f)", lower, volume);
    } else {
        std::snprintf(advice, sizeof advice, "lower the input's level by %.1f dB", lower);
    }
    std::snprintf(text, sizeof text,
                  "%lld samples exceed full scale (peak %+.1f dBFS) and the %s output %s; %s",
                  static_cast<long long>(output.overs()), over, output.sampleFormatName(), output.oversFate(),
                  advice);
    Warning(text);
}

// One render as it goes from the options to the written file. Each phase
// below fills in its part and reads only what the phases before it filled in.
struct RenderPlan {
    explicit RenderPlan(const RenderOptions& options) : mOptions(options), mNotes(options.mNotes) {}

    const RenderOptions& mOptions;
    std::chrono::steady_clock::time_point mStarted = std::chrono::steady_clock::now();

    // ResolveInput: the field and how to read it.
    std::unique_ptr<FieldSource> mSource;
    std::vector<NoteRequest> mNotes; // the options' notes, and the demo scene's
    int mInputOrder = 0;
    InputConventions mConventions;
    double mSampleRate = 0.0;

    // PrepareDecoderSet: what is decoded, with which set.
    int mDecodeOrder = 0;
    DecoderSetProbe mProbe;
    int mExpectedInputs = 0;

    // LoadOrientation: the head track, if any, and the angles to start with.
    HeadTrack mTrack;
    AngleParameters mAngles;

    // StartPlugin: the plug-in set up and running, its decoder set adopted.
    std::unique_ptr<PluginHost> mHost;
    bool mHostPath = false;
    int64_t mDelay = 0;         // the latency the plug-in reports
    int64_t mFirstCall = 0;     // the frames of the pre-roll's first call
    int64_t mOutputFrames = 0;  // the input's frames and the tail
    std::vector<std::vector<float>> mInput; // one host block per channel
    std::vector<float> mLeft, mRight;

    // BuildEvents: the automation, notes and head track on the stream's timeline.
    EventSchedule mSchedule;

    // Render: the finished output and how long its render took.
    std::unique_ptr<OutputFile> mOutput;
    std::chrono::steady_clock::time_point mRenderStarted;
    std::chrono::steady_clock::time_point mFinished;
};

// Points the engine at --resources. kExitUsage when the folder is missing.
int ChooseResourceFolder(const RenderOptions& o)
{
    if (!o.mResources.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(o.mResources, ec)) {
            Error("--resources " + o.mResources + ": no such folder");
            return kExitUsage;
        }
        qir::platform::SetResourceDirectory(std::filesystem::absolute(o.mResources, ec).string());
    }
    return kExitOk;
}

// The field: the input file, checked for what the decoder takes, or the demo
// scene; and the conventions it is read with.
int ResolveInput(RenderPlan& plan)
{
    const RenderOptions& o = plan.mOptions;
    if (o.mDemo) {
        const int order = o.mOrder.value_or(DemoScene::kDefaultOrder);
        plan.mSource = std::make_unique<DemoScene>(order);
        const std::vector<NoteRequest> demoNotes = DemoScene::notes();
        plan.mNotes.insert(plan.mNotes.end(), demoNotes.begin(), demoNotes.end());
        plan.mInputOrder = order;
        plan.mConventions = ResolveConventions(o, nullptr);
    } else {
        auto file = std::make_unique<SoundFileInput>(o.mInput);
        if (!file->openError().empty()) {
            Error(file->openError());
            return kExitFailure;
        }
        plan.mInputOrder = OrderForChannelCount(file->channels());
        if (plan.mInputOrder == 0) {
            Error(file->name() + " has " + std::to_string(file->channels()) + " channel" +
                  (file->channels() == 1 ? "" : "s") + "; the decoder takes " + SupportedChannelCountsText() +
                  " channels (ambisonic orders 1 to 7)");
            return kExitFailure;
        }
        if (file->frames() == 0) {
            Error(file->name() + " holds no audio");
            return kExitFailure;
        }
        // The decoder sets are brought to the input's rate, which must be one
        // they can be brought to (a damaged header may claim anything).
        if (!qir::IsSupportedSampleRate(file->sampleRate())) {
            char rate[64];
            std::snprintf(rate, sizeof rate, "%.0f Hz", file->sampleRate());
            Error(file->name() + " is at " + rate + "; qir-render decodes sample rates from 8 kHz to 384 kHz");
            return kExitFailure;
        }
        WarnIfCutShort(*file);
        plan.mConventions = ResolveConventions(o, file.get());
        plan.mSource = std::move(file);
    }
    plan.mSampleRate = plan.mSource->sampleRate();
    return kExitOk;
}

// The decode order, and the decoder set that decodes it at the input's rate:
// fitted for --sofa, found and checked on disk.
int PrepareDecoderSet(RenderPlan& plan)
{
    const RenderOptions& o = plan.mOptions;
    const InputConventions& conventions = plan.mConventions;
    const FieldSource& source = *plan.mSource;
    // A file that says FuMa decodes its first-order part unless told otherwise.
    int decodeOrder = o.mOrder.value_or(conventions.mFileSaysFuMa && conventions.fuma() ? 1 : plan.mInputOrder);
    if (decodeOrder > plan.mInputOrder) {
        Error("--order " + std::to_string(decodeOrder) + " needs " + std::to_string((decodeOrder + 1) * (decodeOrder + 1)) +
              " input channels; " + source.name() + " has " + std::to_string(source.channels()) + " (order " +
              std::to_string(plan.mInputOrder) + ")");
        return kExitUsage;
    }
    // FuMa order and normalisation are first-order conventions: the plug-in
    // converts channels 0 to 3 only. (The UHJ set is first-order, checked below.)
    const bool fuma = conventions.fuma();
    const auto fumaNeedsFirstOrder = [&] {
        Error(source.name() + " is order " + std::to_string(decodeOrder) +
              ": FuMa channel order and normalisation are first-order conventions; add --order 1 to decode its "
              "first-order part" +
              (conventions.mFileSaysFuMa ? std::string(", or --layout acn --norm sn3d if it is not FuMa") : ""));
        return kExitUsage;
    };
    if (fuma && decodeOrder != 1 && o.mMode != qir::kDecoderModeUHJ) {
        return fumaNeedsFirstOrder();
    }
    if (!o.mSofa.empty()) {
        std::string folder;
        std::string error;
        const std::string set =
            Engine::DecoderSetFileName(static_cast<double>(o.mMode), static_cast<double>(decodeOrder - 1));
        if (!PrepareSofaDecoderSet(o.mSofa, set, !o.mQuiet, folder, error)) {
            Error(error);
            return kExitFailure;
        }
        qir::platform::SetResourceDirectory(folder);
    }
    DecoderSetProbe& probe = plan.mProbe;
    if (o.mMode == qir::kDecoderModeUHJ) {
        // One set serves every order; it decodes as many channels as it holds.
        if (!ProbeDecoderSet(o, decodeOrder, plan.mSampleRate, probe)) {
            return kExitFailure;
        }
        const int setOrder = OrderForChannelCount(probe.mInputs);
        if (setOrder == 0) {
            Error("the UHJ decoder set (" + probe.mPath + ") holds " + std::to_string(probe.mInputs) +
                  " inputs, not an ambisonic channel count");
            return kExitFailure;
        }
        if (o.mOrder && *o.mOrder > setOrder) {
            Error("the UHJ decoder is order " + std::to_string(setOrder) + "; use --order " + std::to_string(setOrder) +
                  " or less");
            return kExitUsage;
        }
        decodeOrder = std::min(decodeOrder, setOrder);
        if (fuma && decodeOrder != 1) {
            return fumaNeedsFirstOrder();
        }
    } else if (!ProbeDecoderSet(o, decodeOrder, plan.mSampleRate, probe)) {
        return kExitFailure;
    }
    plan.mDecodeOrder = decodeOrder;
    plan.mExpectedInputs = o.mMode == qir::kDecoderModeUHJ ? probe.mInputs : (decodeOrder + 1) * (decodeOrder + 1);
    if (probe.mInputs != plan.mExpectedInputs) {
        Error("the decoder set " + probe.mPath + " holds " + std::to_string(probe.mInputs) + " inputs; order " +
              std::to_string(decodeOrder) + " needs " + std::to_string(plan.mExpectedInputs));
        return kExitFailure;
    }
    if (plan.mSampleRate != probe.mSampleRate) {
        char text[160];
        std::snprintf(text, sizeof text, "the decoder set is made for %.0f Hz and is resampled to %.0f Hz as it loads",
                      probe.mSampleRate, plan.mSampleRate);
        Note(o, text);
    }
    return kExitOk;
}

// The orientation: fixed, or the head track's first.
int LoadOrientation(RenderPlan& plan)
{
    const RenderOptions& o = plan.mOptions;
    if (!o.mHeadTrack.empty() && !LoadHeadTrack(o, plan.mTrack)) {
        return kExitUsage;
    }
    plan.mAngles = o.mHeadTrack.empty() ? ParametersOf({o.mYaw, o.mPitch, o.mRoll}) : ParametersOf(plan.mTrack.At(0.0));
    return kExitOk;
}

// The plug-in, set up the way a host sets it up, allocated for the input and
// run for the pre-roll's first call, which adopts the decoder set; then the
// output's length is known.
int StartPlugin(RenderPlan& plan)
{
    const RenderOptions& o = plan.mOptions;
    std::string error;
    plan.mHost = PluginHost::Create(error);
    if (!plan.mHost) {
        Error(error);
        return kExitFailure;
    }
    PluginHost& host = *plan.mHost;
    host.setParameter(kDecoderMode, static_cast<AUValue>(o.mMode));
    host.setParameter(kDecodeOrder, static_cast<AUValue>(plan.mDecodeOrder - 1));
    host.setParameter(kChannelLayout, static_cast<AUValue>(plan.mConventions.mLayout));
    host.setParameter(kNormalizationType, static_cast<AUValue>(plan.mConventions.mNorm));
    host.setParameter(kEnableRotation, o.mRotation ? 1.0f : 0.0f);
    host.setParameter(kUseRPY, o.mRollPitchYaw ? 1.0f : 0.0f);
    host.setParameter(kFlipYaw, o.mFlipYaw ? 1.0f : 0.0f);
    host.setParameter(kFlipPitch, o.mFlipPitch ? 1.0f : 0.0f);
    host.setParameter(kFlipRoll, o.mFlipRoll ? 1.0f : 0.0f);
    host.setParameter(kYaw, plan.mAngles.mYaw);
    host.setParameter(kPitch, plan.mAngles.mPitch);
    host.setParameter(kRoll, plan.mAngles.mRoll);
    host.setParameter(kOutputVolume, static_cast<AUValue>(o.mVolumeDB));

    // A file needs no low latency: unless asked for the host path, the engine
    // renders in its throughput configuration, chosen before the resources are
    // allocated, and its larger latency is compensated like any other.
    plan.mHostPath = o.mHostPath;
    if (!plan.mHostPath && !host.UseThroughputConfiguration()) {
        Warning("the decoder's throughput configuration could not start its worker thread; rendering on the host path");
        plan.mHostPath = true;
    }

    const int inputChannels = plan.mSource->channels();
    const auto blockSize = static_cast<AUAudioFrameCount>(o.mBlockSize);
    if (!host.Allocate(plan.mSampleRate, static_cast<UInt32>(inputChannels), blockSize, error)) {
        Error(error);
        return kExitFailure;
    }

    // Timing: stream frame P + i carries input frame i and the events of input
    // frame i; its output appears at stream frame P + i + delay, the latency the
    // plug-in reports (the same for every block size and setting).
    plan.mDelay = host.LatencyFrames();

    if (!host.WaitForDecoderSet(kDecoderSetTimeout)) {
        Error("the decoder set " + plan.mProbe.mPath + " did not load");
        return kExitFailure;
    }

    // Buffers of one host block.
    const auto blockFrames = static_cast<std::size_t>(o.mBlockSize);
    plan.mInput.assign(static_cast<std::size_t>(inputChannels), std::vector<float>(blockFrames));
    plan.mLeft.assign(blockFrames, 0.0f);
    plan.mRight.assign(blockFrames, 0.0f);
    std::vector<const float*> inputPointers;
    for (auto& channel : plan.mInput) {
        inputPointers.push_back(channel.data());
    }

    // The pre-roll's first call (silence, no events: they come with the input)
    // adopts the decoder set, whose tail the plug-in then reports: the set's
    // true length at this rate, so the render goes on exactly as long as the
    // decoding of the input's last frame lasts. The plug-in's output does not
    // depend on how the stream is cut into calls.
    plan.mFirstCall = std::min<int64_t>(o.mBlockSize, kPreRollFrames);
    const AUAudioUnitStatus adopted = host.Render(static_cast<AUAudioFrameCount>(plan.mFirstCall), inputPointers.data(),
                                                  plan.mLeft.data(), plan.mRight.data(), nullptr);
    if (adopted != noErr) {
        Error("the decoder plug-in failed to render (status " + std::to_string(adopted) + ")");
        return kExitFailure;
    }
    if (host.ActiveInputCount() != plan.mExpectedInputs) {
        Error("the decoder set " + plan.mProbe.mPath + " did not load (the plug-in decodes " +
              std::to_string(std::max(host.ActiveInputCount(), 0)) + " channels)");
        return kExitFailure;
    }
    const int64_t tailFrames = o.mTail ? host.TailFrames() : 0;
    plan.mOutputFrames = plan.mSource->frames() + tailFrames;
    return kExitOk;
}

// The --set automation, the notes and the head track, at their input frames
// on the stream's timeline: the plug-in delays their effect with the audio.
int BuildEvents(RenderPlan& plan)
{
    const RenderOptions& o = plan.mOptions;
    std::string error;
    if (!plan.mSchedule.Build(o.mAutomation, plan.mNotes, plan.mHost->parameterTree(), plan.mSampleRate,
                              plan.mOutputFrames, plan.mDecodeOrder, error)) {
        Error(error);
        return kExitUsage;
    }
    if (!o.mHeadTrack.empty()) {
        if (plan.mTrack.firstTime() * plan.mSampleRate >= static_cast<double>(plan.mOutputFrames)) {
            Warning("the head track " + o.mHeadTrack + " starts after the end of the render; its times are seconds from "
                    "the start of the input, so only its first row counts");
        }
        ScheduleHeadTrack(plan.mTrack, plan.mSampleRate, plan.mOutputFrames, plan.mAngles, plan.mSchedule);
    }
    plan.mSchedule.Place(kPreRollFrames);
    return kExitOk;
}

// The rest of the stream, block by block: the input after the pre-roll, the
// output from the pre-roll plus the latency on, written and committed.
int Render(RenderPlan& plan)
{
    const RenderOptions& o = plan.mOptions;
    std::string error;
    plan.mOutput = OutputFile::Create(o.mOutput, o.mInput, static_cast<int>(std::lround(plan.mSampleRate)), o.mFormat,
                                      error);
    if (!plan.mOutput) {
        Error(error);
        return kExitFailure;
    }
    OutputFile& output = *plan.mOutput;
    FieldSource& source = *plan.mSource;

    std::vector<const float*> inputPointers;
    std::vector<float*> readPointers;
    for (auto& channel : plan.mInput) {
        inputPointers.push_back(channel.data());
        readPointers.push_back(channel.data());
    }
    std::vector<AURenderEvent> eventStorage;
    eventStorage.reserve(plan.mSchedule.size() + 1);

    const int64_t block = o.mBlockSize;
    const int64_t preRoll = kPreRollFrames;
    const int64_t inputFrames = source.frames();
    ProgressDisplay progress(plan.mOutputFrames, plan.mSampleRate, !o.mQuiet);
    plan.mRenderStarted = std::chrono::steady_clock::now();
    const int64_t streamEnd = preRoll + plan.mDelay + plan.mOutputFrames;
    for (int64_t start = plan.mFirstCall; start < streamEnd; start += block) {
        // Input: silence before and after the source's frames.
        for (auto& channel : plan.mInput) {
            std::fill(channel.begin(), channel.end(), 0.0f);
        }
        const int64_t first = std::max(start, preRoll);
        const int64_t last = std::min(start + block, preRoll + inputFrames);
        if (first < last) {
            std::vector<float*> at(readPointers);
            for (auto& p : at) {
                p += first - start;
            }
            if (!source.read(at.data(), static_cast<int>(last - first))) {
                progress.Finish();
                Error(source.error());
                return kExitFailure;
            }
        }
        const AURenderEvent* events = plan.mSchedule.Collect(start, block, eventStorage);
        const AUAudioUnitStatus status = plan.mHost->Render(static_cast<AUAudioFrameCount>(block), inputPointers.data(),
                                                            plan.mLeft.data(), plan.mRight.data(), events);
        if (status != noErr) {
            progress.Finish();
            Error("the decoder plug-in failed to render (status " + std::to_string(status) + ")");
            return kExitFailure;
        }
        // Output: stream frames [preRoll + delay, streamEnd).
        const int64_t keepFrom = std::max(start, preRoll + plan.mDelay);
        const int64_t keepTo = std::min(start + block, streamEnd);
        if (keepFrom < keepTo) {
            const auto offset = static_cast<std::size_t>(keepFrom - start);
            if (!output.Write(plan.mLeft.data() + offset, plan.mRight.data() + offset,
                              static_cast<int>(keepTo - keepFrom))) {
                progress.Finish();
                Error(output.error());
                return kExitFailure;
            }
            progress.Update(output.framesWritten());
        }
    }
    progress.Finish();
    if (!output.Commit()) {
        Error(output.error());
        return kExitFailure;
    }
    plan.mFinished = std::chrono::steady_clock::now();
    return kExitOk;
}

// The output's levels and the summary line.
int Finish(const RenderPlan& plan)
{
    const RenderOptions& o = plan.mOptions;
    ReportLevels(o, *plan.mOutput);
    const double seconds = static_cast<double>(plan.mSource->frames()) / plan.mSampleRate;
    const double renderSeconds = std::chrono::duration<double>(plan.mFinished - plan.mRenderStarted).count();
    const double totalSeconds = std::chrono::duration<double>(plan.mFinished - plan.mStarted).count();
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  ": %.2f s, %s decoder, order %d, real-time factor %.4f on the %s path (%.1fx real time; %.2f s in "
                  "all with loading)",
                  seconds, qir::kDecoderModeNames[o.mMode], plan.mDecodeOrder, renderSeconds / seconds,
                  plan.mHostPath ? "host" : "throughput", seconds / std::max(renderSeconds, 1e-9), totalSeconds);
    Note(o, "wrote " + OutputName(o.mOutput) + summary);
    return kExitOk;
}

} // namespace

int RunRender(const RenderOptions& options)
{
    RenderPlan plan(options);
    if (const int status = ChooseResourceFolder(options); status != kExitOk) {
        return status;
    }
    for (const auto phase : {ResolveInput, PrepareDecoderSet, LoadOrientation, StartPlugin, BuildEvents, Render}) {
        if (const int status = phase(plan); status != kExitOk) {
            return status;
        }
    }
    return Finish(plan);
}

} // namespace qircli
