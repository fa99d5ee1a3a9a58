// The reference impersonation service as its peers meet it: the peer check, hostile and
// malformed input, thousands of running programs, SIGTERM. (Many clients at once, and silent
// ones, are the shared connection handling's: the management service's tests have them, and the
// concurrent extractions reach this service at once.)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/panel/raw_peer.h"
#include "tests/support/service_process.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// The processes whose parent is `pid`, zombies included.
std::vector<std::string> childrenOf(int pid) {
  std::vector<std::string> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string stat = readFile(entry.path().string() + "/stat");
    std::istringstream after(stat.substr(stat.rfind(')') + 1));
    std::string state;
    int parent = 0;
    after >> state >> parent;
    if (parent == pid) children.push_back(entry.path().filename().string() + " " + state);
  }
  return children;
}

// A raw peer that sends whole requests and reads impersonation replies.
class ImpersonationPeer : public RawPeer {
public:
  using RawPeer::RawPeer;
  using RawPeer::send;

  bool send(const std::vector<Bytes>& messages) {
    for (const Bytes& message : messages)
      if (!send(message)) return false;
    return true;
  }
  // Asks to act as the user (request 5): the reply.
  std::string impersonate(std::uint32_t uid) {
    const Bytes sid = utf16("S-1-22-1-" + std::to_string(uid));
    return send({le32(1), le32(5), le32(static_cast<std::uint32_t>(sid.size())), sid, le32(40), Bytes(40, 0)}) ? reply()
                                                                                                               : "closed";
  }
  // One reply: "ok" (status 0, nothing), "error: <text>" or "closed".
  std::string reply() {
    std::optional<Bytes> status = receive();
    std::optional<Bytes> count = status ? receive() : std::nullopt;
    if (!count || status->size() != 4 || count->size() != 4) return "closed";
    if (*status == le32(0) && *count == le32(0)) return "ok";
    std::optional<Bytes> text = receive();
    if (!text || *status != le32(0xFFFFFFFF)) return "closed";
    std::string ascii;
    for (std::size_t i = 0; i < text->size(); i += 2) ascii += static_cast<char>((*text)[i]);
    return "error: " + ascii;
  }
  // Starts the command line as the user with the three standard streams; the process handle
  // that comes back (invalid when none came).
  os::Handle run(std::uint32_t uid, const std::string& commandLine, const os::NativeHandle (&streams)[3]) {
    const Bytes sid = utf16("S-1-22-1-" + std::to_string(uid)), line = utf16(commandLine), header(40, 0);
    if (!send({le32(1), le32(3), le32(static_cast<std::uint32_t>(sid.size())), sid, le32(40)}) ||
        !os::pipe::sendWithHandles(handle(), header.data(), header.size(), streams).ok() || word() != 0 ||
        word() != 0 || !send({le32(4), le32(0), le32(static_cast<std::uint32_t>(line.size())), line, le32(0), le32(0)}) ||
        word() != 1 || word() != 8 || !readable(10000))
      return {};
    Bytes value(8);
    std::vector<os::Handle> process;
    (void)os::pipe::receiveWithHandles(handle(), value.data(), value.size(), process);
    return process.size() == 1 ? std::move(process[0]) : os::Handle();
  }
  // A reply's word (status or count), read without the large buffer of an arbitrary message.
  std::optional<std::uint32_t> word() {
    Bytes bytes(4);
    os::Result<std::size_t> got = readable(10000) ? os::pipe::receive(handle(), bytes.data(), 4) : std::size_t{0};
    if (!got.ok() || got.value() != 4) return std::nullopt;
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  }
  // True when the service has closed the connection (and sent nothing more).
  bool closedByService() {
    std::optional<Bytes> more = receive(3000);
    return !more.has_value() && !receive(0).has_value();
  }
};

class ImpersonationService : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the service acts as other accounts: it needs root";
    ::chmod(dir_.path().c_str(), 0755);
    ASSERT_TRUE(listed_.ok());
    registry_.write("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + dir_.file("run") +
                    "\"\n\"ImpersonationServiceClients\"=\"7, " + std::to_string(listed_.uid()) + "\"\n");
    ::chmod(registry_.path().substr(0, registry_.path().rfind('/')).c_str(), 0755);
    // Thousands of running programs take two descriptors each in the service, and as many here.
    const rlimit descriptors{16384, 16384};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &descriptors), 0);
    service_ = std::make_unique<ServiceProcess>(registry_.path(), pipe(), "tavrix-impersonation-service", log());
  }
  std::string pipe() const { return dir_.file("run/pipe/ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}"); }
  std::string log() const { return dir_.file("service.log"); }

  TempDir dir_;
  ScopedRegistry registry_;
  ScopedUser listed_;
  std::unique_ptr<ServiceProcess> service_;
};

// Who is refused is the shared connection handling's (the management service's tests); this
// service's own are its list, that no program runs as root, whoever asks, and its reader's answers.
TEST_F(ImpersonationService, ItsListedAccountsAreServedNoOneAsRootAndMalformedInputIsAnswered) {
  EXPECT_EQ(inChildAs(listed_.uid(), listed_.gid(),
                      [&] { return ImpersonationPeer(pipe()).impersonate(listed_.uid()) == "ok" ? 0 : 1; }),
            0);
  ImpersonationPeer root(pipe());
  EXPECT_EQ(root.impersonate(0), "error: Refusing to act as S-1-22-1-0: no program runs as uid 0 or System here");
  EXPECT_EQ(root.impersonate(listed_.uid()), "ok") << "the connection goes on after a refusal";
  struct Case {
    const char* name;
    std::vector<Bytes> messages;
    std::string reply; // empty: closed without a reply
  } cases[] = {
      // The reader's faults (its own table has them all) as the service answers them.
      {"a count of 4 GiB", {le32(1), le32(5), le32(0xFFFFFFFE)}, "error: The request is too long"},
      {"a run without its descriptors", {le32(1), le32(3), le32(0), le32(40), Bytes(40, 0)},
       "error: The process header carries 0 descriptors"},
      {"a message longer than its item", {Bytes(100, 1)}, ""},
  };
  for (Case& c : cases) {
    ImpersonationPeer peer(pipe());
    ASSERT_TRUE(peer.send(c.messages)) << c.name;
    if (!c.reply.empty()) {
      EXPECT_EQ(peer.reply(), c.reply) << c.name;
    }
    EXPECT_TRUE(peer.closedByService()) << c.name;
  }
  EXPECT_EQ(ImpersonationPeer(pipe()).impersonate(listed_.uid()), "ok");
}

// A running program costs the service no thread and two descriptors; when they end, each exit
// code reaches its client and nothing of the runs is left.
TEST_F(ImpersonationService, ThousandsOfRunningProgramsHoldNoThreadEach) {
  constexpr std::size_t kRuns = 2000;
  const std::string service = "/proc/" + std::to_string(service_->pid());
  ImpersonationPeer peer(pipe());
  // Served once, so that its connection counts among the service's descriptors.
  ASSERT_EQ(peer.impersonate(listed_.uid()), "ok");
  const std::size_t descriptorsBefore = entriesOf(service + "/fd");
  const os::Handle nothing(static_cast<os::NativeHandle>(::open("/dev/null", O_WRONLY | O_CLOEXEC)));
  std::vector<os::Handle> inputs, processes;
  for (std::size_t i = 0; i < kRuns; ++i) {
    os::Result<os::pipe::PipePair> input = os::pipe::createPipe(0, false);
    ASSERT_TRUE(input.ok());
    const os::NativeHandle streams[3] = {input.value().read.get(), nothing.get(), nothing.get()};
    processes.push_back(peer.run(listed_.uid(), "\\bin\\sh -c \"read code; exit $code\"", streams));
    ASSERT_TRUE(processes.back().valid()) << "run " << i << ": " << readFile(log());
    inputs.push_back(std::move(input.value().write));
  }
  // Once the next request is answered, the connection has let go of the last run's streams.
  ASSERT_EQ(peer.impersonate(listed_.uid()), "ok");
  EXPECT_LT(entriesOf(service + "/task"), 20u);
  EXPECT_LE(entriesOf(service + "/fd"), descriptorsBefore + 2 * kRuns);

  for (std::size_t i = 0; i < kRuns; ++i) {
    const std::string code = std::to_string(i % 250) + "\n";
    ASSERT_EQ(::write(static_cast<int>(inputs[i].get()), code.data(), code.size()), static_cast<ssize_t>(code.size()));
    inputs[i].reset();
  }
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kRuns; ++i) {
    // The code, then the end: the service has let go of the run once its writer is closed.
    std::uint32_t code = 0xFFFFFFFF;
    char end;
    const int process = static_cast<int>(processes[i].get());
    wrong += ::read(process, &code, sizeof code) != sizeof code || ::read(process, &end, 1) != 0 || code != i % 250;
  }
  EXPECT_EQ(wrong, 0u) << "runs whose exit code did not reach the client";
  EXPECT_EQ(entriesOf(service + "/fd"), descriptorsBefore);
  EXPECT_EQ(childrenOf(service_->pid()), std::vector<std::string>{}) << "running or unreaped";
  EXPECT_EQ(liveProcessesOf(listed_.uid()), std::vector<std::string>{});
  EXPECT_EQ(readFile(log()).find("left behind"), std::string::npos) << "a run's groups or processes stay";
}

// That the socket file goes with the service is the management service's test (the same server).
TEST_F(ImpersonationService, SigtermStopsItWithClientsConnectedAndProgramsRunning) {
  // In process groups: the program outlives the service, and no control group is left of it.
  service_->stop();
  ASSERT_EQ(::setenv("TAVRIX_NO_CGROUPS", "1", 1), 0);
  service_ = std::make_unique<ServiceProcess>(registry_.path(), pipe(), "tavrix-impersonation-service");
  ::unsetenv("TAVRIX_NO_CGROUPS");
  ImpersonationPeer idle(pipe());
  os::Result<os::pipe::PipePair> input = os::pipe::createPipe(0, false);
  ASSERT_TRUE(input.ok());
  const os::NativeHandle streams[3] = {input.value().read.get(), input.value().read.get(), input.value().read.get()};
  const os::Handle process = idle.run(listed_.uid(), "\\bin\\sh -c \"read line\"", streams);
  ASSERT_TRUE(process.valid());
  input.value().read.reset();

  EXPECT_EQ(service_->stop(), 0);
  EXPECT_TRUE(idle.closedByService());
  EXPECT_EQ(liveProcessesOf(listed_.uid()).size(), 1u) << "the program goes on";
  std::uint32_t code;
  EXPECT_EQ(::read(static_cast<int>(process.get()), &code, sizeof code), 0) << "its handle ends without a code";
}

TEST_F(ImpersonationService, ASecondInstanceOnTheRunDirectoryRefusesToStartAnotherKindRuns) {
  // The management service has a pipe of its own: the lock is per pipe, not per run directory.
  ServiceProcess management(registry_.path(), dir_.file("run/pipe/zrcpipe"), "tavrix-management-service");
  EXPECT_TRUE(RawPeer(dir_.file("run/pipe/zrcpipe")).connected()) << "another kind";

  ProcessResult second = runProcess({binary("tavrix-impersonation-service"), "--registry=" + registry_.path()});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("another instance (pid " + std::to_string(service_->pid()) + ")"), std::string::npos)
      << second.err;
  EXPECT_EQ(ImpersonationPeer(pipe()).impersonate(listed_.uid()), "ok") << "the first still serves";
}

} // namespace
