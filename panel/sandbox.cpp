#include "panel/sandbox.h"

#include "os/run_directories.h"
#include "runtime/core/exception.h"
#include "runtime/core/registry.h"

namespace panel {

namespace {

constexpr std::u16string_view kSandboxKey = u"SOFTWARE\\Tavrix\\Sandbox";

std::uint32_t sandboxDword(std::u16string_view name, std::uint32_t defaultValue) {
  std::uint32_t value = defaultValue;
  (void)registry::lookup(registry::HKEY_LOCAL_MACHINE, kSandboxKey, name, value, registry::VIEW_64);
  return value;
}

// A ';'-separated list of paths; empty entries are skipped.
void appendPaths(std::u16string_view name, std::vector<std::u16string>& paths) {
  std::u16string list;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, kSandboxKey, name, list, registry::VIEW_64) != 0) return;
  std::size_t begin = 0;
  while (begin <= list.size()) {
    const std::size_t end = std::min(list.find(u';', begin), list.size());
    if (end > begin) paths.push_back(list.substr(begin, end - begin));
    begin = end + 1;
  }
}

// The directory part of a Windows-form or host path ("C:\php\php.exe" -> "C:\php").
std::u16string parentOf(const std::u16string& path) {
  std::u16string trimmed = path;
  while (trimmed.size() > 1 && (trimmed.back() == u'\\' || trimmed.back() == u'/')) trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of(u"\\/");
  return slash == trimmed.npos ? std::u16string() : trimmed.substr(0, slash == 0 ? 1 : slash);
}

} // namespace

Sandbox prepareSandbox(const os::ThreadIdentity& account, const std::u16string& program,
                       const std::u16string& workingDirectory) {
  Sandbox sandbox;
  os::Result<std::u16string> temporary = os::makePrivateTemporaryDirectory(account.uid, account.gid);
  if (!temporary.ok())
    throwOSError(u"Unable to create the run's temporary directory", temporary.code(), VCONTEXT("panel::prepareSandbox"));
  sandbox.temporaryDirectory = temporary.value();

  os::Confinement& rules = sandbox.confinement;
  rules.enabled = true;
  rules.readExecute = {u"/usr", u"/lib", u"/lib32", u"/lib64", u"/libx32", u"/bin", u"/sbin", u"/etc", u"/opt"};
  if (const std::u16string directory = parentOf(program); !directory.empty()) rules.readExecute.push_back(directory);
  // A working directory at the top of a drive or of the host has no repository above it: its
  // parent would open everything.
  if (const std::u16string repository = parentOf(workingDirectory);
      repository.size() > 1 && !(repository.size() == 2 && repository[1] == u':'))
    rules.read.push_back(repository);
  appendPaths(u"ExtraReadPaths", rules.read);
  std::u16string sites;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, u"HTTPD_VHOSTS_D", sites,
                       registry::VIEW_32) == 0)
    rules.readWrite = os::siteDirectoriesOf(sites, account.uid);
  rules.readWrite.push_back(sandbox.temporaryDirectory);
  appendPaths(u"ExtraWritePaths", rules.readWrite);

  sandbox.limits.memoryBytes = std::uint64_t{sandboxDword(u"MemoryLimitMiB", 512)} << 20;
  sandbox.limits.tasks = sandboxDword(u"TaskLimit", 256);
  sandbox.limits.cpuSeconds = sandboxDword(u"CpuTimeSeconds", 600);
  sandbox.limits.wallSeconds = sandboxDword(u"WallTimeSeconds", 1800);
  return sandbox;
}

std::vector<std::u16string> withTemporaryDirectory(std::vector<std::u16string> environment,
                                                   const std::u16string& directory) {
  std::erase_if(environment, [](const std::u16string& entry) { return entry.starts_with(u"TMPDIR="); });
  environment.push_back(u"TMPDIR=" + directory);
  return environment;
}

std::string limitMessage(os::LimitHit limit, const os::RunLimits& limits) {
  switch (limit) {
  case os::LimitHit::none:
    return {};
  case os::LimitHit::memory:
    return "The run was stopped at its memory limit of " + std::to_string(limits.memoryBytes >> 20) + " MiB";
  case os::LimitHit::tasks:
    return "The run reached its limit of " + std::to_string(limits.tasks) + " tasks";
  case os::LimitHit::cpuTime:
    return "The run was stopped at its CPU time limit of " + std::to_string(limits.cpuSeconds) + " s";
  case os::LimitHit::wallClock:
    return "The run was killed at its wall-clock limit of " + std::to_string(limits.wallSeconds) + " s";
  }
  return {};
}

} // namespace panel
