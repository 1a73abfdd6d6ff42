// tools: the decoder-set generator command and the generation it runs.
#pragma once

#include <functional>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

namespace qirtools {

class HrtfSet;

inline constexpr const char* kDefaultSofaPath = "/usr/share/libmysofa/MIT_KEMAR_normal_pinna.sofa";

// qir-make-decoder-sets [--output DIR] [--sofa PATH] [--if-missing] [--only NAME]...
// Writes the fifteen decoder sets and the UHJ set made for each rate of kUhjSampleRates (or
// the named ones) into DIR, defaultOutput when no --output is given. Returns the process exit
// status; messages go to out and err.
int runDecoderSetGenerator(const std::vector<std::string>& arguments, const std::string& defaultOutput,
                           std::ostream& out, std::ostream& err);

// Every file name the generator can write, in the order it writes them.
std::vector<std::string> allDecoderSetFileNames();

// The rates the UHJ set is made for: 48 kHz (its regular file) and kUhjSampleRates.
std::vector<int> uhjSampleRates();

// True when the set needs a measured HRTF set (every set but the UHJ ones).
bool decoderSetNeedsHrtf(const std::string& name);

// Writes the named sets (names from allDecoderSetFileNames) into folder, which is created
// when missing, each loudness-matched (DiffuseFieldLevel.h). hrtf: the HRTF set to fit, at
// kDecoderSetSampleRate; it may be null when no set needs it. progress receives a short
// line as each step starts and as each set is written. Throws std::runtime_error.
void writeDecoderSets(const HrtfSet* hrtf, const std::string& folder, const std::set<std::string>& names,
                      const std::function<void(const std::string&)>& progress);

} // namespace qirtools
