#include "siteapp/application_deletion.h"

#include <chrono>
#include <optional>
#include <thread>

#include "os/error.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/fs/path/filename.h"
#include "runtime/fs/root.h"
#include "xml/load.h"

namespace {

using RunTime::File::Root;

constexpr int kAttempts = 10;
constexpr auto kPause = std::chrono::milliseconds(10);

bool isElementNamed(const xml::Node& node, std::u16string_view name) {
  return node.nodeType() == xml::NODE_ELEMENT && node.nodeName() == name;
}

// The site directory opened beneath the web root, or nothing when it (or the web root) is
// missing: then no entry exists.
std::optional<Root> openSiteDirectory(const std::u16string& wwwRoot,
                                      const std::u16string& subdirectory) {
  try {
    Root web(wwwRoot);
    if (subdirectory.empty()) return web;
    return Root(web, subdirectory);
  } catch (const vosexception& e) {
    if (e.code() == os::err::fileNotFound || e.code() == os::err::pathNotFound) return std::nullopt;
    throw;
  }
}

// Runs the removal up to kAttempts times, kPause apart, while it fails because another process
// holds a file (32), which it may let go of; the last failure propagates. Any other failure
// propagates at once: what vanished meanwhile already counts as removed below, and a retry of
// anything else would only meet the same failure again.
template <class Removal> void withAttempts(Removal&& removal) {
  for (int attempt = 1;; ++attempt) {
    try {
      removal();
      return;
    } catch (const vosexception& e) {
      if (e.code() != os::err::sharingViolation || attempt == kAttempts) throw;
    }
    std::this_thread::sleep_for(kPause);
  }
}

} // namespace

std::vector<std::u16string> readDeletionList(const std::u16string& path) {
  xml::Document document;
  vxmlLoad(document, path, true, false);
  std::vector<std::u16string> entries;
  const xml::NodeList sections = document.documentElement().childNodes();
  for (long s = 0; s < sections.length(); ++s) {
    const xml::Node section = sections.item(s);
    if (!isElementNamed(section, u"SECTION")) continue;
    if (vxmlGetAttribute(xml::Element(section), u"PREFIX", u"") != u"htdocs") continue;
    const xml::NodeList files = section.childNodes();
    for (long f = 0; f < files.length(); ++f) {
      const xml::Node file = files.item(f);
      if (isElementNamed(file, u"FILE")) entries.push_back(file.text());
    }
  }
  return entries;
}

void deleteApplicationFiles(const std::u16string& wwwRoot, const std::u16string& subdirectory,
                            const std::vector<std::u16string>& entries) {
  // Every input is checked before anything is opened or removed.
  RunTime::File::checkInside(subdirectory, wwwRoot);
  const std::u16string siteDirectory = VFileName::combine(wwwRoot, subdirectory);
  std::vector<std::u16string> inside;
  for (const std::u16string& entry : entries) {
    inside.push_back(RunTime::File::checkInside(entry, siteDirectory));
    // The site directory is opened as the base of the removal and is not removed through it.
    if (inside.back().empty())
      throw vexception(formatString(u"Path (%s) names the directory (%s) itself", entry, siteDirectory),
                       VCONTEXT("deleteApplicationFiles"));
  }

  const std::optional<Root> site = openSiteDirectory(wwwRoot, subdirectory);
  if (!site) return;
  // A lookup refuses an entry that passes through a link: the whole list fails before anything
  // changes.
  for (std::size_t i = 0; i < inside.size(); ++i) {
    try {
      site->exists(inside[i]);
    } catch (const vosexception& e) {
      if (e.code() != os::err::untrustedMountPoint) throw;
      throw vexception(formatString(u"Path (%s) passes through a link in (%s)", entries[i], siteDirectory),
                       VCONTEXT("deleteApplicationFiles"));
    }
  }

  for (const std::u16string& entry : inside) {
    bool isDirectory = false;
    if (!site->exists(entry, &isDirectory)) continue;
    withAttempts([&] {
      if (isDirectory)
        site->removeDir(entry, true);
      else
        site->removeFile(entry, true);
    });
  }
}
