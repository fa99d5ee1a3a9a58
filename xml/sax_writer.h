// SaxWriter: writes an XML document event by event (xmlTextWriter underneath) into a byte sink:
// UTF-8, an XML declaration, no indentation; an element with no content ends as "<name .../>".
// Memory stays bounded whatever the size of the document.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

class SaxWriter {
public:
  // Takes the bytes as they are written; may throw (the writer then fails with that exception).
  using ByteSink = std::function<void(const char* data, std::size_t size)>;

  explicit SaxWriter(ByteSink sink);
  ~SaxWriter();
  SaxWriter(const SaxWriter&) = delete;
  SaxWriter& operator=(const SaxWriter&) = delete;

  // Each throws the sink's exception, or _com_error(E_FAIL) when the writer fails otherwise.
  void startDocument();
  void startElement(std::u16string_view name);
  void attribute(std::u16string_view name, std::u16string_view value);
  void endElement();
  // Ends the open elements and hands every byte still buffered to the sink.
  void endDocument();

  // Whether XML 1.0 can carry the text (no control characters other than tab, line feed and
  // carriage return, no unpaired surrogates, no U+FFFE or U+FFFF).
  static bool isWritableText(std::u16string_view text);

private:
  struct State;
  std::unique_ptr<State> state_;
};
