// Group memberships given as a table, in place of the account database: a test double of the
// projection's GroupMemberships. Header-only, so that the model's tests link nothing but the model.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "runtime/security/model/posix_projection.h"

namespace testing_support {

// A user the table does not list belongs to no group.
class MembershipTable : public RunTime::GroupMemberships {
public:
  MembershipTable() = default;
  explicit MembershipTable(std::map<std::uint32_t, std::vector<std::uint32_t>> groups)
      : groups_(std::move(groups)) {}
  const std::vector<std::uint32_t>& groupsOf(std::uint32_t uid) const override {
    static const std::vector<std::uint32_t> none;
    auto found = groups_.find(uid);
    return found == groups_.end() ? none : found->second;
  }

private:
  std::map<std::uint32_t, std::vector<std::uint32_t>> groups_;
};

} // namespace testing_support
