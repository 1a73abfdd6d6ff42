// host/auv3/platform: the main queue over the framework's main run loop.
#include "host/auv3/platform/Dispatch.h"

#include "framework/platform/MainRunLoop.h"

struct dispatch_queue_s {};

dispatch_queue_t dispatch_get_main_queue() noexcept
{
    static dispatch_queue_s mainQueue;
    return &mainQueue;
}

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block)
{
    if (queue == dispatch_get_main_queue() && block) {
        plugfw::MainRunLoop::Main().Dispatch(std::move(block));
    }
}
