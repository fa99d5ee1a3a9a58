// The walker: a branch's directories and how it comes back up them, and trees as deep and
// directories as wide as a site user cares to make them: removal and projection under the usual
// limits of descriptors and stack, in memory that grows with the depth and not with the width.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "os/posix/fd.h"
#include "os/fault.h"
#include "os/impersonation.h"
#include "os/posix/walker.h"
#include "os/security_store.h"
#include "os/text.h"
#include "os/tree.h"
#include "tests/support/testing.h"

using testing_support::ScopedUser;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

TEST(Walker, ABranchHoldsFewDescriptorsAndNoticesAMovedDirectory) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("t/d/d/d/d/d/d"));
  os::posix::Fd base(open(dir.path().c_str(), O_PATH | O_DIRECTORY));
  os::posix::DirectoryStack stack(base.get(), 2);
  for (const char* name : {"t", "d", "d", "d", "d", "d", "d"}) {
    os::posix::Fd fd(openat(stack.top(), name, O_RDONLY | O_DIRECTORY));
    os::posix::DirectoryIdentity identity;
    ASSERT_EQ(os::posix::identify(fd.get(), identity), 0);
    stack.push(std::move(fd), identity);
  }
  // Back up through closed levels by "..", each checked against the directory that was left (the
  // listing that goes on in them is WideTree's).
  for (int i = 0; i < 3; ++i) ASSERT_EQ(stack.pop(), 0);
  // A level moved elsewhere meanwhile is not taken for the one that was left.
  std::filesystem::create_directories(dir.file("elsewhere"));
  std::filesystem::rename(dir.file("t/d/d/d"), dir.file("elsewhere/d"));
  EXPECT_EQ(stack.pop(), ENOENT);
}

constexpr int kDepth = 100000;
constexpr int kWidth = 1000000;

// The address sanitizer's shadow memory and quarantine would count against the bound.
#ifdef __SANITIZE_ADDRESS__
constexpr long kMaxRssKb = 1024 * 1024;
constexpr long kHeadroomKb = 1024 * 1024;
#else
constexpr long kMaxRssKb = 64 * 1024;
// What a walk of a million entries may add to the address space: listing the directory whole
// takes some 85 MB.
constexpr long kHeadroomKb = 16 * 1024;
#endif

// A chain of directories "d" `depth` levels deep below `root`, a file at each of a few levels.
void makeChain(const std::string& root, int depth) {
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  os::posix::Fd at(open(root.c_str(), O_RDONLY | O_DIRECTORY));
  for (int level = 0; level < depth; ++level) {
    ASSERT_EQ(mkdirat(at.get(), "d", 0755), 0) << level;
    if (level % 10000 == 0) os::posix::Fd(openat(at.get(), "f", O_CREAT | O_WRONLY, 0644));
    os::posix::Fd next(openat(at.get(), "d", O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(next.valid()) << level;
    at = std::move(next);
  }
}

struct Limited {
  int status = -1; // 0 when the action returned 0
  long maxRssKb = 0;
};

// The address space of this process in kB.
long addressSpaceKb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmSize:")) return std::stol(line.substr(7));
  return 0;
}

// Runs the action in a child process limited to 1,024 descriptors, an 8 MB stack and, when
// headroomKb is given, an address space that much larger than the one it starts with; returns
// its exit status and its peak resident memory.
Limited runLimited(const std::function<std::uint32_t()>& action, long headroomKb = 0) {
  const pid_t pid = fork();
  if (pid == 0) {
    const rlim_t space = static_cast<rlim_t>(addressSpaceKb() + headroomKb) * 1024;
    const rlimit files{1024, 1024}, stack{8 << 20, 8 << 20}, memory{space, space};
    if (setrlimit(RLIMIT_NOFILE, &files) != 0 || setrlimit(RLIMIT_STACK, &stack) != 0 ||
        (headroomKb != 0 && setrlimit(RLIMIT_AS, &memory) != 0))
      _exit(2);
    try {
      _exit(action() == 0 ? 0 : 1);
    } catch (...) { // out of memory under the cap
      _exit(3);
    }
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), usage.ru_maxrss};
}

// The projection's walk of every object below `top`, each handed to `visit`: the walk's result.
std::uint32_t walkEvery(const std::string& top, const std::function<std::uint32_t(os::SecurityObject&)>& visit) {
  os::Result<os::SecurityObject> root = testing_support::securityObjectAt(top);
  if (!root.ok()) return root.code();
  return os::walkSecurityTree(root.value(), [&](os::SecurityObject& object, int, bool& descend) {
    descend = true;
    return visit(object);
  });
}

// The projection's walk of every object below `root`, which gives each directory a named group
// entry: 0 when it ended well having visited exactly `expected` objects.
std::uint32_t projectEvery(const std::string& root, std::uint32_t expected) {
  std::uint32_t visited = 0;
  const std::uint32_t code = walkEvery(root, [&](os::SecurityObject& object) {
    ++visited;
    if (!object.state().directory) return 0u;
    os::PosixAcl acl = object.state().access;
    acl.push_back({os::AclTag::Group, 4242, os::permRead | os::permExecute});
    acl.push_back({os::AclTag::Mask, 0, os::permRead | os::permExecute});
    std::sort(acl.begin(), acl.end());
    return object.applyAcl(acl, acl);
  });
  return code ? code : visited == expected ? 0u : 1u;
}

// Removes the tree at a host path: 0, or 1 when the removal failed.
std::uint32_t removeAll(const std::string& path) {
  testing_support::ParentOf parent = testing_support::parentOf(path);
  return os::removeTree(parent.root, parent.name, false).failure.has_value() ? 1u : 0u;
}

// Unmounts what a test mounted.
struct Unmount {
  std::string path;
  ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
};

// A directory of `width` entries: empty files, and every 1,000th one a directory holding a file.
void makeWide(const std::string& path, int width) {
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  os::posix::Fd at(open(path.c_str(), O_RDONLY | O_DIRECTORY));
  for (int i = 0; i < width; ++i) {
    const std::string name = std::to_string(i);
    if (i % 1000 != 999) {
      ASSERT_EQ(mknodat(at.get(), name.c_str(), S_IFREG | 0644, 0), 0) << name;
      continue;
    }
    ASSERT_EQ(mkdirat(at.get(), name.c_str(), 0755), 0) << name;
    os::posix::Fd sub(openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(mknodat(sub.get(), "f", S_IFREG | 0644, 0), 0) << name;
  }
}

// On a disk each removal of a directory this deep costs milliseconds in the kernel, whoever asks:
// the trees live on a tmpfs of their own. The wide tree's walks also run in an address space
// only a little larger than the one they start with.
TEST(DeepTree, DeepAndWideTreesAreProjectedAndRemovedWithinTheLimits) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting the tmpfs for the trees needs root";
  TempDir dir;
  std::filesystem::create_directories(dir.file("fs"));
  ASSERT_EQ(mount("tmpfs", dir.file("fs").c_str(), "tmpfs", 0, "size=1g,mode=0755"), 0);
  const Unmount unmount{dir.file("fs")};
  const struct {
    const char* name;
    void (*make)(const std::string&, int);
    int size;
    std::uint32_t objects;
    long headroomKb;
  } cases[] = {{"deep", makeChain, kDepth, kDepth + kDepth / 10000, 0},
               {"wide", makeWide, kWidth, kWidth + kWidth / 1000, kHeadroomKb}};
  for (const auto& c : cases) {
    const std::string root = dir.file("fs/") + c.name;
    c.make(root, c.size);
    if (HasFatalFailure()) return;
    Limited projected = runLimited([&] { return projectEvery(root, c.objects); }, c.headroomKb);
    EXPECT_EQ(projected.status, 0) << c.name;
    EXPECT_LT(projected.maxRssKb, kMaxRssKb) << c.name;
    Limited removed = runLimited([&] { return removeAll(root); }, c.headroomKb);
    EXPECT_EQ(removed.status, 0) << c.name;
    EXPECT_LT(removed.maxRssKb, kMaxRssKb) << c.name;
    EXPECT_FALSE(std::filesystem::exists(root)) << c.name;
  }
}

// The paths below a directory, as "/a/b".
std::set<std::string> pathsBelow(const std::string& top) {
  std::set<std::string> paths;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top))
    paths.insert(entry.path().string().substr(top.size()));
  return paths;
}

// The paths below `top` that the projection's walk visits, as pathsBelow gives them; a path met
// twice (a walk going round) stops the walk, which must end well.
std::set<std::string> walkedBelow(const std::string& top) {
  std::set<std::string> seen;
  EXPECT_EQ(walkEvery(top,
                      [&](os::SecurityObject& object) {
                        std::string path = os::utf8FromUtf16(object.path()).substr(top.size());
                        std::replace(path.begin(), path.end(), '\\', '/');
                        return seen.insert(path).second ? 0u : 1u;
                      }),
            0u)
      << top;
  return seen;
}

os::TreeOutcome copy(const std::string& from, const std::string& to) {
  testing_support::ParentOf source = testing_support::parentOf(from), target = testing_support::parentOf(to);
  return os::copyTree(source.root, source.name, target.root, target.name, {});
}

TEST(WideTree, BranchesDeeperThanTheOpenDescriptorsGoOnInTheListingWhereTheyLeftIt) {
  // Every 500th entry of a directory of several batches leads down a branch deeper than the
  // descriptors a walk keeps open: the directory is opened again after each branch and its
  // listing must go on where it stopped, neither again from its start nor past an entry.
  TempDir dir;
  const std::string tree = dir.file("tree");
  ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
  for (int i = 0; i < 3 * static_cast<int>(os::posix::kListingBatch) + 100; ++i) {
    std::string name = tree + "/" + std::to_string(i);
    if (i % 500 == 0)
      for (std::size_t level = 0; level <= os::posix::DirectoryStack::kMaxOpen + 10; ++level) name += "/d";
    writeFile(name, "x");
  }
  // A listing that starts again at its top would send the copy round for ever: it stops here.
  ASSERT_EQ(walkedBelow(tree), pathsBelow(tree));
  EXPECT_FALSE(copy(tree, dir.file("copy")).failure.has_value());
  EXPECT_EQ(pathsBelow(dir.file("copy")), pathsBelow(tree));
  EXPECT_EQ(removeAll(tree), 0u);
  EXPECT_FALSE(std::filesystem::exists(tree));
}

// The removal's side (the mount point's directory is not empty, what it holds stays) is
// TakeOverTest.AMountPointIsLeftAloneAndItsParentKeepsItsOwner's.
TEST(DeepTree, ABindMountInsideAWalkedTreeIsLeftAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
  TempDir dir;
  writeFile(dir.file("elsewhere/keep"), "keep");
  writeFile(dir.file("tree/a/file"), "x");
  std::filesystem::create_directories(dir.file("tree/a/mnt"));
  ASSERT_EQ(mount(dir.file("elsewhere").c_str(), dir.file("tree/a/mnt").c_str(), nullptr, MS_BIND,
                  nullptr),
            0);
  const Unmount unmount{dir.file("tree/a/mnt")};

  os::TreeOutcome copied = copy(dir.file("tree"), dir.file("copy"));
  EXPECT_FALSE(copied.failure.has_value());
  EXPECT_EQ(copied.mountPoints, std::vector<std::u16string>{os::utf16FromUtf8(dir.file("tree")) + u"\\a\\mnt"});
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("copy/a/mnt")));
  EXPECT_EQ(walkedBelow(dir.file("tree")), (std::set<std::string>{"/a", "/a/file"}));
}

// ---- Walks on several threads --------------------------------------------------------------

using os::posix::TreeVisitor;
using os::posix::WalkDirectory;
using os::posix::WalkEntry;
using os::posix::WalkPosition;

int* volatile g_nowhere = nullptr; // read at run time: the compiler cannot see the null

// Where a Recorder's walk stops: at the entries of these names, or with a fault there in the parts
// handed over, noting whether a thread other than the caller's faulted.
struct Stops {
  std::set<std::string> names;
  bool fault = false;
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> faultedElsewhere{false};
};

// Notes every entry with its position and stops at the Stops; forks for every subtree; stops
// where a directory cannot be read and walks past mount points.
class Recorder : public TreeVisitor {
public:
  explicit Recorder(Stops& stops, bool part = false) : stops_(stops), part_(part) {}

  std::vector<std::pair<WalkPosition, std::string>> seen;
  std::optional<std::pair<WalkPosition, std::string>> failure;
  std::set<std::thread::id> threads;
  std::set<std::uint32_t> users; // the file-system users the visits ran as

  // What one thread would have seen, in its order, up to where the walk failed.
  std::vector<std::string> inOrder() {
    std::stable_sort(seen.begin(), seen.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> paths;
    for (const auto& [at, path] : seen)
      if (!failure || !(failure->first < at)) paths.push_back(path);
    return paths;
  }

  Recovery cannotRead(const WalkDirectory&, const WalkEntry&, int) override { return Recovery::stop; }
  Flow mountPoint(const WalkDirectory&, const WalkEntry&) override { return Flow::proceed; }
  void cannotReturn(const os::posix::WalkBranch&, const std::string&, int) override {}
  Flow visitEntries(const WalkDirectory& directory, std::vector<WalkEntry>& entries) override {
    threads.insert(std::this_thread::get_id());
    users.insert(os::currentThreadIdentity().uid);
    for (WalkEntry& entry : entries) {
      const std::string path = os::posix::joinRelative(directory.relative(), entry.name);
      seen.emplace_back(directory.branch.position(), path);
      if (stops_.names.count(entry.name) && (!stops_.fault || part_)) {
        if (stops_.fault && std::this_thread::get_id() != stops_.caller) stops_.faultedElsewhere = true;
        if (stops_.fault) *g_nowhere = 1;
        failure.emplace(directory.branch.position(), path);
        return Flow::stop;
      }
      entry.descend = entry.kind == WalkEntry::Kind::directory;
    }
    return Flow::proceed;
  }
  std::unique_ptr<TreeVisitor> fork(const WalkDirectory&, const WalkEntry&) override {
    return std::make_unique<Recorder>(stops_, true);
  }
  void join(TreeVisitor& forked) override {
    auto& part = static_cast<Recorder&>(forked);
    for (auto& found : part.seen) seen.push_back(std::move(found));
    threads.insert(part.threads.begin(), part.threads.end());
    users.insert(part.users.begin(), part.users.end());
    if (part.failure && (!failure || part.failure->first < failure->first)) failure = part.failure;
  }

private:
  Stops& stops_;
  const bool part_;
};

// 259 directories, three levels of 6, each of the 216 deepest holding 3 files f0..f2: enough for
// a walk to share.
void makeShared(TempDir& dir) {
  for (int i = 0; i < 216 * 3; ++i) {
    const std::string a = std::to_string(i / 108), b = std::to_string(i / 18 % 6), c = std::to_string(i / 3 % 6);
    writeFile(dir.file("tree/" + a + "/" + b + "/" + c + "/f" + std::to_string(i % 3)), "x");
  }
}

struct Faulted {};
[[noreturn]] void throwFault(std::uint32_t, const os::FaultContext&) { throw Faulted{}; }

// A fault on any thread of a walk is translated as on the caller's thread and reaches the caller
// as its exception: the process goes on.
TEST(ParallelWalk, AFaultOnAnyThreadReachesTheCaller) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers stop at the deliberate fault before the processor does";
#endif
  TempDir dir;
  makeShared(dir);
  os::posix::Fd base(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  const os::FaultTranslatorScope faults(throwFault);
  const testing_support::ScopedEnv threads("TAVRIX_WALK_THREADS", "8");
  Stops stops{{"f0"}, true};
  for (int run = 0; run < 1000 && !stops.faultedElsewhere; ++run) {
    Recorder visitor(stops);
    EXPECT_THROW(os::posix::walkTree(base.get(), "tree", visitor), Faulted);
  }
  EXPECT_TRUE(stops.faultedElsewhere) << "no fault happened on another thread";
}

// Walks on several threads act as the thread that started them: a copy made as a site user is
// that user's on every thread.
TEST(ParallelWalk, SeesAndStopsWhereOneThreadWouldAsItsUser) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  ScopedUser user;
  ASSERT_TRUE(user.ok());
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  makeShared(dir);
  os::posix::Fd base(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  // FIFOs, which a copy refuses, in the deepest directories of the second half of the walk:
  // parts on several threads meet them at once, and the copy stops at the first as the walk does.
  Stops none;
  Recorder order(none);
  ASSERT_TRUE(os::posix::walkTree(base.get(), "tree", order));
  const std::vector<std::string> paths = order.inOrder();
  for (std::size_t i = paths.size() / 2; i < paths.size(); ++i)
    if (std::count(paths[i].begin(), paths[i].end(), '/') == 2) {
      ASSERT_EQ(mkfifo(dir.file("tree/" + paths[i] + "/bad").c_str(), 0644), 0);
    }
  std::filesystem::create_directory(dir.file("out"));
  ASSERT_EQ(chown(dir.file("out").c_str(), user.uid(), user.gid()), 0);
  const testing_support::ParentOf from = testing_support::parentOf(dir.file("tree"));
  const testing_support::ParentOf to = testing_support::parentOf(dir.file("out/copy"));
  // The source path of the failed copy; the copy goes.
  const auto copyFailure = [&] {
    const os::TreeOutcome copied = os::copyTree(from.root, from.name, to.root, to.name, {});
    EXPECT_FALSE(os::removeTree(to.root, to.name, false).failure.has_value());
    return copied.failure ? copied.failure->path : u"";
  };

  for (const std::set<std::string>& names : {std::set<std::string>{}, std::set<std::string>{"bad"}}) {
    Stops stops{names};
    std::vector<std::string> single;
    std::optional<std::string> singleFailure;
    std::u16string singleCopyFailure;
    {
      const testing_support::ScopedEnv threads("TAVRIX_WALK_THREADS", "1");
      singleCopyFailure = copyFailure();
      Recorder recorder(stops);
      EXPECT_EQ(os::posix::walkTree(base.get(), "tree", recorder), names.empty());
      single = recorder.inOrder();
      if (recorder.failure) singleFailure = recorder.failure->second;
    }
    ASSERT_NE(singleCopyFailure, u"");
    ASSERT_EQ(os::impersonateOnThread({user.uid(), user.gid(), {user.gid()}}), 0u);
    struct Revert {
      ~Revert() { EXPECT_EQ(os::revertToSelf(), 0u); }
    } revert;
    for (const char* threads : {"2", "8"}) {
      const testing_support::ScopedEnv several("TAVRIX_WALK_THREADS", threads);
      // Until a walk was shared among threads (each was, where one thread's parts ran
      // elsewhere): then it must have seen, and stopped at, what one thread did.
      int shared = 0;
      for (int run = 0; run < 1000 && shared < 3; ++run) {
        Recorder recorder(stops);
        EXPECT_EQ(os::posix::walkTree(base.get(), "tree", recorder), names.empty());
        ASSERT_EQ(recorder.inOrder(), single) << threads << " threads, run " << run;
        EXPECT_EQ(recorder.failure ? std::optional(recorder.failure->second) : std::nullopt, singleFailure);
        EXPECT_EQ(recorder.users, std::set<std::uint32_t>{user.uid()});
        EXPECT_EQ(copyFailure(), singleCopyFailure);
        if (recorder.threads.size() > 1) ++shared;
      }
      EXPECT_EQ(shared, 3) << threads << " threads: no walk was shared";
    }
  }
}

} // namespace
