#include "runtime/process/process_output.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "os/exit_code.h"
#include "os/pipe.h"
#include "runtime/process/vprocess.h"
#include "tests/support/failure.h"

using namespace testing_support;

namespace {

// A shell script run with its standard output and error on two async pipes, and a process handle
// that a watcher thread fills with the exit code, as the impersonation service does.
class Child {
public:
  explicit Child(const std::string& script) {
    RunTime::createAsyncPipe(outRead, outWrite, 0, outOverlapped);
    RunTime::createAsyncPipe(errRead, errWrite, 0, errOverlapped);
    os::Result<os::pipe::PipePair> exit = os::pipe::createPipe(0, false);
    process = std::move(exit.value().read);
    os::Handle exitWrite = std::move(exit.value().write);

    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    // Only async-signal-safe calls in the child of a threaded process.
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(static_cast<int>(outWrite.get()), 1);
      ::dup2(static_cast<int>(errWrite.get()), 2);
      ::execv(argv[0], const_cast<char**>(argv));
      ::_exit(127);
    }
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

  void collect(std::string& out, std::string& err, std::size_t limit, VSyncObject* processEnded = nullptr) {
    RunTime::asyncReadTaskOutput(out, err, outRead.get(), outOverlapped, errRead.get(), errOverlapped, limit,
                                 processEnded);
  }

  os::Handle outRead, outWrite, errRead, errWrite, process;
  RunTime::Overlapped outOverlapped, errOverlapped;

private:
  std::thread watcher_;
};

// 20 MiB on standard output, a line on standard error after each MiB; then both pipes close and
// the exit code is written only after the sleep, so reading it waits for the exit.
TEST(ProcessOutput, CollectionStopsAtTheLimitAndTheChildStillEndsAndIsWaitedFor) {
  Child child("i=0; while [ $i -lt 20 ]; do head -c 1048576 /dev/zero; echo err$i >&2; i=$((i+1)); done; "
              "exec >&- 2>&-; sleep 0.3; exit 3");
  std::string out, err;
  const std::size_t limit = 4 * 1024 * 1024;
  child.collect(out, err, limit);
  EXPECT_GE(out.size() + err.size(), limit);
  EXPECT_LE(out.size() + err.size(), limit + 1024) << "at most one chunk past the limit";
  EXPECT_TRUE(err.starts_with("err0\nerr1\nerr2\n")) << err;
  EXPECT_EQ(VProcess::getExitCode(child.process.get()), 3u);
  EXPECT_EQ(VProcess::getExitCode(child.process.get()), 3u) << "asked again";
}

// Two pipes filled and closed before the collection starts (no text: no pipe), so that what
// each read takes is fixed: at most 1024 bytes of what the pipe holds. Returns the one string, or
// the two outputs joined by '|'.
std::string collected(const std::optional<std::string> (&texts)[2], std::size_t limit, bool oneString) {
  std::string outputs[2] = {"old", "old"};
  os::Handle readEnds[2], writeEnds[2];
  RunTime::Overlapped overlapped[2];
  for (int i = 0; i < 2; ++i) {
    if (!texts[i]) continue;
    RunTime::createAsyncPipe(readEnds[i], writeEnds[i], 0, overlapped[i]);
    EXPECT_EQ(::write(static_cast<int>(writeEnds[i].get()), texts[i]->data(), texts[i]->size()),
              static_cast<ssize_t>(texts[i]->size()));
    writeEnds[i].reset();
  }
  RunTime::asyncReadTaskOutput(outputs[0], oneString ? outputs[0] : outputs[1], readEnds[0].get(), overlapped[0],
                               readEnds[1].get(), overlapped[1], limit);
  return oneString ? outputs[0] : outputs[0] + "|" + outputs[1];
}

TEST(ProcessOutput, EndedPipesAndOneStringForBoth) {
  // The two pipes' texts, the limit, whether one string takes both, what is collected.
  const std::tuple<std::optional<std::string>, std::optional<std::string>, std::size_t, bool, std::string> cases[] = {
      // The second pipe's end is read in the first round, while the first holds more than a read.
      {std::string(3000, 'x'), "", 1 << 20, false, std::string(3000, 'x') + "|"},
      {std::nullopt, std::nullopt, 1024, false, "|"},
      {"out\n", "err\n", 1 << 20, true, "out\nerr\n"},
      // 1024 bytes in the one string count as 2048: nothing after the first read.
      {std::string(2048, 'x'), "err", 1500, true, std::string(1024, 'x')},
  };
  for (const auto& [first, second, limit, oneString, expected] : cases)
    EXPECT_EQ(collected({first, second}, limit, oneString), expected);
}

TEST(ProcessOutput, TheReportedEndOfTheProcessEndsCollectionWithWhatThePipesHold) {
  // The background sleep keeps both pipes open; its pid is the output.
  Child child("sleep 600 & echo $!; echo err >&2");
  RunTime::Overlapped ended;
  ended.bind(child.process.get(), "ProcessOutput test");
  std::string out, err;
  child.collect(out, err, 1 << 20, &ended);
  EXPECT_EQ(err, "err\n");
  ASSERT_EQ(::kill(std::stoi(out), SIGKILL), 0) << out;
}

TEST(ProcessOutput, ExitCodeOfAWriterThatClosedWithoutOne) {
  os::Result<os::pipe::PipePair> pipe = os::pipe::createPipe(0, false);
  pipe.value().write.reset();
  const Failure f = failureOf([&] { (void)VProcess::getExitCode(pipe.value().read.get()); });
  EXPECT_EQ(f.code, os::err::handleEof);
  EXPECT_TRUE(f.message.ends_with(" at GetExitCodeProcess")) << f.message;
}

} // namespace
