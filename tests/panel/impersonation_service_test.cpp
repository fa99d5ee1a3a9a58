// The reference impersonation service as its peers meet it: the peer check, hostile and
// malformed input, thousands of running programs, SIGTERM. (Many clients at once, and silent
// ones, are the shared connection handling's: the management service's tests have them, and the
// concurrent extractions reach this service at once.) First its request reader on scripted
// messages, and the environment block and program line of a run.
#include "panel/impersonation_request.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "panel/channel.h"
#include "tests/panel/raw_peer.h"
#include "tests/support/failure.h"
#include "tests/support/service_process.h"

using namespace testing_support;

namespace {

// Messages given in advance; the 6th (a request's process header) carries `descriptors`
// descriptors (pipe ends).
struct Script : panel::MessageSource {
  Script(std::vector<Bytes> messages, int descriptors) : messages(std::move(messages)), descriptors(descriptors) {}
  std::optional<Bytes> next(std::size_t limit, bool, std::vector<os::Handle>& handles) override {
    if (index == messages.size()) return std::nullopt;
    Bytes message = messages[index++];
    if (index == 6)
      for (int i = 0; i < descriptors; ++i) handles.push_back(std::move(os::pipe::createPipe(0, false).value().read));
    if (message.size() > limit) message.resize(limit + 1);
    return message;
  }

  std::vector<Bytes> messages;
  int descriptors;
  std::size_t index = 0;
};

// A whole run request: its head (messages 1-6, the header the 6th) and its parameters.
std::vector<Bytes> runRequest(std::uint32_t code) {
  const std::string sid = "S-1-22-1-1000";
  return {le32(1), le32(code), le32(static_cast<std::uint32_t>(sid.size() * 2)), utf16(sid), le32(40), Bytes(40, 0),
          le32(4), le32(1), le32(4), utf16("C:"), le32(6), utf16("a b"), le32(0), le32(8), utf16(std::string_view("X=1\0", 4))};
}

// That a whole request is read into the values of its run is what every script run shows: the
// program, its arguments, its environment and its streams reach it exactly
// (tests/siteapp/script_runner_test.cpp, tests/e2e/script_test.cpp).
TEST(ImpersonationRequest, MalformedRequestsAreRefusedWithTheirFault) {
  // The request with message `index` replaced, or cut before it when no message is given.
  auto with = [](std::uint32_t code, std::size_t index, std::optional<Bytes> message = std::nullopt) {
    std::vector<Bytes> request = runRequest(code);
    if (message) request[index] = std::move(*message);
    else request.resize(index);
    return request;
  };
  // The case, its messages, the descriptors the header carries, and the fault.
  const std::tuple<const char*, std::vector<Bytes>, int, std::string> cases[] = {
      {"start word 2", with(3, 0, le32(2)), 3, "A request must begin with the word 1"},
      {"start word of 3 bytes", with(3, 0, Bytes{1, 0, 0}), 3, "A request must begin with the word 1"},
      {"request code 4", with(4, 1, le32(4)), 3, "Unknown request code 4"},
      {"request code 8", with(8, 1, le32(8)), 3, "Unknown request code 8"},
      {"odd SID count", with(3, 2, le32(5)), 3, "The SID has an odd byte count"},
      {"SID shorter than its count", with(3, 3, utf16("S-1")), 3, "A message of 6 bytes where 26 were expected"},
      {"a count past what is left of the bound", with(3, 2, le32(RunTime::impersonation::maxLength)), 3,
       "The request is too long"},
      {"an environment past what the earlier messages left of the bound",
       with(3, 13, le32(RunTime::impersonation::maxLength - 16)), 3, "The request is too long"},
      {"header of 39 bytes", with(3, 4, le32(39)), 3, "The process header must be 40 bytes"},
      {"a run without descriptors", runRequest(3), 0, "The process header carries 0 descriptors"},
      {"an impersonation with descriptors", runRequest(5), 3, "The process header carries 3 descriptors"},
      {"flag of 8 bytes", with(3, 6, le32(8)), 3, "A flag must be 4 bytes"},
      {"flag value 2", with(3, 7, le32(2)), 3, "A flag must be 0 or 1, not 2"},
      {"the client leaves inside the head", with(3, 3), 3, "The client left in the middle of a request"},
      {"the client leaves inside the run", with(3, 12), 3, "The client left in the middle of a request"},
      {"a long message where a word belongs", with(3, 12, Bytes(8, 0)), 3, "A message of 5 bytes where 4 were expected"},
      {"no request at all", {}, 0, "no request"},
  };
  for (const auto& [name, messages, descriptors, expected] : cases) {
    Script script(messages, descriptors);
    panel::RequestReader reader(script);
    bool none = false;
    const std::string fault = failureOf([&] {
                                if (reader.readHead()) reader.readRun();
                                else none = true;
                              }).message;
    EXPECT_EQ(none ? "no request" : fault, expected) << name;
  }
}

TEST(ImpersonationRequest, StreamsTheServiceHasNoRoomForAreReportedAsSuch) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
  const os::Handle client(static_cast<os::NativeHandle>(ends[0])), server(static_cast<os::NativeHandle>(ends[1]));
  os::Result<os::pipe::PipePair> stream = os::pipe::createPipe(0, false);
  ASSERT_TRUE(stream.ok());
  const os::NativeHandle streams[3] = {stream.value().read.get(), stream.value().write.get(), stream.value().write.get()};
  const Bytes head(40, 0);
  ASSERT_TRUE(os::pipe::sendWithHandles(client.get(), head.data(), head.size(), streams).ok());
  EXPECT_EQ(inChildAs(::geteuid(), ::getegid(), [&] {
              // No room for one more descriptor: the limit is the lowest free one.
              const int lowest = ::dup(0);
              ::close(lowest);
              rlimit limit{};
              ::getrlimit(RLIMIT_NOFILE, &limit);
              const rlimit room = limit;
              limit.rlim_cur = static_cast<rlim_t>(lowest);
              if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
              panel::Channel channel(server.get(), stream.value().read.get(), {});
              std::vector<os::Handle> received;
              try {
                (void)channel.receive(40, false, &received);
              } catch (const vexception& e) {
                // Room again first: the sanitizers' checks of the exception need descriptors too.
                ::setrlimit(RLIMIT_NOFILE, &room);
                return u8(e.message()) ==
                               "The service is out of descriptors: it cannot take the descriptors sent with the request"
                           ? 0
                           : 1;
              }
              return 3;
            }),
            0);
}

// A block of several entries reaches a script whole in ScriptRunner.RunsAsTheSiteUser..., a last
// entry without its NUL the program in RealService.ARunArrivesWhole...; a quoted program with
// quoted arguments is the script runner's every run.
TEST(ImpersonationRequest, TheEnvironmentBlockAndTheProgramLine) {
  const std::pair<std::u16string, std::vector<std::u16string>> environments[] = {
      {u"", {}},
      {std::u16string(u"A=1\0\0B=2\0\0", 10), {u"A=1"}},
      {std::u16string(u"=C:=C:\\\0", 8), {u"=C:=C:\\"}},
  };
  for (const auto& [block, entries] : environments) EXPECT_EQ(panel::environmentEntries(block), entries) << u8(block);

  // The program, then each argument after a "|"; or what the call threw.
  const std::pair<panel::RunParameters, std::string> lines[] = {
      {{true, u"/usr/bin/env", u"env -i", u"", u""}, "/usr/bin/env|env|-i"},
      {{true, u"/usr/bin/env", u"", u"", u""}, "/usr/bin/env|/usr/bin/env"},
      {{false, u"", u"", u"", u""}, "No program to start"},
      {{false, u"", u"   ", u"", u""}, "No program to start"},
      {{true, u"", u"x", u"", u""}, "No program to start"},
      {{true, std::u16string(u"/bin/sh\0x", 9), u"", u"", u""}, "The program name holds a NUL character"},
  };
  for (const auto& [run, expected] : lines) {
    std::u16string text;
    const std::string fault = failureOf([&] {
                                const panel::ProgramLine line = panel::programLine(run);
                                text = line.program;
                                for (const std::u16string& argument : line.arguments) text += u"|" + argument;
                              }).message;
    EXPECT_EQ(fault.empty() ? u8(text) : fault, expected) << u8(run.commandLine);
  }
}


// A raw peer that sends whole requests and reads impersonation replies.
class ImpersonationPeer : public RawPeer {
public:
  using RawPeer::RawPeer;

  // Asks to act as the user (request 5): the reply.
  std::string impersonate(std::uint32_t uid) {
    const Bytes sid = utf16("S-1-22-1-" + std::to_string(uid));
    return send({le32(1), le32(5), le32(static_cast<std::uint32_t>(sid.size())), sid, le32(40), Bytes(40, 0)}) ? reply()
                                                                                                               : "closed";
  }
  // One reply: "ok" (status 0, nothing), "error: <text>" or "closed".
  std::string reply(std::uint32_t timeoutMs = 2000) {
    const std::optional<Bytes> status = receive(timeoutMs), count = status ? receive(timeoutMs) : std::nullopt;
    if (status == le32(0) && count == le32(0)) return "ok";
    const std::optional<Bytes> text = status == le32(0xFFFFFFFF) && count ? receive(timeoutMs) : std::nullopt;
    if (!text || count != le32(static_cast<std::uint32_t>(text->size()))) return "closed";
    std::string ascii;
    for (std::size_t i = 0; i < text->size(); i += 2) ascii += static_cast<char>((*text)[i]);
    return "error: " + ascii;
  }
  // Starts the command line as the user with the three standard streams; the process handle
  // that comes back (invalid when none came).
  os::Handle run(std::uint32_t uid, const std::string& commandLine, const os::NativeHandle (&streams)[3]) {
    const Bytes sid = utf16("S-1-22-1-" + std::to_string(uid)), line = utf16(commandLine), header(40, 0);
    std::vector<os::Handle> process;
    if (send({le32(1), le32(3), le32(static_cast<std::uint32_t>(sid.size())), sid, le32(40)}) &&
        os::pipe::sendWithHandles(handle(), header.data(), header.size(), streams).ok() && reply(10000) == "ok" &&
        send({le32(4), le32(0), le32(static_cast<std::uint32_t>(line.size())), line, le32(0), le32(0)}) &&
        receive(10000) == le32(1) && receive(10000) == le32(8))
      (void)receive(10000, &process);
    return process.size() == 1 ? std::move(process[0]) : os::Handle();
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
  // The reader's faults (its own table has them all) as the service answers them: a count of
  // 4 GiB, a message longer than its item.
  const std::pair<std::vector<Bytes>, std::string> cases[] = {
      {{le32(1), le32(5), le32(0xFFFFFFFE)}, "error: The request is too long"},
      {{Bytes(100, 1)}, "closed"},
  };
  for (const auto& [messages, reply] : cases) {
    ImpersonationPeer peer(pipe());
    ASSERT_TRUE(peer.send(messages)) << reply;
    EXPECT_EQ(peer.reply(), reply);
    EXPECT_TRUE(peer.closedByService()) << reply;
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
  // The pids of the service's children, zombies included: each of its threads lists its own.
  std::string children;
  for (const auto& task : std::filesystem::directory_iterator(service + "/task"))
    children += readFile(task.path().string() + "/children");
  EXPECT_EQ(children, "") << "running or unreaped";
  EXPECT_EQ(liveProcessesOf(listed_.uid()), std::vector<std::string>{});
  EXPECT_EQ(readFile(log()).find("left behind"), std::string::npos) << "a run's groups or processes stay";
}

// A second instance on the same pipe is refused, one of another kind runs beside it; SIGTERM stops
// the first with a client connected and its program running. (That the socket file goes with the
// service is the management service's test: the same server.)
TEST_F(ImpersonationService, ASecondInstanceIsRefusedAndSigtermStopsTheFirstWithProgramsRunning) {
  // In process groups: the program outlives the service, and no control group is left of it.
  service_->stop();
  ASSERT_EQ(::setenv("TAVRIX_NO_CGROUPS", "1", 1), 0);
  service_ = std::make_unique<ServiceProcess>(registry_.path(), pipe(), "tavrix-impersonation-service");
  ::unsetenv("TAVRIX_NO_CGROUPS");
  // The management service has a pipe of its own: the lock is per pipe, not per run directory.
  ServiceProcess management(registry_.path(), dir_.file("run/pipe/zrcpipe"), "tavrix-management-service");
  EXPECT_TRUE(RawPeer(dir_.file("run/pipe/zrcpipe")).connected()) << "another kind";
  ProcessResult second = runProcess({binary("tavrix-impersonation-service"), "--registry=" + registry_.path()});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("another instance (pid " + std::to_string(service_->pid()) + ")"), std::string::npos)
      << second.err;

  // The first still serves.
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

} // namespace
