// engine: the sizes the engine's parts share: its processing frame, its
// channel counts and the length of a crossfade between decoder sets.
#pragma once

namespace qir {

struct EngineSizes {
    // Every run of the sound-field stage covers exactly this many frames.
    static constexpr int kSubBlockFrames = 128;
    static constexpr int kMaxInputChannels = 64;
    static constexpr int kNumOutputs = 2;
    // Length of the equal-gain crossfade from one decoder set to the next (and
    // of the first set's fade-in from silence), a whole number of frames.
    static constexpr int kCrossfadeFrames = 8 * kSubBlockFrames;
};

} // namespace qir
