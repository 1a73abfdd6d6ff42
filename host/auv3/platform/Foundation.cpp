// host/auv3/platform: the Foundation stand-ins that need code.
#include "host/auv3/platform/Foundation.h"

#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>

std::shared_ptr<NSBundle> NSBundle::bundleForAddress(const void* address)
{
    Dl_info info{};
    if (dladdr(address, &info) != 0 && info.dli_fname) {
        return std::make_shared<NSBundle>(info.dli_fname);
    }
    return std::make_shared<NSBundle>("");
}

void NSLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}
