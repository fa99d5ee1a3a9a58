// Each thread's queue of asynchronous procedure calls (APCs).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "os/error.h"

namespace os {

// One thread's queue of asynchronous procedure calls. A queued call runs on that thread the next
// time it waits alertably (waitForObjects with alertable set); calls queued after the thread
// ended never run. The queue lives as long as any reference to it.
class ApcQueue;
using ThreadRef = std::shared_ptr<ApcQueue>;

// The calling thread's queue, created on first use. Fails when the process is out of descriptors.
Result<ThreadRef> currentThread();

// Queues a call for the thread and wakes it if it is waiting alertably. Returns the Win32 code.
[[nodiscard]] std::uint32_t queueUserApc(const ThreadRef& thread, std::function<void()> call);

} // namespace os
