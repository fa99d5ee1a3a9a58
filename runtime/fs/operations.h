// Inside runtime/fs: what the operations on full paths (files.h) and on paths beneath a root
// (root.h) share, so that each is written once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/root.h"
#include "os/tree.h"

namespace RunTime::File::detail {

// Where an operation acts: a full path in long-path form (root null), or a checked path beneath
// a root.
struct Target {
  const os::Root* root = nullptr;
  std::u16string path;
};

// The lines joined with "\n" (the holders of a file in messages).
std::u16string joinedLines(const std::vector<std::u16string>& lines);

// Throws the failure of a tree copy as copyDirectory describes.
void reportCopy(const os::TreeOutcome& outcome);

// Logs what a tree removal passed over (hard links, mount points) and throws its failure as
// removeDir describes.
void reportTreeRemoval(const os::TreeOutcome& outcome);

// removeFile (files.h) on the target; display names it in messages and warnings.
void removeFile(const Target& target, const std::u16string& display, bool force,
                std::uint32_t retryCount, std::uint32_t pauseMs);

} // namespace RunTime::File::detail
