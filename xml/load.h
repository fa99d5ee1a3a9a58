// Creating documents and loading XML files into them.
#pragma once

#include <string_view>

#include "xml/dom.h"

// A new document with no content. Throws _com_error(E_OUTOFMEMORY) when it cannot be made.
xml::Document vxmlCreateDocument();

// Loads the file at a Windows-syntax path into a new document held by `document`.
//
// The document is validated when validateOnParse is set and the file declares an internal DTD
// subset; a file without one is not validated. Nothing outside the file is ever read: external
// DTD subsets and external entities are neither fetched nor expanded (and no network is used),
// whatever resolveExternals says — every caller passes false, and this host keeps that rule for
// all of them. White space between elements is not kept as text nodes.
//
// A file that cannot be read, is not well-formed, uses an undeclared namespace prefix or fails
// validation throws vexception: the parser's reason text (trailing line break included),
// " at load " and the path, with the context "vxmlLoad". `document` then holds the new, empty
// document.
void vxmlLoad(xml::Document& document, std::u16string_view path, bool validateOnParse,
              bool resolveExternals);
