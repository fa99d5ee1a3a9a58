#include "service/serializer.h"

#include "runtime/core/text.h"

namespace vserializer {

namespace {

constexpr char16_t kEndOfData[] = u"Unexpected end of data when read from serializer.";
constexpr char16_t kEndOfString[] = u"Unexpected end of data when read C-string from serializer.";
constexpr char16_t kCharSize[] = u"Unsupported char size when read C-string from serializer.";
constexpr char16_t kBlockSize[] = u"Invalid size of block";

std::uint32_t littleEndian(std::span<const std::uint8_t> bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

} // namespace

void buffer::append(const void* bytes, std::size_t count) {
  // Capacity grows to the size needed rounded up to 16 bytes, as the format's writers do.
  const std::size_t needed = data_.size() + count;
  if (needed > data_.capacity()) data_.reserve((needed + 15) / 16 * 16);
  const auto* first = static_cast<const std::uint8_t*>(bytes);
  data_.insert(data_.end(), first, first + count);
}

void buffer::appendLength(std::uint32_t length) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
                                 static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
  append(bytes, sizeof bytes);
}

void buffer::writeString(std::u16string_view text) {
  appendLength(static_cast<std::uint32_t>(1 + 2 * text.size()));
  // One append for the whole text: growing by two bytes at a time would copy the buffer over and
  // over for a long value.
  std::vector<std::uint8_t> bytes;
  bytes.reserve(1 + 2 * text.size());
  bytes.push_back(2); // the character size
  for (char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  }
  append(bytes.data(), bytes.size());
}

void buffer::writeDword(std::uint32_t value) {
  appendLength(4);
  appendLength(value);
}

void buffer::writeBlock(std::span<const std::uint8_t> bytes) {
  appendLength(static_cast<std::uint32_t>(bytes.size()));
  append(bytes.data(), bytes.size());
}

void buffer::writeError(std::u16string_view message) {
  appendLength(errorBlock);
  writeString(message);
}

std::span<const std::uint8_t> reader::take(std::size_t count) {
  if (count > data_.size() - position_) throw invalidprotocol(kEndOfData);
  std::span<const std::uint8_t> bytes = data_.subspan(position_, count);
  position_ += count;
  return bytes;
}

std::uint32_t reader::readLength() {
  const std::uint32_t length = littleEndian(take(4));
  if (length == errorBlock) {
    // The message of an error block is itself a string block.
    const std::uint32_t messageLength = littleEndian(take(4));
    throw vexception(readStringBody(messageLength));
  }
  return length;
}

std::u16string reader::readStringBody(std::uint32_t length) {
  if (length == 0) throw invalidprotocol(kEndOfString);
  std::span<const std::uint8_t> body = take(length);
  const std::uint8_t charSize = body[0];
  body = body.subspan(1);
  if (charSize == 1) return wstr(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), CP_ACP);
  if (charSize != 2) throw invalidprotocol(kCharSize);
  // Half a character cannot be read.
  if (body.size() % 2 != 0) throw invalidprotocol(kEndOfString);
  std::u16string text(body.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(body[2 * i] | body[2 * i + 1] << 8);
  return text;
}

std::u16string reader::readString() { return readStringBody(readLength()); }

std::span<const std::uint8_t> reader::readBlock(std::size_t size) {
  const std::uint32_t length = readLength();
  if (length != size) throw invalidprotocol(kBlockSize);
  return take(size);
}

std::uint32_t reader::readDword() { return littleEndian(readBlock(4)); }

} // namespace vserializer
