// The reference impersonation service as its peers meet it: the peer check, hostile and
// malformed input, many clients at once, SIGTERM.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "os/pipe.h"
#include "tests/service/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes word(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

// The head of an impersonation request for the user, message by message.
std::vector<Bytes> impersonation(std::uint32_t uid) {
  const std::string sid = "S-1-22-1-" + std::to_string(uid);
  Bytes text;
  for (char c : sid) text.insert(text.end(), {static_cast<std::uint8_t>(c), 0});
  return {word(1), word(5), word(static_cast<std::uint32_t>(text.size())), text, word(40), Bytes(40, 0)};
}

// A connection that speaks the wire format by hand, as a hostile or careless peer might.
class RawPeer {
public:
  explicit RawPeer(const std::string& path) {
    os::Result<os::Handle> connected = os::pipe::connect(path, os::pipe::Kind::Message);
    if (connected.ok()) handle_ = std::move(connected.value());
  }
  bool connected() const { return handle_.valid(); }

  bool send(const Bytes& message) {
    for (;;) {
      os::Result<std::size_t> sent = os::pipe::send(handle_.get(), message.data(), message.size());
      if (sent.ok()) return true;
      if (sent.code() != os::pipe::ioPending) return false;
      (void)os::pipe::waitReady(handle_.get(), os::pipe::Direction::Write, 1000, false);
    }
  }
  bool send(const std::vector<Bytes>& messages) {
    for (const Bytes& message : messages)
      if (!send(message)) return false;
    return true;
  }
  // The next message, or nothing when the service closed the connection or sent nothing in time.
  std::optional<Bytes> receive(std::uint32_t timeoutMs = 3000) {
    os::Result<std::uint32_t> ready = os::pipe::waitReady(handle_.get(), os::pipe::Direction::Read, timeoutMs, false);
    if (!ready.ok() || ready.value() != os::WAIT_OBJECT_0) return std::nullopt;
    Bytes message(64 * 1024);
    os::Result<std::size_t> got = os::pipe::receive(handle_.get(), message.data(), message.size());
    if (!got.ok()) return std::nullopt;
    message.resize(got.value());
    return message;
  }
  // One reply: "ok" (status 0, nothing), "error: <text>" or "closed".
  std::string reply() {
    std::optional<Bytes> status = receive();
    std::optional<Bytes> count = status ? receive() : std::nullopt;
    if (!count || status->size() != 4 || count->size() != 4) return "closed";
    if (*status == word(0) && *count == word(0)) return "ok";
    std::optional<Bytes> text = receive();
    if (!text || *status != word(0xFFFFFFFF)) return "closed";
    std::string ascii;
    for (std::size_t i = 0; i < text->size(); i += 2) ascii += static_cast<char>((*text)[i]);
    return "error: " + ascii;
  }
  // True when the service has closed the connection (and sent nothing more).
  bool closedByService() {
    std::optional<Bytes> more = receive(3000);
    return !more.has_value() && !receive(0).has_value();
  }

private:
  os::Handle handle_;
};

class ImpersonationService : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the service acts as other accounts: it needs root";
    ::chmod(dir_.path().c_str(), 0755);
    ASSERT_TRUE(listed_.ok() && unlisted_.ok());
    registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") +
                    "\"\n\"ImpersonationServiceClients\"=\"7, " + std::to_string(listed_.uid()) + "\"\n");
    ::chmod(registry_.path().substr(0, registry_.path().rfind('/')).c_str(), 0755);
    service_ = std::make_unique<ServiceProcess>(registry_.path(), pipe(), "tavrix-impersonation-service");
  }
  std::string pipe() const { return dir_.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"); }

  TempDir dir_;
  ScopedRegistry registry_;
  ScopedUser listed_, unlisted_;
  std::unique_ptr<ServiceProcess> service_;
};

// Asks for an impersonation of itself as another account, in a child process: 0 acknowledged,
// 1 turned away, 2 no connection.
int requestAs(const ScopedUser& user, const std::string& pipe) {
  pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(user.gid()) != 0 || ::setuid(user.uid()) != 0) ::_exit(3);
    RawPeer peer(pipe);
    if (!peer.connected()) ::_exit(2);
    ::_exit(peer.send(impersonation(user.uid())) && peer.reply() == "ok" ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ImpersonationService, OnlyRootAndListedAccountsAreServed) {
  EXPECT_EQ(requestAs(listed_, pipe()), 0) << "listed";
  EXPECT_EQ(requestAs(unlisted_, pipe()), 1) << "not listed";
  RawPeer root(pipe());
  ASSERT_TRUE(root.send(impersonation(unlisted_.uid())));
  EXPECT_EQ(root.reply(), "ok") << "root";
  // Neither uid 0 nor System, for anyone.
  ASSERT_TRUE(root.send(impersonation(0)));
  EXPECT_EQ(root.reply(), "error: Refusing to act as S-1-22-1-0: no program runs as uid 0 or System here");
  ASSERT_TRUE(root.send(impersonation(listed_.uid())));
  EXPECT_EQ(root.reply(), "ok") << "the connection goes on after a refusal";
}

TEST_F(ImpersonationService, MalformedAndHostileInputIsAnsweredAndTheServiceGoesOn) {
  struct Case {
    const char* name;
    std::vector<Bytes> messages;
    std::string reply; // empty: closed without a reply
  } cases[] = {
      {"start word 9", {word(9)}, "error: A request must begin with the word 1"},
      {"unknown code", {word(1), word(77)}, "error: Unknown request code 77"},
      {"a count of 4 GiB", {word(1), word(5), word(0xFFFFFFFE)}, "error: The request is too long"},
      {"a short SID", {word(1), word(5), word(10), Bytes{'S', 0}}, "error: A message of 2 bytes where 10 were expected"},
      {"a run without its descriptors", {word(1), word(3), word(0), word(40), Bytes(40, 0)},
       "error: The process header carries 0 descriptors"},
      {"a message longer than its item", {Bytes(100, 1)}, ""},
  };
  for (Case& c : cases) {
    RawPeer peer(pipe());
    ASSERT_TRUE(peer.send(c.messages)) << c.name;
    if (!c.reply.empty()) {
      EXPECT_EQ(peer.reply(), c.reply) << c.name;
    }
    EXPECT_TRUE(peer.closedByService()) << c.name;
  }
  RawPeer after(pipe());
  ASSERT_TRUE(after.send(impersonation(listed_.uid())));
  EXPECT_EQ(after.reply(), "ok");
}

TEST_F(ImpersonationService, ManyClientsAtOnceAndOneSilentNeverStallTheOthers) {
  std::vector<std::unique_ptr<RawPeer>> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<RawPeer>(pipe()));
  silent.back()->send(word(1));
  std::vector<std::thread> clients;
  std::vector<std::string> replies(40);
  const auto begin = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < replies.size(); ++i)
    clients.emplace_back([&, i] {
      RawPeer peer(pipe());
      for (int round = 0; round < 10 && replies[i] != "closed"; ++round)
        replies[i] = peer.send(impersonation(listed_.uid())) ? peer.reply() : "closed";
    });
  for (std::thread& client : clients) client.join();
  for (const std::string& reply : replies) EXPECT_EQ(reply, "ok");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
}

TEST_F(ImpersonationService, SigtermStopsItWithClientsConnected) {
  RawPeer idle(pipe());
  ASSERT_TRUE(idle.send(impersonation(listed_.uid())));
  ASSERT_EQ(idle.reply(), "ok");
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(service_->stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
  EXPECT_TRUE(idle.closedByService());
}

} // namespace
