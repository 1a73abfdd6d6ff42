// cli: the built-in demo scene, synthesised at run time with the plug-in's own
// ambisonic encoder: a tone circling the listener, noise bursts rising and
// falling on the right, a low drone front left, then the plug-in's MIDI test
// source at several of its 26 directions (front, left, behind, right, above,
// below; notes in notes()).
#pragma once

#include "cli/FieldSource.h"
#include "cli/RenderOptions.h"

#include <cstdint>
#include <string>
#include <vector>

struct FieldEncoder;

namespace qircli {

class DemoScene final : public FieldSource {
public:
    static constexpr double kSampleRate = 48000.0;
    static constexpr double kSeconds = 15.0;
    static constexpr int kDefaultOrder = 3;

    explicit DemoScene(int order);
    ~DemoScene() override;
    DemoScene(const DemoScene&) = delete;
    DemoScene& operator=(const DemoScene&) = delete;

    [[nodiscard]] int channels() const noexcept override { return mChannels; }
    [[nodiscard]] double sampleRate() const noexcept override { return kSampleRate; }
    [[nodiscard]] int64_t frames() const noexcept override;
    [[nodiscard]] std::string name() const override { return "demo scene"; }
    [[nodiscard]] bool read(float* const* destination, int frames) override;
    [[nodiscard]] const std::string& error() const noexcept override { return mError; }

    // The test-source part of the scene, as --note requests.
    [[nodiscard]] static std::vector<NoteRequest> notes();

private:
    void SynthesiseFrame();

    FieldEncoder* mEncoder = nullptr;
    int mChannels;
    int64_t mFrameIndex = 0; // 128-frame frames synthesised so far
    std::vector<float> mField; // channels x 128, channel-major
    int mFieldRead = 128;      // frames of mField already delivered
    std::vector<float> mSources; // 3 x 128
    uint32_t mNoiseState = 22222u;
    float mNoiseLowpass = 0.0f;
    std::string mError;
};

} // namespace qircli
