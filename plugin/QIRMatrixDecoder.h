// plugin: the decoder plug-in class. It declares the plug-in to the framework,
// defines its thirteen parameters, owns the decoder engine, forwards the
// framework's callbacks to it and applies the smoothed output volume, whose
// changes reach the output with the engine's latency, like everything else.
//
// The class derives from plugfw::IPluginBinding, the base class of the binding
// it is compiled for: each binding's folder (host/auv3, host/lv2) holds a
// PluginBinding.h that names it, found through that binding's include path.
// The sources are compiled once per binding (plugin/CMakeLists.txt).
#pragma once

#include "PluginBinding.h"
#include "engine/QIRMatrixDecoderDSP.h"
#include "framework/Config.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class QIRMatrixDecoder final : public plugfw::IPluginBinding {
public:
    using enum qir::EParams;

    // Smoother of the output gain: one pole with a 5 ms time constant at 48 kHz,
    // A = exp(-2 pi / 240), fixed whatever the host's sample rate.
    static constexpr double kGainSmoothA = 0.9741597847140443;
    static constexpr double kGainSmoothB = 0.025840215285955703;
    // ln(10) / 20: decibels to the exponent of a linear gain.
    static constexpr double kDBToExponent = 0.1151292546497;

    // The plug-in's description for the framework.
    [[nodiscard]] static plugfw::Config MakeConfig();

    explicit QIRMatrixDecoder(const plugfw::InstanceInfo& info);
    ~QIRMatrixDecoder() override;

    // Audio thread: never waits.
    void ProcessBlock(float** inputs, float** outputs, int nFrames) noexcept override;
    void ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept override;

    // Main thread (idle timer).
    void OnIdle() override;
    // Control thread, while rendering is stopped: reports the engine's latency,
    // QIRMatrixDecoderDSP::kLatency, which holds for the plug-in's whole life
    // (a host that chose the engine's throughput configuration before
    // allocating gets that configuration's, as constant).
    void OnReset() override;

    // Any thread: the tail of the decoder set in use, its true length in frames
    // (0 before the first set), which hosts read as the audio unit's tail time.
    [[nodiscard]] int GetTailSize() const noexcept override;

    using plugfw::IPluginBinding::OnParamChange;
    // Any thread.
    void OnParamChange(int paramIdx, plugfw::EParamSource source, int sampleOffset) override;

    // The engine, for hosts and tests that watch decoder-set loading.
    [[nodiscard]] qir::QIRMatrixDecoderDSP& GetDSP() noexcept { return *mDSP; }

private:
    // A change of the volume's target, due at frame mFrame of the stream.
    struct VolumeChange {
        int64_t mFrame = 0;
        double mTarget = 1.0;
    };
    // Targets change at most once per call and every call advances the stream,
    // so no more changes than a latency's frames are ever waiting: the ring
    // holds twice the latency, sized at reset.
    static constexpr std::size_t kVolumeChangesPerLatencyFrame = 2;

    [[nodiscard]] double VolumeTarget() const noexcept;

    std::unique_ptr<qir::QIRMatrixDecoderDSP> mDSP;
    double mGainSmoothA = kGainSmoothA;
    double mGainSmoothB = kGainSmoothB;
    double mGainSmoothState = 0.0;
    // Audio thread: frames processed since the last reset; the target the
    // smoother heads for now; the last target read from the parameter; and the
    // ring of targets read but not yet due.
    int64_t mStreamFrame = 0;
    int mLatencyFrames = qir::QIRMatrixDecoderDSP::kLatency;
    double mOutputTarget = 1.0;
    double mLastTarget = 1.0;
    std::vector<VolumeChange> mVolumeChanges =
        std::vector<VolumeChange>(kVolumeChangesPerLatencyFrame * qir::QIRMatrixDecoderDSP::kLatency);
    std::size_t mVolumeChangeHead = 0;
    std::size_t mVolumeChangeCount = 0;
};
