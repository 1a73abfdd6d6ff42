// cli: decoder sets fitted to the listener's own HRTF set (--sofa FILE), made once with the
// decoder-set generator and kept in a cache folder for every later render.
#pragma once

#include <string>

namespace qircli {

// The SHA-256 of the file's bytes as 64 lower-case hex digits, as sha256sum prints it: the
// cache key, which must not collide for two different HRTF sets. False with error set when
// the file cannot be read.
[[nodiscard]] bool HashFile(const std::string& path, std::string& hex, std::string& error);

// The cache folder: $XDG_CACHE_HOME/qir-matrix-decoder when that variable holds an absolute
// path, otherwise ~/.cache/qir-matrix-decoder. Empty, with error set, when neither
// XDG_CACHE_HOME nor HOME is usable.
[[nodiscard]] std::string SofaCacheFolder(std::string& error);

// Makes sure that the decoder set setFileName (a name the plug-in loads, e.g.
// "3OA-decoder-room.wav") fitted to the SOFA file is in the cache, and sets folder to the
// cache folder that holds it, for use as the plug-in's resource folder. The sets of one SOFA
// file live in a folder of their own, named by a SHA-256 hash of the file's bytes and the
// generator's version, so an edited file or a new generator never reuses old sets. A set
// found there is used as it is; a missing one is fitted now (only that one), with progress
// lines on standard error when showProgress is set, and written under a temporary name that
// is renamed when complete, so concurrent or interrupted renders never leave a half-written
// set. False with error set (one sentence naming the file) when the file is not a usable
// SOFA file or the cache cannot be written. A set that uses no HRTF (UHJ) is not fitted:
// folder is then the resource folder in use (platform::GetResourceDirectory), which holds it
// and the UHJ sets made for the common rates, once the SOFA file has been checked. Main
// thread; takes seconds on a miss.
[[nodiscard]] bool PrepareSofaDecoderSet(const std::string& sofaPath, const std::string& setFileName, bool showProgress,
                                         std::string& folder, std::string& error);

} // namespace qircli
