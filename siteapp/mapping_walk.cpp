#include "siteapp/mapping_walk.h"

#include "os/path.h"
#include "os/text.h"
#include "runtime/core/log_sink.h"
#include "runtime/fs/path/filename.h"

namespace {

std::u16string lowered(std::u16string text) {
  for (char16_t& unit : text) unit = os::toLower(unit);
  return text;
}

// The value of the attribute, lower-cased, for the permission rules (blanks are kept: " true"
// counts as nothing).
std::u16string ruleValue(const xml::Element& rule, std::u16string_view name) {
  return lowered(vxmlGetAttribute(rule, name, u""));
}

} // namespace

std::u16string normalizeMappingPath(const std::u16string& value) {
  const std::u16string normal = VFileName::normalize(value);
  const std::size_t first = normal.find_first_not_of(u'\\');
  if (first == std::u16string::npos) return {};
  return normal.substr(first, normal.find_last_not_of(u'\\') - first + 1);
}

PermissionMap MappingWalk::walk(const xml::Document& metadata) {
  map_.clear();
  try {
    walkMappings(metadata.selectNodes(u"df:application/df:mapping"), u"");
  } catch (...) {
    site_.removeMade();
    throw;
  }
  return std::move(map_);
}

void MappingWalk::walkMappings(const xml::NodeList& mappings, const std::u16string& targetBase) {
  for (long i = 0; i < mappings.length(); ++i) {
    const xml::Element mapping(mappings.item(i));
    const std::u16string path = vxmlGetAttribute(mapping, u"path", u"");
    const std::u16string url = normalizeMappingPath(vxmlGetAttribute(mapping, u"url", u""));
    const std::u16string target =
        site_.check(targetBase.empty() || url.empty() ? targetBase + url : targetBase + u'\\' + url);
    if (!vxmlHasAttribute(mapping, u"virtual") && !path.empty()) copyMappingContent(path, target);
    collectPermissions(mapping, target);
    walkMappings(mapping.selectNodes(u"df:mapping"), target);
  }
}

void MappingWalk::copyMappingContent(const std::u16string& path, const std::u16string& target) {
  const std::u16string source = package_.check(normalizeMappingPath(path));
  site_.createDirectories(target);
  // The whole source is read even when nothing is copied: a package directory that cannot be
  // listed fails the walk either way.
  package_.listTree(source);
  if (!copyContent_) return;
  corelog::log(corelog::levelInfo, u"Copying content from %s to %s", package_.shown(source),
               os::shownPath(site_.fullPath(target)));
  site_.copyFrom(package_, source, target);
}

void MappingWalk::collectPermissions(const xml::Node& mapping, const std::u16string& target) {
  const xml::NodeList aspnet = mapping.selectNodes(u"aspnet:permissions");
  for (long i = 0; i < aspnet.length(); ++i)
    if (ruleValue(xml::Element(aspnet.item(i)), u"writable") == u"true") map_[target] = u"aspnet";
  const xml::NodeList php = mapping.selectNodes(u"php:permissions");
  for (long i = 0; i < php.length(); ++i) {
    const xml::Element rule(php.item(i));
    if (ruleValue(rule, u"writable") == u"true") map_[target] = u"php";
    if (ruleValue(rule, u"readable") == u"false") map_[target] = u"php-disabled";
  }
}
