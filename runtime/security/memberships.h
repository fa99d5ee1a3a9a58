// The group memberships of the host's users as the account database lists them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "runtime/security/model/posix_projection.h"

namespace RunTime {

// Asks the database once per user for the life of the object (one write or read of a tree).
// A user the database does not know, or cannot answer for, belongs to no group: the projection
// then gives that user only what its own entries and Everyone's allow, never more. The threads
// of one walk share it.
class AccountMemberships : public GroupMemberships {
public:
  const std::vector<std::uint32_t>& groupsOf(std::uint32_t uid) const override;

private:
  mutable std::mutex mutex_;
  mutable std::map<std::uint32_t, std::vector<std::uint32_t>> known_; // entries never move
};

} // namespace RunTime
