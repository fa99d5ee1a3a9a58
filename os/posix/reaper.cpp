#include "os/reaper.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "os/posix/errno_map.h"
#include "os/posix/fd.h"
#include "os/posix/run_end.h"

namespace os {

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
  StartedProcess process;
  ProgramReaper::Ended ended;
  std::optional<Clock::time_point> deadline; // the wall-clock limit, until it has been enforced
  LimitHit stoppedBy = LimitHit::none;
};

// Whether the child has ended, leaving it unreaped. A pid that is no child of ours any more
// counts as ended: the run's end then reports why it cannot be waited for.
bool hasEnded(std::uint32_t pid) {
  siginfo_t info{};
  int rc;
  do rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  while (rc < 0 && errno == EINTR);
  return rc < 0 || info.si_pid != 0;
}

// Reads whatever a non-blocking descriptor holds (signal records, the wake-up count).
void drain(int fd) {
  char buffer[sizeof(signalfd_siginfo) * 16];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

} // namespace

class ProgramReaper::Watcher {
public:
  Watcher(posix::Fd childSignal, posix::Fd wake) : childSignal_(std::move(childSignal)), wake_(std::move(wake)) {}

  // Starts the thread. It takes no asynchronous signal (a stop signal is for the threads that
  // wait for it); faults in it still reach the fault handlers.
  [[nodiscard]] std::uint32_t launch() {
    sigset_t all, before;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigdelset(&all, fault);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    std::uint32_t rc = err::success;
    try {
      thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error& failure) {
      rc = posix::win32FromErrno(failure.code().value());
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return rc;
  }

  void add(Run run) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      arrived_.push_back(std::move(run));
    }
    signalWake();
  }

  void stop() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    signalWake();
    thread_.join();
  }

private:
  void loop() {
    for (;;) {
      pollfd ready[2] = {{childSignal_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (::poll(ready, 2, timeoutMs()) < 0) continue; // EINTR (or no memory for the moment)
      if (ready[1].revents & POLLIN) {
        drain(wake_.get());
        const std::size_t known = runs_.size();
        {
          const std::lock_guard<std::mutex> lock(mutex_);
          if (stopping_) return;
          for (Run& run : arrived_) runs_.push_back(std::move(run));
          arrived_.clear();
        }
        // A program may have ended before it was handed over, its SIGCHLD already read.
        finishEnded(known);
      }
      if (ready[0].revents & POLLIN) {
        // Signals of one kind merge while pending: any child may have ended.
        drain(childSignal_.get());
        finishEnded(0);
      }
      stopOverdue();
    }
  }

  void signalWake() {
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof one);
  }

  // The nearest wall-clock deadline, as poll's timeout; -1 for none.
  int timeoutMs() const {
    std::optional<Clock::time_point> nearest;
    for (const Run& run : runs_)
      if (run.deadline && (!nearest || *run.deadline < *nearest)) nearest = run.deadline;
    if (!nearest) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*nearest - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
  }

  // Ends the runs from `first` on whose program has ended.
  void finishEnded(std::size_t first) {
    for (std::size_t i = first; i < runs_.size();) {
      if (!hasEnded(runs_[i].process.id)) {
        ++i;
        continue;
      }
      Run run = std::move(runs_[i]);
      runs_[i] = std::move(runs_.back());
      runs_.pop_back();
      const Result<ProgramEnd> end = posix::finishRun(run.process, run.stoppedBy);
      run.ended(run.process, end);
    }
  }

  // Kills the runs whose wall-clock limit has passed; each then ends as any run does. A kill
  // that failed (no descriptor to open its group with, say) is tried again a second later.
  void stopOverdue() {
    const Clock::time_point now = Clock::now();
    for (Run& run : runs_) {
      if (!run.deadline || *run.deadline > now) continue;
      run.stoppedBy = LimitHit::wallClock;
      run.deadline.reset();
      if (posix::killRun(run.process) != err::success) run.deadline = now + std::chrono::seconds(1);
    }
  }

  posix::Fd childSignal_, wake_;
  std::mutex mutex_;
  std::vector<Run> arrived_; // handed over, not yet seen by the thread
  bool stopping_ = false;
  std::vector<Run> runs_; // the thread's own
  std::thread thread_;
};

Result<ProgramReaper> ProgramReaper::start() {
  using Started = Result<ProgramReaper>;
  sigset_t child;
  sigemptyset(&child);
  sigaddset(&child, SIGCHLD);
  if (int rc = ::pthread_sigmask(SIG_BLOCK, &child, nullptr); rc != 0) return Started::failure(posix::win32FromErrno(rc));
  posix::Fd childSignal(::signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!childSignal) return Started::failure(posix::win32FromErrno(errno));
  posix::Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return Started::failure(posix::win32FromErrno(errno));
  auto watcher = std::make_unique<Watcher>(std::move(childSignal), std::move(wake));
  if (std::uint32_t rc = watcher->launch()) return Started::failure(rc);
  return ProgramReaper(std::move(watcher));
}

ProgramReaper::ProgramReaper(std::unique_ptr<Watcher> watcher) : watcher_(std::move(watcher)) {}
ProgramReaper::ProgramReaper(ProgramReaper&&) noexcept = default;

ProgramReaper::~ProgramReaper() {
  if (watcher_) watcher_->stop();
}

void ProgramReaper::watch(StartedProcess process, Ended ended) {
  Run run{std::move(process), std::move(ended), std::nullopt, LimitHit::none};
  if (run.process.limits.wallSeconds != 0)
    run.deadline = Clock::now() + std::chrono::seconds(run.process.limits.wallSeconds);
  watcher_->add(std::move(run));
}

} // namespace os
