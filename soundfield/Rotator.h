// soundfield: the rotator, which turns an ambisonic field of order 0 to 7 by yaw, pitch and roll
// (or a quaternion) in 128-sample frames, crossfading over the frame after each change. Two ways
// to run it: fieldrot_process outputs the rotated input of the previous call (one frame of
// delay); fieldrot_processFrame outputs the current frame rotated (no delay).
//
// Threads: fieldrot_create and fieldrot_destroy allocate and free, so they belong to a control
// thread. Everything else allocates nothing and never waits; the owner serialises the calls (the
// engine calls setters and fieldrot_process from the audio thread).
#pragma once

// Opaque rotator state.
struct FieldRotator;

// Allocates a rotator with its defaults (identity orientation, ACN, SN3D, order 1). *handle is
// null when memory is not available.
void fieldrot_create(FieldRotator** handle) noexcept;
// Frees the rotator and sets *handle to null; does nothing when handle or *handle is null.
void fieldrot_destroy(FieldRotator** handle) noexcept;

// Clears the matrices and the previous frame, so the next fieldrot_process call outputs silence.
// The first matrix computed afterwards applies at once, without a crossfade from the cleared one.
void fieldrot_init(FieldRotator* handle, int sampleRate) noexcept;

// Audio thread: never waits, allocates nothing. inputs: nInputs channels, outputs: nOutputs
// channels, each of nSamples samples; only frames of 128 samples are processed, any other length
// writes nSamples zeros to every output. Missing inputs are taken as silence; outputs beyond the
// order's (order + 1)^2 channels are zeroed. Inputs and outputs may be the same buffers.
void fieldrot_process(FieldRotator* handle, const float* const* inputs, float* const* outputs,
                      int nInputs, int nOutputs, int nSamples) noexcept;
// Audio thread: never waits, allocates nothing. As fieldrot_process, but the output is this call's
// input rotated: the frame after a change crossfades linearly from the old matrix to the new one
// on the frame itself. Under a settled bypass, or an orientation that turns nothing (yaw, pitch
// and roll 0), the input passes bit for bit. A new order alone crossfades nothing: the channels
// it adds are turned at once. Leaves the delay line of fieldrot_process untouched.
void fieldrot_processFrame(FieldRotator* handle, const float* const* inputs, float* const* outputs,
                           int nInputs, int nOutputs, int nSamples) noexcept;

// Angles in degrees.
void fieldrot_setYaw(FieldRotator* handle, float degrees) noexcept;
void fieldrot_setPitch(FieldRotator* handle, float degrees) noexcept;
void fieldrot_setRoll(FieldRotator* handle, float degrees) noexcept;
void fieldrot_setFlipYaw(FieldRotator* handle, int flip) noexcept;
void fieldrot_setFlipPitch(FieldRotator* handle, int flip) noexcept;
void fieldrot_setFlipRoll(FieldRotator* handle, int flip) noexcept;
void fieldrot_setQuaternionW(FieldRotator* handle, float w) noexcept;
void fieldrot_setQuaternionX(FieldRotator* handle, float x) noexcept;
void fieldrot_setQuaternionY(FieldRotator* handle, float y) noexcept;
void fieldrot_setQuaternionZ(FieldRotator* handle, float z) noexcept;
void fieldrot_setFlipQuaternion(FieldRotator* handle, int flip) noexcept;
// Non-zero: roll-pitch-yaw. A change recomputes the matrix for the next frame.
void fieldrot_setRPYflag(FieldRotator* handle, int useRollPitchYaw) noexcept;
// Non-zero: the target matrix is the identity (the field passes unturned); the orientation is
// kept and applies again when the bypass is lifted. Either change crossfades over one frame.
void fieldrot_setBypass(FieldRotator* handle, int bypass) noexcept;
// Clamped to 0..7. Any order other than 1 turns FuMa channel order into ACN and FuMa
// normalisation into SN3D.
void fieldrot_setOrder(FieldRotator* handle, int order) noexcept;
// Setting codes of soundfield/Conventions.h; FuMa is refused unless the order is 1.
void fieldrot_setChOrder(FieldRotator* handle, int chOrder) noexcept;
void fieldrot_setNormType(FieldRotator* handle, int normType) noexcept;

float fieldrot_getYaw(const FieldRotator* handle) noexcept;
float fieldrot_getPitch(const FieldRotator* handle) noexcept;
float fieldrot_getRoll(const FieldRotator* handle) noexcept;
float fieldrot_getQuaternionW(const FieldRotator* handle) noexcept;
float fieldrot_getQuaternionX(const FieldRotator* handle) noexcept;
float fieldrot_getQuaternionY(const FieldRotator* handle) noexcept;
float fieldrot_getQuaternionZ(const FieldRotator* handle) noexcept;
int fieldrot_getFlipYaw(const FieldRotator* handle) noexcept;
int fieldrot_getFlipPitch(const FieldRotator* handle) noexcept;
int fieldrot_getFlipRoll(const FieldRotator* handle) noexcept;
int fieldrot_getFlipQuaternion(const FieldRotator* handle) noexcept;
int fieldrot_getRPYflag(const FieldRotator* handle) noexcept;
int fieldrot_getBypass(const FieldRotator* handle) noexcept;
int fieldrot_getChOrder(const FieldRotator* handle) noexcept;
int fieldrot_getNormType(const FieldRotator* handle) noexcept;
int fieldrot_getOrder(const FieldRotator* handle) noexcept;
int fieldrot_getNSHrequired(const FieldRotator* handle) noexcept;
int fieldrot_getFrameSize(const FieldRotator* handle) noexcept;
int fieldrot_getProcessingDelay(const FieldRotator* handle) noexcept;
