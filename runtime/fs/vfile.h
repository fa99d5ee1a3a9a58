// VFile: one open file (used by the log files and the XML file stream), and the temporary files
// of the program.
#pragma once

#include <cstdint>
#include <string>

#include "os/file_io.h"
#include "runtime/core/handle.h"

class VFile {
public:
  VFile() = default;
  VFile(VFile&&) = default;
  VFile& operator=(VFile&&) = default;

  // Opens the path as given (not in long-path form) with these values (os::openFile, with the
  // os:: constants of os/file_io.h); an open file is closed and replaced on success, and the
  // object remembers the path. Throws the OS error "Open file '<path>'" (context
  // "VFile::open"), leaving the object as it was.
  void open(const std::u16string& path, std::uint32_t access, std::uint32_t shareMode,
            std::uint32_t disposition, std::uint32_t flags);

  // Reads at most count bytes; 0 at the end of the file. Throws the OS error "Read from file
  // '<path>'" (context "VFile::read").
  std::uint32_t read(void* buffer, std::uint32_t count);

  // Everything from the position to the end, read in blocks of 1024 bytes.
  std::string readAll();
  // The whole file: opened for reading (share mode read, open-existing), read and closed.
  static std::string readAll(const std::u16string& path);

  // Moves the position as the platform's SetFilePointer does: with distanceHigh the distance is
  // the 64-bit value high:distance and distanceHigh receives the high part of the new position;
  // without it the distance is a signed 32-bit value. Returns the low part of the new position.
  // Throws the OS error "Unable seek in file '<path>'" (context "VFile::seek").
  std::uint32_t seek(std::int32_t distance, std::int32_t* distanceHigh, std::uint32_t method);

  // Writes the bytes; returns how many were written. Throws the OS error "Write to file
  // '<path>'" (context "VFile::write"), and, when mustBeComplete and fewer were written,
  // vexception "Unable to write <count asked> bytes into file '<path>'" (same context).
  std::uint32_t write(const void* buffer, std::uint32_t count, bool mustBeComplete = true);

  void close() { handle_.close(); }
  bool isOpen() const { return handle_.valid(); }
  const std::u16string& path() const { return path_; }

  // The full name of a new, empty temporary file of the program: tempFileName with a new GUID
  // as prefix, in PRODUCT_ROOT_D\PrivateTemp when "PRODUCT_ROOT_D" of the product
  // configuration is set and that directory exists, else in tempPath(). Throws the OS error
  // "UuidToString" (context "VGUID::toString") when no GUID can be made.
  static std::u16string temporaryFileName();

private:
  os::NativeHandle native() const { return handle_.get(); }

  RunTime::AutoHandle handle_;
  std::u16string path_;
};

// The host's temporary directory, ending in "\"; created, open to every account, when missing.
std::u16string tempPath();

// Creates a new, empty, uniquely named file "<prefix>XXXX.TMP" in the directory and returns its
// full name. Throws the OS error "GetTempFileName in <directory>" (context "tempFileName").
std::u16string tempFileName(const std::u16string& directory, const std::u16string& prefix);
