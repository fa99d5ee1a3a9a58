// The owner of one OS handle above the boundary: os::Handle with the system's duplication.
#pragma once

#include <memory>
#include <utility>

#include "os/handle.h"

namespace RunTime {

class AutoHandle : public os::Handle {
public:
  AutoHandle() = default;
  explicit AutoHandle(os::NativeHandle handle) noexcept : os::Handle(handle) {}
  AutoHandle(os::Handle&& handle) noexcept : os::Handle(std::move(handle)) {}

  // Closes the handle; the object then holds none.
  void close() noexcept { reset(); }

  // An owner of a duplicate of the handle; throws "Unable to duplicate handle".
  static AutoHandle duplicateHandle(os::NativeHandle handle);
};

using AutoHandlePtr = std::shared_ptr<AutoHandle>;

} // namespace RunTime
