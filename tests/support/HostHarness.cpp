// tests/support: the host harness.
#include "tests/support/HostHarness.h"

#include "engine/platform/ResourceDirectory.h"
#include "framework/platform/MainRunLoop.h"

#include <sndfile.h>
#include <unistd.h>

#include <random>
#include <stdexcept>
#include <string>

namespace qirtest {

namespace {

constexpr int kImpulseResponseLength = 16384;

// Removes the process's resource folder at exit.
struct ResourceFolder {
    std::filesystem::path mPath;
    ~ResourceFolder()
    {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
};

} // namespace

RenderEventList::RenderEventList() { mEvents.reserve(64); }

RenderEventList& RenderEventList::parameter(int64_t sampleTime, AUParameterAddress address, AUValue value,
                                            AURenderEventType type)
{
    AURenderEvent e{};
    e.parameter.eventSampleTime = sampleTime;
    e.parameter.eventType = type;
    e.parameter.parameterAddress = address;
    e.parameter.value = value;
    mEvents.push_back(e);
    return *this;
}

RenderEventList& RenderEventList::midi(int64_t sampleTime, uint8_t status, uint8_t data1, uint8_t data2)
{
    AURenderEvent e{};
    e.MIDI.eventSampleTime = sampleTime;
    e.MIDI.eventType = AURenderEventMIDI;
    e.MIDI.length = 3;
    e.MIDI.data[0] = status;
    e.MIDI.data[1] = data1;
    e.MIDI.data[2] = data2;
    mEvents.push_back(e);
    return *this;
}

RenderEventList& RenderEventList::sysEx(int64_t sampleTime)
{
    AURenderEvent e{};
    e.MIDI.eventSampleTime = sampleTime;
    e.MIDI.eventType = AURenderEventMIDISysEx;
    mEvents.push_back(e);
    return *this;
}

const AURenderEvent* RenderEventList::head() noexcept
{
    for (std::size_t i = 0; i < mEvents.size(); ++i) {
        mEvents[i].head.next = i + 1 < mEvents.size() ? &mEvents[i + 1] : nullptr;
    }
    return mEvents.empty() ? nullptr : mEvents.data();
}

void WriteDecoderSet(const std::filesystem::path& file, int nInputs, uint32_t seed, int taps)
{
    std::minstd_rand rng(seed);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<std::array<std::vector<float>, 2>> responses(static_cast<std::size_t>(nInputs));
    for (auto& pair : responses) {
        for (auto& response : pair) {
            response.resize(static_cast<std::size_t>(taps));
        }
        for (int t = 0; t < taps; ++t) {
            pair[0][static_cast<std::size_t>(t)] = dist(rng);
            pair[1][static_cast<std::size_t>(t)] = dist(rng);
        }
    }
    WriteDecoderSet(file, responses);
}

void WriteDecoderSet(const std::filesystem::path& file, const std::vector<std::array<std::vector<float>, 2>>& responses)
{
    const sf_count_t frames = static_cast<sf_count_t>(responses.size()) * kImpulseResponseLength;
    std::vector<float> interleaved(static_cast<std::size_t>(frames) * 2, 0.0f);
    for (std::size_t input = 0; input < responses.size(); ++input) {
        for (std::size_t out = 0; out < 2; ++out) {
            const std::vector<float>& response = responses[input][out];
            for (std::size_t t = 0; t < response.size() && t < kImpulseResponseLength; ++t) {
                interleaved[2 * (input * kImpulseResponseLength + t) + out] = response[t];
            }
        }
    }
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
    if (!sf) {
        throw std::runtime_error("cannot write " + file.string());
    }
    const sf_count_t written = sf_writef_float(sf, interleaved.data(), frames);
    sf_close(sf);
    if (written != frames) {
        throw std::runtime_error("short write to " + file.string());
    }
}

const std::filesystem::path& TestResourceDirectory()
{
    static const ResourceFolder folder = [] {
        ResourceFolder f;
        f.mPath = std::filesystem::temp_directory_path() / ("qir-host-tests-" + std::to_string(::getpid()));
        std::filesystem::create_directories(f.mPath);
        WriteDecoderSet(f.mPath / "1OA-decoder-anechoic.wav", 4, 1);
        WriteDecoderSet(f.mPath / "3OA-decoder-anechoic.wav", 16, 3);
        WriteDecoderSet(f.mPath / "1OA-decoder-room.wav", {{{{}, {}}}, {{{1.0f}, {}}}, {{{}, {}}}, {{{}, {1.0f}}}});
        qir::platform::SetResourceDirectory(f.mPath.string());
        return f;
    }();
    return folder.mPath;
}

HostHarness::HostHarness()
{
    (void)TestResourceDirectory();
    NSError error;
    mHost = AudioUnitHost::create(QIRMatrixDecoder::MakeConfig(), error);
    if (!mHost) {
        throw std::runtime_error("the audio unit could not be created");
    }
}

HostHarness::~HostHarness() = default;

QIRMatrixDecoder& HostHarness::plugin() noexcept { return *static_cast<QIRMatrixDecoder*>(unit().plug()); }

void HostHarness::pumpMainLoop(std::chrono::milliseconds duration) { plugfw::MainRunLoop::Main().RunFor(duration); }

int HostHarness::pumpMainQueue() { return plugfw::MainRunLoop::Main().RunOnce(); }

bool HostHarness::allocate(double sampleRate, AUAudioFrameCount maxFrames, UInt32 inputChannels, NSError* error)
{
    return mHost->setBusFormats(sampleRate, inputChannels, error) && mHost->allocate(maxFrames, error);
}

bool HostHarness::waitForDecoderSet(int expectedInputs, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    qir::QIRMatrixDecoderDSP& dsp = plugin().GetDSP();
    const AUAudioFrameCount frames = std::min<AUAudioFrameCount>(128, unit().maximumFramesToRender());
    while (std::chrono::steady_clock::now() < deadline) {
        pumpMainLoop(std::chrono::milliseconds(45));
        dsp.WaitForLoads();
        // The audio thread adopts a loaded set at the start of its next block.
        if (render(frames, nullptr, nullptr) != noErr) {
            return false;
        }
        if (dsp.GetActiveInputCount() == expectedInputs && !dsp.IsLoadRequested() && !dsp.HasPendingDecoderSet() &&
            !dsp.IsLoading() && !dsp.IsCrossfading()) {
            return true;
        }
    }
    return false;
}

} // namespace qirtest
