// Whether an account is a member of a group: from the host's account database for local
// accounts, and from a directory-membership source for directory accounts.
//
// The panel's management service answers for directory accounts. Its client lives in a layer
// above this one, so the program installs the source at start-up; until it does, the inert
// default answers nothing and every question about a directory account fails.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "os/error.h"

namespace RunTime {

// Whether the user belongs to the group, listed or as its primary group, as the host's account
// database says. A group the database does not know has no members. Fails with 1332 for a user
// it does not know, with the database's own code when it cannot answer.
os::Result<bool> isHostGroupMember(std::u16string_view user, std::u16string_view group);

class DirectoryMembership {
public:
  virtual ~DirectoryMembership() = default;
  // Whether `user` is a member of `group`. Throws a vexception when the source cannot say.
  virtual bool isGroupMemberUser(const std::u16string& user, const std::u16string& group) const = 0;
};

// Installs the source for the whole process (null: the inert default). Safe against concurrent
// readers; a question already under way finishes with the source it started with.
void installDirectoryMembership(std::shared_ptr<const DirectoryMembership> source);

// The installed source. The default throws vexception "No directory service is installed to
// answer group membership".
std::shared_ptr<const DirectoryMembership> directoryMembership();

} // namespace RunTime
