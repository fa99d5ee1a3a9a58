// The owner of one OS handle (a descriptor here).
#pragma once

#include <memory>

namespace RunTime {

class AutoHandle {
public:
  // No handle is -1 (descriptors start at 0, so 0 is a handle here).
  static constexpr int none = -1;

  AutoHandle() = default;
  explicit AutoHandle(int handle) : handle_(handle) {}
  AutoHandle(AutoHandle&& other) noexcept : handle_(other.release()) {}
  AutoHandle& operator=(AutoHandle&& other) noexcept;
  ~AutoHandle() { close(); }

  int get() const { return handle_; }
  bool valid() const { return handle_ != none; }
  // Closes the handle; the object then holds none.
  void close();
  // Gives the handle up without closing it.
  int release();

  // An owner of a duplicate of the handle; throws "Unable to duplicate handle".
  static AutoHandle duplicateHandle(int handle);

private:
  int handle_ = none;
};

using AutoHandlePtr = std::shared_ptr<AutoHandle>;

} // namespace RunTime
