#include "xml/load.h"

#include "os/path.h"
#include "xml/document_data.h"

namespace {

using xml::fromXml;

// Never the network; white space between elements is dropped as the DOM does by default.
// Without XML_PARSE_NOENT, XML_PARSE_DTDLOAD and XML_PARSE_DTDVALID the parser reads neither an
// external DTD subset nor an external entity.
constexpr int PARSE_OPTIONS = XML_PARSE_NONET | XML_PARSE_NOBLANKS;

// The reports of one load: the first error and the first warning, as the parser words them.
struct LoadReports {
  std::u16string firstError;
  std::u16string firstWarning;

  void record(const xmlError& report) {
    std::u16string& slot = report.level >= XML_ERR_ERROR ? firstError : firstWarning;
    if (slot.empty())
      slot = report.message ? fromXml(reinterpret_cast<const xmlChar*>(report.message))
                            : std::u16string(u"Unknown error\n");
  }

  // Why the load failed: the first error, else the first warning (a file that cannot be opened
  // is only a warning to the parser).
  std::u16string reason() const {
    if (!firstError.empty()) return firstError;
    if (!firstWarning.empty()) return firstWarning;
    return u"The document could not be loaded.\n";
  }
};

// The structured error handler of the parser context: every report of the parse, the I/O and
// the validation of one load reaches the LoadReports of that load, and nothing reaches the
// console.
void recordReport(void* parserContext, xmlError* report) {
  auto* context = static_cast<xmlParserCtxt*>(parserContext);
  static_cast<LoadReports*>(context->_private)->record(*report);
}

bool hasInternalSubset(const xmlDoc& doc) {
  return doc.intSubset != nullptr && doc.intSubset->children != nullptr;
}

// Validates against the declarations of the internal subset. An external subset that the
// document type names stands in as an empty one, so that the validator does not fetch it.
bool validateInternalSubset(xmlParserCtxt& context, xmlDoc& doc) {
  const xmlDtd& internal = *doc.intSubset;
  if ((internal.ExternalID || internal.SystemID) && !doc.extSubset)
    xml::allocated(xmlNewDtd(&doc, internal.name, nullptr, nullptr));
  // The context's own validation state routes the reports to its error handler.
  return xmlValidateDocument(&context.vctxt, &doc) == 1;
}

// The parsed and checked tree of the file, or nothing with the reason in `reports`.
xml::OwnedDoc parseFile(const std::string& hostPath, bool validate, LoadReports& reports) {
  xml::initLibxml();
  xml::OwnedParserContext context(xml::allocated(xmlNewParserCtxt()));
  context->_private = &reports;
  context->sax->serror = &recordReport;
  xml::OwnedDoc doc(xmlCtxtReadFile(context.get(), hostPath.c_str(), nullptr, PARSE_OPTIONS));
  bool valid = doc && (!validate || !hasInternalSubset(*doc) ||
                       validateInternalSubset(*context, *doc));
  if (!valid || !reports.firstError.empty()) return nullptr;
  return doc;
}

} // namespace

xml::Document vxmlCreateDocument() {
  xml::initLibxml();
  xml::OwnedDoc doc(xml::allocated(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"))));
  return xml::Document(std::make_shared<xml::DocumentData>(std::move(doc)));
}

void vxmlLoad(xml::Document& document, std::u16string_view path, bool validateOnParse,
              [[maybe_unused]] bool resolveExternals) {
  document = vxmlCreateDocument();
  LoadReports reports;
  os::Result<std::string> hostPath = os::hostPath(path);
  if (!hostPath.ok()) {
    reports.firstError = osErrorMessage(hostPath.code()) + u"\n";
  } else if (xml::OwnedDoc doc = parseFile(hostPath.value(), validateOnParse, reports)) {
    document = xml::Document(std::make_shared<xml::DocumentData>(std::move(doc)));
    return;
  }
  throw vexception(reports.reason() + u" at load " + std::u16string(path), VCONTEXT("vxmlLoad"));
}
