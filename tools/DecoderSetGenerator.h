// tools: the decoder-set generator command.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qirtools {

inline constexpr const char* kDefaultSofaPath = "/usr/share/libmysofa/MIT_KEMAR_normal_pinna.sofa";

// qir-make-decoder-sets [--output DIR] [--sofa PATH] [--if-missing] [--only NAME]...
// Writes the fifteen decoder sets (or the named ones) into DIR, defaultOutput when no
// --output is given. Returns the process exit status; messages go to out and err.
int runDecoderSetGenerator(const std::vector<std::string>& arguments, const std::string& defaultOutput,
                           std::ostream& out, std::ostream& err);

// Every file name the generator can write, in the order it writes them.
std::vector<std::string> allDecoderSetFileNames();

} // namespace qirtools
