#include "panel/management.h"

#include <algorithm>
#include <optional>

#include "os/accounts.h"
#include "panel/request.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"
#include "service/component_table.h"
#include "service/protocol.h"
#include "service/serializer.h"

namespace panel {

namespace {

std::u16string setting(const std::u16string& name) {
  std::u16string value;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, name, value, registry::VIEW_32) !=
      os::err::success)
    throw vexception(formatString(u"Unknown setting '%s'", name));
  return value;
}

std::u16string installDirectory(const std::u16string& component, std::uint32_t kind) {
  if (kind != kelvosrv::installDirKind)
    throw vexception(formatString(u"Information of kind %u about component %s is not available", kind, component));
  return ComponentTable::installDir(component);
}

// A user is a member of a group when the group is its primary group or lists it.
bool isMember(const std::u16string& user, const std::u16string& group) {
  os::Result<os::UserAccount> account = os::userByName(user);
  if (!account.ok()) throwOSError(u"Unknown user " + user, account.code(), VCONTEXT("isGroupMemberUser"));
  os::Result<os::GroupAccount> groupAccount = os::groupByName(group);
  if (!groupAccount.ok()) throwOSError(u"Unknown group " + group, groupAccount.code(), VCONTEXT("isGroupMemberUser"));
  os::Result<std::vector<std::uint32_t>> groups = os::groupIdsOfUser(user, account.value().gid);
  if (!groups.ok()) throwOSError(u"Groups of " + user, groups.code(), VCONTEXT("isGroupMemberUser"));
  return std::ranges::find(groups.value(), groupAccount.value().gid) != groups.value().end();
}

std::vector<std::uint8_t> errorReply(std::u16string_view message) {
  vserializer::buffer reply;
  reply.writeError(message);
  return reply.data();
}

void reply(Channel& channel, const std::vector<std::uint8_t>& body) {
  // A value too long for one message is told as such, not cut off in the middle of its reply.
  if (body.size() > kelvosrv::maxMessage) return reply(channel, errorReply(u"The reply is too long"));
  channel.send(littleEndian(static_cast<std::uint32_t>(body.size())));
  if (!body.empty()) channel.send(body);
}

} // namespace

std::vector<std::uint8_t> answer(std::span<const std::uint8_t> bytes) {
  vserializer::buffer reply;
  try {
    Request request = parseRequest(bytes);
    switch (request.method) {
    case Request::Method::GetString:
      reply.writeString(setting(request.first));
      break;
    case Request::Method::ComponentInfo:
      reply.writeString(installDirectory(request.first, request.kind));
      break;
    case Request::Method::IsGroupMemberUser:
      reply.writeDword(isMember(request.first, request.second) ? 1 : 0);
      break;
    }
  } catch (const vexception& e) {
    reply = vserializer::buffer();
    reply.writeError(e.message());
  } catch (const std::exception&) {
    reply = vserializer::buffer();
    reply.writeError(u"Unexpected error");
  }
  return reply.data();
}

void serveManagement(Channel& channel) {
  for (;;) {
    std::optional<std::vector<std::uint8_t>> count = channel.receive(4, true);
    if (!count) return;
    if (count->size() != 4) throw Drop{"malformed byte count"};
    const std::uint32_t size = fromLittleEndian(count->data());
    if (size > kelvosrv::maxMessage) {
      reply(channel, errorReply(u"The request is too long"));
      throw Drop{"request too long"};
    }
    std::vector<std::uint8_t> request;
    if (size != 0) {
      std::optional<std::vector<std::uint8_t>> body = channel.receive(size);
      if (!body) return;
      if (body->size() != size) {
        reply(channel, errorReply(u"The request does not have the announced size"));
        throw Drop{"request of the wrong size"};
      }
      request = std::move(*body);
    }
    reply(channel, answer(request));
  }
}

} // namespace panel
