// The reference management service as its peers meet it: the peer check and its limits, hostile
// and malformed input beside many clients, running out of descriptors, and its life under a
// service manager.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "panel/service_main.h"
#include "service/protocol.h"
#include "service/serializer.h"
#include "tests/panel/raw_peer.h"
#include "tests/support/service_process.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

// A request of the method with one string argument.
Bytes requestOf(const kelvosrv::MethodId& method, std::u16string_view argument) {
  vserializer::buffer request;
  request.writeBlock(method);
  request.writeString(argument);
  return request.data();
}

// A raw peer that frames management requests: the byte count, then the request.
class ManagementPeer : public RawPeer {
public:
  using RawPeer::RawPeer;

  // One whole request and its reply's text: the value, "error: <message>", or "closed".
  std::string query(const Bytes& request) { return sendRequest(request) ? readReply() : "closed"; }
  bool sendRequest(const Bytes& request) { return send({le32(static_cast<std::uint32_t>(request.size())), request}); }
  // The answer to a query of the setting the tests' registries hold ("C:\\data").
  std::string dataDirectory() { return query(requestOf(kelvosrv::getString, u"PRODUCT_DATA_D")); }
  std::string readReply() {
    const std::optional<Bytes> count = receive(), body = count ? receive() : std::nullopt;
    if (!body || count != le32(static_cast<std::uint32_t>(body->size()))) return "closed";
    std::string value;
    const std::string fault = failureOf([&] { value = u8(vserializer::reader(*body).readString()); }).message;
    return fault.empty() ? value : "error: " + fault;
  }
};

class Service : public ::testing::Test {
protected:
  Service() {
    // Accounts other than root must reach the socket through the test's directories.
    ::chmod(dir_.path().c_str(), 0755);
  }
  void start(const std::string& allowed = {}, const std::string& log = {}) {
    writeRegistry(allowed);
    service_ = std::make_unique<ServiceProcess>(registry_.path(), pipe(), "tavrix-management-service", log);
  }
  void writeRegistry(const std::string& allowed) {
    registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") + "\"\n" +
                    (allowed.empty() ? "" : "\"ManagementServiceClients\"=\"" + allowed + "\"\n") +
                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                    "\"PRODUCT_DATA_D\"=\"C:\\\\data\"\n");
  }
  std::string pipe() { return dir_.file("run/pipe/zrcpipe"); }

  TempDir dir_;
  ScopedRegistry registry_;
  std::unique_ptr<ServiceProcess> service_;
};

// The lines of the text that start with the prefix.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with(prefix)) found.push_back(line);
  return found;
}

// Runs a query as another account in a child process, which holds `idle` other connections
// open meanwhile: 0 answered, 1 refused, 2 no connection.
int queryAs(std::uint32_t uid, std::uint32_t gid, const std::string& pipe, int idle = 0) {
  return inChildAs(uid, gid, [&] {
    std::vector<std::unique_ptr<RawPeer>> held;
    for (int i = 0; i < idle; ++i) held.push_back(std::make_unique<RawPeer>(pipe));
    ManagementPeer peer(pipe);
    return !peer.connected() ? 2 : peer.dataDirectory() == "C:\\data" ? 0 : 1;
  });
}

// Root and the listed accounts are answered, the others refused, an account other than root's
// holds at most 64 connections, a malformed list lets only root in, root too is bounded when the
// service is full, and a flood of refused connects is logged as counts.
TEST_F(Service, OnlyRootAndListedAccountsAreAnsweredAndRefusalsAreCounted) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as other accounts needs root";
  ScopedUser listed, unlisted;
  ASSERT_TRUE(listed.ok() && unlisted.ok());
  const std::string log = dir_.file("service.log");
  start("999999999, " + std::to_string(listed.uid()), log);
  // The first connections that account makes here: none of its earlier ones is still being closed.
  EXPECT_EQ(queryAs(listed.uid(), listed.gid(), pipe(), 63), 0) << "listed, holding 63 others";
  // An account not listed is refused, in root's group too.
  EXPECT_EQ(queryAs(unlisted.uid(), 0, pipe()), 1) << "not listed, in root's group";
  // The service goes on serving the others.
  EXPECT_EQ(queryAs(listed.uid(), listed.gid(), pipe()), 0) << "listed, after a refusal";
  EXPECT_EQ(queryAs(listed.uid(), listed.gid(), pipe(), 64), 1) << "listed, holding 64 others";
  constexpr int connects = 100000;
  ASSERT_EQ(inChildAs(unlisted.uid(), unlisted.gid(), [&] {
              // A full backlog turns a connect away (pipeBusy): it is tried again.
              for (int made = 0; made < connects;)
                if (RawPeer(pipe()).connected()) ++made;
              return 0;
            }),
            0);
  EXPECT_EQ(ManagementPeer(pipe()).dataDirectory(), "C:\\data") << "root is served";
  writeRegistry("10O1");
  EXPECT_EQ(queryAs(listed.uid(), listed.gid(), pipe()), 1) << "listed, the list malformed";
  std::vector<std::unique_ptr<ManagementPeer>> held;
  std::string answer = "C:\\data";
  while (answer == "C:\\data" && held.size() <= panel::ServerLimits{}.maxConnections) {
    held.push_back(std::make_unique<ManagementPeer>(pipe()));
    answer = held.back()->dataDirectory();
  }
  EXPECT_EQ(answer, "closed") << "root, after " << held.size() - 1 << " connections";
  ASSERT_EQ(service_->stop(), 0);
  // Every refusal is counted (the flood's and the four above), in a handful of lines.
  const std::vector<std::string> single = linesStartingWith(readFile(log), "connection refused: uid "),
                                 counts = linesStartingWith(readFile(log), "connections refused: ");
  std::uint64_t counted = single.size();
  for (const std::string& line : counts) counted += std::stoull(line.substr(21));
  EXPECT_LT(single.size() + counts.size(), 100u);
  EXPECT_EQ(counted, static_cast<std::uint64_t>(connects) + 4);
}

TEST_F(Service, OutOfDescriptorsItRefusesConnectionsWithoutSpinningAndThenServesAgain) {
  const std::string log = dir_.file("service.log");
  constexpr unsigned limit = 64;
  constexpr std::size_t connections = 80;
  start("", log);
  // Set on the listening service: it holds a handful of descriptors by now, and the limit holds for
  // every connection the test makes.
  const rlimit descriptors{limit, limit};
  ASSERT_EQ(::prlimit(service_->pid(), RLIMIT_NOFILE, &descriptors, nullptr), 0);
  // At rest once it has served a client and that client's thread has ended.
  ASSERT_EQ(ManagementPeer(pipe()).dataDirectory(), "C:\\data");
  const std::string proc = "/proc/" + std::to_string(service_->pid());
  while (entriesOf(proc + "/task") > 1) std::this_thread::yield();
  const std::size_t atRest = entriesOf(proc + "/fd");
  // More idle connections than the service has descriptors for: those it cannot take are closed.
  std::vector<std::unique_ptr<ManagementPeer>> held;
  for (std::size_t i = 0; i < connections; ++i) {
    held.push_back(std::make_unique<ManagementPeer>(pipe()));
    ASSERT_TRUE(held.back()->connected()) << i;
  }
  // Every connection is taken off the backlog, by a thread of its own or closed at once: one left
  // there would keep the listener readable, and the service spinning.
  const auto taken = [&] {
    std::size_t closed = 0;
    for (const auto& peer : held) closed += peer->readable();
    return entriesOf(proc + "/task") - 1 + closed == connections;
  };
  while (!taken()) std::this_thread::yield();

  held.clear();
  // The connections' threads end as they see their peers go, and give their descriptors back.
  while (entriesOf(proc + "/fd") > atRest || entriesOf(proc + "/task") > 1) std::this_thread::yield();
  // The tool's client reconnects once when an exchange fails: a connection still caught in the
  // end of the episode gets that second chance, and no more.
  std::string answer = ManagementPeer(pipe()).dataDirectory();
  if (answer == "closed") answer = ManagementPeer(pipe()).dataDirectory();
  EXPECT_EQ(answer, "C:\\data");
  // The episode ends with the count it refused: at least the connections past the limit.
  const std::vector<std::string> ended = linesStartingWith(readFile(log), "descriptors available again: ");
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_GE(std::stoul(ended[0].substr(29)), connections - limit) << ended[0];
  EXPECT_EQ(linesStartingWith(readFile(log), "out of descriptors"),
            std::vector<std::string>{"out of descriptors: refusing connections"});
}

TEST_F(Service, TheAllowListIsParsedStrictly) {
  // The value, and the uids it lists (each followed by a space) or why it is refused.
  const std::pair<std::string, std::string> cases[] = {
      {" ", ""},
      {"7, 8 9,4294967294", "7 8 9 4294967294 "},
      {"10O1", "refused: \"10O1\" is not a uid"},
      {"1,,2", "refused: an element is empty"},
      {"1,", "refused: an element is empty"},
      {"-5", "refused: \"-5\" is not a uid"},
      {"4294967295", "refused: \"4294967295\" is not a uid"},
      {"99999999999", "refused: \"99999999999\" is not a uid"},
  };
  for (const auto& [value, expected] : cases) {
    writeRegistry(value);
    std::string uids;
    const std::string fault = failureOf([&] {
                                for (std::uint32_t uid : panel::allowedUids(u"ManagementServiceClients"))
                                  uids += std::to_string(uid) + " ";
                              }).message;
    const std::string prefix = "ManagementServiceClients of HKLM\\SYSTEM\\Tavrix is \"" + value + "\": ";
    EXPECT_EQ(fault.empty() ? uids : fault.starts_with(prefix) ? "refused: " + fault.substr(prefix.size()) : fault,
              expected) << value;
  }
  // The service does not start on a malformed list.
  writeRegistry("10O1");
  ProcessResult run = runProcess({binary("tavrix-management-service"), "--registry=" + registry_.path()});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("\"10O1\" is not a uid"), std::string::npos) << run.err;
}

TEST_F(Service, HostilePeersNeitherCrashItNorHoldUpOthers) {
  start();
  // A peer that announces a request and never sends it.
  ManagementPeer half(pipe());
  ASSERT_TRUE(half.send({le32(100)}));
  // A peer that sends a byte count of the wrong size (a longer message where the count belongs
  // takes the same way).
  ManagementPeer odd(pipe());
  ASSERT_TRUE(odd.send({Bytes{1, 2, 3, 4, 5}}));
  // A peer that announces a byte more than a request may have is told why it is turned away.
  ManagementPeer huge(pipe());
  ASSERT_TRUE(huge.send({le32(kelvosrv::maxMessage + 1)}));
  EXPECT_EQ(huge.readReply(), "error: The request is too long");
  EXPECT_FALSE(huge.receive(500).has_value()) << "nothing follows the refusal";

  // A request that does not parse into exactly its method's arguments gets an error reply on a
  // connection that goes on. (What the methods answer is the client's tests', how the serializer
  // reads a block or a value Serializer.ReadingFollowsTheFormat's.) The hostile peers are still
  // connected and silent: a service they held up, or that they brought down, would not answer it.
  ManagementPeer careless(pipe());
  Bytes trailing = requestOf(kelvosrv::getString, u"X");
  trailing.push_back(0);
  const std::pair<Bytes, std::string> malformed[] = {
      {trailing, "error: Unexpected data after the arguments"},
      {requestOf(kelvosrv::guid(1, 2, 3, 4), u"x"), "error: Unknown method"},
  };
  for (const auto& [request, reply] : malformed) EXPECT_EQ(careless.query(request), reply);
  EXPECT_EQ(careless.dataDirectory(), "C:\\data");
}

// The service manager's end of the readiness notification: a datagram socket named by
// NOTIFY_SOCKET in this process's environment (which a service started from here inherits).
sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un address{AF_UNIX, {}};
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

class NotifySocket {
public:
  explicit NotifySocket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_un address = unixAddress(path);
    // Only a guard against a service that never writes: a message ends the wait.
    const timeval patience{60, 0};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
      ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() { ::unsetenv("NOTIFY_SOCKET"); }
  // The next message, or "" when none came.
  std::string next() {
    char text[256];
    const ssize_t n = ::recv(fd_.get(), text, sizeof text, 0);
    return n > 0 ? std::string(text, n) : "";
  }

private:
  os::posix::Fd fd_;
};

// SIGTERM stops the service with a client connected (one that waited for its clients would never
// end). It tells the service manager its state, and removes its socket file only when the socket
// is its own: not one another listener has put under the name since, nor one handed over as a
// service manager does, in which a connection queued while the service is down is answered after
// its restart.
TEST_F(Service, StopsWithClientsConnectedAndRemovesOnlyItsOwnSocket) {
  writeRegistry("");
  const std::vector<std::string> command = {binary("tavrix-management-service"), "--registry=" + registry_.path()};
  for (const bool replaced : {false, true}) {
    NotifySocket manager(dir_.file(replaced ? "notify-replaced" : "notify"));
    ServiceProcess service(command, pipe());
    ManagementPeer client(pipe());
    EXPECT_EQ(manager.next(), "READY=1") << replaced;
    EXPECT_EQ(client.dataDirectory(), "C:\\data") << replaced;
    std::optional<os::Result<os::Handle>> other;
    if (replaced) other = os::pipe::listen(pipe(), os::pipe::Kind::Message, 0600, 1);
    ASSERT_TRUE(!other || other->ok());
    EXPECT_EQ(service.stop(), 0) << replaced;
    EXPECT_EQ(manager.next(), "STOPPING=1") << replaced;
    EXPECT_FALSE(client.receive(100).has_value()) << replaced;
    EXPECT_EQ(::access(pipe().c_str(), F_OK) == 0, replaced);
  }

  // The test makes the socket and holds it across the restart, as systemd does.
  ASSERT_EQ(::unlink(pipe().c_str()), 0);
  const os::posix::Fd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  const sockaddr_un address = unixAddress(pipe());
  ASSERT_EQ(::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(socket.get(), 16), 0);
  NotifySocket manager(dir_.file("notify-handed-over"));
  const std::string log = dir_.file("service.log");
  {
    ServiceProcess first(command, pipe(), log, socket.get());
    ASSERT_EQ(manager.next(), "READY=1");
    ASSERT_EQ(first.stop(), 0);
  }
  EXPECT_NE(readFile(log).find("(socket handed over by the service manager)"), std::string::npos) << readFile(log);
  ASSERT_EQ(manager.next(), "STOPPING=1");
  ManagementPeer waiting(pipe());
  ASSERT_TRUE(waiting.sendRequest(requestOf(kelvosrv::getString, u"PRODUCT_DATA_D")));
  ServiceProcess second(command, pipe(), {}, socket.get());
  ASSERT_EQ(manager.next(), "READY=1");
  EXPECT_EQ(waiting.readReply(), "C:\\data");
}

} // namespace
