// The application package's metadata file, loaded with the package vocabulary's prefixes bound.
#pragma once

#include <string>
#include <string_view>

#include "xml/dom.h"

// The package vocabulary's base namespace, unless the product configuration names another in
// its string value APP_PACKAGE_NAMESPACE_VALUE. The "php" and "aspnet" namespaces are the base
// followed by "/php" and "/aspnet".
inline constexpr std::u16string_view APP_PACKAGE_NAMESPACE_BASE =
    u"http://tavrix.dev/app-package/ns/1";
inline constexpr std::u16string_view APP_PACKAGE_NAMESPACE_VALUE = u"AppPackageNamespaceBase";

// The namespace base in force. Throws the registry's vexception when the configured value is
// not a string.
std::u16string appPackageNamespaceBase();

// The selection namespaces of a metadata document: the declarations of "df", "php" and
// "aspnet", in that order, separated by single blanks.
std::u16string applicationSelectionNamespaces();

// vxmlLoad(path, validate on parse, no externals), then binds the three package prefixes.
xml::Document loadApplicationMetadata(std::u16string_view path);
