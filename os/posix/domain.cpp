#include "os/domain.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "os/posix/errno_map.h"
#include "os/text.h"

namespace os {

Result<DomainNames> primaryDomain() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0)
    return Result<DomainNames>::failure(posix::win32FromErrno(errno));
  std::string canonical = host;
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  addrinfo* info = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &info) == 0) {
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(info, &::freeaddrinfo);
    if (info->ai_canonname) canonical = info->ai_canonname;
  }
  DomainNames names;
  std::size_t dot = canonical.find('.');
  if (dot == std::string::npos || dot + 1 == canonical.size()) return names;
  names.dnsName = utf16FromUtf8(canonical.substr(dot + 1));
  names.flatName = names.dnsName.substr(0, names.dnsName.find(u'.'));
  for (char16_t& c : names.flatName) c = toUpper(c);
  return names;
}

} // namespace os
