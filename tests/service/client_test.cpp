#include "service/kelvo_srv_client.h"

#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/core/registry.h"
#include "runtime/log/log_manager.h"
#include "service/component_table.h"
#include "service/protocol.h"
#include "tests/service/service_process.h"
#include "tests/support/log_lines.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// A registry with settings and a component table, a private run directory, and a client of its own.
class Client : public ::testing::Test {
protected:
  explicit Client(const std::string& extra = {})
      : registry_("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") +
                  "\"\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                  "\"PRODUCT_DATA_D\"=\"C:\\\\panel\\\\data\\\\\"\n"
                  "\"HTTPD_VHOSTS_D\"=\"C:\\\\inetpub\\\\..\\\\vhosts\"\n"
                  "\"OTHER\"=\"value \xC3\xA9\"\n" +
                  extra +
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\perl]\n"
                  "\"InstallDir\"=\"C:\\\\perl\\\\.\"\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\mailserver]\n") {}

  std::string pipePath(const std::string& name = "zrcpipe") { return dir_.file("run/pipe/") + name; }
  std::unique_ptr<ServiceProcess> start(const std::string& name = "zrcpipe") {
    return std::make_unique<ServiceProcess>(registry_.path(), pipePath(name));
  }
  KelvoSrvClient client_{std::u16string(registry::PRODUCT_CONFIG_KEY), u"zrcpipe"};

  TempDir dir_;
  ScopedRegistry registry_;
};

// A failed connect's message, the host path of the socket its context names, and the service
// its context names.
struct ConnectFailure {
  std::string message, socket, service;
};
ConnectFailure connectFailure(const std::function<void()>& call) {
  constexpr std::string_view socketPrefix = "Unable to connect to socket ", servicePrefix = "Unable to reach ";
  try {
    call();
  } catch (const vexception& e) {
    ConnectFailure failure{u8(e.message()), "", ""};
    for (const ExceptionContext& context : e.contexts()) {
      const std::string text = u8(context.message);
      if (text.starts_with(socketPrefix)) failure.socket = text.substr(socketPrefix.size());
      if (text.starts_with(servicePrefix)) failure.service = text.substr(servicePrefix.size());
    }
    return failure;
  }
  return {"no exception", "", ""};
}

std::string failure(const std::function<void()>& call) {
  try {
    call();
  } catch (const vexception& e) {
    return u8(e.message());
  }
  return "no exception";
}

TEST_F(Client, MethodsAnswerWhatTheStoreHolds) {
  auto service = start();
  EXPECT_EQ(client_.getString(u"PRODUCT_DATA_D"), u"C:\\panel\\data\\");
  EXPECT_EQ(client_.getString(u"other"), u"value \u00e9");
  EXPECT_EQ(client_.productDataDirectory(), u"C:\\panel\\data\\");
  EXPECT_EQ(client_.vhostsDirectory(), u"C:\\vhosts");
  EXPECT_EQ(client_.componentInfo(u"Perl", 2), u"C:\\perl\\.");
  EXPECT_EQ(client_.componentInstallDirectory(u"perl"), u"C:\\perl");

  struct Case {
    const char* what;
    std::function<void()> call;
    std::string message;
  };
  const Case cases[] = {
      {"unknown setting", [&] { client_.getString(u"NO_SUCH"); }, "Unknown setting 'NO_SUCH'"},
      {"unknown component", [&] { client_.componentInfo(u"nginx", 2); }, "Component nginx isn't supported"},
      {"component without a directory", [&] { client_.componentInfo(u"mailserver", 2); },
       "Component mailserver has no install directory"},
      {"another information kind", [&] { client_.componentInfo(u"perl", 1); },
       "Information of kind 1 about component perl is not available"},
  };
  for (const Case& c : cases) EXPECT_EQ(failure(c.call), c.message) << c.what;
  // The connection survives error replies.
  EXPECT_EQ(client_.getString(u"HTTPD_VHOSTS_D"), u"C:\\inetpub\\..\\vhosts");
}

TEST_F(Client, ErrorsCarryTheCallersContext) {
  auto service = start();
  try {
    client_.getString(u"NO_SUCH");
    FAIL() << "no exception";
  } catch (const vexception& e) {
    EXPECT_EQ(u8(e.fullText()), "Unknown setting 'NO_SUCH'\n   at Unable to call KelvoSrvClient::getString(NO_SUCH)"
                                "(KelvoSrvClient::getString line " +
                                    std::to_string(e.contexts().back().line) + ")");
  }
}

TEST_F(Client, GroupMembershipComesFromTheAccountDatabase) {
  if (::geteuid() != 0) GTEST_SKIP() << "creating accounts needs root";
  ScopedGroup primary, listed, other;
  ScopedUser user(primary, {&listed});
  ASSERT_TRUE(primary.ok() && listed.ok() && other.ok() && user.ok());
  auto service = start();
  auto w = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
  EXPECT_TRUE(client_.isGroupMemberUser(w(user.name()), w(primary.name()))) << "primary group";
  EXPECT_TRUE(client_.isGroupMemberUser(w(user.name()), w(listed.name()))) << "supplementary group";
  EXPECT_FALSE(client_.isGroupMemberUser(w(user.name()), w(other.name()))) << "not a member";
  EXPECT_TRUE(failure([&] { client_.isGroupMemberUser(u"no-such-user-x", w(other.name())); })
                  .find("Unknown user no-such-user-x") != std::string::npos);
}

TEST_F(Client, NoServiceFailsAfterTenTriesHalfASecondApart) {
  auto lines = std::make_shared<LogLines>();
  LogManager::instance().addListener(lines);
  auto start = std::chrono::steady_clock::now();
  std::string message = failure([&] { client_.getString(u"PRODUCT_DATA_D"); });
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(message.ends_with(" at Unable to connect to pipe \\\\.\\pipe\\zrcpipe")) << message;
  // The first connection fails after its ten tries, each followed by its pause; a failed
  // connect is not retried (a retry is logged).
  EXPECT_GE(ms, 4900);
  EXPECT_EQ(lines->lines(), std::vector<std::string>{});
}

// Three tries keep the failure short (that the registry's count replaces the caller's is
// tested with the pipes).
class ClientWithThreeTries : public Client {
protected:
  ClientWithThreeTries() : Client("\"PipeConnectTryCount\"=dword:00000003\n\"zrcpipe\"=\"panel-mgmt\"\n") {}
};

TEST_F(ClientWithThreeTries, ThePipeNameComesFromTheRegistry) {
  auto [message, socket, named] = connectFailure([&] { client_.getString(u"PRODUCT_DATA_D"); });
  EXPECT_TRUE(message.ends_with(" at Unable to connect to pipe \\\\.\\pipe\\panel-mgmt")) << message;
  EXPECT_EQ(socket, pipePath("panel-mgmt")) << "no socket file";
  EXPECT_EQ(named, "Kelvo Management Service");
  auto service = this->start("panel-mgmt");
  EXPECT_EQ(client_.getString(u"PRODUCT_DATA_D"), u"C:\\panel\\data\\");
}

// Values as long as a reply may carry, and longer (UTF-16 on the wire: two bytes a character).
std::string digits(std::size_t count) {
  std::string text(count, '0');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>('0' + i % 10);
  return text;
}

class ClientWithLongValues : public Client {
protected:
  ClientWithLongValues()
      : Client("\"LONG\"=\"" + digits(1000000) + "\"\n\"TOO_LONG\"=\"" + digits(kelvosrv::maxMessage / 2) + "\"\n") {}
};

TEST_F(ClientWithLongValues, AMillionCharacterValueRoundTripsAndALongerOneIsRefused) {
  auto service = start();
  EXPECT_EQ(u8(client_.getString(u"LONG")), digits(1000000));
  EXPECT_EQ(failure([&] { client_.getString(u"TOO_LONG"); }), "The reply is too long");
  // The connection serves on.
  EXPECT_EQ(client_.getString(u"PRODUCT_DATA_D"), u"C:\\panel\\data\\");
}

TEST_F(Client, ARestartedServiceIsReachedThroughTheRetry) {
  auto lines = std::make_shared<LogLines>();
  LogManager::instance().addListener(lines);
  auto service = start();
  EXPECT_EQ(client_.getString(u"PRODUCT_DATA_D"), u"C:\\panel\\data\\");
  service->kill();
  service = start();
  EXPECT_EQ(client_.getString(u"HTTPD_VHOSTS_D"), u"C:\\inetpub\\..\\vhosts");
  std::vector<std::string> logged = lines->lines();
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "Info: Kelvo Management service pipe communication error: Pipe is finished. Trying to reconnect.");
}

TEST_F(Client, ASecondFailureReachesTheCaller) {
  auto service = start();
  EXPECT_EQ(client_.getString(u"PRODUCT_DATA_D"), u"C:\\panel\\data\\");
  service->kill();
  // The retry finds nobody listening: its connect failure is what the caller sees.
  auto [message, socket, named] = connectFailure([&] { client_.getString(u"PRODUCT_DATA_D"); });
  EXPECT_TRUE(message.ends_with("Unable to connect to pipe \\\\.\\pipe\\zrcpipe")) << message;
  EXPECT_EQ(socket, pipePath()) << "a socket file nobody listens on";
  EXPECT_EQ(named, "Kelvo Management Service") << "a socket file nobody listens on";
}

TEST(ComponentTable, AdditionalPathsAndTheVirtualHostsDefault) {
  ScopedRegistry registry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\perl]\n"
      "\"InstallDir\"=\"C:\\\\perl\"\n"
      "\"AdditionalPaths\"=hex(7):43,00,3a,00,5c,00,61,00,00,00,43,00,3a,00,5c,00,62,00,00,00,00,00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\php]\n"
      "\"InstallDir\"=\"C:\\\\php\"\n");
  EXPECT_EQ(ComponentTable::additionalPaths(u"PERL"), (std::vector<std::u16string>{u"C:\\a", u"C:\\b"}));
  EXPECT_TRUE(ComponentTable::additionalPaths(u"php").empty());
  EXPECT_TRUE(ComponentTable::additionalPaths(u"HTTPD_VHOSTS_D").empty());
  EXPECT_EQ(failure([] { ComponentTable::additionalPaths(u"iis"); }), "Component iis isn't supported");
  EXPECT_EQ(failure([] { ComponentTable::installDir(u"httpd_vhosts_d"); }), "Component httpd_vhosts_d isn't supported");
}

} // namespace
