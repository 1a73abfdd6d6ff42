// cli: one render.
#include "cli/RenderJob.h"

#include "cli/DemoScene.h"
#include "cli/EventSchedule.h"
#include "cli/FieldSource.h"
#include "cli/OutputFile.h"
#include "cli/PluginHost.h"
#include "cli/ProgressDisplay.h"
#include "cli/SoundFileInput.h"
#include "engine/DecoderParameters.h"
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
constexpr double kDecoderSetRate = 48000.0;
constexpr auto kDecoderSetTimeout = std::chrono::seconds(120);

void Error(const std::string& message) { std::fprintf(stderr, "qir-render: %s\n", message.c_str()); }
void Warning(const std::string& message) { std::fprintf(stderr, "qir-render: warning: %s\n", message.c_str()); }

// What the decoder-set file on disk holds.
struct DecoderSetProbe {
    std::string mPath;
    int mInputs = 0;
    double mSampleRate = 0.0;
};

std::string GenerateHint(const std::string& folder)
{
    return "generate the decoder sets with scripts/demo.sh, or with build/release/tools/qir-make-decoder-sets --output " +
           folder;
}

bool ProbeDecoderSet(const RenderOptions& o, int decodeOrder, DecoderSetProbe& probe)
{
    const std::string folder = qir::platform::GetResourceDirectory();
    const std::string file =
        Engine::DecoderSetFileName(static_cast<double>(o.mMode), static_cast<double>(decodeOrder - 1));
    probe.mPath = (std::filesystem::path(folder) / file).string();
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
    probe.mInputs = static_cast<int>(info.frames / Engine::kImpulseResponseLength);
    probe.mSampleRate = info.samplerate;
    if (info.channels != 2 || probe.mInputs < 1) {
        Error(what + " (" + probe.mPath + ") is not a decoder set: it needs 2 channels and " +
              std::to_string(Engine::kImpulseResponseLength) + " frames per ambisonic channel; " + GenerateHint(folder));
        return false;
    }
    return true;
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
            Error(o.mInput + " has " + std::to_string(file->channels()) + " channel" +
                  (file->channels() == 1 ? "" : "s") + "; the decoder takes " + SupportedChannelCountsText() +
                  " channels (ambisonic orders 1 to 7)");
            return kExitFailure;
        }
        if (file->frames() == 0) {
            Error(o.mInput + " holds no audio");
            return kExitFailure;
        }
        source = std::move(file);
    }
    const double sampleRate = source->sampleRate();
    const int inputChannels = source->channels();

    // The decode order, and the decoder set it needs.
    int decodeOrder = o.mOrder.value_or(inputOrder);
    if (decodeOrder > inputOrder) {
        Error("--order " + std::to_string(decodeOrder) + " needs " + std::to_string((decodeOrder + 1) * (decodeOrder + 1)) +
              " input channels; " + source->name() + " has " + std::to_string(inputChannels) + " (order " +
              std::to_string(inputOrder) + ")");
        return kExitUsage;
    }
    // FuMa order and normalisation are first-order conventions: the plug-in
    // converts channels 0 to 3 only. (The UHJ set is first-order, checked below.)
    const bool fuma = o.mLayout == EChannelLayout::kFuMa || o.mNorm == ENormalization::kFuMa;
    const auto fumaNeedsFirstOrder = [&] {
        Error(source->name() + " is order " + std::to_string(decodeOrder) +
              ": FuMa channel order and normalisation are first-order conventions; add --order 1 to decode its "
              "first-order part");
        return kExitUsage;
    };
    if (fuma && decodeOrder != 1 && o.mMode != EDecoderMode::kUHJ) {
        return fumaNeedsFirstOrder();
    }
    DecoderSetProbe probe;
    if (o.mMode == EDecoderMode::kUHJ) {
        // One set serves every order; it decodes as many channels as it holds.
        if (!ProbeDecoderSet(o, decodeOrder, probe)) {
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
    } else if (!ProbeDecoderSet(o, decodeOrder, probe)) {
        return kExitFailure;
    }
    const int expectedInputs =
        o.mMode == EDecoderMode::kUHJ ? probe.mInputs : (decodeOrder + 1) * (decodeOrder + 1);
    if (probe.mInputs != expectedInputs) {
        Error("the decoder set " + probe.mPath + " holds " + std::to_string(probe.mInputs) + " inputs; order " +
              std::to_string(decodeOrder) + " needs " + std::to_string(expectedInputs));
        return kExitFailure;
    }
    const double setRate = probe.mSampleRate > 0.0 ? probe.mSampleRate : kDecoderSetRate;
    if (sampleRate != setRate) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "%s is at %.0f Hz but the decoder sets are made for %.0f Hz; rendering at %.0f Hz without "
                      "resampling shifts the decoders' frequency response by a factor of %.3f",
                      source->name().c_str(), sampleRate, setRate, sampleRate, sampleRate / setRate);
        Warning(text);
    }

    // The plug-in, set up the way a host sets it up.
    std::string error;
    std::unique_ptr<PluginHost> host = PluginHost::Create(error);
    if (!host) {
        Error(error);
        return kExitFailure;
    }
    host->setParameter(kDecoderMode, static_cast<AUValue>(o.mMode));
    host->setParameter(kDecodeOrder, static_cast<AUValue>(decodeOrder - 1));
    host->setParameter(kChannelLayout, static_cast<AUValue>(o.mLayout));
    host->setParameter(kNormalizationType, static_cast<AUValue>(o.mNorm));
    host->setParameter(kEnableRotation, o.mRotation ? 1.0f : 0.0f);
    host->setParameter(kUseRPY, o.mRollPitchYaw ? 1.0f : 0.0f);
    host->setParameter(kFlipYaw, o.mFlipYaw ? 1.0f : 0.0f);
    host->setParameter(kFlipPitch, o.mFlipPitch ? 1.0f : 0.0f);
    host->setParameter(kFlipRoll, o.mFlipRoll ? 1.0f : 0.0f);
    host->setParameter(kYaw, static_cast<AUValue>(o.mYaw));
    // The pitch and roll parameters span -180..180 and turn the field by half
    // their value; the options are in degrees of rotation.
    host->setParameter(kPitch, static_cast<AUValue>(2.0 * o.mPitch));
    host->setParameter(kRoll, static_cast<AUValue>(2.0 * o.mRoll));
    host->setParameter(kOutputVolume, static_cast<AUValue>(o.mVolumeDB));

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
    const int64_t tailFrames = o.mTail ? std::max<int64_t>(Engine::kImpulseResponseLength, host->TailFrames()) : 0;
    const int64_t outputFrames = inputFrames + tailFrames;

    EventSchedule schedule;
    if (!schedule.Build(o.mAutomation, notes, host->parameterTree(), sampleRate, outputFrames, decodeOrder,
                        error)) {
        Error(error);
        return kExitUsage;
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
    std::vector<AURenderEvent> eventStorage;
    eventStorage.reserve(schedule.size() + 1);

    ProgressDisplay progress(outputFrames, sampleRate, !o.mQuiet);
    const auto renderStarted = std::chrono::steady_clock::now();
    const int64_t streamEnd = preRoll + delay + outputFrames;
    for (int64_t start = 0; start < streamEnd; start += block) {
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
            host->Render(blockSize, inputPointers.data(), out0.data(), out1.data(), events);
        if (status != noErr) {
            progress.Finish();
            Error("the decoder plug-in failed to render (status " + std::to_string(status) + ")");
            return kExitFailure;
        }
        if (start == 0 && host->ActiveInputCount() != expectedInputs) {
            Error("the decoder set " + probe.mPath + " did not load (the plug-in decodes " +
                  std::to_string(std::max(host->ActiveInputCount(), 0)) + " channels)");
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

    if (output->clippedSamples() > 0) {
        Warning(std::to_string(output->clippedSamples()) +
                " samples exceeded full scale and were clipped; lower --volume or use --format float");
    }
    const double seconds = static_cast<double>(inputFrames) / sampleRate;
    const double renderSeconds = std::chrono::duration<double>(finished - renderStarted).count();
    const double totalSeconds = std::chrono::duration<double>(finished - started).count();
    std::printf("qir-render: wrote %s: %.2f s, %s decoder, order %d, real-time factor %.4f (%.1fx real time; "
                "%.2f s in all with loading)\n",
                o.mOutput.c_str(), seconds, DecoderModeName(o.mMode), decodeOrder, renderSeconds / seconds,
                seconds / std::max(renderSeconds, 1e-9), totalSeconds);
    return kExitOk;
}

} // namespace qircli
