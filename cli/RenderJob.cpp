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
    const std::string what = std::string("the ") + DecoderModeName(o.mMode) + " decoder set" +
                             (o.mMode == EDecoderMode::kUHJ ? "" : " for order " + std::to_string(decodeOrder));
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
    EChannelLayout mLayout = EChannelLayout::kACN;
    ENormalization mNorm = ENormalization::kSN3D;
    // The file says FuMa (B-format tag or .amb), whatever the options then chose.
    bool mFileSaysFuMa = false;
    [[nodiscard]] bool fuma() const noexcept
    {
        return mLayout == EChannelLayout::kFuMa || mNorm == ENormalization::kFuMa;
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
    const EChannelLayout fileLayout = conventions.mFileSaysFuMa ? EChannelLayout::kFuMa : EChannelLayout::kACN;
    const ENormalization fileNorm = conventions.mFileSaysFuMa ? ENormalization::kFuMa : ENormalization::kSN3D;
    conventions.mLayout = o.mLayout.value_or(fileLayout);
    conventions.mNorm = o.mNorm.value_or(fileNorm);
    if (conventions.mFileSaysFuMa) {
        const char* layout = conventions.mLayout == EChannelLayout::kFuMa ? "FuMa" : "ACN";
        const char* norm = conventions.mNorm == ENormalization::kFuMa   ? "FuMa"
                           : conventions.mNorm == ENormalization::kN3D ? "N3D"
                                                                       : "SN3D";
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
        if (NamesParameter(request.mParameter, kYaw, "Yaw") || NamesParameter(request.mParameter, kPitch, "Pitch") ||
            NamesParameter(request.mParameter, kRoll, "Roll")) {
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

} // namespace

int RunRender(const RenderOptions& o)
{
    const auto started = std::chrono::steady_clock::now();

    if (!o.mResources.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(o.mResources, ec)) {
            Error("--resources " + o.mResources + ": no such folder");
            return kExitUsage;
        }
        qir::platform::SetResourceDirectory(std::filesystem::absolute(o.mResources, ec).string());
    }

    // The field: a file, or the demo scene.
    std::unique_ptr<FieldSource> source;
    std::vector<NoteRequest> notes = o.mNotes;
    int inputOrder = 0;
    InputConventions conventions;
    if (o.mDemo) {
        const int order = o.mOrder.value_or(DemoScene::kDefaultOrder);
        source = std::make_unique<DemoScene>(order);
        const std::vector<NoteRequest> demoNotes = DemoScene::notes();
        notes.insert(notes.end(), demoNotes.begin(), demoNotes.end());
        inputOrder = order;
    } else {
        auto file = std::make_unique<SoundFileInput>(o.mInput);
        if (!file->openError().empty()) {
            Error(file->openError());
            return kExitFailure;
        }
        inputOrder = OrderForChannelCount(file->channels());
        if (inputOrder == 0) {
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
        conventions = ResolveConventions(o, file.get());
        source = std::move(file);
    }
    if (o.mDemo) {
        conventions = ResolveConventions(o, nullptr);
    }
    const double sampleRate = source->sampleRate();
    const int inputChannels = source->channels();

    // The decode order, and the decoder set it needs.
    // A file that says FuMa decodes its first-order part unless told otherwise.
    int decodeOrder = o.mOrder.value_or(conventions.mFileSaysFuMa && conventions.fuma() ? 1 : inputOrder);
    if (decodeOrder > inputOrder) {
        Error("--order " + std::to_string(decodeOrder) + " needs " + std::to_string((decodeOrder + 1) * (decodeOrder + 1)) +
              " input channels; " + source->name() + " has " + std::to_string(inputChannels) + " (order " +
              std::to_string(inputOrder) + ")");
        return kExitUsage;
    }
    // FuMa order and normalisation are first-order conventions: the plug-in
    // converts channels 0 to 3 only. (The UHJ set is first-order, checked below.)
    const bool fuma = conventions.fuma();
    const auto fumaNeedsFirstOrder = [&] {
        Error(source->name() + " is order " + std::to_string(decodeOrder) +
              ": FuMa channel order and normalisation are first-order conventions; add --order 1 to decode its "
              "first-order part" +
              (conventions.mFileSaysFuMa ? std::string(", or --layout acn --norm sn3d if it is not FuMa") : ""));
        return kExitUsage;
    };
    if (fuma && decodeOrder != 1 && o.mMode != EDecoderMode::kUHJ) {
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
    DecoderSetProbe probe;
    if (o.mMode == EDecoderMode::kUHJ) {
        // One set serves every order; it decodes as many channels as it holds.
        if (!ProbeDecoderSet(o, decodeOrder, sampleRate, probe)) {
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
    } else if (!ProbeDecoderSet(o, decodeOrder, sampleRate, probe)) {
        return kExitFailure;
    }
    const int expectedInputs =
        o.mMode == EDecoderMode::kUHJ ? probe.mInputs : (decodeOrder + 1) * (decodeOrder + 1);
    if (probe.mInputs != expectedInputs) {
        Error("the decoder set " + probe.mPath + " holds " + std::to_string(probe.mInputs) + " inputs; order " +
              std::to_string(decodeOrder) + " needs " + std::to_string(expectedInputs));
        return kExitFailure;
    }
    if (sampleRate != probe.mSampleRate) {
        char text[160];
        std::snprintf(text, sizeof text, "the decoder set is made for %.0f Hz and is resampled to %.0f Hz as it loads",
                      probe.mSampleRate, sampleRate);
        Note(o, text);
    }

    // The orientation: fixed, or the head track's first.
    HeadTrack track;
    if (!o.mHeadTrack.empty() && !LoadHeadTrack(o, track)) {
        return kExitUsage;
    }
    const AngleParameters angles =
        o.mHeadTrack.empty() ? ParametersOf({o.mYaw, o.mPitch, o.mRoll}) : ParametersOf(track.At(0.0));

    // The plug-in, set up the way a host sets it up.
    std::string error;
    std::unique_ptr<PluginHost> host = PluginHost::Create(error);
    if (!host) {
        Error(error);
        return kExitFailure;
    }
    host->setParameter(kDecoderMode, static_cast<AUValue>(o.mMode));
    host->setParameter(kDecodeOrder, static_cast<AUValue>(decodeOrder - 1));
    host->setParameter(kChannelLayout, static_cast<AUValue>(conventions.mLayout));
    host->setParameter(kNormalizationType, static_cast<AUValue>(conventions.mNorm));
    host->setParameter(kEnableRotation, o.mRotation ? 1.0f : 0.0f);
    host->setParameter(kUseRPY, o.mRollPitchYaw ? 1.0f : 0.0f);
    host->setParameter(kFlipYaw, o.mFlipYaw ? 1.0f : 0.0f);
    host->setParameter(kFlipPitch, o.mFlipPitch ? 1.0f : 0.0f);
    host->setParameter(kFlipRoll, o.mFlipRoll ? 1.0f : 0.0f);
    host->setParameter(kYaw, angles.mYaw);
    host->setParameter(kPitch, angles.mPitch);
    host->setParameter(kRoll, angles.mRoll);
    host->setParameter(kOutputVolume, static_cast<AUValue>(o.mVolumeDB));

    // A file needs no low latency: unless asked for the host path, the engine
    // renders in its throughput configuration, chosen before the resources are
    // allocated, and its larger latency is compensated like any other.
    bool hostPath = o.mHostPath;
    if (!hostPath && !host->UseThroughputConfiguration()) {
        Warning("the decoder's throughput configuration could not start its worker thread; rendering on the host path");
        hostPath = true;
    }

    const auto blockSize = static_cast<AUAudioFrameCount>(o.mBlockSize);
    if (!host->Allocate(sampleRate, static_cast<UInt32>(inputChannels), blockSize, error)) {
        Error(error);
        return kExitFailure;
    }

    // Timing: stream frame P + i carries input frame i and the events of input
    // frame i; its output appears at stream frame P + i + delay, the latency the
    // plug-in reports (the same for every block size and setting).
    const int64_t block = o.mBlockSize;
    const int64_t preRoll = kPreRollFrames;
    const int64_t delay = host->LatencyFrames();
    const int64_t inputFrames = source->frames();

    if (!host->WaitForDecoderSet(kDecoderSetTimeout)) {
        Error("the decoder set " + probe.mPath + " did not load");
        return kExitFailure;
    }

    // Buffers of one host block.
    const auto blockFrames = static_cast<std::size_t>(block);
    std::vector<std::vector<float>> input(static_cast<std::size_t>(inputChannels), std::vector<float>(blockFrames));
    std::vector<const float*> inputPointers;
    std::vector<float*> readPointers;
    for (auto& channel : input) {
        inputPointers.push_back(channel.data());
        readPointers.push_back(channel.data());
    }
    std::vector<float> out0(blockFrames), out1(blockFrames);

    // The pre-roll's first call (silence, no events: they come with the input)
    // adopts the decoder set, whose tail the plug-in then reports: the set's
    // true length at this rate, so the render goes on exactly as long as the
    // decoding of the input's last frame lasts. The plug-in's output does not
    // depend on how the stream is cut into calls.
    const int64_t firstCall = std::min(block, preRoll);
    const AUAudioUnitStatus adopted = host->Render(static_cast<AUAudioFrameCount>(firstCall), inputPointers.data(),
                                                   out0.data(), out1.data(), nullptr);
    if (adopted != noErr) {
        Error("the decoder plug-in failed to render (status " + std::to_string(adopted) + ")");
        return kExitFailure;
    }
    if (host->ActiveInputCount() != expectedInputs) {
        Error("the decoder set " + probe.mPath + " did not load (the plug-in decodes " +
              std::to_string(std::max(host->ActiveInputCount(), 0)) + " channels)");
        return kExitFailure;
    }
    const int64_t tailFrames = o.mTail ? host->TailFrames() : 0;
    const int64_t outputFrames = inputFrames + tailFrames;

    EventSchedule schedule;
    if (!schedule.Build(o.mAutomation, notes, host->parameterTree(), sampleRate, outputFrames, decodeOrder,
                        error)) {
        Error(error);
        return kExitUsage;
    }
    if (!o.mHeadTrack.empty()) {
        if (track.firstTime() * sampleRate >= static_cast<double>(outputFrames)) {
            Warning("the head track " + o.mHeadTrack + " starts after the end of the render; its times are seconds from "
                    "the start of the input, so only its first row counts");
        }
        ScheduleHeadTrack(track, sampleRate, outputFrames, angles, schedule);
    }
    // Events at their input frames: the plug-in delays their effect with the
    // audio.
    schedule.Place(preRoll);

    std::unique_ptr<OutputFile> output =
        OutputFile::Create(o.mOutput, o.mInput, static_cast<int>(std::lround(sampleRate)), o.mFormat, error);
    if (!output) {
        Error(error);
        return kExitFailure;
    }

    std::vector<AURenderEvent> eventStorage;
    eventStorage.reserve(schedule.size() + 1);

    ProgressDisplay progress(outputFrames, sampleRate, !o.mQuiet);
    const auto renderStarted = std::chrono::steady_clock::now();
    const int64_t streamEnd = preRoll + delay + outputFrames;
    for (int64_t start = firstCall; start < streamEnd; start += block) {
        // Input: silence before and after the source's frames.
        for (auto& channel : input) {
            std::fill(channel.begin(), channel.end(), 0.0f);
        }
        const int64_t first = std::max(start, preRoll);
        const int64_t last = std::min(start + block, preRoll + inputFrames);
        if (first < last) {
            std::vector<float*> at(readPointers);
            for (auto& p : at) {
                p += first - start;
            }
            if (!source->read(at.data(), static_cast<int>(last - first))) {
                progress.Finish();
                Error(source->error());
                return kExitFailure;
            }
        }
        const AURenderEvent* events = schedule.Collect(start, block, eventStorage);
        const AUAudioUnitStatus status =
            host->Render(static_cast<AUAudioFrameCount>(block), inputPointers.data(), out0.data(), out1.data(), events);
        if (status != noErr) {
            progress.Finish();
            Error("the decoder plug-in failed to render (status " + std::to_string(status) + ")");
            return kExitFailure;
        }
        // Output: stream frames [preRoll + delay, streamEnd).
        const int64_t keepFrom = std::max(start, preRoll + delay);
        const int64_t keepTo = std::min(start + block, streamEnd);
        if (keepFrom < keepTo) {
            const auto offset = static_cast<std::size_t>(keepFrom - start);
            if (!output->Write(out0.data() + offset, out1.data() + offset, static_cast<int>(keepTo - keepFrom))) {
                progress.Finish();
                Error(output->error());
                return kExitFailure;
            }
            progress.Update(output->framesWritten());
        }
    }
    progress.Finish();
    if (!output->Commit()) {
        Error(output->error());
        return kExitFailure;
    }
    const auto finished = std::chrono::steady_clock::now();

    ReportLevels(o, *output);
    const double seconds = static_cast<double>(inputFrames) / sampleRate;
    const double renderSeconds = std::chrono::duration<double>(finished - renderStarted).count();
    const double totalSeconds = std::chrono::duration<double>(finished - started).count();
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  ": %.2f s, %s decoder, order %d, real-time factor %.4f on the %s path (%.1fx real time; %.2f s in "
                  "all with loading)",
                  seconds, DecoderModeName(o.mMode), decodeOrder, renderSeconds / seconds,
                  hostPath ? "host" : "throughput",
                  seconds / std::max(renderSeconds, 1e-9), totalSeconds);
    Note(o, "wrote " + OutputName(o.mOutput) + summary);
    return kExitOk;
}

} // namespace qircli
