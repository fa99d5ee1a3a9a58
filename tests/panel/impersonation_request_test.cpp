// The impersonation service's request reader on scripted messages, and the environment block
// and program line of a run.
#include "panel/impersonation_request.h"

#include <sys/resource.h>

#include <deque>

#include <gtest/gtest.h>

#include "panel/channel.h"
#include "tests/panel/raw_peer.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

// Messages given in advance; the one marked carries `descriptors` descriptors (pipe ends).
class Script : public panel::MessageSource {
public:
  Script(std::vector<Bytes> messages, std::size_t marked = 0, int descriptors = 0)
      : messages_(messages.begin(), messages.end()), marked_(marked), descriptors_(descriptors) {}
  std::optional<Bytes> next(std::size_t limit, bool, std::vector<os::Handle>& handles) override {
    if (messages_.empty()) return std::nullopt;
    Bytes message = std::move(messages_.front());
    messages_.pop_front();
    if (++index_ == marked_)
      for (int i = 0; i < descriptors_; ++i) handles.push_back(std::move(os::pipe::createPipe(0, false).value().read));
    if (message.size() > limit) message.resize(limit + 1);
    return message;
  }

private:
  std::deque<Bytes> messages_;
  std::size_t marked_;
  int descriptors_;
  std::size_t index_ = 0;
};

// A whole run request: its head (messages 1-6, the header the 6th) and its parameters.
std::vector<Bytes> runRequest(std::uint32_t code) {
  const std::string sid = "S-1-22-1-1000";
  return {le32(1), le32(code), le32(static_cast<std::uint32_t>(sid.size() * 2)), utf16(sid), le32(40), Bytes(40, 0),
          le32(4), le32(1), le32(4), utf16("C:"), le32(6), utf16("a b"), le32(0), le32(8), utf16(std::string_view("X=1\0", 4))};
}

// What reading a whole request throws: "no request" when none came, "" when it was read.
std::string readingFails(panel::MessageSource& source) {
  bool none = false;
  const std::string fault = failureOf([&] {
                              panel::RequestReader reader(source);
                              none = !reader.readHead();
                              if (!none) reader.readRun();
                            }).message;
  return none ? "no request" : fault;
}

// That a whole request is read into the values of its run is what every script run shows: the
// program, its arguments, its environment and its streams reach it exactly
// (tests/siteapp/script_runner_test.cpp, tests/e2e/script_test.cpp).
TEST(ImpersonationRequest, MalformedRequestsAreRefusedWithTheirFault) {
  auto with = [](std::uint32_t code, std::size_t index, Bytes message) {
    std::vector<Bytes> request = runRequest(code);
    request[index] = std::move(message);
    return request;
  };
  auto cut = [](std::size_t count) {
    std::vector<Bytes> request = runRequest(3);
    request.resize(count);
    return request;
  };
  struct Case {
    const char* name;
    std::vector<Bytes> messages;
    int descriptors;
    std::string fault;
  } cases[] = {
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
      {"the client leaves inside the head", cut(3), 3, "The client left in the middle of a request"},
      {"the client leaves inside the run", cut(12), 3, "The client left in the middle of a request"},
      {"a long message where a word belongs", with(3, 12, Bytes(8, 0)), 3, "A message of 5 bytes where 4 were expected"},
  };
  for (Case& c : cases) {
    Script script(c.messages, 6, c.descriptors);
    EXPECT_EQ(readingFails(script), c.fault) << c.name;
  }
  Script nothing({});
  EXPECT_EQ(readingFails(nothing), "no request");
}

TEST(ImpersonationRequest, StreamsTheServiceHasNoRoomForAreReportedAsSuch) {
  TempDir dir;
  const std::string path = dir.file("pipe/p");
  os::Result<os::Handle> listener = os::pipe::listen(path, os::pipe::Kind::Message, 0600, 1);
  ASSERT_TRUE(listener.ok());
  RawPeer client(path);
  os::Result<os::Handle> server = os::pipe::accept(listener.value().get());
  os::Result<os::pipe::PipePair> stream = os::pipe::createPipe(0, false);
  ASSERT_TRUE(server.ok() && stream.ok());
  const os::NativeHandle streams[3] = {stream.value().read.get(), stream.value().write.get(), stream.value().write.get()};
  const Bytes head(40, 0);
  ASSERT_TRUE(os::pipe::sendWithHandles(client.handle(), head.data(), head.size(), streams).ok());
  EXPECT_EQ(inChildAs(::geteuid(), ::getegid(), [&] {
              // No room for one more descriptor: the limit is the lowest free one.
              const int lowest = ::dup(0);
              ::close(lowest);
              rlimit limit{};
              ::getrlimit(RLIMIT_NOFILE, &limit);
              const rlimit room = limit;
              limit.rlim_cur = static_cast<rlim_t>(lowest);
              if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
              panel::Channel channel(server.value().get(), stream.value().read.get(), {});
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

TEST(ImpersonationRequest, TheEnvironmentBlockAndTheProgramLine) {
  struct Env {
    std::u16string block;
    std::vector<std::u16string> entries;
  } environments[] = {
      {u"", {}},
      {std::u16string(u"A=1\0B=x y\0\0", 11), {u"A=1", u"B=x y"}},
      {std::u16string(u"A=1", 3), {u"A=1"}},
      {std::u16string(u"A=1\0\0B=2\0\0", 10), {u"A=1"}},
      {std::u16string(u"=C:=C:\\\0", 8), {u"=C:=C:\\"}},
  };
  for (const Env& e : environments) EXPECT_EQ(panel::environmentEntries(e.block), e.entries) << u8(e.block);

  struct Line {
    panel::RunParameters run;
    std::u16string program;
    std::vector<std::u16string> arguments;
  } lines[] = {
      {{false, u"", u"\"C:\\php 8\\php.exe\" -f \"a b.php\"", u"", u""}, u"C:\\php 8\\php.exe", {u"C:\\php 8\\php.exe", u"-f", u"a b.php"}},
      {{true, u"/usr/bin/env", u"env -i", u"", u""}, u"/usr/bin/env", {u"env", u"-i"}},
      {{true, u"/usr/bin/env", u"", u"", u""}, u"/usr/bin/env", {u"/usr/bin/env"}},
  };
  for (const Line& l : lines) {
    panel::ProgramLine line = panel::programLine(l.run);
    EXPECT_EQ(line.program, l.program) << u8(l.run.commandLine);
    EXPECT_EQ(line.arguments, l.arguments) << u8(l.run.commandLine);
  }
  for (const panel::RunParameters& none :
       {panel::RunParameters{false, u"", u"", u"", u""}, panel::RunParameters{false, u"", u"   ", u"", u""},
        panel::RunParameters{true, u"", u"x", u"", u""},
        panel::RunParameters{true, std::u16string(u"/bin/sh\0x", 9), u"", u"", u""}}) {
    EXPECT_THROW(panel::programLine(none), vexception) << u8(none.commandLine);
  }
}

} // namespace
