// host/auv3: the audio-unit v3 binding.
#include "host/auv3/IAUv3Binding.h"

#include <algorithm>
#include <cmath>

namespace plugfw {

IAUv3Binding::IAUv3Binding(const InstanceInfo& /*info*/, const Config& config)
    : IHostAPIBase(config, kAPIAUv3), IAudioProcessor(config, kAPIAUv3)
{
    mIndexToAddress.max_load_factor(1.0f);
    mAddressToIndex.max_load_factor(1.0f);
}

IAUv3Binding::~IAUv3Binding() = default;

void IAUv3Binding::AddParamAddress(int paramIdx, uint64_t address)
{
    mIndexToAddress.emplace(paramIdx, address);
    mAddressToIndex.emplace(address, paramIdx);
}

int IAUv3Binding::IndexForAddress(uint64_t address) const noexcept
{
    if (address >= static_cast<uint64_t>(NParams())) {
        return -1;
    }
    const auto it = mAddressToIndex.find(address);
    return it == mAddressToIndex.end() ? -1 : it->second;
}

float IAUv3Binding::GetParameter(uint64_t address) const noexcept
{
    const int idx = IndexForAddress(address);
    return idx < 0 ? 0.0f : static_cast<float>(GetParam(idx)->Value());
}

const char* IAUv3Binding::GetParamDisplay(uint64_t address, float value)
{
    GetParamDisplay(address, value, mParamDisplayStr);
    return mParamDisplayStr.Get();
}

void IAUv3Binding::GetParamDisplay(uint64_t address, float value, TextBuf& text) const
{
    text.Set("");
    const int idx = IndexForAddress(address);
    if (idx >= 0) {
        GetParam(idx)->GetDisplay(static_cast<double>(value), false, text);
    }
}

float IAUv3Binding::GetParamStringToValue(uint64_t address, const char* text) const
{
    const int idx = IndexForAddress(address);
    return idx < 0 ? 0.0f : static_cast<float>(GetParam(idx)->StringToValue(text));
}

// Any thread: the host's parameter tree calls it.
void IAUv3Binding::SetParameterFromValueObserver(uint64_t address, float value) noexcept
{
    const int idx = IndexForAddress(address);
    if (idx < 0) {
        return;
    }
    GetParam(idx)->Set(static_cast<double>(value));
    OnParamChange(idx, kHost, -1);
}

void IAUv3Binding::SendParameterValueFromObserver(uint64_t address, float value) noexcept
{
    const int idx = IndexForAddress(address);
    if (idx < 0) {
        return;
    }
    SendParameterValueFromAPI(idx, static_cast<double>(value), false);
}

void IAUv3Binding::BeginInformHostOfParamChange(int paramIdx)
{
    const auto it = mIndexToAddress.find(paramIdx);
    if (mAUAudioUnit && it != mIndexToAddress.end()) {
        mAUAudioUnit->beginInformHostOfParamChange(it->second);
    }
}

void IAUv3Binding::InformHostOfParamChange(int paramIdx, double normalizedValue)
{
    const auto it = mIndexToAddress.find(paramIdx);
    const IParam* param = GetParam(paramIdx);
    if (mAUAudioUnit && param && it != mIndexToAddress.end()) {
        mAUAudioUnit->informHostOfParamChange(it->second, static_cast<float>(param->FromNormalized(normalizedValue)));
    }
}

void IAUv3Binding::EndInformHostOfParamChange(int paramIdx)
{
    const auto it = mIndexToAddress.find(paramIdx);
    if (mAUAudioUnit && it != mIndexToAddress.end()) {
        mAUAudioUnit->endInformHostOfParamChange(it->second);
    }
}

const uint8_t* IAUv3Binding::GetDataFromExternal(int& /*size*/) { return nullptr; }

void IAUv3Binding::SetLatency(int samples)
{
    if (mLatency.exchange(samples) != samples && mAUAudioUnit) {
        mAUAudioUnit->informHostOfLatencyChange();
    }
}

// Render thread: never waits.
bool IAUv3Binding::SendMidiMsg(const IMidiMsg& msg) noexcept
{
    if (!mAUAudioUnit) {
        return false;
    }
    const auto sampleTime = static_cast<int64_t>(mLastTimeStamp.mSampleTime + static_cast<double>(msg.mOffset));
    const uint8_t bytes[3] = {msg.mStatus, msg.mData1, msg.mData2};
    return mAUAudioUnit->sendMidiData(sampleTime, 3, bytes);
}

// Render thread: never waits.
bool IAUv3Binding::SendSysEx(const ISysEx& msg) noexcept
{
    if (!mAUAudioUnit) {
        return false;
    }
    const auto sampleTime = static_cast<int64_t>(mLastTimeStamp.mSampleTime + static_cast<double>(msg.mOffset));
    return mAUAudioUnit->sendMidiData(sampleTime, msg.mSize, msg.mData);
}

void IAUv3Binding::Prepare(double sampleRate, uint32_t maxFrames)
{
    SetChannelConnections(kRouteInput, 0, MaxNChannels(kRouteInput), false);
    SetChannelConnections(kRouteOutput, 0, MaxNChannels(kRouteOutput), false);
    SetBlockSize(static_cast<int>(maxFrames));
    mSampleRate = sampleRate;
}

// Render thread: stores pointers only. Each buffer of a standard (deinterleaved)
// list carries one channel. A buffer of several interleaved channels cannot be
// read channel by channel, so its channels are left disconnected: they read and
// write the zeroed scratch buffers instead of memory the buffer does not hold.
void IAUv3Binding::AttachBufferList(ERoute direction, AudioBufferList* list, int firstRecord) noexcept
{
    int c = 0;
    for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
        AudioBuffer& buffer = list->mBuffers[i];
        const int n = static_cast<int>(buffer.mNumberChannels);
        if (n == 1 && buffer.mData) {
            SetChannelConnections(direction, firstRecord + c, 1, true);
            float* data = static_cast<float*>(buffer.mData);
            AttachBuffers(direction, firstRecord + c, 1, &data, 0);
        } else {
            SetChannelConnections(direction, firstRecord + c, n, false);
        }
        c += n;
    }
    // The records after this bus's channels, not after the first c records: a
    // later bus must not disconnect the channels it has just attached.
    SetChannelConnections(direction, firstRecord + c, MaxNChannels(direction) - (firstRecord + c), false);
}

void IAUv3Binding::AttachInputBuffers(AudioBufferList* list) noexcept
{
    if (list) {
        AttachBufferList(kRouteInput, list, 0);
    }
}

void IAUv3Binding::AttachOutputBuffers(AudioBufferList* list, uint32_t busNumber) noexcept
{
    if (list) {
        AttachBufferList(kRouteOutput, list, static_cast<int>(list->mNumberBuffers * busNumber));
    }
}

// Render thread: never waits, allocates nothing.
void IAUv3Binding::ProcessWithEvents(const AudioTimeStamp* timestamp, uint32_t frameCount,
                                     const AURenderEvent* events, ITimeInfo& timeInfo) noexcept
{
    mTimeInfo = timeInfo;

    IMidiMsg msg;
    while (mMidiFromUI.Pop(msg)) {
        ProcessMidiMsg(msg);
    }
    while (mSysExFromUI.Pop(mSysExScratch)) {
        const ISysEx sysEx(mSysExScratch.mOffset, mSysExScratch.mData, mSysExScratch.mSize);
        SendSysEx(sysEx);
    }

    mLastTimeStamp = *timestamp;
    if (frameCount == 0) {
        return;
    }

    auto now = static_cast<int64_t>(timestamp->mSampleTime);
    int64_t remaining = frameCount;
    const AURenderEvent* event = events;
    while (remaining > 0) {
        if (!event) {
            ProcessBuffersWithOffset(0.0f, static_cast<int>(frameCount - remaining), static_cast<int>(remaining));
            return;
        }
        // Events beyond the end of the call are outside the host contract: the
        // slice stops at the end, and they take effect after the last frame.
        const int64_t d = std::clamp<int64_t>(event->head.eventSampleTime - now, 0, remaining);
        if (d > 0) {
            ProcessBuffersWithOffset(0.0f, static_cast<int>(frameCount - remaining), static_cast<int>(d));
            remaining -= d;
            now += d;
        }
        PerformAllSimultaneousEvents(now, event);
        if (remaining == 0) {
            while (event) {
                HandleOneEvent(event, now);
                event = event->head.next;
            }
        }
    }
}

void IAUv3Binding::PerformAllSimultaneousEvents(int64_t now, const AURenderEvent*& event) noexcept
{
    do {
        HandleOneEvent(event, now);
        event = event->head.next;
    } while (event && event->head.eventSampleTime <= now);
}

// Render thread: never waits.
void IAUv3Binding::HandleOneEvent(const AURenderEvent* event, int64_t startTime) noexcept
{
    switch (event->head.eventType) {
    case AURenderEventParameter:
    case AURenderEventParameterRamp: {
        const AUParameterEvent& p = event->parameter;
        const int idx = IndexForAddress(p.parameterAddress);
        if (idx < 0) {
            return;
        }
        GetParam(idx)->Set(static_cast<double>(p.value));
        OnParamChange(idx, kHost, static_cast<int32_t>(p.eventSampleTime - startTime));
        break;
    }
    case AURenderEventMIDI: {
        const AUMIDIEvent& m = event->MIDI;
        const IMidiMsg msg(static_cast<int32_t>(m.eventSampleTime - startTime), m.data[0], m.data[1], m.data[2]);
        ProcessMidiMsg(msg);
        (void)mMidiToUI.Push(msg);
        break;
    }
    default: break;
    }
}

} // namespace plugfw
