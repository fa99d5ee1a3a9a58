#include "security/disk/system_helper.h"

#include <cstdlib>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"
#include "runtime/security/accounts.h"

namespace DiskSecurity {
namespace {

constexpr std::u16string_view CURRENT_VERSION = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr std::u16string_view NT_CURRENT_VERSION =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// A registry string, or the platform's own default when the value is not set.
std::u16string registryPath(std::u16string_view key, std::u16string_view value, unsigned view,
                            std::u16string fallback) {
  std::u16string path;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, key, value, path, view) != 0 || path.empty())
    return fallback;
  return path;
}

std::u16string windowsDirectory() {
  return registryPath(NT_CURRENT_VERSION, u"SystemRoot", registry::VIEW_64, u"C:\\Windows");
}

} // namespace

bool DefaultSystemHelper::isVerbose() {
  return registry::productDword(u"DebugSecuritySettings", 0) != 0;
}

std::map<std::u16string, std::u16string> DefaultSystemHelper::getSpecialFolders() {
  const std::u16string programFiles =
      registryPath(CURRENT_VERSION, u"ProgramFilesDir", registry::VIEW_64, u"C:\\Program Files");
  return {
      {u"ProgramFilesX64", programFiles},
      {u"ProgramFilesCommonX64", registryPath(CURRENT_VERSION, u"CommonFilesDir",
                                              registry::VIEW_64, programFiles + u"\\Common Files")},
      {u"WindowsSystem32X64", windowsDirectory() + u"\\System32"},
  };
}

std::u16string DefaultSystemHelper::getSpecialFolderPath(std::uint32_t csidl) {
  // The program is a 32-bit process: program files, common files and the system folder are
  // the 32-bit ones, read through the 32-bit registry view.
  const std::u16string programFiles = registryPath(CURRENT_VERSION, u"ProgramFilesDir",
                                                   registry::VIEW_32, u"C:\\Program Files (x86)");
  switch (csidl) {
  case 0x23: return u"C:\\ProgramData";
  case 0x24: return windowsDirectory();
  case 0x29: return windowsDirectory() + u"\\SysWOW64";
  case 0x2A: return programFiles;
  case 0x2C:
    return registryPath(CURRENT_VERSION, u"CommonFilesDir", registry::VIEW_32,
                        programFiles + u"\\Common Files");
  case 0x2E: return u"C:\\Users\\Public\\Documents";
  case 0x2F:
    return u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Administrative Tools";
  case 0x3E:
    return registryPath(std::u16string(NT_CURRENT_VERSION) + u"\\ProfileList",
                        u"ProfilesDirectory", registry::VIEW_64, u"C:\\Users");
  default:
    throw vexception(formatString(u"Unable to get special folder path for CSIDL %X", csidl),
                     VCONTEXT("DiskSecurity::DefaultSystemHelper::getSpecialFolderPath"));
  }
}

std::optional<std::u16string>
DefaultSystemHelper::getEnvironmentVariable(const std::u16string& name) {
  const char* value = std::getenv(os::utf8FromUtf16(name).c_str());
  if (!value) return std::nullopt;
  return os::utf16FromUtf8(value);
}

std::optional<std::u16string> DefaultSystemHelper::getProductValue(const std::u16string& name) {
  std::u16string value;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, registry::PRODUCT_CONFIG_KEY, name, value,
                       registry::VIEW_32) != 0)
    return std::nullopt;
  return value;
}

std::u16string DefaultSystemHelper::getLocalAccountDomain() {
  return SidCache::OfflineSidManager::domainName();
}

RunTime::Sid DefaultSystemHelper::getAccount(const std::u16string& name,
                                             const std::u16string& domain) {
  return RunTime::accountByName(domain, name);
}

} // namespace DiskSecurity
