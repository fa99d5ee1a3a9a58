// File and directory operations: existence tests, directory creation and listing, the tree
// copy, single-file copies, the removal of files and trees, attributes, and the processes that
// hold files.
//
// Every operation hands the host the long-path form of its paths (VFileName::longPath) and
// reports a failure as a vexception with its fixed message and context name (an OS failure as
// the class of its Win32 code, through throwOSError). Nothing is retried unless said, nothing
// is rolled back. Paths here are full paths; paths that a site names are acted on beneath a
// RunTime::File::Root (root.h) instead. How the platform's notions map to this host (links,
// read-only, files in use, names that are not UTF-8) is described in os/files.h and os/tree.h;
// in short:
// - a symbolic link is a reparse point with the name-surrogate bit (a link entry); nothing here
//   follows a link below the root of a tree it copies or removes, nor in the last component of
//   a path it writes, and a link on the way to a path is followed only when root owns it;
// - tree walks stay on the file system where they begin: a mount point below is left alone;
// - read-only = no owner write bit; deleting a read-only file fails with 5 unless forced;
// - a file is in use (32) while another process holds a lock on it;
// - tree copies and removals handle every name exactly (newlines, 255 bytes, bytes that are not
//   UTF-8); listings return names as UTF-16, with U+FFFD for bytes that are not UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/files.h"

// True when something exists at the path; isDirectory (when given) tells whether it is a
// directory (a link to a directory counts as one). A path that is not found, or whose
// directory is not found, gives false. Throws the OS error "retrieves attributes for file or
// directory <path>" (context "fileExist") for any other failure.
bool fileExist(const std::u16string& path, bool* isDirectory = nullptr);

class VDirectory {
public:
  // As fileExist, with the opposite flag: isFile is set when the path is not a directory, and
  // also when nothing is found. An empty path gives false.
  static bool exists(const std::u16string& path, bool* isFile = nullptr);

  // Creates the directory and the missing directories above it; does nothing when something
  // exists at the path. Throws ArgumentException "Unable to create directory with wrong name"
  // (context "VDirectory::createDirectory") for an empty path, and the OS error
  // "CreateDirectory(<path>)" (context "makeDir") when a creation fails.
  static void createDirectory(const std::u16string& path,
                              os::DirectoryAccess access = os::DirectoryAccess::creatorDefaults);
};

namespace RunTime::File {

// One listed name.
struct DirectoryEntry {
  std::u16string name;
};

// Entries with the directory attribute ("." and ".." among them) and all others, each in
// listing order.
struct DirectoryListing {
  std::vector<DirectoryEntry> subdirectories;
  std::vector<DirectoryEntry> files;
};

// Lists the whole directory at once (the system names its listing after the search's first
// step). Throws the OS error "Unable to read directory (<directory>)" (context
// "RunTime::File::findFirstFile") when it is missing or cannot be read.
DirectoryListing findFirstFile(const std::u16string& directory);

// Creates one directory (its parent must exist). Throws the OS error "Unable to create
// directory (<path>)" (context "RunTime::File::createDirectory").
void createDirectory(const std::u16string& path,
                     os::DirectoryAccess access = os::DirectoryAccess::creatorDefaults);

// Copies the directory source into target level by level, as os::copyTree describes (files
// first, then every subdirectory created, then the descents; links never followed). Throws at
// the first failure: "Unable to read directory (%s)" (context "RunTime::File::findFirstFile"),
// "Unable to create directory (%s)" (context "RunTime::File::createDirectory"), vexception
// "Path (%s) is a file" (context "RunTime::File::createDirectoryEx"), "Unable to copy (%s) to
// (%s)" (context "RunTime::File::copy"), or for a link kept as a link "Unable to create reparse
// point (%s)" (context "RunTime::File::createReparsePoint"). The paths in messages are source
// and target as given with the entry's path below them.
void copyDirectory(const std::u16string& source, const std::u16string& target, bool recursive,
                   bool preserveLinks, bool replaceExisting);

} // namespace RunTime::File

// Removes the directory tree (os::removeTree): files in listing order, then subdirectories,
// then the directory. With force, what cannot be read or deleted because access is denied is
// taken over (the thread's file-system user becomes its owner with full access) and tried once
// more; a non-directory with several hard links is never taken over (the warning "Take-over of
// '<path>' skipped: it has more than one hard link" is logged), and a mount point met below is
// left alone (the warning "'<path>' is a mount point: what it holds is left alone"). A
// directory that cannot be read fails ("Delete directory '<path>'"), never counts as empty. Throws at the first failure,
// with context "removeDir" and the path in long-path form: "Delete file '<path>'", or for a
// file in use "Delete file '<path>'. Processes: <names, one per line>"; "Delete directory
// '<path>'" and "Delete directory '<path>'. Processes: <names>" likewise. The recycler is not
// part of this system: recyclerDirectory must be empty (ArgumentException otherwise).
void removeDir(const std::u16string& path, bool force,
               const std::u16string& recyclerDirectory = {});

// Deletes a file; a missing file is not a failure. With force a file whose deletion is denied
// (5) is taken over (os::takeOver: only a file with one link, never what the name leads to once
// it is something else) and deleted once more; then, while retries remain, it is tried again
// after pauseMs. Throws the OS error "DeleteFile '<path in long-path
// form>'" (context "removeFile"). useRecycler must be false (ArgumentException otherwise).
void removeFile(const std::u16string& path, bool force, bool useRecycler = false,
                std::uint32_t retryCount = 0, std::uint32_t pauseMs = 0);
