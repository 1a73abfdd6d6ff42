// cli: the length a sound file's header declares. libsndfile reports the
// frames a file really holds, so a file cut short (a copy that stopped, a
// download that broke off) reads as a shorter file; the header's own count
// shows what is missing.
#pragma once

#include <cstdint>
#include <optional>

namespace qircli {

// The frame count declared by the header of the file open at fd (read with
// pread; the file position is left alone), for WAV (RIFF, RIFX, RF64, BW64)
// and AIFF/AIFC. Empty for other containers, for headers it cannot follow and
// for the placeholder sizes of a stream whose length was unknown when its
// header was written (0, 0xFFFFFFFF, and the sizes sox writes to a pipe: 2^31 -
// 4096 bytes of WAV data, 0x7F000000 bytes of AIFF data, in whole frames).
[[nodiscard]] std::optional<int64_t> DeclaredFrames(int fd);

} // namespace qircli
