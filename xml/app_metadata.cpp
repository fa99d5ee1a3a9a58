#include "xml/app_metadata.h"

#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"
#include "xml/load.h"

namespace {

constexpr std::u16string_view APP_PACKAGE_NAMESPACE_VALUE = u"AppPackageNamespaceBase";
// The path of the vocabulary's base namespace, whatever its host.
constexpr std::u16string_view kBasePath = u"/ns/1";

// The base namespace of the document: the configured one, else its root element's.
std::u16string namespaceBase(const xml::Document& document, std::u16string_view path) {
  std::u16string configured;
  // A missing key or value leaves it empty: the document's own base is taken.
  registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, APP_PACKAGE_NAMESPACE_VALUE,
                   configured, registry::VIEW_32);
  const xml::Element root = document.documentElement();
  const std::u16string declared = root.empty() ? std::u16string() : root.namespaceURI();
  if (configured.empty() ? declared.ends_with(kBasePath) : declared == configured) return declared;

  const std::u16string found = declared.empty() ? u"no namespace" : u"the namespace \"" + declared + u"\"";
  const std::u16string expected = configured.empty()
                                      ? u"a package namespace ending in \"" + std::u16string(kBasePath) + u"\""
                                      : u"the configured package namespace \"" + configured + u"\"";
  throw vexception(formatString(u"The root element of %s declares %s; expected %s", path, found, expected),
                   VCONTEXT("loadApplicationMetadata"));
}

} // namespace

xml::Document loadApplicationMetadata(std::u16string_view path) {
  xml::Document document;
  vxmlLoad(document, path, true, false);
  const std::u16string base = namespaceBase(document, path);
  document.setSelectionNamespaces(u"xmlns:df=\"" + base + u"\" xmlns:php=\"" + base + u"/php\" xmlns:aspnet=\"" +
                                  base + u"/aspnet\"");
  return document;
}
