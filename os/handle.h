// The one owner of OS resources, and the opaque handle type that portable headers use.
//
// UniqueHandle<Traits> is move-only and releases what it holds exactly once, with
// Traits::close. Traits supply:
//   using value_type = ...;                       // the raw handle (an fd, a DIR*, an acl_t ...)
//   static value_type invalid() noexcept;         // the value that holds nothing
//   static void close(value_type) noexcept;       // releases a valid value
// Portable headers speak of os::Handle (a NativeHandle owned by UniqueHandle); only os/posix
// turns a NativeHandle into a descriptor.
#pragma once

#include <cstdint>
#include <utility>

namespace os {

template <class Traits>
class UniqueHandle {
public:
  using value_type = typename Traits::value_type;

  UniqueHandle() noexcept : value_(Traits::invalid()) {}
  explicit UniqueHandle(value_type value) noexcept : value_(value) {}
  UniqueHandle(UniqueHandle&& other) noexcept : value_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  value_type get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives the value up without releasing it.
  [[nodiscard]] value_type release() noexcept { return std::exchange(value_, Traits::invalid()); }

  // Releases what is held and holds value from now on.
  void reset(value_type value = Traits::invalid()) noexcept {
    value_type old = std::exchange(value_, value);
    if (old != Traits::invalid()) Traits::close(old);
  }

private:
  value_type value_;
};

// A handle of the host, opaque above the boundary (a file descriptor on this host).
enum class NativeHandle : std::intptr_t { none = -1 };

struct NativeHandleTraits {
  using value_type = NativeHandle;
  static NativeHandle invalid() noexcept { return NativeHandle::none; }
  static void close(NativeHandle handle) noexcept; // os/posix/handle.cpp
};

// An owned host handle: what os/ functions return when they open something for the caller.
using Handle = UniqueHandle<NativeHandleTraits>;

} // namespace os
