#include "security/disk/component_resolver.h"

#include "os/path.h"
#include "runtime/core/format.h"
#include "runtime/core/guard.h"
#include "runtime/fs/path/filename.h"
#include "runtime/log/log_manager.h"
#include "service/component_table.h"

namespace DiskSecurity {
namespace {

// The component table is asked by kind 2: the install directory.
std::u16string installDirectory(const std::u16string& name) {
  return guarded("Obtain parameter", __LINE__,
                 [&] { return formatString(u"Unable to obtain parameter: '%s'", name); },
                 [&] { return ComponentTable::installDir(name); });
}

std::u16string longForm(const std::u16string& path) {
  return guarded("Obtain long file path", __LINE__,
                 [&] { return formatString(u"Unable to obtain long file path for: '%s'", path); },
                 [&] { return VFileName::longPathName(path); });
}

} // namespace

KelvoComponentResolver::KelvoComponentResolver(std::shared_ptr<IHostSettings> settings)
    : settings_(std::move(settings)) {}

std::u16string KelvoComponentResolver::mainPath(const std::u16string& name) {
  std::optional<std::u16string> value = settings_->getProductValue(name);
  return value ? *value : installDirectory(name);
}

std::vector<std::u16string> KelvoComponentResolver::getPath(const std::u16string& name) {
  if (auto cached = cache_.find(name); cached != cache_.end()) return cached->second;
  return guarded("getPath", __LINE__,
                 [&] { return formatString(u"Unable to call getPath(%s)", name); }, [&] {
                   const std::u16string value = mainPath(name);
                   if (settings_->isVerbose())
                     LogManager::instance().log(corelog::levelInfo,
                                                u"Obtaining Kelvo path: %s = %s", name, os::shownPath(value));
                   std::vector<std::u16string> paths{longForm(value)};
                   getAdditionalPaths(name, paths);
                   return cache_.emplace(name, std::move(paths)).first->second;
                 });
}

void KelvoComponentResolver::getAdditionalPaths(const std::u16string& name,
                                                std::vector<std::u16string>& paths) {
  guarded("getAdditionalPaths", __LINE__,
          [&] { return formatString(u"Unable to call getAdditionalPaths(%s)", name); }, [&] {
            if (settings_->isVerbose())
              LogManager::instance().log(corelog::levelInfo,
                                         u"Obtaining Kelvo additional paths for %s", name);
            for (const std::u16string& path : ComponentTable::additionalPaths(name))
              paths.push_back(VFileName::longPathName(path));
          });
}

} // namespace DiskSecurity
