// soundfield: the ambisonic encoder, which places up to 64 mono sources into a field of order 0
// to 7 in 128-sample frames, crossfading over the frame after a direction or order change. The
// field is formed in ACN/N3D and converted to the configured channel order and normalisation.
// Two ways to run it: fieldenc_process outputs the encoding of the previous call's input (one
// frame of delay); fieldenc_processFrame outputs the encoding of the current frame (no delay).
//
// Threads: fieldenc_create and fieldenc_destroy allocate and free, so they belong to a control
// thread. Everything else allocates nothing and never waits; the owner serialises the calls (the
// engine calls setters and fieldenc_process from the audio thread).
#pragma once

// Opaque encoder state.
struct FieldEncoder;

// Source-direction presets for fieldenc_setInputConfigPreset.
enum EEncoderSourcePreset {
    // One source in front (azimuth 0, elevation 0); sources 1 to 63 keep spread-out defaults.
    kEncoderPresetDefault = 1,
};

// Allocates an encoder with its defaults (one source in front, ACN, SN3D, order 1, post scaling
// on). *handle is null when memory is not available.
void fieldenc_create(FieldEncoder** handle) noexcept;
// Frees the encoder and sets *handle to null; does nothing when handle or *handle is null.
void fieldenc_destroy(FieldEncoder** handle) noexcept;

// Clears the previous gains and input, so the next fieldenc_process call outputs silence and
// computes fresh gains. The first gains computed afterwards apply at once, without a crossfade
// from the cleared ones.
void fieldenc_init(FieldEncoder* handle, int sampleRate) noexcept;

// Audio thread: never waits, allocates nothing. inputs: nInputs source channels, outputs:
// nOutputs field channels, each of nSamples samples; only frames of 128 samples are processed,
// any other length writes nSamples zeros to every output. Outputs beyond (order + 1)^2 are
// zeroed. Inputs and outputs may be the same buffers.
void fieldenc_process(FieldEncoder* handle, const float* const* inputs, float* const* outputs,
                      int nInputs, int nOutputs, int nSamples) noexcept;
// Audio thread: never waits, allocates nothing. As fieldenc_process, but the output is the
// encoding of this call's input: the frame after a change crossfades linearly from the old gains
// to the new ones on the frame itself. Leaves the delay line of fieldenc_process untouched.
void fieldenc_processFrame(FieldEncoder* handle, const float* const* inputs, float* const* outputs,
                           int nInputs, int nOutputs, int nSamples) noexcept;

// Clamped to 0..7. Any order other than 1 turns FuMa channel order into ACN and FuMa
// normalisation into SN3D.
void fieldenc_setOutputOrder(FieldEncoder* handle, int order) noexcept;
// Degrees. Azimuths above 180 have 360 subtracted, then both are clamped (azimuth to
// [-180, 180], elevation to [-90, 90]); a NaN becomes 0. Source indices outside 0..63 are ignored.
void fieldenc_setSourceAzi_deg(FieldEncoder* handle, int index, float degrees) noexcept;
void fieldenc_setSourceElev_deg(FieldEncoder* handle, int index, float degrees) noexcept;
// Clamped to 1..64.
void fieldenc_setNumSources(FieldEncoder* handle, int count) noexcept;
// Unknown presets are ignored.
void fieldenc_setInputConfigPreset(FieldEncoder* handle, int preset) noexcept;
// Setting codes of soundfield/Conventions.h; FuMa is refused unless the order is 1.
void fieldenc_setChOrder(FieldEncoder* handle, int chOrder) noexcept;
void fieldenc_setNormType(FieldEncoder* handle, int normType) noexcept;
// Non-zero: the output is scaled by 1 / sqrt(number of sources).
void fieldenc_setEnablePostScaling(FieldEncoder* handle, int enable) noexcept;
// Linear gain of one source; indices outside 0..63 are ignored.
void fieldenc_setSourceGain(FieldEncoder* handle, int index, float gain) noexcept;
void fieldenc_setSourceSolo(FieldEncoder* handle, int index) noexcept;
void fieldenc_setUnSolo(FieldEncoder* handle) noexcept;
// Recomputes every source's gains at the next call.
void fieldenc_refreshParams(FieldEncoder* handle) noexcept;

int fieldenc_getOutputOrder(const FieldEncoder* handle) noexcept;
// 0 for indices outside 0..63.
float fieldenc_getSourceAzi_deg(const FieldEncoder* handle, int index) noexcept;
float fieldenc_getSourceElev_deg(const FieldEncoder* handle, int index) noexcept;
int fieldenc_getNumSources(const FieldEncoder* handle) noexcept;
int fieldenc_getMaxNumSources() noexcept;
int fieldenc_getChOrder(const FieldEncoder* handle) noexcept;
int fieldenc_getNormType(const FieldEncoder* handle) noexcept;
int fieldenc_getEnablePostScaling(const FieldEncoder* handle) noexcept;
int fieldenc_getNSHrequired(const FieldEncoder* handle) noexcept;
int fieldenc_getFrameSize(const FieldEncoder* handle) noexcept;
int fieldenc_getProcessingDelay(const FieldEncoder* handle) noexcept;
