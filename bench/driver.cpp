// The driver of the bench/*.sh scripts:
//   tavrix_bench generate <dir> <files> [seed]  makes a tree shaped like a PHP application:
//       about 12 files per directory, directories nested up to 8 deep, file sizes log-normal
//       with a 4 KiB median (capped at 4 MiB);
//   tavrix_bench copy <source> <target> [uid gid [group...]]  the tree copy of the extraction
//       (recursive, links not preserved, existing files replaced), acting as the account when
//       one is given, as the extraction does;
//   tavrix_bench remove <dir>                    the forced tree removal;
//   tavrix_bench grant <dir> <group>             one inheritable full-access grant to the group
//       (0x1F01FF, object and container inherit) written at the directory, with its projection;
//   tavrix_bench commit <dir> <group>            the checker's commit of one allowing
//       entry for the group (0x1F01FF, flags 3) at the directory: the walk, the required list,
//       the write when it differs and the drift repair below; prints the number of descriptor
//       and ACL writes.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "os/impersonation.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/fs/files.h"
#include "os/security_store.h"
#include "runtime/security/access.h"
#include "runtime/security/accounts.h"
#include "runtime/fs/root.h"
#include "security/disk/component_resolver.h"
#include "security/disk/root_secured_tree.h"
#include "security/disk/security_checker.h"

namespace {

namespace stdfs = std::filesystem;

struct Directory {
  stdfs::path path;
  int depth;
};

int generate(const stdfs::path& root, long files, unsigned seed) {
  std::mt19937_64 random(seed);
  const long directories = std::max(1L, std::lround(files / 12.0));
  std::vector<Directory> tree{{root, 0}};
  std::vector<std::size_t> open{0}; // directories that may still get children (depth < 8)
  for (long i = 1; i < directories; ++i) {
    const std::size_t parent = open[std::uniform_int_distribution<std::size_t>(0, open.size() - 1)(random)];
    const Directory child{tree[parent].path / ("dir" + std::to_string(i)), tree[parent].depth + 1};
    tree.push_back(child);
    if (child.depth < 8) open.push_back(tree.size() - 1);
  }
  for (const Directory& d : tree) stdfs::create_directories(d.path);

  std::string text(4 << 20, ' ');
  for (char& c : text) c = static_cast<char>('a' + random() % 26);
  std::lognormal_distribution<double> size(std::log(4096.0), 1.0);
  const char* extensions[] = {".php", ".php", ".php", ".php", ".js", ".css", ".png", ".txt"};
  for (long i = 0; i < files; ++i) {
    const Directory& d = tree[static_cast<std::size_t>(i) % tree.size()];
    const std::size_t bytes = std::min(text.size(), static_cast<std::size_t>(size(random)));
    std::ofstream out(d.path / ("File" + std::to_string(i) + extensions[random() % 8]),
                      std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(bytes));
  }
  return 0;
}

int copy(int argc, char** argv) {
  if (argc >= 6) {
    os::ThreadIdentity account{static_cast<std::uint32_t>(std::atol(argv[4])),
                               static_cast<std::uint32_t>(std::atol(argv[5])), {}};
    for (int i = 6; i < argc; ++i) account.groups.push_back(static_cast<std::uint32_t>(std::atol(argv[i])));
    if (os::impersonateOnThread(account) != 0) {
      std::fprintf(stderr, "cannot act as uid %s\n", argv[4]);
      return 1;
    }
  }
  RunTime::File::copyDirectory(os::utf16FromUtf8(argv[2]), os::utf16FromUtf8(argv[3]), true, false,
                               true);
  return 0;
}

int grant(const std::string& directory, const std::string& group) {
  const RunTime::Sid sid = RunTime::accountByName(u"", os::utf16FromUtf8(group));
  RunTime::Ace ace;
  ace.init(RunTime::ACCESS_ALLOWED_ACE_TYPE,
           RunTime::OBJECT_INHERIT_ACE | RunTime::CONTAINER_INHERIT_ACE, 0x1F01FF, sid);
  RunTime::Acl acl;
  acl.insertAce(0, ace);
  auto skipped = RunTime::Access::setSecurity(os::utf16FromUtf8(directory),
                                              RunTime::Access::SE_FILE_OBJECT, acl);
  return skipped.empty() ? 0 : 1;
}

int commit(const std::string& directory, const std::string& group) {
  auto helper = std::make_shared<DiskSecurity::DefaultSystemHelper>();
  const std::u16string path = os::utf16FromUtf8(directory);
  DiskSecurity::EntryCollection entries(helper);
  entries.insert({helper->getAccount(os::utf16FromUtf8(group), u""), path, u"", 3, 0x1F01FF,
                  DiskSecurity::Default, u"", u"", helper});
  DiskSecurity::KelvoComponentResolver components(helper);
  const RunTime::File::Root root(path);
  DiskSecurity::RootSecuredTree tree(root);
  DiskSecurity::SecurityChecker(tree, nullptr, false)
      .check(std::make_shared<DiskSecurity::SecurityInformation>(entries, path, u"", components,
                                                                 u"", false),
             u"");
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  try {
    if (command == "generate" && argc >= 4)
      return generate(argv[2], std::atol(argv[3]), argc > 4 ? std::atoi(argv[4]) : 1);
    if (command == "copy" && (argc == 4 || argc >= 6)) return copy(argc, argv);
    if (command == "grant" && argc == 4) return grant(argv[2], argv[3]);
    if (command == "commit" && argc == 4) return commit(argv[2], argv[3]);
    if (command == "remove" && argc == 3) {
      removeDir(os::utf16FromUtf8(argv[2]), true);
      return 0;
    }
  } catch (const vexception& e) {
    std::fprintf(stderr, "%s\n", os::utf8FromUtf16(e.fullText()).c_str());
    return 1;
  }
  std::fprintf(stderr,
               "usage: %s generate <dir> <files> [seed] | copy <source> <target> [uid gid [group...]]"
               " | remove <dir> | grant <dir> <group> | commit <dir> <group>\n",
               argv[0]);
  return 2;
}
