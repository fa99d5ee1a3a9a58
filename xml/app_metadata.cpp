#include "xml/app_metadata.h"

#include "runtime/core/registry.h"
#include "xml/load.h"

std::u16string appPackageNamespaceBase() {
  std::u16string base(APP_PACKAGE_NAMESPACE_BASE);
  // A missing key or value leaves the built-in base in place.
  registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY,
                   APP_PACKAGE_NAMESPACE_VALUE, base, registry::VIEW_32);
  return base;
}

std::u16string applicationSelectionNamespaces() {
  const std::u16string base = appPackageNamespaceBase();
  return u"xmlns:df=\"" + base + u"\" xmlns:php=\"" + base + u"/php\" xmlns:aspnet=\"" + base +
         u"/aspnet\"";
}

xml::Document loadApplicationMetadata(std::u16string_view path) {
  xml::Document document;
  vxmlLoad(document, path, true, false);
  document.setSelectionNamespaces(applicationSelectionNamespaces());
  return document;
}
