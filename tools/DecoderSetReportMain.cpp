// tools: qir-decoder-set-report, the quality report of the generated decoder sets.
#include "engine/platform/ResourceDirectory.h"
#include "tools/DecoderSetReport.h"

#include <iostream>

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    // The sets qir-render and the plug-in read: $QIR_RESOURCE_DIR, else the
    // folder beside this program, built or installed.
    return qirtools::runDecoderSetReport(arguments, qir::platform::GetResourceDirectory(), QIR_DECODER_SET_REPORT_DIR,
                                         std::cout, std::cerr);
}
