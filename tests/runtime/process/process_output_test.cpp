#include "runtime/process/process_output.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <thread>

#include <gtest/gtest.h>

#include "os/exit_code.h"
#include "os/pipe.h"
#include "runtime/process/vprocess.h"
#include "tests/support/failure.h"

extern char** environ;

using namespace testing_support;

namespace {

// A shell script run with its standard output and error on two async pipes, and a process handle
// that a watcher thread fills with the exit code, as the impersonation service does. The script's
// "read g <&3" waits for the test's release().
class Child {
public:
  explicit Child(const std::string& script) {
    Pipe gate = makePipe();
    gate_ = std::move(gate.writeEnd);
    RunTime::createAsyncPipe(outRead, outWrite, 0, outOverlapped);
    RunTime::createAsyncPipe(errRead, errWrite, 0, errOverlapped);
    os::Result<os::pipe::PipePair> exit = os::pipe::createPipe(0, false);
    process = std::move(exit.value().read);
    os::Handle exitWrite = std::move(exit.value().write);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(outWrite.get()), 1);
    posix_spawn_file_actions_adddup2(&actions, static_cast<int>(errWrite.get()), 2);
    posix_spawn_file_actions_adddup2(&actions, gate.readEnd.get(), 3);
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // The tool keeps only its reading ends.
    outWrite.reset();
    errWrite.reset();
    watcher_ = std::thread([pid, writer = std::move(exitWrite)] {
      int status = 0;
      ::waitpid(pid, &status, 0);
      (void)os::writeExitCode(writer.get(), WIFEXITED(status) ? WEXITSTATUS(status) : 255);
    });
  }
  ~Child() { watcher_.join(); }

  void collect(std::string& out, std::string& err, std::size_t limit, const RunTime::OutputCallback& callback = {},
               VSyncObject* processEnded = nullptr) {
    RunTime::asyncReadTaskOutput(out, err, outRead.get(), outOverlapped, errRead.get(), errOverlapped, limit, callback,
                                 processEnded);
  }

  // A release after the script has ended finds no reader: EPIPE, not a SIGPIPE that ends the test.
  void release() {
    ::signal(SIGPIPE, SIG_IGN);
    (void)!::write(gate_.get(), "\n", 1);
  }

  os::Handle outRead, outWrite, errRead, errWrite, process;
  RunTime::Overlapped outOverlapped, errOverlapped;

private:
  os::posix::Fd gate_;
  std::thread watcher_;
};

TEST(ProcessOutput, CollectionStopsAtTheLimitAndTheChildStillEnds) {
  // 20 MiB on standard output, a line on standard error after each MiB.
  Child child("i=0; while [ $i -lt 20 ]; do head -c 1048576 /dev/zero; echo err$i >&2; i=$((i+1)); done; exit 3");
  std::string out, err;
  const std::size_t limit = 4 * 1024 * 1024;
  child.collect(out, err, limit);
  EXPECT_GE(out.size() + err.size(), limit);
  EXPECT_LE(out.size() + err.size(), limit + 1024) << "at most one chunk past the limit";
  EXPECT_TRUE(err.starts_with("err0\nerr1\nerr2\n")) << err;
  EXPECT_EQ(VProcess::getExitCode(child.process.get()), 3u);
}

// Each line is written once the collection has called back for the one before.
TEST(ProcessOutput, ClosedStandardErrorDoesNotEndCollection) {
  Child child("exec 2>&-; for i in 1 2 3 4 5; do echo line$i; read g <&3; done");
  std::string out, err;
  int calls = 0;
  child.collect(out, err, 1 << 20, [&](const std::string& output, std::uint32_t&, bool) {
    EXPECT_EQ(&output, &out);
    ++calls;
    child.release();
  });
  EXPECT_EQ(out, "line1\nline2\nline3\nline4\nline5\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(calls, 5);
  EXPECT_EQ(VProcess::getExitCode(child.process.get()), 0u);
}

TEST(ProcessOutput, OneStringTakesBothPipesAndCountsTwice) {
  const auto releasing = [](Child& child) { return [&child](const std::string&, std::uint32_t&, bool) { child.release(); }; };
  Child child("echo a; read g <&3; echo b >&2; read g <&3; echo c");
  std::string both;
  child.collect(both, both, 1 << 20, releasing(child));
  EXPECT_EQ(both, "a\nb\nc\n");
  // With the same string as both outputs, 3 bytes count as 6: nothing after the first chunk.
  Child limited("printf abc; read g <&3; printf def");
  limited.collect(both, both, 6, releasing(limited));
  EXPECT_EQ(both, "abc");
}

// The exit code is written only after the sleep: reading it waits for the exit.
TEST(ProcessOutput, PipesClosedBeforeTheExitThenTheExitCodeIsWaitedFor) {
  Child child("exec >&- 2>&-; sleep 0.3; exit 7");
  std::string out, err;
  child.collect(out, err, 1024);
  EXPECT_EQ(VProcess::getExitCode(child.process.get()), 7u);
  EXPECT_EQ(VProcess::getExitCode(child.process.get()), 7u) << "asked again";
}

TEST(ProcessOutput, TheReportedEndOfTheProcessEndsCollectionWithWhatThePipesHold) {
  // The background sleep keeps both pipes open; its pid is the output.
  Child child("sleep 600 & echo $!; echo err >&2");
  RunTime::Overlapped ended;
  ended.bind(child.process.get(), "ProcessOutput test");
  std::string out, err;
  child.collect(out, err, 1 << 20, {}, &ended);
  EXPECT_EQ(err, "err\n");
  ASSERT_EQ(::kill(std::stoi(out), SIGKILL), 0) << out;
}

TEST(ProcessOutput, MissingReadingEndsCountAsEnded) {
  RunTime::Overlapped one, two;
  std::string out = "old", err = "old";
  RunTime::asyncReadTaskOutput(out, err, os::NativeHandle::none, one, os::NativeHandle::none, two, 1024);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
}

TEST(ProcessOutput, ExitCodeOfAWriterThatClosedWithoutOne) {
  os::Result<os::pipe::PipePair> pipe = os::pipe::createPipe(0, false);
  pipe.value().write.reset();
  const Failure f = failureOf([&] { (void)VProcess::getExitCode(pipe.value().read.get()); });
  EXPECT_EQ(f.code, os::err::handleEof);
  EXPECT_TRUE(f.message.ends_with(" at GetExitCodeProcess")) << f.message;
}

} // namespace
