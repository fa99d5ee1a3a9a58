// The management service's byte-level serialisation: a message is a sequence of blocks, each a
// 32-bit little-endian length and that many bytes.
//
//   string block   length = 1 + character bytes; one byte of character size (2: UTF-16LE,
//                  1: 8-bit text in the ANSI code page); the characters, no terminating NUL
//   32-bit block   length 4, the value
//   error block    length 0xFFFFFFFF, then a string block with the message
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/core/exception.h"

namespace vserializer {

// A message that does not follow the format.
class invalidprotocol : public vexception {
public:
  using vexception::vexception;
};

inline constexpr std::uint32_t errorBlock = 0xFFFFFFFF;

// A growable byte array that blocks are appended to.
class buffer {
public:
  void writeString(std::u16string_view text);
  void writeDword(std::uint32_t value);
  // A block of raw bytes (a method identifier, for one).
  void writeBlock(std::span<const std::uint8_t> bytes);
  // An error block: the service's way of failing a call.
  void writeError(std::u16string_view message);

  const std::vector<std::uint8_t>& data() const { return data_; }

private:
  void append(const void* bytes, std::size_t count);
  void appendLength(std::uint32_t length);

  std::vector<std::uint8_t> data_;
};

// Reads blocks in order. Every read throws invalidprotocol with the format's messages
// ("Unexpected end of data when read from serializer.", "Unexpected end of data when read
// C-string from serializer.", "Unsupported char size when read C-string from serializer.",
// "Invalid size of block") and, on an error block, a vexception with the block's message.
class reader {
public:
  explicit reader(std::span<const std::uint8_t> data) : data_(data) {}

  std::u16string readString();
  std::uint32_t readDword();
  // A block that must have exactly `size` bytes.
  std::span<const std::uint8_t> readBlock(std::size_t size);

  bool atEnd() const { return position_ == data_.size(); }

private:
  // The next block's length; an error block is thrown as its message.
  std::uint32_t readLength();
  std::span<const std::uint8_t> take(std::size_t count);
  std::u16string readStringBody(std::uint32_t length);

  std::span<const std::uint8_t> data_;
  std::size_t position_ = 0;
};

} // namespace vserializer
