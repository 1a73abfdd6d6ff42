// tools: qir-make-decoder-sets, the decoder-set generator.
#include "engine/platform/ResourceDirectory.h"
#include "tools/DecoderSetGenerator.h"

#include <iostream>

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    // By default the sets go where qir-render and the plug-in read them:
    // $QIR_RESOURCE_DIR, else the folder beside this program, built or installed.
    return qirtools::runDecoderSetGenerator(arguments, qir::platform::GetResourceDirectory(), std::cout, std::cerr);
}
