// engine: a finished decoder set, the unit that moves between the threads:
// built by a loader, handed over to the audio thread, handed back to be freed.
#pragma once

#include <memory>

namespace dspkit {
class Convolver;
}

namespace qir {

struct DecoderSet {
    DecoderSet();
    ~DecoderSet();
    DecoderSet(const DecoderSet&) = delete;
    DecoderSet& operator=(const DecoderSet&) = delete;

    // Audio thread, or the throughput configuration's worker: convolves
    // nFrames frames of inputs (mNumChans channels read) into out0 and out1.
    // The outputs are cleared first so that nothing stale survives should the
    // convolver skip a call. Stretches longer than the set was warmed with are
    // taken in pieces of that length (whole frames).
    void Convolve(const float* const* inputs, float* out0, float* out1, int nFrames) noexcept;

    // Main thread, while the audio thread is stopped: a new stream of calls of
    // up to frames frames. The convolver is run once over that many frames of
    // silence (its scratch never grows on the audio thread) when it was warmed
    // with fewer, its output going to sink0 and sink1, and forgets its history.
    void StartStream(const float* const* silence, float* sink0, float* sink1, int frames) noexcept;

    std::unique_ptr<dspkit::Convolver> mConvolver;
    // Inputs of the set: the channels its convolver reads.
    int mNumChans = 0;
    // The decode order the set was requested for: the order of the rotator
    // and encoder while it is in use.
    int mOrder = 1;
    // The longest call the convolver was run with before it was published:
    // longer stretches are convolved in pieces of this length, so that the
    // audio thread never grows its scratch.
    int mWarmFrames = 0;
    // The responses' true length at the rate the set was loaded for.
    int mTailFrames = 0;
};

} // namespace qir
