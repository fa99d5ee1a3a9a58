#include "xml/content_handler.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "tests/support/failure.h"
#include "tests/support/testing.h"

using testing_support::u8;
using testing_support::writeFile;

namespace {

// Writes every event it receives as one line.
class Recorder : public ContentHandlerWrapper {
public:
  std::vector<std::string> events;
  // The event whose handler throws, and what it throws.
  std::string throwOn;
  std::function<void()> thrower;

protected:
  void note(const std::string& line) {
    events.push_back(line);
    if (!throwOn.empty() && line.rfind(throwOn, 0) == 0) thrower();
  }
  void startDocument() override { note("startDocument"); }
  void endDocument() override { note("endDocument"); }
  void startPrefixMapping(std::u16string_view prefix, std::u16string_view uri) override {
    note("startPrefixMapping " + u8(prefix) + "=" + u8(uri));
  }
  void endPrefixMapping(std::u16string_view prefix) override {
    note("endPrefixMapping " + u8(prefix));
  }
  void startElement(std::u16string_view uri, std::u16string_view localName,
                    std::u16string_view qName, const SaxAttributes& attributes) override {
    std::string line = "startElement {" + u8(uri) + "}" + u8(localName) + " " + u8(qName);
    for (int i = 0; i < attributes.length(); ++i)
      line += " " + u8(attributes.localName(i)) + "=" + u8(attributes.value(i));
    line += " a=[" + u8(attributes.getValueFromName(u"a")) + "]";
    note(line);
  }
  void endElement(std::u16string_view, std::u16string_view, std::u16string_view qName) override {
    note("endElement " + u8(qName));
  }
  // The parser may split a text into several calls; one line holds them all.
  void characters(std::u16string_view text) override {
    if (!events.empty() && events.back().rfind("characters ", 0) == 0)
      events.back() += u8(text);
    else
      note("characters " + u8(text));
  }
  void processingInstruction(std::u16string_view target, std::u16string_view data) override {
    note("pi " + u8(target) + " " + u8(data));
  }
  void skippedEntity(std::u16string_view name) override { note("skippedEntity " + u8(name)); }
};

class StreamingReader : public testing::Test {
protected:
  // Parses the content from a file; returns the failure's message and its contexts' ("\nat "
  // before each), empty when none.
  std::string parse(const std::string& content, Recorder& recorder) {
    writeFile(dir.file("doc.xml"), content);
    const testing_support::Failure failed =
        testing_support::failureOf([&] { recorder.parseURL(os::utf16FromUtf8(dir.file("doc.xml"))); });
    return failed.message + failed.calls;
  }
  testing_support::TempDir dir;
};

// Every event's handler goes through one guard: each kind of exception once, at a start and at
// the end.
TEST_F(StreamingReader, HandlerFailureStopsAtThatEvent) {
  const std::tuple<std::string, std::function<void()>, std::string> cases[] = { // event, thrower, failure
      {"startElement {}first", [] { throw std::runtime_error("handler says no"); }, "handler says no\nat Unable to start element"},
      {"endDocument", [] { throw vexception(u"entry refused"); }, "entry refused\nat Unable to end document"},
      {"startElement {}first", [] { throw 42; }, "Unexpected error\nat Unable to start element"}};
  for (const auto& [throwOn, thrower, failure] : cases) {
    Recorder r;
    r.throwOn = throwOn;
    r.thrower = thrower;
    EXPECT_EQ(parse("<first><second/></first>", r), failure);
    ASSERT_FALSE(r.events.empty());
    EXPECT_EQ(r.events.back().rfind(throwOn, 0), 0u) << "no event after the failing one";
  }
}

// Events arrive in document order. A malformed document fails with the parser's result code.
// Nothing outside the file is read: the external subset is not loaded (its entity stays a
// skipped one), and entities are never substituted, so an external one is not fetched and
// nested definitions cannot blow up.
TEST_F(StreamingReader, EventsInOrderMalformedDocumentsFailAndNothingOutsideTheFileIsRead) {
  writeFile(dir.file("secret.dtd"), "<!ENTITY x \"SECRET\">");
  writeFile(dir.file("secret.txt"), "SECRET");
  const std::string malformed = "XML parsing error: 0xC00C";
  // The document, and the events of a well-formed one ("|" between them) or the failure's start.
  const std::pair<std::string, std::string> cases[] = {
      {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?><p:root xmlns:p=\"urn:p\" a=\"1 &amp; 2\" p:a=\"ns\">"
       "<?go now?><leaf a=\"x\"/>t&#233;xt</p:root>",
       "startDocument|startPrefixMapping p=urn:p|startElement {urn:p}root p:root a=1 & 2 a=ns a=[1 & 2]|pi go now|"
       "startElement {}leaf leaf a=x a=[x]|endElement leaf|characters t\xC3\xA9xt|endElement p:root|"
       "endPrefixMapping p|endDocument"},
      {"", malformed},
      {"<a x=\"1\" x=\"2\"/>", malformed},
      {"<Entries><Entry Path=\"C", malformed},
      {"<a>&undeclared;</a>", malformed},
      {"<p:a/>", malformed},
      {"<!DOCTYPE r SYSTEM \"" + dir.file("secret.dtd") + "\"><r>&x;</r>",
       "startDocument|startElement {}r r a=[]|skippedEntity x|endElement r|endDocument"},
      {"<!DOCTYPE r [<!ENTITY ext SYSTEM \"file://" + dir.file("secret.txt") + "\">]><r>&ext;</r>", malformed},
      {"<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
       "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><r>&c;</r>",
       malformed},
  };
  for (const auto& [document, expected] : cases) {
    Recorder r;
    const std::string message = parse(document, r);
    std::string events;
    for (const std::string& event : r.events) events += (events.empty() ? "" : "|") + event;
    EXPECT_EQ(message.empty() ? events : message.substr(0, malformed.size()), expected) << document << ": " << message;
    EXPECT_EQ(events.find("SECRET"), std::string::npos) << events;
  }
}

} // namespace
