// DiskSecurity::InformationSource: where the checker's walk takes the information of a
// directory that another metadata file governs.
#pragma once

#include <memory>
#include <string>

namespace DiskSecurity {

class SecurityInformation;

// The information is keyed by paths relative to the walked root.
class InformationSource {
public:
  virtual ~InformationSource() = default;
  // The information for the directory at `relative` (below the walked root), `current` while
  // the file that governs it is the one `current` came from.
  virtual std::shared_ptr<SecurityInformation>
  informationFor(std::shared_ptr<SecurityInformation> current, const std::u16string& relative) = 0;
};

} // namespace DiskSecurity
