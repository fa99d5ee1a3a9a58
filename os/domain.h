// The directory domain this host belongs to.
#pragma once

#include <string>

#include "os/error.h"

namespace os {

struct DomainNames {
  std::u16string dnsName;  // e.g. "corp.example.com"; empty when the host is in no domain
  std::u16string flatName; // the first label of the DNS name, upper-cased
};

// The host's domain: the part of its canonical host name after the first label.
Result<DomainNames> primaryDomain();

} // namespace os
