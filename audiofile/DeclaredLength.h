#pragma once

// The length a sound file's header declares. A decoder reports the frames a file
// really holds, so a file cut short (a copy that stopped, a download that broke
// off) reads as a shorter file; the header's own count shows what is missing.

#include "audiofile/ChunkWalker.h"

#include <cstdint>
#include <optional>

namespace dspkit
{

// The frame count declared by the header of the file that readAt reads, for WAVE
// (RIFF, RIFX, RF64, BW64) and AIFF/AIFC, whatever the sample encoding. Empty for
// other containers, for headers it cannot follow (the format and data chunks are
// looked for among the first 64) and for the placeholder sizes of a stream whose
// length was unknown when its header was written (0, 0xFFFFFFFF, and the sizes sox
// writes to a pipe: 2^31 - 4096 bytes of WAVE data, 0x7F000000 bytes of AIFF data,
// in whole frames).
[[nodiscard]] std::optional<int64_t> declaredFrames(const ReadAt& readAt);

} // namespace dspkit
