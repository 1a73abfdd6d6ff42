// plugin: the decoder plug-in class.
#include "plugin/QIRMatrixDecoder.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

plugfw::Config QIRMatrixDecoder::MakeConfig()
{
    plugfw::Config config;
    config.nParams = kNumParams;
    config.nPresets = 1;
    config.channelIOStr = "4-2 9-2 16-2 25-2 36-2 49-2 64-2";
    config.pluginName = "QIRMatrixDecoder";
    config.productName = "QIRMatrixDecoder";
    config.mfrName = "Marrowfen";
    config.vendorVersion = 0x00010001;
    config.uniqueID = plugfw::MakeFourCC("QiR1");
    config.mfrID = plugfw::MakeFourCC("Mrwf");
    // Hosts that ask before allocating render resources get the true value.
    config.latency = qir::QIRMatrixDecoderDSP::kLatency;
    config.plugDoesMidiIn = true;
    config.plugDoesMidiOut = false;
    config.plugDoesMPE = false;
    config.plugDoesChunks = false;
    config.plugType = 0;
    // No drawing of its own: no editor, and no resizing by the host.
    config.plugHasUI = false;
    config.plugHostResize = false;
    config.plugWidth = 1024;
    config.plugHeight = 768;
    config.plugMinWidth = 256;
    config.plugMaxWidth = 8192;
    config.plugMinHeight = 128;
    config.plugMaxHeight = 8192;
    config.bundleID = "com.marrowfen.app.QIRMatrixDecoder.AUv3";
    return config;
}

QIRMatrixDecoder::QIRMatrixDecoder(const plugfw::InstanceInfo& info)
    : plugfw::IPluginBinding(info, MakeConfig()), mDSP(std::make_unique<qir::QIRMatrixDecoderDSP>(this))
{
    qir::InitDecoderParameters(*this);
    mOutputTarget = mLastTarget = VolumeTarget();
}

QIRMatrixDecoder::~QIRMatrixDecoder()
{
    // Idle ticks reach the engine: they end (and a running one is waited for)
    // before it goes.
    StopTimer();
    // The engine reads parameters through this object: it goes first.
    mDSP.reset();
}

double QIRMatrixDecoder::VolumeTarget() const noexcept
{
    return std::exp(GetParam(kOutputVolume)->Value() * kDBToExponent);
}

// Audio thread: never waits.
void QIRMatrixDecoder::ProcessBlock(float** inputs, float** outputs, int nFrames) noexcept
{
    const int connected = NChannelsConnected(plugfw::kRouteInput);
    mDSP->ProcessBlock(inputs, outputs, nFrames, connected);

    // A new volume read at frame f of the stream applies from output frame
    // f + latency, where the input of frame f comes out.
    const double target = VolumeTarget();
    const std::size_t capacity = mVolumeChanges.size();
    if (target != mLastTarget) {
        mLastTarget = target;
        const int64_t due = mStreamFrame + mLatencyFrames;
        const std::size_t last = (mVolumeChangeHead + mVolumeChangeCount + capacity - 1) % capacity;
        if (mVolumeChangeCount > 0 && mVolumeChanges[last].mFrame == due) {
            mVolumeChanges[last].mTarget = target;
        } else if (mVolumeChangeCount < capacity) {
            mVolumeChanges[(mVolumeChangeHead + mVolumeChangeCount) % capacity] = VolumeChange{due, target};
            ++mVolumeChangeCount;
        }
    }
    if (nFrames < 1) {
        return;
    }
    float* __restrict out0 = outputs[0];
    float* __restrict out1 = outputs[1];
    double state = mGainSmoothState;
    for (int i = 0; i < nFrames; ++i) {
        while (mVolumeChangeCount > 0 && mVolumeChanges[mVolumeChangeHead].mFrame <= mStreamFrame + i) {
            mOutputTarget = mVolumeChanges[mVolumeChangeHead].mTarget;
            mVolumeChangeHead = (mVolumeChangeHead + 1) % capacity;
            --mVolumeChangeCount;
        }
        double g = state * mGainSmoothA + mOutputTarget * mGainSmoothB;
        if (std::fpclassify(g) == FP_SUBNORMAL) {
            g = 0.0;
        }
        state = g;
        out0[i] = static_cast<float>(static_cast<double>(out0[i]) * g);
        out1[i] = static_cast<float>(static_cast<double>(out1[i]) * g);
    }
    mGainSmoothState = state;
    mStreamFrame += nFrames;
}

// Audio thread: never waits.
void QIRMatrixDecoder::ProcessMidiMsg(const plugfw::IMidiMsg& msg) noexcept { mDSP->ProcessMidiMsg(msg); }

void QIRMatrixDecoder::OnIdle() { mDSP->OnIdle(); }

int QIRMatrixDecoder::GetTailSize() const noexcept { return mDSP->GetTailFrames(); }

void QIRMatrixDecoder::OnReset()
{
    mLatencyFrames = mDSP->OnReset(GetBlockSize(), GetSampleRate());
    SetLatency(mLatencyFrames);
    const std::size_t capacity = kVolumeChangesPerLatencyFrame * static_cast<std::size_t>(std::max(mLatencyFrames, 1));
    if (mVolumeChanges.size() != capacity) {
        try {
            mVolumeChanges.assign(capacity, VolumeChange{});
        } catch (const std::bad_alloc&) {
            // The ring keeps its size: changes beyond it are dropped.
        }
    }
    // The stream starts again; the smoother keeps its state.
    mStreamFrame = 0;
    mVolumeChangeHead = 0;
    mVolumeChangeCount = 0;
    mOutputTarget = mLastTarget = VolumeTarget();
}

void QIRMatrixDecoder::OnParamChange(int paramIdx, plugfw::EParamSource /*source*/, int /*sampleOffset*/)
{
    const plugfw::IParam* param = GetParam(paramIdx);
    if (!param) {
        return;
    }
    mDSP->OnParamChange(paramIdx, std::clamp(param->GetNormalized(), 0.0, 1.0));
}

namespace plugfw {

std::unique_ptr<IPluginBinding> MakePlugin(const InstanceInfo& info)
{
    static std::mutex constructionMutex;
    std::lock_guard<std::mutex> lock(constructionMutex);
    return std::make_unique<QIRMatrixDecoder>(info);
}

} // namespace plugfw
