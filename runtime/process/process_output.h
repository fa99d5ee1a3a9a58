// The output of a process started for the tool: pipes whose reading ends support overlapped
// reads, and the collection of what arrives on two of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "os/handle.h"
#include "runtime/core/sync.h"
#include "runtime/pipe/overlapped.h"

namespace RunTime {

// Makes a pipe: readEnd (non-blocking, bound to `overlapped`) for the tool, writeEnd (blocking)
// for the process. Both are reset first and set on success; bufferSize 0 keeps the host's
// default. Throws the OS error "Unable to create pipe".
void createAsyncPipe(os::Handle& readEnd, os::Handle& writeEnd, std::uint32_t bufferSize, Overlapped& overlapped);

// Collects what arrives on the two reading ends (either may be none: it counts as ended) until
// both end. When `processEnded` (the process handle) is given and signalled, what is at hand on
// the pipes is read without waiting for more and the collection ends too. (Its watcher reports
// the end once what the process left behind is killed, so the pipes hold all there is; a process
// that escaped the kill must not keep the caller waiting.) Chunks of up to 1024 bytes are
// appended while output1 and output2 together are below `limit` (so the total may pass it by one
// chunk); later output is read and dropped, so the writer never blocks. output1 and output2 may
// be the same string (its size then counts twice). The outputs are emptied first. Throws the OS
// error "Unable to read pipe".
void asyncReadTaskOutput(std::string& output1, std::string& output2, os::NativeHandle readEnd1, Overlapped& overlapped1,
                         os::NativeHandle readEnd2, Overlapped& overlapped2, std::size_t limit,
                         VSyncObject* processEnded = nullptr);

} // namespace RunTime
