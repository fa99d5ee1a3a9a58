#include "service/kelvo_srv_client.h"

#include "runtime/core/format.h"
#include "runtime/core/guard.h"
#include "runtime/core/registry.h"
#include "runtime/fs/path/filename.h"

namespace {

// The reader of a reply, for the one value the method returns.
vserializer::reader replyReader(const std::vector<std::uint8_t>& reply) { return vserializer::reader(reply); }

} // namespace

KelvoSrvClient::KelvoSrvClient(std::u16string keyPath, std::u16string valueName)
    : channel_(std::move(keyPath), std::move(valueName)) {}

KelvoSrvClient& KelvoSrvClient::getInstance() {
  return guarded("KelvoSrvClient::getInstance", __LINE__,
                 [] { return std::u16string(u"Unable to call KelvoSrvClient::getInstance()"); },
                 []() -> KelvoSrvClient& {
                   static KelvoSrvClient instance(std::u16string(registry::PRODUCT_CONFIG_KEY), u"zrcpipe");
                   return instance;
                 });
}

std::u16string KelvoSrvClient::getString(const std::u16string& name) {
  return guarded("KelvoSrvClient::getString", __LINE__,
                 [&] { return formatString(u"Unable to call KelvoSrvClient::getString(%s)", name); }, [&] {
                   vserializer::buffer arguments;
                   arguments.writeString(name);
                   std::vector<std::uint8_t> reply = channel_.query(kelvosrv::getString, arguments);
                   return replyReader(reply).readString();
                 });
}

std::u16string KelvoSrvClient::componentInfo(const std::u16string& name, std::uint32_t kind) {
  return guarded("KelvoSrvClient::componentInfo", __LINE__,
                 [&] { return formatString(u"Unable to call KelvoSrvClient::componentInfo(%s, %u)", name, kind); },
                 [&] {
                   vserializer::buffer arguments;
                   arguments.writeString(name);
                   arguments.writeDword(kind);
                   std::vector<std::uint8_t> reply = channel_.query(kelvosrv::componentInfo, arguments);
                   return replyReader(reply).readString();
                 });
}

bool KelvoSrvClient::isGroupMemberUser(const std::u16string& first, const std::u16string& second) {
  return guarded("KelvoSrvClient::isGroupMemberUser", __LINE__,
                 [&] { return formatString(u"Unable to call KelvoSrvClient::isGroupMemberUser(%s, %s)", first, second); },
                 [&] {
                   vserializer::buffer arguments;
                   arguments.writeString(first);
                   arguments.writeString(second);
                   std::vector<std::uint8_t> reply = channel_.query(kelvosrv::isGroupMemberUser, arguments);
                   return replyReader(reply).readDword() != 0;
                 });
}

std::u16string KelvoSrvClient::productDataDirectory() { return VFileName::normalize(getString(u"PRODUCT_DATA_D")); }

std::u16string KelvoSrvClient::vhostsDirectory() { return VFileName::normalize(getString(u"HTTPD_VHOSTS_D")); }

std::u16string KelvoSrvClient::componentInstallDirectory(const std::u16string& name) {
  return VFileName::normalize(componentInfo(name, kelvosrv::installDirKind));
}
