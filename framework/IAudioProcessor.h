// framework: the audio-processing base of a plug-in: the channel-I/O
// configurations, one connection record per possible channel, the processing
// context, and the calls of the plug-in's ProcessBlock for whole blocks or for
// slices of a block at a frame offset.
#pragma once

#include "framework/Config.h"
#include "framework/IChannelData.h"
#include "framework/IMidiMsg.h"
#include "framework/IOConfig.h"
#include "framework/ISysEx.h"
#include "framework/ITimeInfo.h"
#include "framework/PlugTypes.h"
#include "framework/PtrList.h"
#include "framework/TextBuf.h"
#include "framework/TypedBuf.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace plugfw {

class IAudioProcessor {
public:
    static constexpr int kMaxBusNameLength = 32;

    IAudioProcessor(const Config& config, EAPI api);
    IAudioProcessor(const IAudioProcessor&) = delete;
    IAudioProcessor& operator=(const IAudioProcessor&) = delete;
    virtual ~IAudioProcessor();

    // audio thread: the plug-in's block callback. The default copies input i to
    // output i where both exist and zero-fills the other outputs.
    virtual void ProcessBlock(float** inputs, float** outputs, int nFrames);
    // audio thread: the default passes the message on with SendMidiMsg.
    virtual void ProcessMidiMsg(const IMidiMsg& msg);
    virtual void ProcessSysEx(ISysEx& /*msg*/) {}
    virtual void OnReset() {}
    virtual void OnActivate(bool /*active*/) {}
    virtual bool SendMidiMsg(const IMidiMsg& msg) = 0;
    // SendMidiMsg for each message in order; true when all succeeded.
    virtual bool SendMidiMsgs(TypedBuf<IMidiMsg>& msgs);
    virtual bool SendSysEx(const ISysEx& /*msg*/) { return false; }
    virtual void GetBusName(ERoute direction, int busIdx, int nBuses, TextBuf& name) const;
    // control thread: the latency reported to the host, in samples.
    virtual void SetLatency(int samples) { mLatency.store(samples); }

    // Configuration queries.
    // Appends the configurations of ioStr to configs; returns how many it parsed.
    static int ParseChannelIOStr(const char* ioStr, PtrList<IOConfig>& configs, int& totalNInChans,
                                 int& totalNOutChans, int& totalNInBuses, int& totalNOutBuses);
    [[nodiscard]] int MaxNBuses(ERoute direction, int* configIdxWithTheMostBuses = nullptr) const noexcept;
    // -1 when the first configuration has a wildcard bus; 0 for a bus index
    // outside [0, MaxNBuses).
    [[nodiscard]] int MaxNChannelsForBus(ERoute direction, int busIdx) const noexcept;
    [[nodiscard]] int NChannelsConnected(ERoute direction) const noexcept;
    [[nodiscard]] bool IsChannelConnected(ERoute direction, int chIdx) const noexcept;
    [[nodiscard]] bool LegalIO(int nIn, int nOut) const noexcept;
    [[nodiscard]] int GetIOConfigWithChanCounts(const std::vector<int>& inputBusChans,
                                                const std::vector<int>& outputBusChans) const noexcept;
    [[nodiscard]] int NIOConfigs() const noexcept { return mIOConfigs.GetSize(); }
    [[nodiscard]] const IOConfig* GetIOConfig(int index) const noexcept { return mIOConfigs.Get(index); }
    // Number of channel records of a direction.
    [[nodiscard]] int MaxNChannels(ERoute direction) const noexcept { return mChannelData[direction].GetSize(); }

    // Context.
    // control thread, while rendering is stopped: resizes and zeroes the scratch
    // buffers when the size changes; does nothing (and allocates nothing) otherwise.
    void SetBlockSize(int blockSize);
    [[nodiscard]] double GetSampleRate() const noexcept { return mSampleRate.load(); }
    [[nodiscard]] int GetBlockSize() const noexcept { return mBlockSize; }
    [[nodiscard]] int GetLatency() const noexcept { return mLatency.load(); }
    // Any thread: the tail reported to the host, in samples; a plug-in whose
    // tail changes while it runs overrides this.
    [[nodiscard]] virtual int GetTailSize() const noexcept { return mTailSize; }
    [[nodiscard]] bool GetRenderingOffline() const noexcept { return mRenderingOffline; }
    [[nodiscard]] const ITimeInfo& GetTimeInfo() const noexcept { return mTimeInfo; }
    [[nodiscard]] double GetSamplesPerBeat() const noexcept;
    [[nodiscard]] unsigned GetAUPluginType() const noexcept;
    [[nodiscard]] int GetPlugType() const noexcept { return mPlugType; }
    [[nodiscard]] bool DoesMIDIIn() const noexcept { return mDoesMidiIn; }
    [[nodiscard]] bool DoesMIDIOut() const noexcept { return mDoesMidiOut; }
    [[nodiscard]] bool DoesMPE() const noexcept { return mDoesMPE; }

    // Per render call, audio thread; none of these waits or allocates.
    void SetChannelConnections(ERoute direction, int idx, int n, bool connected) noexcept;
    void AttachBuffers(ERoute direction, int idx, int n, float** ppData, int nFrames) noexcept;
    // Double-precision hosts: inputs are converted into the scratch buffers,
    // outputs are rendered there and converted back by ProcessBuffers(double).
    // At most the block size of frames is converted.
    void AttachBuffers(ERoute direction, int idx, int n, double** ppData, int nFrames) noexcept;
    void ProcessBuffersWithOffset(float, int offset, int nFrames) noexcept;
    void ProcessBuffers(float, int nFrames) noexcept;
    // nFrames is limited to the block size, the length of the scratch buffers.
    void ProcessBuffers(double, int nFrames) noexcept;
    void ProcessBuffersAccumulating(int nFrames) noexcept;
    void ZeroScratchBuffers() noexcept;

    // Labels the record idx with formatStr and idx + 1 (idx when zeroBased).
    void SetChannelLabel(ERoute direction, int idx, const char* formatStr, bool zeroBased = false);
    [[nodiscard]] const char* GetChannelLabel(ERoute direction, int idx) const noexcept;

    // The host binding writes these directly. The sample rate is written on the
    // control thread and read, with the latency, by hosts on any thread.
    std::atomic<double> mSampleRate{48000.0};
    bool mRenderingOffline = false;
    ITimeInfo mTimeInfo;

protected:
    // The pointer the plug-in reads or writes for channel idx (null when none).
    [[nodiscard]] float* AttachedPtr(ERoute direction, int idx) const noexcept;

    int mPlugType = 0;
    bool mDoesMidiIn = false;
    bool mDoesMidiOut = false;
    bool mDoesMPE = false;
    std::atomic<int> mLatency{0};
    int mBlockSize = 0;
    int mTailSize = 0;
    // Owned configurations.
    OwnedPtrList<IOConfig> mIOConfigs;
    std::vector<float*> mAttachedPtrs[2];
    std::vector<float*> mOffsetPtrs[2];
    // Owned channel records, sized at construction and never resized.
    OwnedPtrList<IChannelData<>> mChannelData[2];
};

// The audio-unit channel-layout tag of bus busIdx of a configuration, appended
// to busTypes: 0x650002 for stereo, 0xBE0000 | n for n other channels
// (ambisonics, ACN order, SN3D), 0 for no channels or a wildcard bus. Returns 0.
int GetAPIBusTypeForChannelIOConfig(int configIdx, ERoute direction, int busIdx, const IOConfig* config,
                                    TypedBuf<uint64_t>* busTypes);

} // namespace plugfw
