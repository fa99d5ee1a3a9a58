#include "xml/dom.h"

#include "runtime/core/cancelation.h"
#include "xml/document_data.h"

namespace xml {

void freeXmlChars(xmlChar* text) { xmlFree(text); }

void initLibxml() {
  static const bool ready = [] {
    xmlInitParser();
    return true;
  }();
  (void)ready;
}

namespace {

std::u16string qualifiedName(const xmlChar* name, const xmlNs* ns) {
  std::u16string local = fromXml(name);
  if (ns == nullptr || ns->prefix == nullptr) return local;
  return fromXml(ns->prefix) + u':' + local;
}

std::u16string contentOf(xmlNode* node) {
  OwnedChars content(xmlNodeGetContent(node));
  return fromXml(content.get());
}

// The children of a node as the DOM shows them: an entity reference holds the nodes of its
// entity (none for an external entity, which is never loaded).
xmlNode* firstChildOf(xmlNode* node) {
  if (node->type != XML_ENTITY_REF_NODE) return node->children;
  return node->children ? node->children->children : nullptr;
}

} // namespace

Node::Node(std::shared_ptr<DocumentData> document, _xmlNode* node)
    : document_(node ? std::move(document) : nullptr), node_(node) {}

_xmlNode* Node::checked() const {
  if (node_ == nullptr) throw _com_error(com::E_POINTER);
  return node_;
}

NodeList Node::childNodes() const {
  std::vector<xmlNode*> children;
  for (xmlNode* child = firstChildOf(checked()); child; child = child->next)
    children.push_back(child);
  return NodeList(document_, std::move(children));
}

Node Node::firstChild() const { return Node(document_, firstChildOf(checked())); }

NodeType Node::nodeType() const {
  switch (xmlElementType type = checked()->type) {
  case XML_HTML_DOCUMENT_NODE: return NODE_DOCUMENT;
  case XML_DTD_NODE: return NODE_DOCUMENT_TYPE;
  case XML_ENTITY_DECL: return NODE_ENTITY;
  default:
    // libxml2 numbers the node types that the DOM knows as the DOM does.
    return type <= XML_NOTATION_NODE ? static_cast<NodeType>(type) : NODE_INVALID;
  }
}

std::u16string Node::nodeName() const {
  xmlNode* node = checked();
  switch (node->type) {
  case XML_ELEMENT_NODE:
  case XML_ATTRIBUTE_NODE: return qualifiedName(node->name, node->ns);
  case XML_TEXT_NODE: return u"#text";
  case XML_CDATA_SECTION_NODE: return u"#cdata-section";
  case XML_COMMENT_NODE: return u"#comment";
  case XML_DOCUMENT_NODE:
  case XML_HTML_DOCUMENT_NODE: return u"#document";
  case XML_DOCUMENT_FRAG_NODE: return u"#document-fragment";
  default: return fromXml(node->name);
  }
}

std::u16string Node::namespaceURI() const {
  xmlNode* node = checked();
  const bool named = node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE;
  return named && node->ns ? fromXml(node->ns->href) : std::u16string();
}

std::optional<std::u16string> Node::nodeValue() const {
  xmlNode* node = checked();
  switch (node->type) {
  case XML_ATTRIBUTE_NODE:
  case XML_TEXT_NODE:
  case XML_CDATA_SECTION_NODE:
  case XML_COMMENT_NODE:
  case XML_PI_NODE: return contentOf(node);
  default: return std::nullopt;
  }
}

std::u16string Node::text() const { return contentOf(checked()); }

Element::Element(const Node& node)
    : Node(!node.empty() && node.nodeType() == NODE_ELEMENT ? node : Node()) {}

std::optional<std::u16string> Element::getAttribute(std::u16string_view name) const {
  for (xmlAttr* attribute = checked()->properties; attribute; attribute = attribute->next) {
    if (qualifiedName(attribute->name, attribute->ns) == name)
      return contentOf(reinterpret_cast<xmlNode*>(attribute));
  }
  return std::nullopt;
}

NodeList::NodeList(std::shared_ptr<DocumentData> document, std::vector<_xmlNode*> nodes)
    : document_(std::move(document)),
      nodes_(std::make_shared<const std::vector<_xmlNode*>>(std::move(nodes))) {}

long NodeList::length() const {
  if (!nodes_) throw _com_error(com::E_POINTER);
  return static_cast<long>(nodes_->size());
}

Node NodeList::item(long index) const {
  if (index < 0 || index >= length()) return Node();
  return Node(document_, (*nodes_)[static_cast<std::size_t>(index)]);
}

Document::Document(std::shared_ptr<DocumentData> document)
    : Node(document, reinterpret_cast<xmlNode*>(document->doc.get())) {}

Element Document::documentElement() const {
  xmlDoc* doc = reinterpret_cast<xmlDoc*>(checked());
  return Element(Node(this->document(), xmlDocGetRootElement(doc)));
}

} // namespace xml

std::u16string vxmlGetAttribute(const xml::Element& element, std::u16string_view name,
                                std::u16string_view defaultValue) {
  try {
    if (std::optional<std::u16string> value = element.getAttribute(name)) return *value;
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
    // Any failure answers with the default.
  }
  return std::u16string(defaultValue);
}

std::u16string vxmlGetNodeValue(const xml::Node& node, std::u16string_view defaultValue) {
  try {
    if (std::optional<std::u16string> value = node.nodeValue()) return *value;
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
    // Any failure answers with the default.
  }
  return std::u16string(defaultValue);
}

bool vxmlHasAttribute(const xml::Element& element, std::u16string_view name) {
  try {
    return element.getAttribute(name).has_value();
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
    return false;
  }
}
