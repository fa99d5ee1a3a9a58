// Fuzz target: the streaming XML reader over arbitrary bytes. Every event is taken and every
// attribute read; a handler failure is provoked on one element name so that the stop path is
// exercised too. Any outcome but a crash, a leak or a hang is fine: a malformed input throws
// vexception.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/core/exception.h"
#include "xml/content_handler.h"

namespace {

class EveryEvent : public ContentHandlerWrapper {
protected:
  void startPrefixMapping(std::u16string_view prefix, std::u16string_view uri) override {
    seen += prefix.size() + uri.size();
  }
  void startElement(std::u16string_view uri, std::u16string_view localName,
                    std::u16string_view qName, const SaxAttributes& attributes) override {
    if (localName == u"Stop") throw vexception(u"stop here");
    seen += uri.size() + qName.size();
    for (int i = 0; i < attributes.length(); ++i)
      seen += attributes.localName(i).size() + attributes.uri(i).size() + attributes.value(i).size();
    seen += attributes.getValueFromName(u"Path").size();
  }
  void characters(std::u16string_view text) override { seen += text.size(); }
  void processingInstruction(std::u16string_view target, std::u16string_view data) override {
    seen += target.size() + data.size();
  }
  void skippedEntity(std::u16string_view name) override { seen += name.size(); }

private:
  std::size_t seen = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  EveryEvent handler;
  std::size_t offset = 0;
  try {
    // Small reads, so that tokens straddle chunk boundaries.
    handler.parseStream([&](char* buffer, std::size_t room) {
      const std::size_t n = std::min({room, size - offset, std::size_t{7}});
      std::memcpy(buffer, data + offset, n);
      offset += n;
      return n;
    });
  } catch (const vexception&) {
  }
  return 0;
}
