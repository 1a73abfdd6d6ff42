// tools: qir-make-decoder-sets, the decoder-set generator.
#include "tools/DecoderSetGenerator.h"

#include <iostream>

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return qirtools::runDecoderSetGenerator(arguments, QIR_DECODER_SET_DIR, std::cout, std::cerr);
}
