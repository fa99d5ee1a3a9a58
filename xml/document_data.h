// Inside the XML layer: the owners of libxml2 resources, the shared state of one document, and
// the text conversions between libxml2's UTF-8 and our UTF-16.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include "os/text.h"
#include "runtime/core/exception.h"

namespace xml {

// The one owner of libxml2 resources: a unique_ptr that releases with libxml2's own function.
template <class T, void (*Release)(T*)>
struct ReleaseWith {
  void operator()(T* resource) const { Release(resource); }
};
template <class T, void (*Release)(T*)>
using Owned = std::unique_ptr<T, ReleaseWith<T, Release>>;

void freeXmlChars(xmlChar* text);

using OwnedDoc = Owned<xmlDoc, xmlFreeDoc>;
using OwnedParserContext = Owned<xmlParserCtxt, xmlFreeParserCtxt>;
using OwnedXPathContext = Owned<xmlXPathContext, xmlXPathFreeContext>;
using OwnedXPathObject = Owned<xmlXPathObject, xmlXPathFreeObject>;
using OwnedChars = Owned<xmlChar, freeXmlChars>;

// What every handle on one document shares: the parsed tree and the prefixes bound for XPath.
struct DocumentData {
  explicit DocumentData(OwnedDoc tree) : doc(std::move(tree)) {}

  OwnedDoc doc;
  // (prefix, namespace URI) pairs in UTF-8, in the order they were declared.
  std::vector<std::pair<std::string, std::string>> selectionNamespaces;
};

// Throws _com_error(E_OUTOFMEMORY) when libxml2 could not allocate the resource.
template <class P>
P allocated(P resource) {
  if (!resource) throw _com_error(com::E_OUTOFMEMORY);
  return resource;
}

// Prepares libxml2 for use from any thread; cheap after the first call.
void initLibxml();

inline std::u16string fromXml(const xmlChar* text) {
  return text ? os::utf16FromUtf8(reinterpret_cast<const char*>(text)) : std::u16string();
}

inline std::string toXml(std::u16string_view text) { return os::utf8FromUtf16(text); }

inline const xmlChar* xmlChars(const std::string& utf8) {
  return reinterpret_cast<const xmlChar*>(utf8.c_str());
}

} // namespace xml
