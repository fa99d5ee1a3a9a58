// XPath selection on a document's nodes, with the prefixes bound by its selection namespaces.
#include <libxml/xpathInternals.h>

#include "runtime/core/format.h"
#include "xml/document_data.h"
#include "xml/dom.h"

namespace xml {

namespace {

// The texts of libxml2's XPath error codes (xmlXPathError), in code order.
constexpr const char* XPATH_ERRORS[] = {
    "Ok", "Number encoding", "Unfinished literal", "Start of literal",
    "Expected $ for variable reference", "Undefined variable", "Invalid predicate",
    "Invalid expression", "Missing closing curly brace", "Unregistered function",
    "Invalid operand", "Invalid type", "Invalid number of arguments", "Invalid context size",
    "Invalid context position", "Memory allocation error", "Syntax error", "Resource error",
    "Sub resource error", "Undefined namespace prefix", "Encoding error",
    "Char out of XML range", "Invalid or incomplete context", "Stack usage error",
    "Forbidden variable"};

// The XPath context keeps its last error for us; reporting it anywhere else is not wanted.
void keepInContext(void*, xmlError*) {}

[[noreturn]] void throwXPathError(const xmlError& error, std::u16string_view xpath) {
  int code = error.code - XML_XPATH_EXPRESSION_OK;
  if (code == XPATH_MEMORY_ERROR) throw _com_error(com::E_OUTOFMEMORY);
  const char* reason = code > 0 && code < static_cast<int>(std::size(XPATH_ERRORS))
                           ? XPATH_ERRORS[code]
                           : "Invalid XPath expression";
  throw _com_error(com::E_FAIL, formatString(u"%hs in \"%s\"", reason, xpath));
}

// Evaluates the expression with the node as its context; the result is a node-set in document
// order.
OwnedXPathObject evaluate(const DocumentData& data, xmlNode* node, std::u16string_view xpath) {
  initLibxml();
  OwnedXPathContext context(allocated(xmlXPathNewContext(data.doc.get())));
  context->error = &keepInContext;
  context->node = node;
  for (const auto& [prefix, uri] : data.selectionNamespaces) {
    if (xmlXPathRegisterNs(context.get(), xmlChars(prefix), xmlChars(uri)) != 0)
      throw _com_error(com::E_OUTOFMEMORY);
  }
  const std::string expression = toXml(xpath);
  OwnedXPathObject result(xmlXPathEvalExpression(xmlChars(expression), context.get()));
  if (!result) throwXPathError(context->lastError, xpath);
  if (result->type != XPATH_NODESET)
    throw _com_error(com::E_FAIL, u"Expression does not evaluate to a node-set.");
  if (result->nodesetval) xmlXPathNodeSetSort(result->nodesetval);
  return result;
}

// The selected nodes. Namespace nodes exist only inside the XPath result, so they cannot be
// handed out.
std::vector<xmlNode*> selectedNodes(const xmlXPathObject& result) {
  std::vector<xmlNode*> nodes;
  const xmlNodeSet* set = result.nodesetval;
  for (int i = 0; set && i < set->nodeNr; ++i) {
    if (set->nodeTab[i]->type == XML_NAMESPACE_DECL)
      throw _com_error(com::E_FAIL, u"Namespace nodes cannot be selected.");
    nodes.push_back(set->nodeTab[i]);
  }
  return nodes;
}

[[noreturn]] void invalidDeclarations() {
  throw _com_error(com::E_FAIL, u"SelectionNamespaces property value is invalid.");
}

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Parses xmlns:prefix="uri" declarations separated by white space.
std::vector<std::pair<std::string, std::string>> parseDeclarations(std::u16string_view text) {
  constexpr std::u16string_view XMLNS = u"xmlns:";
  std::vector<std::pair<std::string, std::string>> bindings;
  std::size_t at = 0;
  for (;;) {
    while (at < text.size() && isBlank(text[at])) ++at;
    if (at == text.size()) return bindings;
    if (text.substr(at, XMLNS.size()) != XMLNS) invalidDeclarations();
    at += XMLNS.size();
    std::size_t equals = text.find(u'=', at);
    if (equals == std::u16string_view::npos || equals == at) invalidDeclarations();
    std::u16string_view prefix = text.substr(at, equals - at);
    if (prefix.find_first_of(u" \t\r\n:'\"") != std::u16string_view::npos) invalidDeclarations();
    at = equals + 1;
    if (at == text.size() || (text[at] != u'"' && text[at] != u'\'')) invalidDeclarations();
    std::size_t close = text.find(text[at], at + 1);
    if (close == std::u16string_view::npos || close == at + 1) invalidDeclarations();
    std::u16string_view uri = text.substr(at + 1, close - at - 1);
    at = close + 1;
    if (at < text.size() && !isBlank(text[at])) invalidDeclarations();
    bindings.emplace_back(toXml(prefix), toXml(uri));
  }
}

} // namespace

NodeList Node::selectNodes(std::u16string_view xpath) const {
  OwnedXPathObject result = evaluate(*document(), checked(), xpath);
  return NodeList(document(), selectedNodes(*result));
}

Node Node::selectSingleNode(std::u16string_view xpath) const { return selectNodes(xpath).item(0); }

void Document::setSelectionNamespaces(std::u16string_view declarations) {
  checked();
  document()->selectionNamespaces = parseDeclarations(declarations);
}

} // namespace xml
