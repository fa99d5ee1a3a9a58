#include "siteapp/site_directory.h"

#include "runtime/core/exception.h"
#include "runtime/core/log_sink.h"
#include "runtime/fs/path/filename.h"

namespace {

std::u16string joined(const std::u16string& above, const std::u16string& below) {
  if (above.empty()) return below;
  return below.empty() ? above : above + u'\\' + below;
}

} // namespace

SiteDirectory::SiteDirectory(const std::u16string& webRoot, const std::u16string& subdirectory)
    : webRoot_(webRoot), subdirectory_(RunTime::File::checkInside(subdirectory, webRoot)),
      path_(subdirectory_.empty() ? webRoot : VFileName::combine(webRoot, subdirectory_)) {}

std::u16string SiteDirectory::check(const std::u16string& relative) const {
  return RunTime::File::checkInside(relative, path_);
}

std::u16string SiteDirectory::fullPath(const std::u16string& relative) const {
  return relative.empty() ? path_ : VFileName::combine(path_, relative);
}

std::u16string SiteDirectory::beneathBase(const std::u16string& relative) const {
  return joined(siteBeneathBase_, check(relative));
}

void SiteDirectory::createDirectories(const std::u16string& relative) {
  if (!base_) {
    std::u16string missing;
    base_ = RunTime::File::Root::openNearest(webRoot_, missing);
    siteBeneathBase_ = joined(missing, subdirectory_);
  }
  const std::u16string target = beneathBase(relative);
  if (target.empty()) return;
  std::u16string made = base_->createDirectories(target);
  if (!made.empty()) made_.push_back(std::move(made));
}

void SiteDirectory::copyFrom(const RunTime::File::Root& package, const std::u16string& source,
                             const std::u16string& target) const {
  base_->copyDirectory(package, source, beneathBase(target), true, false, true);
}

void SiteDirectory::removeMade() {
  // Newest first: a directory made later is never above one made earlier.
  for (auto made = made_.rbegin(); made != made_.rend(); ++made) {
    try {
      base_->removeDir(*made, true);
    } catch (const vexception& e) {
      corelog::log(corelog::levelWarning, u"Unable to remove %s: %s", base_->shown(*made), e.fullText());
    }
  }
  made_.clear();
}
