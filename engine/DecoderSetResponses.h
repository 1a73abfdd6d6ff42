// engine: the impulse responses of a decoder set as the engine convolves with
// them: read from the set's file and brought to the running sample rate.
//
// A set's file holds, for each ambisonic input, 16384 samples of response into
// each output at the file's own rate (the generated sets are 48 kHz). At any
// other rate those responses would play every cue of the decoder scaled in
// time and frequency (at 44.1 kHz the interaural time difference of a source at
// the side grows by 9 %), so they are resampled to the running rate with
// libsamplerate's best sinc converter: no added delay, the same frequency
// response (the responses are scaled by file rate / running rate, so that a
// response's sum, its gain at low frequencies, is kept), and the same duration
// (ceil(16384 * running rate / file rate) samples).
//
// Resampling runs on a loading thread, never on the audio thread: it
// allocates, and at 192 kHz an order-7 room set takes seconds.
#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace qir {

struct DecoderSetResponses {
    // The rates a set is brought to, and that a set's file may be made for.
    static constexpr double kMinSampleRate = 8000.0;
    static constexpr double kMaxSampleRate = 384000.0;
    // Samples of each response in a set's file, at the file's own rate.
    static constexpr int kFileResponseLength = 16384;

    int mNumInputs = 0;
    // Samples of every response at mSampleRate.
    int mLength = 0;
    // The set's true length at mSampleRate: from here on every response is
    // exactly zero. 0 for a silent set.
    int mTrueLength = 0;
    double mSampleRate = 0.0;
    // The rate the file was made for, from its header.
    double mFileSampleRate = 0.0;
    // Output o's responses, input i's at offset i * mLength.
    std::vector<float> mResponses[2];

    [[nodiscard]] const float* Response(int input, int output) const noexcept;
};

// True for a rate the decoder sets can be brought to (and a set's file be made
// for): finite and from kMinSampleRate to kMaxSampleRate.
[[nodiscard]] bool IsSupportedSampleRate(double sampleRate) noexcept;

// Samples of a response of fileLength samples at fileRate once resampled to
// sampleRate: ceil(fileLength * sampleRate / fileRate).
[[nodiscard]] int ResampledLength(int fileLength, double fileRate, double sampleRate) noexcept;

// Loading thread, never the audio thread: reads the decoder set at path (every
// whole segment of 16384 frames is an input, at most maxInputs of them; a
// one-channel file's right-output responses are silent) and brings it to
// sampleRate. False with a sentence in error when the file holds no whole
// segment (missing, not an audio file, too short), when its rate or sampleRate
// is not a supported rate, or when resampling fails; also false, with an empty
// error, when cancel becomes true while it runs.
[[nodiscard]] bool ReadDecoderSetResponses(const std::string& path, double sampleRate, int maxInputs,
                                           DecoderSetResponses& set, std::string& error,
                                           const std::atomic<bool>* cancel = nullptr);

} // namespace qir
