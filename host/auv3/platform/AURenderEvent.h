// host/auv3/platform: stands in for the Apple audio-unit v3 render-event records
// and host block types (AUAudioUnit.h). The records keep the Apple layout: a
// union whose members share the header fields next, eventSampleTime and
// eventType. Blocks are std::function objects; an empty one is a nil block.
#pragma once

#include "host/auv3/platform/CoreAudioTypes.h"

#include <functional>

enum AURenderEventType : uint8_t {
    AURenderEventParameter = 1,
    AURenderEventParameterRamp = 2,
    AURenderEventMIDI = 8,
    AURenderEventMIDISysEx = 9,
};

union AURenderEvent;

struct AURenderEventHeader {
    AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    uint8_t reserved;
};

struct AUParameterEvent {
    AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    uint8_t reserved[3];
    AUAudioFrameCount rampDurationSampleFrames;
    AUParameterAddress parameterAddress;
    AUValue value;
};

struct AUMIDIEvent {
    AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    uint8_t reserved;
    uint16_t length;
    uint8_t cable;
    uint8_t data[3];
};

union AURenderEvent {
    AURenderEventHeader head;
    AUParameterEvent parameter;
    AUMIDIEvent MIDI;
};

// Transport-state flags: a set of bits.
using AUHostTransportStateFlags = NSUInteger;
constexpr AUHostTransportStateFlags AUHostTransportStateChanged = 1;
constexpr AUHostTransportStateFlags AUHostTransportStateMoving = 2;
constexpr AUHostTransportStateFlags AUHostTransportStateRecording = 4;
constexpr AUHostTransportStateFlags AUHostTransportStateCycling = 8;

// Host blocks. Every pointer argument may be null; a block fills what it is given
// and returns whether it had the information.
using AUHostMusicalContextBlock = std::function<bool(double* currentTempo, double* timeSignatureNumerator,
                                                     NSInteger* timeSignatureDenominator,
                                                     double* currentBeatPosition, NSInteger* sampleOffsetToNextBeat,
                                                     double* currentMeasureDownbeatPosition)>;

using AUHostTransportStateBlock =
    std::function<bool(AUHostTransportStateFlags* transportStateFlags, double* currentSamplePosition,
                       double* cycleStartBeatPosition, double* cycleEndBeatPosition)>;

using AUMIDIOutputEventBlock =
    std::function<OSStatus(AUEventSampleTime eventSampleTime, uint8_t cable, NSInteger length, const uint8_t* midiBytes)>;

using AURenderPullInputBlock =
    std::function<AUAudioUnitStatus(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                                    AUAudioFrameCount frameCount, NSInteger inputBusNumber, AudioBufferList* inputData)>;

// The block a host calls on its render thread. The pull-input block is passed by
// reference; an empty one means the host gave none.
using AUInternalRenderBlock = std::function<AUAudioUnitStatus(
    AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
    NSInteger outputBusNumber, AudioBufferList* outputData, const AURenderEvent* realtimeEventListHead,
    const AURenderPullInputBlock& pullInputBlock)>;
