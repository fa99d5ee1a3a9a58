#include "app/tavriximp.h"

#include <algorithm>
#include <functional>

#include "app/params.h"
#include "os/console.h"
#include "os/named_mutex.h"
#include "os/text.h"
#include "runtime/core/exclusive_task.h"
#include "runtime/fs/root.h"
#include "runtime/security/user_information.h"
#include "siteapp/site_application_manager.h"

namespace {

constexpr std::u16string_view kUserMutexPrefix = u"Global\\{E87E2855-6D09-4f17-BA44-1D012E75DD7F}";

constexpr char kUsage[] =
    "\nusage: tavrix [options] ...\n\n\n"
    "--help\n"
    "--run-application-script (--application-full-name=<application full name> | \n"
    "                         --script-name=<script name>\n"
    "                         --user-name=<system user name>\n"
    "--extract-application    --application-full-name=<application full name>\n"
    "                         --vhost-path=<path to domain home directory>\n"
    "                         --user-name=<system user name>\n"
    "                         --application-subdirectory=<application subdirectory>\n"
    "--delete-application     --application-full-name=<application full name>\n"
    "                         --vhost-path=<path to domain home directory>\n"
    "                         --user-name=<system user name>\n"
    "                         --application-subdirectory=<application subdirectory>\n";

// Hands the manager the four location values, in the order the manager expects them.
void ensureSiteApplicationFields(const Params& params, SiteApplicationManager& manager) {
  manager.setApplicationFullName(params.get(u"--application-full-name", false, u""));
  manager.setUserName(params.get(u"--user-name", false, u""));
  // A host path names the same site as its drive form: the security metadata is found by it.
  manager.setWwwRoot(RunTime::File::panelForm(params.get(u"--www-root", false, u"")));
  manager.setApplicationSubdirectory(params.get(u"--application-subdirectory", false, u""));
}

// Extraction and deletion for one system user never run at the same time.
void lockUser(const Params& params, ExclusiveTask& task) {
  task.Initialize(std::u16string(kUserMutexPrefix) + params.get(u"--user-name", false, u""),
                  os::INFINITE_WAIT);
}

struct Command {
  std::u16string name;
  ParameterList required;
  ParameterList optional;
  // Null for --help, which takes any parameters and touches nothing.
  std::function<void(const Params&, SiteApplicationManager&)> run;
};

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {u"--help", {}, {}, nullptr},
      {u"--run-application-script",
       {u"--application-full-name", u"--script-filename", u"--script-name", u"--user-name", u"--fsa-xml-file"},
       {},
       [](const Params& params, SiteApplicationManager& manager) {
         ensureSiteApplicationFields(params, manager);
         std::u16string xmlFile = params.get(u"--fsa-xml-file", false, u"");
         std::u16string scriptName = params.getRequired(u"--script-name");
         std::u16string scriptFileName = params.getRequired(u"--script-filename");
         manager.fsaRunApplicationScript(scriptFileName, scriptName, xmlFile);
       }},
      {u"--extract-application",
       {u"--application-full-name", u"--www-root", u"--user-name", u"--application-subdirectory"},
       {u"--metadata-file"},
       [](const Params& params, SiteApplicationManager& manager) {
         ExclusiveTask task;
         lockUser(params, task);
         ensureSiteApplicationFields(params, manager);
         manager.extractApplication(params.getFileName(u"--metadata-file"));
       }},
      {u"--update-application-permissions",
       {u"--application-full-name", u"--www-root", u"--application-subdirectory", u"--user-name",
        u"--metadata-file"},
       {},
       [](const Params& params, SiteApplicationManager& manager) {
         ensureSiteApplicationFields(params, manager);
         manager.updateApplicationPermissions(params.getFileName(u"--metadata-file"));
       }},
      {u"--delete-application",
       {u"--application-full-name", u"--www-root", u"--user-name", u"--application-subdirectory", u"--files"},
       {},
       [](const Params& params, SiteApplicationManager& manager) {
         ExclusiveTask task;
         lockUser(params, task);
         ensureSiteApplicationFields(params, manager);
         manager.deleteApplication(params.get(u"--files", false, u""));
       }},
  };
  return table;
}

} // namespace

tavriximp::tavriximp() { command = u"--help"; }

int tavriximp::go(int argc, const std::u16string* argv) {
  const std::vector<Command>& table = commands();
  const auto chosen =
      std::find_if(table.begin(), table.end(), [&](const Command& candidate) { return candidate.name == command; });
  if (chosen == table.end()) {
    std::u16string possible;
    for (const Command& candidate : table) possible += (possible.empty() ? u"   " : u"\n   ") + candidate.name;
    cmdNotSupported(possible);
  }
  if (!chosen->run) {
    usage();
    return 0;
  }
  Params params(argc, argv);
  params.check(chosen->required, chosen->optional);
  // Only a command that will act opens the log, the store and the dump location: a usage error
  // and --help leave the host as they found it.
  beginCommand();
  SiteApplicationManager manager(createUserInformation());
  chosen->run(params, manager);
  return 0;
}

void tavriximp::usage() { os::writeStdout(kUsage); }
