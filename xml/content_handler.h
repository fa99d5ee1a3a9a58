// ContentHandlerWrapper: the base of the streaming XML readers. One parse delivers the file's
// SAX events in document order to the overridable handlers of the derived class; memory stays
// bounded whatever the size of the file (the parser keeps no tree, only the open elements and
// limited token sizes).
//
// Nothing outside the file is ever read: no external DTD subset, no external entity, no
// network. Entities are never substituted: a reference to one that the parser does not know
// itself reaches skippedEntity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The attributes of one element, as startElement receives them. Valid during that call only.
class SaxAttributes {
public:
  // The parser's attribute table: five UTF-8 pointers per attribute (local name, prefix,
  // namespace URI, value start, value end).
  SaxAttributes(const void* const* table, int count) : table_(table), count_(count) {}

  int length() const { return count_; }
  std::u16string localName(int index) const;
  std::u16string uri(int index) const;
  std::u16string value(int index) const;
  // The value of the attribute with this local name and no namespace; absent reads as empty.
  std::u16string getValueFromName(std::u16string_view localName) const;

private:
  const void* const* table_;
  int count_;
};

// Where the parser is, for putDocumentLocator; valid during the parse only.
class SaxLocator {
public:
  explicit SaxLocator(const void* parser) : parser_(parser) {}
  int lineNumber() const;
  int columnNumber() const;

private:
  const void* parser_;
};

class ContentHandlerWrapper {
public:
  // Reads bytes into the buffer; returns how many (0 at the end). May throw.
  using ByteSource = std::function<std::size_t(char* buffer, std::size_t size)>;

  virtual ~ContentHandlerWrapper() = default;

  // Parses the file (a Windows-syntax path), calling the handlers in document order; returns
  // when the document was read completely. Throws the file's open or read error; vexception
  // with the recorded text when a handler failed (the parse stops at that event); vexception
  // "XML parsing error: 0x%lX" with the reader's result code when the document is malformed.
  void parseURL(const std::u16string& file);
  // The same over bytes from `source`.
  void parseStream(const ByteSource& source);

  // The result code of a malformed document: 0xC00C0000 | the parser's error number.
  static std::uint32_t resultCode(int parserError);

protected:
  virtual void putDocumentLocator(const SaxLocator&) {}
  virtual void startDocument() {}
  virtual void endDocument() {}
  virtual void startPrefixMapping(std::u16string_view /*prefix*/, std::u16string_view /*uri*/) {}
  virtual void endPrefixMapping(std::u16string_view /*prefix*/) {}
  virtual void startElement(std::u16string_view /*uri*/, std::u16string_view /*localName*/,
                            std::u16string_view /*qName*/, const SaxAttributes&) {}
  virtual void endElement(std::u16string_view /*uri*/, std::u16string_view /*localName*/,
                          std::u16string_view /*qName*/) {}
  virtual void characters(std::u16string_view /*text*/) {}
  virtual void ignorableWhitespace(std::u16string_view /*text*/) {}
  virtual void processingInstruction(std::u16string_view /*target*/, std::u16string_view /*data*/) {}
  virtual void skippedEntity(std::u16string_view /*name*/) {}

private:
  friend struct SaxEvents;

  std::u16string failure_;
};
