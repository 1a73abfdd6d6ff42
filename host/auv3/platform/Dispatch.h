// host/auv3/platform: stands in for the part of Apple's libdispatch this system
// uses: asynchronous work on the main queue. The main queue is the framework's
// main run loop, so queued blocks run, in order, on the thread that runs it.
#pragma once

#include <functional>

struct dispatch_queue_s;
using dispatch_queue_t = dispatch_queue_s*;
using dispatch_block_t = std::function<void()>;

[[nodiscard]] dispatch_queue_t dispatch_get_main_queue() noexcept;

// Queues the block and returns at once.
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
