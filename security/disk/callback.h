// DiskSecurity::Callback: what the checkers report to their caller while they walk, the source
// of the information of a directory that another metadata file governs, and the exception that
// ends a walk on the caller's request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/core/exception.h"

namespace DiskSecurity {

class SecurityInformation;

// Results of checking one path, and the answers the callback gives.
inline constexpr int CHECK_DONE = 0;
inline constexpr int CHECK_ABORT = 1;
inline constexpr int CHECK_SKIPPED = 2;
inline constexpr int CHECK_AGAIN = 3;

// Ends the walk; the commit swallows it and saves the metadata file all the same.
class AbortException : public vexception {
public:
  AbortException() : vexception(u"Aborting...") {}
};

class Callback {
public:
  virtual ~Callback() = default;

  // A failure while the path was checked (its Win32 code, 0 for one without, and message).
  // Answer: CHECK_DONE goes on with the walk, CHECK_ABORT ends it, CHECK_SKIPPED leaves the
  // path's children alone, CHECK_AGAIN checks the path again.
  virtual int onFailure(const std::u16string& /*path*/, std::uint32_t /*code*/,
                        const std::u16string& /*message*/, bool /*directory*/) {
    return CHECK_DONE;
  }
  // The path's list was written. CHECK_ABORT ends the walk; other answers go on.
  virtual int onWritten(const std::u16string& /*path*/, bool /*directory*/) { return CHECK_DONE; }
  // Asked before each path is checked; CHECK_SKIPPED leaves it (and what lies below) alone.
  virtual int onPath(const std::u16string& /*path*/, bool /*directory*/) { return CHECK_DONE; }
};

// Where a walk takes the information of a directory it enters. The paths a callback gets are
// full paths, for reports; the information is keyed by paths relative to the walked root.
class InformationSource {
public:
  virtual ~InformationSource() = default;
  // The information for the directory at `relative` (below the walked root), `current` while
  // the file that governs it is the one `current` came from.
  virtual std::shared_ptr<SecurityInformation>
  informationFor(std::shared_ptr<SecurityInformation> current, const std::u16string& relative) = 0;
};

} // namespace DiskSecurity
