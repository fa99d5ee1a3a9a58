// The walk over an application package's mapping tree: which package directory is published at
// which place of the site, and which of those places the site's ASP.NET and PHP workers may
// write to or may not read.
#pragma once

#include <map>
#include <string>

#include "runtime/fs/root.h"
#include "siteapp/site_directory.h"
#include "xml/dom.h"

// Target directory (relative to the site directory, checked to stay inside it; "" for the site
// directory itself) → permission kind: "aspnet", "php" or "php-disabled". Ordered by plain
// code-unit comparison; a later assignment replaces an earlier one.
using PermissionMap = std::map<std::u16string, std::u16string>;

// A url or path attribute as the walk uses it: VFileName::normalize, then every leading and
// trailing "\" removed ("/" gives the empty string).
std::u16string normalizeMappingPath(const std::u16string& value);

// One walk over a metadata document, on the site's directory and the package's directory opened
// once. Every url and path of the document is a path relative to its root, checked before it is
// used (a url that would leave the site or a path that would leave the package throws "Path
// (<path>) is outside of (<root>)") and resolved beneath its root (a link in the middle is
// refused).
class MappingWalk {
public:
  MappingWalk(SiteDirectory& site, const RunTime::File::Root& package, bool copyContent)
      : site_(site), package_(package), copyContent_(copyContent) {}

  // Walks the document's "df:application/df:mapping" elements with the site directory as the
  // target base, and returns the permission map. For each mapping, depth-first in document
  // order: the target is the parent's target with the normalised url below it; a mapping with
  // content (no "virtual" attribute, a non-empty "path") gets its target directory made with
  // the missing ones above it, its source tree read (a directory that cannot be listed fails),
  // and with copyContent the source copied into the target (files replaced, links not kept);
  // then its aspnet rules, its php rules and its nested mappings. A walk that fails removes the
  // directories it made, with what it copied into them; files it replaced elsewhere stay.
  PermissionMap walk(const xml::Document& metadata);

private:
  // targetBase: relative to the site root; "" is the site directory itself.
  void walkMappings(const xml::NodeList& mappings, const std::u16string& targetBase);
  void copyMappingContent(const std::u16string& path, const std::u16string& target);
  void collectPermissions(const xml::Node& mapping, const std::u16string& target);

  SiteDirectory& site_;
  const RunTime::File::Root& package_;
  bool copyContent_;
  PermissionMap map_;
};
