// tools: qir-decoder-set-report, the quality report of the generated decoder sets.
#include "tools/DecoderSetReport.h"

#include <iostream>

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return qirtools::runDecoderSetReport(arguments, QIR_DECODER_SET_DIR, QIR_DECODER_SET_REPORT_DIR, std::cout, std::cerr);
}
