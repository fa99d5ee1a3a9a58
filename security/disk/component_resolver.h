// DiskSecurity::KelvoComponentResolver: the directories of a product component named in an
// access entry as "[name]": the main directory from the product configuration (or, when the
// configuration lacks the value, the component table's install directory), then the component's
// additional directories, all in their long path form. Each name is resolved once per resolver.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "security/disk/entry_template.h"
#include "security/disk/system_helper.h"

namespace DiskSecurity {

class KelvoComponentResolver : public IComponentPathResolver {
public:
  explicit KelvoComponentResolver(std::shared_ptr<IHostSettings> settings);

  // The main directory first, then the additional ones. Throws vexception "Unable to call
  // getPath(<name>)" with the cause ("Unable to obtain parameter: '<name>'", "Unable to obtain
  // long file path for: '<value>'", or that of getAdditionalPaths); nothing is cached then.
  std::vector<std::u16string> getPath(const std::u16string& name) override;

  // Appends the component's additional directories in the table's order. Throws vexception
  // "Unable to call getAdditionalPaths(<name>)" (for an unknown component, with the cause
  // "Component <name> isn't supported"); `paths` may then hold some of them.
  void getAdditionalPaths(const std::u16string& name, std::vector<std::u16string>& paths);

private:
  std::u16string mainPath(const std::u16string& name);

  std::map<std::u16string, std::vector<std::u16string>> cache_;
  std::shared_ptr<IHostSettings> settings_;
};

} // namespace DiskSecurity
