// engine: the impulse responses of a decoder set as the engine convolves with
// them: read from the set's file and brought to the running sample rate.
//
// A set's regular file ("AMBIX_2_UHJ.wav") holds, for each ambisonic input,
// 16384 samples of response into each output at the file's own rate (the
// generated sets are 48 kHz). At any other rate those responses would play
// every cue of the decoder scaled in time and frequency (at 44.1 kHz the
// interaural time difference of a source at the side grows by 9 %), so they
// are resampled to the running rate with libsamplerate's best sinc converter:
// no added delay, the same frequency response (the responses are scaled by
// file rate / running rate, so that a response's sum, its gain at low
// frequencies, is kept), and the same duration (ceil(16384 * running rate /
// file rate) samples).
//
// Resampling without delay keeps a response only where its band-limited
// version starts at time 0. A response that carries the whole band from its
// first sample (the UHJ set's all-pass filters) loses what falls before, so a
// set may also come in files made for one rate each, beside its regular file:
// "<name>-<rate>.wav" ("AMBIX_2_UHJ-44100.wav"), at that rate, with responses
// as long as the regular 48 kHz ones last (ResponseLengthForRate). At that
// running rate the loader reads such a file as it is.
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
    // Samples of each response in a set's regular file, at the file's own rate.
    static constexpr int kFileResponseLength = 16384;
    // The rate the regular files are made for: a file made for another rate
    // holds responses as long as kFileResponseLength samples last at it.
    static constexpr double kRegularFileSampleRate = 48000.0;

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

// Samples of each response in a set's file made for sampleRate: as many as
// last as long as the regular file's 16384 samples at 48 kHz,
// ResampledLength(16384, 48000, sampleRate).
[[nodiscard]] int ResponseLengthForRate(double sampleRate) noexcept;

// The name of a set's file made for sampleRate, beside its regular file
// fileName: "<stem>-<rate><extension>", the rate in whole hertz
// ("AMBIX_2_UHJ.wav" at 44100 Hz: "AMBIX_2_UHJ-44100.wav"). Empty when
// sampleRate is not a supported rate in whole hertz.
[[nodiscard]] std::string DecoderSetFileNameForRate(const std::string& fileName, double sampleRate);

// A file a decoder set is read from, and the layout its name implies.
struct DecoderSetFile {
    std::string mPath;
    // The rate the file is made for by its name; 0 for a set's regular file,
    // which may be made for any rate (its header says which).
    double mNamedRate = 0.0;
    // Frames of each input's segment.
    int mResponseLength = DecoderSetResponses::kFileResponseLength;
};

// Loading thread (it queries the file system): the file that the set whose
// regular file is path is read from at sampleRate. The file made for
// sampleRate beside it when there is one, else path itself.
[[nodiscard]] DecoderSetFile ChooseDecoderSetFile(const std::string& path, double sampleRate);

// Loading thread, never the audio thread: reads the decoder set in file (every
// whole segment of file.mResponseLength frames is an input, at most maxInputs
// of them; a one-channel file's right-output responses are silent) and brings
// it to sampleRate, which leaves it as it is when the file is made for
// sampleRate. False with a sentence in error when the file holds no whole
// segment (missing, not an audio file, too short), when its rate or sampleRate
// is not a supported rate, when its header's rate is not the rate its name
// says, or when resampling fails; also false, with an empty error, when cancel
// becomes true while it runs.
[[nodiscard]] bool ReadDecoderSetResponses(const DecoderSetFile& file, double sampleRate, int maxInputs,
                                           DecoderSetResponses& set, std::string& error,
                                           const std::atomic<bool>* cancel = nullptr);

// Loading thread: reads the set whose regular file is path at sampleRate as
// the engine's loader does: from ChooseDecoderSetFile(path, sampleRate).
[[nodiscard]] bool ReadDecoderSetResponses(const std::string& path, double sampleRate, int maxInputs,
                                           DecoderSetResponses& set, std::string& error,
                                           const std::atomic<bool>* cancel = nullptr);

} // namespace qir
