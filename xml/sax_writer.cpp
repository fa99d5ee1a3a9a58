#include "xml/sax_writer.h"

#include <exception>

#include <libxml/xmlwriter.h>

#include "xml/document_data.h"

struct SaxWriter::State {
  ByteSink sink;
  std::exception_ptr sinkFailure;
  xml::Owned<xmlTextWriter, xmlFreeTextWriter> writer;

  // The output buffer's write callback: no exception may cross back into libxml2.
  static int write(void* context, const char* data, int size) {
    State& state = *static_cast<State*>(context);
    if (state.sinkFailure) return -1;
    try {
      state.sink(data, static_cast<std::size_t>(size));
      return size;
    } catch (...) {
      state.sinkFailure = std::current_exception();
      return -1;
    }
  }

  void check(int result) const {
    if (sinkFailure) std::rethrow_exception(sinkFailure);
    if (result < 0) throw _com_error(com::E_FAIL);
  }
};

SaxWriter::SaxWriter(ByteSink sink) : state_(std::make_unique<State>()) {
  xml::initLibxml();
  state_->sink = std::move(sink);
  xmlOutputBuffer* output =
      xml::allocated(xmlOutputBufferCreateIO(&State::write, nullptr, state_.get(), nullptr));
  // The writer owns the output buffer from here on.
  state_->writer.reset(xmlNewTextWriter(output));
  if (!state_->writer) {
    xmlOutputBufferClose(output);
    throw _com_error(com::E_OUTOFMEMORY);
  }
}

SaxWriter::~SaxWriter() = default;

void SaxWriter::startDocument() {
  state_->check(xmlTextWriterStartDocument(state_->writer.get(), nullptr, "UTF-8", nullptr));
}

void SaxWriter::startElement(std::u16string_view name) {
  state_->check(xmlTextWriterStartElement(state_->writer.get(), xml::xmlChars(xml::toXml(name))));
}

void SaxWriter::attribute(std::u16string_view name, std::u16string_view value) {
  state_->check(xmlTextWriterWriteAttribute(state_->writer.get(), xml::xmlChars(xml::toXml(name)),
                                            xml::xmlChars(xml::toXml(value))));
}

void SaxWriter::endElement() { state_->check(xmlTextWriterEndElement(state_->writer.get())); }

void SaxWriter::endDocument() {
  state_->check(xmlTextWriterEndDocument(state_->writer.get()));
  state_->check(xmlTextWriterFlush(state_->writer.get()));
}

bool SaxWriter::isWritableText(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') return false;
    if (c == 0xFFFE || c == 0xFFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}
