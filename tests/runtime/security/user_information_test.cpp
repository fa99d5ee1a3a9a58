// The account-information object: the variant the configuration chooses, and group membership
// from the host's account database (local) and from the real management service (directory).
#include "runtime/security/user_information.h"

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "os/accounts.h"
#include "os/domain.h"
#include "runtime/core/registry.h"
#include "runtime/security/group_membership.h"
#include "service/directory_membership.h"
#include "service/kelvo_srv_client.h"
#include "tests/service/service_process.h"
#include "tests/support/testing.h"

using testing_support::u8;

namespace {

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

const std::string productKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n";

// The message and the contexts' messages of what the call throws, one line each.
std::string failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const vexception& e) {
    std::string text = u8(e.message());
    for (const ExceptionContext& context : e.contexts())
      if (!context.message.empty()) text += "\nat " + u8(context.message);
    return text;
  }
  return "no exception";
}

TEST(CreateUserInformation, TheConfigurationChoosesTheVariant) {
  os::Result<os::DomainNames> host = os::primaryDomain();
  ASSERT_TRUE(host.ok());
  struct Case {
    const char* value; // the "active_directory_mode" line, empty for none
    bool directory;
  };
  const Case cases[] = {{"", false}, {"\"active_directory_mode\"=dword:00000000\n", false},
                        {"\"active_directory_mode\"=dword:00000001\n", true},
                        {"\"active_directory_mode\"=dword:00000100\n", true}};
  for (const Case& c : cases) {
    testing_support::ScopedRegistry registry(productKey + c.value);
    std::shared_ptr<IUserInformation> info = createUserInformation();
    EXPECT_EQ(dynamic_cast<ADUserInformation*>(info.get()) != nullptr, c.directory) << c.value;
    EXPECT_EQ(dynamic_cast<LocalUserInformation*>(info.get()) != nullptr, !c.directory) << c.value;
    EXPECT_EQ(info->domainDnsName(), c.directory ? host.value().dnsName : u"") << c.value;
    EXPECT_EQ(info->domainFlatName(), c.directory ? host.value().flatName : u"") << c.value;
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

  std::unique_ptr<testing_support::ServiceProcess> startService() {
    return std::make_unique<testing_support::ServiceProcess>(registry_.path(), dir_.file("run/pipe/zrcpipe"));
  }

  testing_support::TempDir dir_;
  testing_support::ScopedRegistry registry_{"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" +
                                            dir_.file("run") + "\"\n" + productKey +
                                            "\"PipeConnectTryCount\"=dword:00000001\n"};
  KelvoSrvClient client_{std::u16string(registry::PRODUCT_CONFIG_KEY), u"zrcpipe"};
  testing_support::ScopedGroup primary_, listed_, other_;
  testing_support::ScopedUser user_{primary_, {&listed_}};
  const LocalUserInformation local_;
  const ADUserInformation directory_{u"EXAMPLE", u"example.com"};
};

TEST_F(GroupMembership, YesForThePrimaryAndAListedGroupNoOtherwise) {
  auto service = startService();
  struct Case {
    const std::string& group;
    bool member;
  };
  const Case cases[] = {{primary_.name(), true}, {listed_.name(), true}, {other_.name(), false}};
  for (const IUserInformation* info : {static_cast<const IUserInformation*>(&local_),
                                       static_cast<const IUserInformation*>(&directory_)})
    for (const Case& c : cases)
      EXPECT_EQ(info->isGroupMember(wide(user_.name()), wide(c.group)), c.member) << c.group;
  // A user is not a member of a group that does not exist.
  EXPECT_FALSE(local_.isGroupMember(wide(user_.name()), u"tvx-no-such-group"));
}

TEST_F(GroupMembership, AnUnknownUserFailsInTheCallersContext) {
  auto service = startService();
  EXPECT_EQ(failureOf([&] { local_.isGroupMember(u"tvx-no-such-user", wide(other_.name())); }),
            "The account name or security identifier is not mapped (Error code 1332) at Unable to get the "
            "groups of user tvx-no-such-user\nat Unable to call isGroupMember(tvx-no-such-user, " +
                other_.name() + ")");
  // The service's text, within the client's context and then the account information's.
  EXPECT_EQ(failureOf([&] { directory_.isGroupMember(u"tvx-no-such-user", wide(other_.name())); }),
            "The account name or security identifier is not mapped (Error code 1332) at Unknown user "
            "tvx-no-such-user\nat Unable to call KelvoSrvClient::isGroupMemberUser(tvx-no-such-user, " +
                other_.name() + ")\nat Unable to call isGroupMember(tvx-no-such-user, " + other_.name() + ")");
}

TEST_F(GroupMembership, DirectoryAccountsAreAskedOfTheInstalledSource) {
  const std::string context = "\nat Unable to call isGroupMember(" + user_.name() + ", " + primary_.name() + ")";
  // No service listening: the directory variant fails where the local one still answers.
  EXPECT_TRUE(local_.isGroupMember(wide(user_.name()), wide(primary_.name())));
  EXPECT_EQ(failureOf([&] { directory_.isGroupMember(wide(user_.name()), wide(primary_.name())); }),
            "No such file or directory (Error code 2) at Unable to connect to pipe \\\\.\\pipe\\zrcpipe\nat Unable to call KelvoSrvClient::isGroupMemberUser(" +
                user_.name() + ", " + primary_.name() + ")" + context);
  // Without a source installed, nothing answers for directory accounts.
  RunTime::installDirectoryMembership(nullptr);
  EXPECT_EQ(failureOf([&] { directory_.isGroupMember(wide(user_.name()), wide(primary_.name())); }),
            "No directory service is installed to answer group membership" + context);
  // A group of the local-only set is the host's: the host has none by that name.
  EXPECT_FALSE(directory_.isGroupMember(wide(user_.name()), u"ZRCADM_USERS"));
}

} // namespace
