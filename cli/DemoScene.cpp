// cli: the demo scene.
#include "cli/DemoScene.h"

#include "soundfield/Encoder.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace qircli {

namespace {

constexpr int kFrame = 128;
constexpr int kNumSources = 3;
constexpr double kTwoPi = 6.283185307179586;
// The moving sources play for this long; the test source follows.
constexpr double kMovingSeconds = 9.0;

} // namespace

DemoScene::DemoScene(int order) : mChannels((order + 1) * (order + 1))
{
    fieldenc_create(&mEncoder);
    if (!mEncoder) {
        throw std::bad_alloc();
    }
    fieldenc_init(mEncoder, static_cast<int>(kSampleRate));
    fieldenc_setOutputOrder(mEncoder, order);
    fieldenc_setNumSources(mEncoder, kNumSources);
    fieldenc_setEnablePostScaling(mEncoder, 0);
    mField.assign(static_cast<std::size_t>(mChannels) * kFrame, 0.0f);
    mSources.assign(static_cast<std::size_t>(kNumSources) * kFrame, 0.0f);
}

DemoScene::~DemoScene() { fieldenc_destroy(&mEncoder); }

int64_t DemoScene::frames() const noexcept { return static_cast<int64_t>(kSeconds * kSampleRate); }

std::vector<NoteRequest> DemoScene::notes()
{
    // Front, left, behind, right, above, below, then front-left-up corner.
    const int sequence[] = {0, 2, 1, 3, 4, 5, 18};
    std::vector<NoteRequest> notes;
    double t = kMovingSeconds + 0.25;
    for (int note : sequence) {
        notes.push_back(NoteRequest{note, t, t + 0.5});
        t += 0.8;
    }
    return notes;
}

void DemoScene::SynthesiseFrame()
{
    const double frameStart = static_cast<double>(mFrameIndex * kFrame) / kSampleRate;
    float* tone = mSources.data();
    float* bursts = tone + kFrame;
    float* drone = bursts + kFrame;
    for (int i = 0; i < kFrame; ++i) {
        const double t = frameStart + static_cast<double>(i) / kSampleRate;
        const double fade = t < kMovingSeconds ? std::min(1.0, (kMovingSeconds - t) / 0.5) : 0.0;
        // A plucked tone every half second, two partials, decaying.
        const double sinceNote = std::fmod(t, 0.5);
        const double pluck = std::exp(-sinceNote * 9.0);
        const double pitch = (static_cast<int>(t / 0.5) % 4 == 3) ? 784.0 : 659.25;
        tone[i] = static_cast<float>(fade * 0.25 * pluck *
                                     (std::sin(kTwoPi * pitch * t) + 0.3 * std::sin(kTwoPi * 2.0 * pitch * t)));
        // Noise bursts of 150 ms every 0.75 s, softened by a one-pole low-pass.
        mNoiseState = mNoiseState * 1664525u + 1013904223u;
        const float white = static_cast<float>(mNoiseState >> 8) / 8388608.0f - 1.0f;
        mNoiseLowpass += 0.35f * (white - mNoiseLowpass);
        const double sinceBurst = std::fmod(t, 0.75);
        const double gate = sinceBurst < 0.15 ? std::sin(kTwoPi * 0.5 * sinceBurst / 0.15) : 0.0;
        bursts[i] = static_cast<float>(fade * 0.3 * gate) * mNoiseLowpass;
        // A soft low drone with a slow swell.
        const double swell = 0.5 + 0.5 * std::sin(kTwoPi * 0.25 * t);
        drone[i] = static_cast<float>(fade * 0.08 * swell *
                                      (std::sin(kTwoPi * 110.0 * t) + 0.5 * std::sin(kTwoPi * 165.0 * t)));
    }
    // Directions at the frame's start; the encoder cross-fades over the frame.
    fieldenc_setSourceAzi_deg(mEncoder, 0, static_cast<float>(std::fmod(frameStart * 45.0, 360.0)));
    fieldenc_setSourceElev_deg(mEncoder, 0, 0.0f);
    fieldenc_setSourceAzi_deg(mEncoder, 1, -90.0f);
    fieldenc_setSourceElev_deg(mEncoder, 1, static_cast<float>(60.0 * std::sin(kTwoPi * frameStart / 6.0)));
    fieldenc_setSourceAzi_deg(mEncoder, 2, 30.0f);
    fieldenc_setSourceElev_deg(mEncoder, 2, 0.0f);

    const float* inputs[kNumSources] = {tone, bursts, drone};
    std::vector<float*> outputs(static_cast<std::size_t>(mChannels));
    for (int c = 0; c < mChannels; ++c) {
        outputs[static_cast<std::size_t>(c)] = mField.data() + static_cast<std::size_t>(c) * kFrame;
    }
    fieldenc_process(mEncoder, inputs, outputs.data(), kNumSources, mChannels, kFrame);
    ++mFrameIndex;
    mFieldRead = 0;
}

bool DemoScene::read(float* const* destination, int frames)
{
    int done = 0;
    while (done < frames) {
        if (mFieldRead == kFrame) {
            SynthesiseFrame();
        }
        const int n = std::min(frames - done, kFrame - mFieldRead);
        for (int c = 0; c < mChannels; ++c) {
            const float* source = mField.data() + static_cast<std::size_t>(c) * kFrame + mFieldRead;
            std::copy(source, source + n, destination[c] + done);
        }
        mFieldRead += n;
        done += n;
    }
    return true;
}

} // namespace qircli
