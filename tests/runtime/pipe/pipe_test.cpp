#include "runtime/pipe/pipe.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/failure.h"

using namespace testing_support;

namespace {

// Descriptors that travel with a message are the impersonation client's: every run of
// sid_client_test.cpp sends its streams and receives its process.
constexpr char16_t kName[] = u"\\\\.\\pipe\\tavrix-test";

// A private run directory and three tries for a connect, and a connected pair of overlapped pipes
// of the given read mode.
class Pipes : public ::testing::Test {
protected:
  void connectPair(std::uint32_t mode) {
    server_ = std::make_unique<Con::ServerOverlappedPipe>(Con::ServerOverlappedPipe::create(kName, mode));
    client_ = std::make_unique<Con::ClientOverlappedPipe>(Con::ClientOverlappedPipe::create(kName, mode, 1));
    ASSERT_TRUE(server_->connect(1000));
  }

  TempDir run_;
  ScopedRegistry registry_{"[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix]\n\"RunDirectory\"=\"" + run_.file("run") +
                           "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                           "\"PipeConnectTryCount\"=dword:00000003\n"};
  std::unique_ptr<Con::ServerOverlappedPipe> server_;
  std::unique_ptr<Con::ClientOverlappedPipe> client_;
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
  EXPECT_THROW((void)Con::ClientOverlappedPipe::create(kName, 0, 1), VFileNotFoundException);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1450));
}

// A message of the size asked for is read whole; a shorter one fails the exact read, and a longer
// one fails with ERROR_MORE_DATA.
TEST_F(Pipes, MessagesMoveWholeOrFail) {
  connectPair(Con::PIPE_READMODE_MESSAGE);
  char got[8];
  ASSERT_EQ(client_->write("12345678", 8, true), 8u);
  EXPECT_EQ(server_->read(got, 8, true), 8u);
  EXPECT_EQ(std::string(got, 8), "12345678");
  ASSERT_EQ(client_->write("abc", 3, true), 3u);
  EXPECT_EQ(failureOf([&] { server_->read(got, 8, true); }).message, "Completed only 3 of 8 bytes");
  ASSERT_EQ(client_->write("0123456789", 10, true), 10u);
  EXPECT_EQ(failureOf([&] { server_->read(got, 4, true); }).code, 234u);
}

TEST_F(Pipes, ByteReadsGatherWritesUntilTheCount) {
  connectPair(Con::PIPE_READMODE_BYTE);
  // Each part is written while the reader waits for more.
  std::thread writer([&, reader = threadId()] {
    for (const char* part : {"ab", "cde", "fgh"}) {
      waitUntilAsleep(reader);
      client_->write(part, static_cast<std::uint32_t>(std::strlen(part)), true);
    }
    client_->close();
  });
  char got[8];
  EXPECT_EQ(server_->read(got, 8, true), 8u);
  EXPECT_EQ(std::string(got, 8), "abcdefgh");
  writer.join();
  // The writer closed: the next read returns 0 and the pipe stays closed.
  EXPECT_EQ(server_->read(got, 1, true), 0u);
  EXPECT_TRUE(server_->closed());
}

// What a pending, an abandoned, an at-once and an ended read let the caller do next.
TEST_F(Pipes, OverlappedStateRules) {
  connectPair(Con::PIPE_READMODE_MESSAGE);
  char buffer[4];
  EXPECT_EQ(server_->beginRead(buffer, 4, true), 0u);
  EXPECT_EQ(failureOf([&] { server_->beginRead(buffer, 4, true); }).message, "Previous request has not completed!");
  EXPECT_EQ(failureOf([&] { server_->beginWrite(buffer, 4, true); }).message, "Previous request has not completed!");

  // A time-out abandons the read; so does the extra event: the next read may begin.
  EXPECT_EQ(server_->complete(nullptr, 50, true), 0u);
  VEvent cancel(true, true);
  EXPECT_EQ(server_->beginRead(buffer, 4, true), 0u);
  EXPECT_EQ(server_->complete(&cancel, os::INFINITE_WAIT, true), 0u);
  EXPECT_FALSE(server_->closed());

  // Data already there completes the read at once: nothing is left to complete.
  ASSERT_EQ(client_->write("wxyz", 4, true), 4u);
  EXPECT_EQ(server_->beginRead(buffer, 4, true), 4u);
  EXPECT_EQ(std::string(buffer, 4), "wxyz");
  EXPECT_EQ(failureOf([&] { server_->complete(nullptr, 0, true); }).message, "Previous request has completed!");

  // The other side closing during a pending read ends it with 0, and the pipe stays closed.
  EXPECT_EQ(server_->beginRead(buffer, 4, true), 0u);
  std::thread closer([&, reader = threadId()] {
    waitUntilAsleep(reader);
    client_.reset();
  });
  EXPECT_EQ(server_->complete(nullptr, os::INFINITE_WAIT, true), 0u);
  closer.join();
  EXPECT_TRUE(server_->closed());
  EXPECT_EQ(server_->write("x", 1, true), 0u);
  EXPECT_EQ(server_->read(buffer, 4, true), 0u);
}

TEST(PipeNames, NamesStayInThePipeDirectory) {
  for (std::u16string_view name : {u"\\\\.\\pipe\\", u"\\\\.\\pipe\\..", u"\\\\.\\pipe\\a/../../etc/x"})
    EXPECT_EQ(os::pipe::socketPath("/run/x", name).code(), os::err::badPathName) << u8(name);
  EXPECT_EQ(os::pipe::socketPath("/run/x", u"\\\\.\\pipe\\zrcpipe").value(), "/run/x/pipe/zrcpipe");
}

} // namespace
