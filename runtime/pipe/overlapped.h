// The overlapped record of a pipe: the event through which a pipe operation in progress reports.
//
// On this host an operation "in progress" is one that waits for its descriptor, so the record's
// event is bound to the pipe it serves: from then on it is signalled while the pipe can be read
// or is at its end (data, a pending client, or the other side gone). Before it is bound it is a
// manual-reset event, initially signalled.
#pragma once

#include "os/handle.h"
#include "runtime/core/sync.h"

namespace RunTime {

class Overlapped : public VSyncObject {
public:
  // Throws "Unable to create event" with the given context function.
  explicit Overlapped(const char* context = "RunTime::Overlapped::Overlapped");

  // Binds the record to the pipe (through a duplicate of its descriptor). Throws "Unable to
  // duplicate handle" with the given context function.
  void bind(os::NativeHandle pipe, const char* context);
  bool bound() const { return bound_; }

  // Resets the unbound event; a bound record follows its pipe and has nothing to reset.
  void unlock() override;

private:
  bool bound_ = false;
};

} // namespace RunTime
