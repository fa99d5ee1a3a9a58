// The management service's client against the reference service, on a private registry and run
// directory.
#include "service/kelvo_srv_client.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/core/registry.h"
#include "runtime/log/log_manager.h"
#include "service/protocol.h"
#include "tests/support/service_process.h"
#include "tests/support/failure.h"
#include "tests/support/log_lines.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// What a call threw: its message and its contexts' ("\nat " before each).
std::string failure(const std::function<void()>& call) {
  const Failure failed = failureOf(call);
  return failed.message + failed.calls;
}

// Values as long as a reply may carry, and longer (UTF-16 on the wire: two bytes a character).
std::string digits(std::size_t count) {
  std::string text(count, '0');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>('0' + i % 10);
  return text;
}

// A registry with settings and a component table, a private run directory, and a client of its own.
class Client : public ::testing::Test {
protected:
  Client() { useRegistry(""); }
  void useRegistry(const std::string& extra) {
    registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                    "\"PRODUCT_DATA_D\"=\"C:\\\\panel\\\\data\\\\\"\n"
                    "\"HTTPD_VHOSTS_D\"=\"C:\\\\inetpub\\\\..\\\\vhosts\"\n"
                    "\"OTHER\"=\"value \xC3\xA9\"\n" + extra +
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\perl]\n\"InstallDir\"=\"C:\\\\perl\\\\.\"\n"
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Components\\mailserver]\n");
  }
  std::string pipePath(const std::string& name = "zrcpipe") { return dir_.file("run/pipe/") + name; }
  std::unique_ptr<ServiceProcess> start(const std::string& name = "zrcpipe") {
    return std::make_unique<ServiceProcess>(registry_.path(), pipePath(name));
  }

  TempDir dir_;
  ScopedRegistry registry_;
  KelvoSrvClient client_{std::u16string(registry::PRODUCT_CONFIG_KEY), u"zrcpipe"};
};

TEST_F(Client, MethodsAnswerWhatTheStoreHolds) {
  useRegistry("\"LONG\"=\"" + digits(1000000) + "\"\n\"TOO_LONG\"=\"" + digits(kelvosrv::maxMessage / 2) + "\"\n");
  auto service = start();
  EXPECT_EQ(client_.getString(u"other"), u"value \u00e9");
  EXPECT_EQ(client_.productDataDirectory(), u"C:\\panel\\data\\");
  EXPECT_EQ(client_.vhostsDirectory(), u"C:\\vhosts");
  EXPECT_EQ(client_.componentInfo(u"Perl", 2), u"C:\\perl\\.");
  EXPECT_EQ(client_.componentInstallDirectory(u"perl"), u"C:\\perl");
  EXPECT_EQ(u8(client_.getString(u"LONG")), digits(1000000));

  const std::string info = "\nat Unable to call KelvoSrvClient::componentInfo(";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { client_.getString(u"NO_SUCH"); }, "Unknown setting 'NO_SUCH'\nat Unable to call KelvoSrvClient::getString(NO_SUCH)"},
      {[&] { client_.componentInfo(u"nginx", 2); }, "Component nginx isn't supported" + info + "nginx, 2)"},
      {[&] { client_.componentInfo(u"mailserver", 2); },
       "Component mailserver has no install directory" + info + "mailserver, 2)"},
      {[&] { client_.componentInfo(u"perl", 1); },
       "Information of kind 1 about component perl is not available" + info + "perl, 1)"},
      {[&] { client_.getString(u"TOO_LONG"); }, "The reply is too long\nat Unable to call KelvoSrvClient::getString(TOO_LONG)"},
  };
  // (That the connection survives error replies is Service.HostilePeersNeitherCrashItNorHoldUpOthers':
  // this client would reconnect unseen.)
  for (const auto& [call, message] : cases) EXPECT_EQ(failure(call), message);
}

// Connecting: ten tries half a second apart, to the pipe the registry names; a broken connection
// is tried again once, and only a retry is logged.
TEST_F(Client, ConnectsThroughTriesAndOneRetry) {
  auto lines = std::make_shared<LogLines>();
  LogManager::instance().addListener(lines);
  // What a caller sees when no one listens at the pipe the registry names.
  const auto unreachable = [&](const std::string& name) {
    return " at Unable to connect to pipe \\\\.\\pipe\\" + name + "\nat Unable to connect to socket " + pipePath(name) +
           "\nat Unable to reach Kelvo Management Service";
  };
  const auto start = std::chrono::steady_clock::now();
  std::string message = failure([&] { client_.getString(u"PRODUCT_DATA_D"); });
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4900));
  EXPECT_NE(message.find(unreachable("zrcpipe")), std::string::npos) << message;

  EXPECT_EQ(lines->take(), std::vector<std::string>{});

  useRegistry("\"zrcpipe\"=\"panel-mgmt\"\n");

  auto service = this->start("panel-mgmt");
  EXPECT_EQ(client_.getString(u"PRODUCT_DATA_D"), u"C:\\panel\\data\\");
  service->kill();
  service = this->start("panel-mgmt");
  EXPECT_EQ(client_.getString(u"HTTPD_VHOSTS_D"), u"C:\\inetpub\\..\\vhosts");
  EXPECT_EQ(lines->take(), std::vector<std::string>{"Info: Kelvo Management service pipe communication error: Pipe is "
                                                    "finished. Trying to reconnect."});
  // The retry finds a socket file nobody listens on: its connect failure is what the caller sees.
  service->kill();
  message = failure([&] { client_.getString(u"PRODUCT_DATA_D"); });
  EXPECT_NE(message.find(unreachable("panel-mgmt")), std::string::npos) << message;
}

} // namespace
