// The application package's metadata file, loaded with the package vocabulary's prefixes bound.
#pragma once

#include <string_view>

#include "xml/dom.h"

// vxmlLoad(path, validate on parse, no externals), then binds the package prefixes: "df" to the
// vocabulary's base namespace, "php" and "aspnet" to the base followed by "/php" and "/aspnet".
// Packages declare the host of their vocabulary themselves; only the path is fixed. So the base
// is the namespace of the document's root element, which must end in "/ns/1", unless the
// product configuration's string value "AppPackageNamespaceBase" names another one, which the
// root element must then have.
//
// Throws vxmlLoad's vexception, the registry's when the configured value is not a string, and
// vexception "The root element of <path> declares <its namespace, or no namespace>; expected
// <what>" (context "loadApplicationMetadata") when the root element is not in the base
// namespace: such a file selects no mapping, and a command over it would succeed doing nothing.
xml::Document loadApplicationMetadata(std::u16string_view path);
