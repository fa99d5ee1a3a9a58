#include "runtime/pipe/pipe.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

#include "os/pipe.h"
#include "runtime/core/cancelation.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

// Descriptors that travel with a message are the impersonation client's: every run of
// sid_client_test.cpp sends its streams and receives its process.
constexpr char16_t kName[] = u"\\\\.\\pipe\\tavrix-test";

// A private run directory and three tries for a connect, and a client pipe connected to a
// listener of the test's, whose end of the connection is server_.
class Pipes : public ::testing::Test {
protected:
  void connect() {
    const std::string path = os::pipe::socketPath(run_.file("run"), kName).value();
    os::Result<os::Handle> listener = os::pipe::listen(path, os::pipe::Kind::Message, 0600, 1);
    ASSERT_TRUE(listener.ok()) << listener.code();
    client_ = std::make_unique<Con::ClientOverlappedPipe>(Con::ClientOverlappedPipe::create(kName, 1));
    server_ = std::move(os::pipe::accept(listener.value().get()).value());
  }

  void send(std::string_view message) {
    EXPECT_EQ(os::pipe::send(server_.get(), message.data(), message.size()).value(), message.size());
  }

  // A thread that takes the step once the calling thread sleeps in a wait.
  static std::thread whenTheReaderWaits(std::function<void()> step) {
    return std::thread([reader = threadId(), step] {
      waitUntilAsleep(reader);
      step();
    });
  }

  TempDir run_;
  ScopedRegistry registry_{"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + run_.file("run") +
                           "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                           "\"PipeConnectTryCount\"=dword:00000003\n"};
  std::unique_ptr<Con::ClientOverlappedPipe> client_;
  os::Handle server_;
};

TEST_F(Pipes, TheRegistryCountOverridesTheCaller) {
  // A process reads the count at its first connect (and at every 16th after): a fresh one asks.
  if (!std::getenv("TAVRIX_TEST_PIPE_CHILD")) {
    ProcessResult child = runProcess({std::filesystem::read_symlink("/proc/self/exe").string(),
                                      "--gtest_filter=Pipes.TheRegistryCount*"}, {{"TAVRIX_TEST_PIPE_CHILD", "1"}});
    EXPECT_EQ(child.exitCode, 0) << child.out;
    return;
  }
  // The caller asks for one try; the registry's three take three half-second pauses (the caller's
  // count is Client.ConnectsThroughTriesAndOneRetry's).
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW((void)Con::ClientOverlappedPipe::create(kName, 1), VFileNotFoundException);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1450));
}

// A message shorter than the size asked for fails the exact read, and a longer one fails with
// ERROR_MORE_DATA. (Whole messages of the size asked for move in every exchange of
// Client.MethodsAnswerWhatTheStoreHolds, and in the waiting read below.)
TEST_F(Pipes, MessagesOfAnotherSizeFail) {
  connect();
  char got[8];
  send("abc");
  EXPECT_EQ(failureOf([&] { client_->read(got, 8, true); }).message, "Completed only 3 of 8 bytes");
  send("0123456789");
  EXPECT_EQ(failureOf([&] { client_->read(got, 4, true); }).code, 234u);
}

// A read that waits takes the message that comes; one that waits when the other side goes ends
// with 0, and the pipe stays closed for reads and writes.
TEST_F(Pipes, AWaitingReadEndsWithTheMessageOrTheOtherSidesEnd) {
  connect();
  char got[4];
  std::thread sender = whenTheReaderWaits([&] { send("wxyz"); });
  EXPECT_EQ(client_->read(got, 4, true), 4u);
  sender.join();
  EXPECT_EQ(std::string(got, 4), "wxyz");
  std::thread closer = whenTheReaderWaits([&] { server_.reset(); });
  EXPECT_EQ(client_->read(got, 4, true), 0u);
  closer.join();
  EXPECT_TRUE(client_->closed());
  EXPECT_EQ(client_->write("x", 1, true), 0u);
  EXPECT_EQ(client_->read(got, 4, true), 0u);
}

// A read abandoned by cancellation leaves its message to come: the pipe refuses later transfers
// rather than hand that message to the next exchange.
TEST_F(Pipes, ACanceledReadLeavesThePipeRefusingTransfers) {
  connect();
  char got[4];
  std::thread canceler = whenTheReaderWaits([reader = threadId()] { ThreadCancelation::cancelThread(reader); });
  EXPECT_THROW(client_->read(got, 4, true), ThreadCancelation::ThreadCanceled);
  canceler.join();
  send("wxyz");
  EXPECT_EQ(failureOf([&] { client_->read(got, 4, true); }).message, "Previous request has not completed!");
}

// (Where a good name leads is in the messages of Client.ConnectsThroughTriesAndOneRetry.)
TEST(PipeNames, NamesStayInThePipeDirectory) {
  for (std::u16string_view name : {u"\\\\.\\pipe\\", u"\\\\.\\pipe\\..", u"\\\\.\\pipe\\a/../../etc/x"})
    EXPECT_EQ(os::pipe::socketPath("/run/x", name).code(), os::err::badPathName) << u8(name);
}

} // namespace
