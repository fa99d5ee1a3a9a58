#include "service/component_table.h"

#include "os/registry.h"
#include "os/text.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"
#include "runtime/core/registry.h"

namespace ComponentTable {

namespace {

constexpr char16_t kVhosts[] = u"httpd_vhosts_d";

std::u16string lowerCase(std::u16string_view name) {
  std::u16string lower(name);
  for (char16_t& unit : lower) unit = os::toLower(unit);
  return lower;
}

// The component's key, or an empty key when it has none.
registry::Key componentKey(const std::u16string& lowerName) {
  registry::Key key;
  const std::u16string path = u"SOFTWARE\\Tavrix\\Components\\" + lowerName;
  if (!registry::exists(registry::HKEY_LOCAL_MACHINE, path, registry::VIEW_64)) return key;
  registry::open(key, registry::HKEY_LOCAL_MACHINE, path, registry::KEY_READ | registry::KEY_WOW64_64KEY);
  return key;
}

[[noreturn]] void unsupported(std::u16string_view name) {
  throw vexception(formatString(u"Component %s isn't supported", name), VCONTEXT("ComponentTable"));
}

// The strings of a REG_MULTI_SZ value: UTF-16LE, each ended by a NUL, the list by an empty one.
std::vector<std::u16string> multiString(const std::vector<std::uint8_t>& data) {
  std::vector<std::u16string> strings;
  std::u16string current;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit != u'\0') {
      current += unit;
      continue;
    }
    if (current.empty()) break;
    strings.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) strings.push_back(std::move(current));
  return strings;
}

} // namespace

std::u16string installDir(std::u16string_view name) {
  const std::u16string lower = lowerCase(name);
  registry::Key key = componentKey(lower);
  if (key.empty()) unsupported(name);
  std::u16string value;
  if (registry::lookup(registry::HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tavrix\\Components\\" + lower, u"InstallDir", value,
                       registry::VIEW_64) != os::err::success)
    throw vexception(formatString(u"Component %s has no install directory", name), VCONTEXT("ComponentTable::installDir"));
  return value;
}

std::vector<std::u16string> additionalPaths(std::u16string_view name) {
  const std::u16string lower = lowerCase(name);
  registry::Key key = componentKey(lower);
  if (key.empty()) {
    if (lower == kVhosts) return {};
    unsupported(name);
  }
  os::Result<os::registry::Value> value = os::registry::queryValue(key.handle(), u"AdditionalPaths");
  if (!value.ok()) {
    if (value.code() == os::err::fileNotFound) return {};
    throwOSError(u"RegQueryValueEx valueName=AdditionalPaths", value.code(), VCONTEXT("ComponentTable::additionalPaths"));
  }
  if (value.value().type != registry::REG_MULTI_SZ)
    throw vexception(u"Type mismatch valueName=AdditionalPaths", VCONTEXT("ComponentTable::additionalPaths"));
  return multiString(value.value().data);
}

} // namespace ComponentTable
