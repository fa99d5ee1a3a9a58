#include "xml/content_handler.h"

#include <exception>
#include <vector>

#include <libxml/SAX2.h>
#include <libxml/parserInternals.h>

#include "runtime/core/cancelation.h"
#include "runtime/core/format.h"
#include "runtime/core/tracing.h"
#include "os/file_io.h"
#include "runtime/core/handle.h"
#include "xml/document_data.h"

namespace {

std::u16string text(const xmlChar* chars, int length) {
  if (!chars || length <= 0) return {};
  return os::utf16FromUtf8(std::string_view(reinterpret_cast<const char*>(chars),
                                            static_cast<std::size_t>(length)));
}

std::u16string text(const xmlChar* chars) { return xml::fromXml(chars); }

std::u16string qualifiedName(const xmlChar* prefix, const xmlChar* localName) {
  return prefix ? text(prefix) + u":" + text(localName) : text(localName);
}

// Never the network; entities are not substituted and no external DTD is loaded (neither
// XML_PARSE_NOENT nor XML_PARSE_DTDLOAD), so nothing outside the file is read. Without
// XML_PARSE_HUGE the parser bounds the size of every token, its name dictionary and the depth.
constexpr int PARSE_OPTIONS = XML_PARSE_NONET;
constexpr std::size_t CHUNK = 64 * 1024;

// One SAX event: the span's name and the context message of a handler failure.
struct Event {
  const char* span;
  const char16_t* context;
};
constexpr Event PUT_DOCUMENT_LOCATOR{"ContentHandlerWrapper::raw_putDocumentLocator",
                                     u"Unable to put document locator"};
constexpr Event START_DOCUMENT{"ContentHandlerWrapper::raw_startDocument",
                               u"Unable to start document"};
constexpr Event END_DOCUMENT{"ContentHandlerWrapper::raw_endDocument", u"Unable to end document"};
constexpr Event START_PREFIX_MAPPING{"ContentHandlerWrapper::raw_startPrefixMapping",
                                     u"Unable to start prefix mapping"};
constexpr Event END_PREFIX_MAPPING{"ContentHandlerWrapper::raw_endPrefixMapping",
                                   u"Unable to end prefix mapping"};
constexpr Event START_ELEMENT{"ContentHandlerWrapper::raw_startElement",
                              u"Unable to start element"};
constexpr Event END_ELEMENT{"ContentHandlerWrapper::raw_endElement", u"Unable to end element"};
constexpr Event CHARACTERS{"ContentHandlerWrapper::raw_characters", u"Unable to call characters"};
constexpr Event IGNORABLE_WHITESPACE{"ContentHandlerWrapper::raw_ignorableWhitespace",
                                     u"Unable to ignore whitespaces"};
constexpr Event PROCESSING_INSTRUCTION{"ContentHandlerWrapper::raw_processingInstruction",
                                       u"Unable to process instruction"};
constexpr Event SKIPPED_ENTITY{"ContentHandlerWrapper::raw_skippedEntity",
                               u"Unable to skip entity"};

// The text of the exception in flight, whatever its kind.
std::u16string currentFailureText() {
  try {
    throw;
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (const vexception& e) {
    return e.fullText();
  } catch (const _com_error& e) {
    return e.Description() ? e.ErrorMessage() + u" (" + *e.Description() + u")" : e.ErrorMessage();
  } catch (const cwrpexception& e) {
    return e.text();
  } catch (const std::exception& e) {
    return os::utf16FromUtf8(e.what());
  } catch (...) {
    return u"Unexpected error";
  }
}

// Keeps the parser's unstructured reports (encoding and I/O errors) off the standard error for
// the duration of a parse on this thread; the parse's outcome says what went wrong.
class QuietReports {
public:
  QuietReports() : previous_(xmlGenericError), previousContext_(xmlGenericErrorContext) {
    xmlSetGenericErrorFunc(nullptr, &ignore);
  }
  ~QuietReports() { xmlSetGenericErrorFunc(previousContext_, previous_); }
  QuietReports(const QuietReports&) = delete;
  QuietReports& operator=(const QuietReports&) = delete;

private:
  static void ignore(void*, const char*, ...) {}

  xmlGenericErrorFunc previous_;
  void* previousContext_;
};

// Even without a tree the parser records entity declarations in a document of its own (for
// compatibility with older SAX users); it goes with the parser.
void freeParser(xmlParserCtxt* parser) {
  if (parser->myDoc) xmlFreeDoc(parser->myDoc);
  xmlFreeParserCtxt(parser);
}
using OwnedPushParser = xml::Owned<xmlParserCtxt, freeParser>;

} // namespace

// The state of one parse and the parser's callbacks, each of which hands its event to the
// handler of the wrapper (the raw_ entry points).
struct SaxEvents {
  explicit SaxEvents(ContentHandlerWrapper& wrapper) : handler(wrapper) {}

  ContentHandlerWrapper& handler;
  xmlParserCtxt* parser = nullptr;
  const Event* failedEvent = nullptr;
  std::exception_ptr canceled;
  // The prefixes each open element declared, for their end mappings.
  std::vector<std::vector<std::u16string>> declared;

  bool stopped() const { return failedEvent || canceled; }

  // Runs one handler in its span and cancellation point; a failure is recorded and stops the
  // parse, and no exception crosses back into the parser.
  template <class Call>
  void deliver(const Event& event, Call&& call) {
    if (stopped()) return;
    tracing::Span span;
    try {
      span.open(event.span, __LINE__);
      ThreadCancelation::CancelationPoint point(ThreadCancelation::SYNCHRONOUS);
      call();
    } catch (const ThreadCancelation::ThreadCanceled&) {
      canceled = std::current_exception();
    } catch (...) {
      handler.failure_ = currentFailureText();
      failedEvent = &event;
      span.setTag("if_error", os::utf8FromUtf16(event.context));
    }
    if (stopped()) xmlStopParser(parser);
  }

  static SaxEvents& of(void* context) { return *static_cast<SaxEvents*>(context); }

  static void setDocumentLocator(void* context, xmlSAXLocator*) {
    SaxEvents& s = of(context);
    SaxLocator locator(s.parser);
    s.deliver(PUT_DOCUMENT_LOCATOR, [&] { s.handler.putDocumentLocator(locator); });
  }
  static void startDocument(void* context) {
    SaxEvents& s = of(context);
    s.deliver(START_DOCUMENT, [&] { s.handler.startDocument(); });
  }
  static void endDocument(void* context) {
    SaxEvents& s = of(context);
    s.deliver(END_DOCUMENT, [&] { s.handler.endDocument(); });
  }
  static void startElementNs(void* context, const xmlChar* localName, const xmlChar* prefix,
                             const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                             int attributeCount, int, const xmlChar** attributes) {
    SaxEvents& s = of(context);
    std::vector<std::u16string>& prefixes = s.declared.emplace_back();
    for (int i = 0; i < namespaceCount; ++i) {
      prefixes.push_back(text(namespaces[2 * i]));
      const std::u16string nsUri = text(namespaces[2 * i + 1]);
      s.deliver(START_PREFIX_MAPPING,
                [&] { s.handler.startPrefixMapping(prefixes.back(), nsUri); });
    }
    const std::u16string u = text(uri), local = text(localName);
    const std::u16string qName = qualifiedName(prefix, localName);
    const SaxAttributes list(reinterpret_cast<const void* const*>(attributes), attributeCount);
    s.deliver(START_ELEMENT, [&] { s.handler.startElement(u, local, qName, list); });
  }
  static void endElementNs(void* context, const xmlChar* localName, const xmlChar* prefix,
                           const xmlChar* uri) {
    SaxEvents& s = of(context);
    const std::u16string u = text(uri), local = text(localName);
    const std::u16string qName = qualifiedName(prefix, localName);
    s.deliver(END_ELEMENT, [&] { s.handler.endElement(u, local, qName); });
    if (s.declared.empty()) return;
    for (const std::u16string& declaredPrefix : s.declared.back())
      s.deliver(END_PREFIX_MAPPING, [&] { s.handler.endPrefixMapping(declaredPrefix); });
    s.declared.pop_back();
  }
  static void characters(void* context, const xmlChar* chars, int length) {
    SaxEvents& s = of(context);
    const std::u16string t = text(chars, length);
    s.deliver(CHARACTERS, [&] { s.handler.characters(t); });
  }
  static void ignorableWhitespace(void* context, const xmlChar* chars, int length) {
    SaxEvents& s = of(context);
    const std::u16string t = text(chars, length);
    s.deliver(IGNORABLE_WHITESPACE, [&] { s.handler.ignorableWhitespace(t); });
  }
  static void processingInstruction(void* context, const xmlChar* target, const xmlChar* data) {
    SaxEvents& s = of(context);
    const std::u16string t = text(target), d = text(data);
    s.deliver(PROCESSING_INSTRUCTION, [&] { s.handler.processingInstruction(t, d); });
  }
  // A reference to an entity the parser does not substitute.
  static void reference(void* context, const xmlChar* name) {
    SaxEvents& s = of(context);
    const std::u16string n = text(name);
    s.deliver(SKIPPED_ENTITY, [&] { s.handler.skippedEntity(n); });
  }
  // The parser's reports decide nothing here (well-formedness does); they are not printed.
  static void ignoreReport(void*, xmlError*) {}

  static xmlSAXHandler callbacks() {
    xmlSAXHandler sax{};
    sax.initialized = XML_SAX2_MAGIC;
    sax.setDocumentLocator = &setDocumentLocator;
    sax.startDocument = &startDocument;
    sax.endDocument = &endDocument;
    sax.startElementNs = &startElementNs;
    sax.endElementNs = &endElementNs;
    sax.characters = &characters;
    sax.cdataBlock = &characters;
    sax.ignorableWhitespace = &ignorableWhitespace;
    sax.processingInstruction = &processingInstruction;
    sax.reference = &reference;
    sax.serror = &ignoreReport;
    return sax;
  }
};

std::u16string SaxAttributes::localName(int index) const {
  return text(static_cast<const xmlChar*>(table_[5 * index]));
}

std::u16string SaxAttributes::uri(int index) const {
  return text(static_cast<const xmlChar*>(table_[5 * index + 2]));
}

std::u16string SaxAttributes::value(int index) const {
  const auto* start = static_cast<const xmlChar*>(table_[5 * index + 3]);
  const auto* end = static_cast<const xmlChar*>(table_[5 * index + 4]);
  std::u16string value = text(start, static_cast<int>(end - start));
  // Without entity substitution the parser hands an ampersand on as its character reference
  // (so that an entity reference stays told apart); every other reference is already decoded.
  static constexpr std::u16string_view AMPERSAND = u"&#38;";
  for (std::size_t at = value.find(AMPERSAND); at != value.npos; at = value.find(AMPERSAND, at + 1))
    value.replace(at, AMPERSAND.size(), u"&");
  return value;
}

std::u16string SaxAttributes::getValueFromName(std::u16string_view localName) const {
  const std::string wanted = os::utf8FromUtf16(localName);
  for (int i = 0; i < count_; ++i) {
    const auto* name = static_cast<const char*>(table_[5 * i]);
    if (table_[5 * i + 2] == nullptr && wanted == name) return value(i);
  }
  return {};
}

int SaxLocator::lineNumber() const {
  return xmlSAX2GetLineNumber(const_cast<void*>(parser_));
}

int SaxLocator::columnNumber() const {
  return xmlSAX2GetColumnNumber(const_cast<void*>(parser_));
}

std::uint32_t ContentHandlerWrapper::resultCode(int parserError) {
  return 0xC00C0000u | (static_cast<std::uint32_t>(parserError) & 0xFFFFu);
}

void ContentHandlerWrapper::parseURL(const std::u16string& file) {
  std::u16string name;
  os::Result<os::Root> parent = os::Root::openParent(file, name, os::Root::Last::followSafeLink);
  os::Result<os::Handle> opened =
      parent.ok() ? os::openFile(parent.value(), name, os::GENERIC_READ, os::FILE_SHARE_READ,
                                 os::OPEN_EXISTING, 0)
                  : os::Result<os::Handle>::failure(parent.code());
  if (!opened.ok())
    throwOSError(u"Open file '" + file + u"'", opened.code(), VCONTEXT("ContentHandlerWrapper::parseURL"));
  RunTime::AutoHandle input(std::move(opened.value()));
  parseStream([&](char* buffer, std::size_t size) {
    os::Result<std::size_t> n = os::readFile(input.get(), buffer, size);
    if (!n.ok())
      throwOSError(u"Read from file '" + file + u"'", n.code(),
                   VCONTEXT("ContentHandlerWrapper::parseURL"));
    return n.value();
  });
}

void ContentHandlerWrapper::parseStream(const ByteSource& source) {
  xml::initLibxml();
  failure_.clear();
  QuietReports quiet;
  SaxEvents events(*this);
  xmlSAXHandler sax = SaxEvents::callbacks();
  std::vector<char> buffer(CHUNK);
  // The first bytes tell the parser the encoding (a byte-order mark or the declaration).
  std::size_t count = source(buffer.data(), buffer.size());
  OwnedPushParser parser(xml::allocated(
      xmlCreatePushParserCtxt(&sax, &events, buffer.data(), static_cast<int>(count), nullptr)));
  events.parser = parser.get();
  xmlCtxtUseOptions(parser.get(), PARSE_OPTIONS);
  if (count > 0) xmlParseChunk(parser.get(), nullptr, 0, 0);
  while (count > 0 && !events.stopped() && !parser->disableSAX) {
    count = source(buffer.data(), buffer.size());
    if (count > 0) xmlParseChunk(parser.get(), buffer.data(), static_cast<int>(count), 0);
  }
  if (!events.stopped() && !parser->disableSAX) xmlParseChunk(parser.get(), nullptr, 0, 1);

  if (events.canceled) std::rethrow_exception(events.canceled);
  if (events.failedEvent) {
    throw vexception(std::exchange(failure_, std::u16string()),
                     ExceptionContext(events.failedEvent->context, events.failedEvent->span,
                                      __LINE__));
  }
  // An undeclared namespace prefix is no fatal error to the parser, but the document is not
  // namespace-well-formed, and the DOM loader refuses it too.
  if (!parser->wellFormed || !parser->nsWellFormed)
    throw vexception(formatString(u"XML parsing error: 0x%lX",
                                  static_cast<unsigned long>(resultCode(parser->errNo))),
                     VCONTEXT("ContentHandlerWrapper::parseURL"));
}
