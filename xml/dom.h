// The DOM that every XML file of the site application operations is read into: shared handles on
// a parsed document, its nodes and node lists, XPath 1.0 selection with bound prefixes, and the
// three forgiving accessors.
//
// Handles share what they point at: copying a handle shares the document, and a document lives
// as long as any handle on it or on one of its nodes. A handle may be empty; every call through
// an empty handle throws _com_error(E_POINTER). Other failures of the DOM throw _com_error with
// their status (E_FAIL with a description for a bad XPath expression or an unbound prefix,
// E_OUTOFMEMORY when memory runs out).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _xmlNode;

namespace xml {

// The node type codes of the DOM.
enum NodeType : int {
  NODE_INVALID = 0,
  NODE_ELEMENT = 1,
  NODE_ATTRIBUTE = 2,
  NODE_TEXT = 3,
  NODE_CDATA_SECTION = 4,
  NODE_ENTITY_REFERENCE = 5,
  NODE_ENTITY = 6,
  NODE_PROCESSING_INSTRUCTION = 7,
  NODE_COMMENT = 8,
  NODE_DOCUMENT = 9,
  NODE_DOCUMENT_TYPE = 10,
  NODE_DOCUMENT_FRAGMENT = 11,
  NODE_NOTATION = 12,
};

struct DocumentData;
class NodeList;

class Node {
public:
  Node() = default;
  Node(std::shared_ptr<DocumentData> document, _xmlNode* node);

  bool empty() const { return node_ == nullptr; }

  // The nodes that the XPath 1.0 expression selects from this node, in document order; prefixes
  // resolve through the document's selection namespaces. No match gives an empty list.
  NodeList selectNodes(std::u16string_view xpath) const;
  // The first node in document order that the expression selects; empty when none does.
  Node selectSingleNode(std::u16string_view xpath) const;

  // Every child, of every node type, in document order.
  NodeList childNodes() const;
  Node firstChild() const;

  NodeType nodeType() const;
  // The qualified name of an element or attribute, the target of a processing instruction, the
  // name of a document type or entity reference, otherwise "#text", "#comment" and the like.
  std::u16string nodeName() const;
  // The namespace URI of an element or attribute; empty when it has none, and for every other
  // node type.
  std::u16string namespaceURI() const;
  // The text of attributes, text, CDATA sections, comments and processing instructions; no
  // value (null) for every other node type.
  std::optional<std::u16string> nodeValue() const;
  // The text content of the node and all its descendants, concatenated.
  std::u16string text() const;

protected:
  _xmlNode* checked() const;
  const std::shared_ptr<DocumentData>& document() const { return document_; }

private:
  std::shared_ptr<DocumentData> document_;
  _xmlNode* node_ = nullptr;
};

// A node seen as an element. Made from a node that is not an element (or an empty one), it is
// empty: asking for the element view never fails.
class Element : public Node {
public:
  Element() = default;
  explicit Element(const Node& node);

  // The value of the attribute with this qualified name; null when the element has none.
  std::optional<std::u16string> getAttribute(std::u16string_view name) const;
};

// The nodes of a selection or of a node's children, indexed from 0 in document order.
class NodeList {
public:
  NodeList() = default;
  NodeList(std::shared_ptr<DocumentData> document, std::vector<_xmlNode*> nodes);

  // True for a handle with no list behind it (a list of length 0 is not empty).
  bool empty() const { return !nodes_; }
  long length() const;
  // The node at the index; an empty node when the index is out of range.
  Node item(long index) const;

private:
  std::shared_ptr<DocumentData> document_;
  std::shared_ptr<const std::vector<_xmlNode*>> nodes_;
};

class Document : public Node {
public:
  Document() = default;
  explicit Document(std::shared_ptr<DocumentData> document);

  // The root element; empty for a document without one.
  Element documentElement() const;

  // Binds the prefixes that XPath selections on this document may use. The value is a list of
  // declarations xmlns:prefix="uri" (or with single quotes) separated by white space; it replaces
  // the earlier bindings. A value of any other form throws _com_error(E_FAIL) and changes nothing.
  void setSelectionNamespaces(std::u16string_view declarations);
};

} // namespace xml

// The attribute's value; the default when it is absent or anything fails (an empty element
// included). Present but empty gives the empty string.
std::u16string vxmlGetAttribute(const xml::Element& element, std::u16string_view name,
                                std::u16string_view defaultValue);
// The node's value; the default when it has none (an element) or anything fails.
std::u16string vxmlGetNodeValue(const xml::Node& node, std::u16string_view defaultValue);
// True when the element has the attribute, whatever its value; false on any failure.
bool vxmlHasAttribute(const xml::Element& element, std::u16string_view name);
