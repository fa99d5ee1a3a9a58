// The account-information object: the variant the configuration chooses, and group membership
// from the host's account database (local) and from the real management service (directory).
#include "runtime/security/user_information.h"

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "os/accounts.h"
#include "runtime/core/registry.h"
#include "runtime/security/group_membership.h"
#include "runtime/security/model/account_sids.h"
#include "service/directory_membership.h"
#include "service/kelvo_srv_client.h"
#include "tests/support/service_process.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

const std::string productKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n";

// The message and the messages of the contexts of what the call throws, one line each.
std::string failureText(const std::function<void()>& call) {
  const Failure f = failureOf(call);
  return f.message + f.calls;
}

TEST(CreateUserInformation, TheConfigurationChoosesTheVariant) {
  const std::pair<const char*, bool> cases[] = {{"", false},
                                                {"\"active_directory_mode\"=dword:00000000\n", false},
                                                {"\"active_directory_mode\"=dword:00000001\n", true},
                                                {"\"active_directory_mode\"=dword:00000100\n", true}};
  for (const auto& [value, directory] : cases) {
    ScopedRegistry registry(productKey + value);
    std::shared_ptr<IUserInformation> info = createUserInformation();
    EXPECT_EQ(dynamic_cast<ADUserInformation*>(info.get()) != nullptr, directory) << value;
  }
}

// A user with a primary and a listed group, a group it is not in, a private registry and run
// directory, and a client of its own installed as the directory-membership source.
class GroupMembership : public ::testing::Test {
protected:
  void SetUp() override {
    if (os::threadUserId() != 0) GTEST_SKIP() << "creating accounts needs root";
    ASSERT_TRUE(primary_.ok() && listed_.ok() && other_.ok() && user_.ok());
    RunTime::installDirectoryMembership(std::make_shared<ServiceDirectoryMembership>(&client_));
  }
  void TearDown() override { RunTime::installDirectoryMembership(nullptr); }

  TempDir dir_;
  ScopedRegistry registry_{"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n" +
                           productKey + "\"PipeConnectTryCount\"=dword:00000001\n"};
  KelvoSrvClient client_{std::u16string(registry::PRODUCT_CONFIG_KEY), u"zrcpipe"};
  ServiceProcess service_{registry_.path(), dir_.file("run/pipe/zrcpipe")};
  ScopedGroup primary_, listed_, other_;
  ScopedUser user_{primary_, {&listed_}};
  const LocalUserInformation local_;
  const ADUserInformation directory_{u"EXAMPLE", u"example.com"};
};

TEST_F(GroupMembership, AccountsAndMembershipsComeFromTheDatabase) {
  const std::pair<std::string, bool> cases[] = {
      {primary_.name(), true}, {listed_.name(), true}, {other_.name(), false}};
  for (const IUserInformation* info : {static_cast<const IUserInformation*>(&local_),
                                       static_cast<const IUserInformation*>(&directory_)}) {
    EXPECT_EQ(info->getAccount(wide(user_.name()), u""), RunTime::userSid(user_.uid()));
    EXPECT_EQ(info->getAccount(wide(primary_.name()), u""), RunTime::groupSid(primary_.gid()));
    for (const auto& [group, member] : cases)
      EXPECT_EQ(info->isGroupMember(wide(user_.name()), wide(group)), member) << group;
  }
  // The host's database has no member in a group it does not know (the service calls it an error).
  EXPECT_FALSE(local_.isGroupMember(wide(user_.name()), u"tvx-no-such-group"));
  // Without the domain's names the directory variant cannot name its server: only local-only
  // accounts, or a name with its domain, resolve.
  for (const ADUserInformation& unknown : {ADUserInformation(u"", u"example.com"), ADUserInformation(u"EXAMPLE", u"")}) {
    EXPECT_EQ(unknown.getAccount(u"Administrators", u""), VSID::admins());
    EXPECT_EQ(failureText([&] { unknown.getAccount(wide(user_.name()), u""); }),
              "Cannot determine Active Directory domain name\nat Unable to call getAccount(" + user_.name() + ", )");
    EXPECT_EQ(unknown.getAccount(wide(user_.name()), u"example.com"), RunTime::userSid(user_.uid()));
  }
}

TEST_F(GroupMembership, FailuresNameTheCallAndTheSource) {
  const std::string user = user_.name(), group = primary_.name();
  const std::string unknown = "The account name or security identifier is not mapped (Error code 1332) at ";
  EXPECT_EQ(failureText([&] { local_.isGroupMember(u"tvx-no-user", wide(group)); }),
            unknown + "Unable to get the groups of user tvx-no-user\nat Unable to call isGroupMember(tvx-no-user, " +
                group + ")");
  EXPECT_EQ(failureText([&] { directory_.isGroupMember(u"tvx-no-user", wide(group)); }),
            unknown + "Unknown user tvx-no-user\nat Unable to call KelvoSrvClient::isGroupMemberUser(tvx-no-user, " +
                group + ")\nat Unable to call isGroupMember(tvx-no-user, " + group + ")");
  // Account lookups name their call too, whichever step fails.
  for (const IUserInformation* info : {static_cast<const IUserInformation*>(&local_),
                                       static_cast<const IUserInformation*>(&directory_)})
    EXPECT_EQ(failureText([&] { info->getAccount(u"tvx-no-user", u""); }),
              unknown + "Unable to lookup SID for name tvx-no-user\nat Unable to call getAccount(tvx-no-user, )");
  // With no source installed nothing answers for directory accounts, but a local-only group is
  // the host's (which has none by that name).
  RunTime::installDirectoryMembership(nullptr);
  EXPECT_EQ(failureText([&] { directory_.isGroupMember(wide(user), wide(group)); }),
            "No directory service is installed to answer group membership\nat Unable to call isGroupMember(" + user +
                ", " + group + ")");
  EXPECT_FALSE(directory_.isGroupMember(wide(user), u"ZRCADM_USERS"));
}

} // namespace
