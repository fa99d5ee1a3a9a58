// The process-wide client of the panel's management service: settings, component information
// and group membership, and the directories built on them.
#pragma once

#include <cstdint>
#include <string>

#include "service/pipe_channel.h"

class KelvoSrvClient {
public:
  // The single client; the first call builds its channel (on "zrcpipe" of the product
  // configuration key).
  static KelvoSrvClient& getInstance();

  // A setting's value. An unknown setting fails with the service's own message.
  std::u16string getString(const std::u16string& name);
  // A component's information of the given kind (2: its install directory).
  std::u16string componentInfo(const std::u16string& name, std::uint32_t kind);
  // Whether the first account is a member of the group named second.
  bool isGroupMemberUser(const std::u16string& first, const std::u16string& second);

  // The directories, normalised as paths: "PRODUCT_DATA_D", "HTTPD_VHOSTS_D" and a component's
  // install directory.
  std::u16string productDataDirectory();
  std::u16string vhostsDirectory();
  std::u16string componentInstallDirectory(const std::u16string& name);

  // A client on a channel of its own (tests, tools that talk to another service).
  KelvoSrvClient(std::u16string keyPath, std::u16string valueName);

private:
  vpipechannel::client channel_;
};
