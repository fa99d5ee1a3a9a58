#include "runtime/core/registry.h"

#include <cstdlib>

#include "os/registry.h"
#include "os/text.h"
#include "runtime/core/exception.h"

namespace registry {
namespace {

using os::registry::Value;
using ValueResult = os::Result<Value>;

// Longest subkey name the enumeration buffer holds.
constexpr std::size_t kMaxKeyName = 255;

os::registry::Root osRoot(Root root) {
  using R = os::registry::Root;
  switch (root) {
  case Root::ClassesRoot: return R::ClassesRoot;
  case Root::CurrentUser: return R::CurrentUser;
  case Root::Users: return R::Users;
  case Root::LocalMachine: break;
  }
  return R::LocalMachine;
}

// Throws the failure of a store operation: a malformed store as a vexception with the store's
// own text, anything else as the OS error of the code with `where`.
[[noreturn]] void raise(std::uint32_t code, const std::u16string& where, ExceptionContext context) {
  if (code == os::err::badConfiguration)
    throw vexception(os::registry::malformedStoreMessage(), std::move(context));
  throwOSError(where, code, std::move(context));
}

std::u16string operator+(std::u16string_view a, std::u16string_view b) {
  std::u16string joined(a);
  return joined.append(b);
}

std::uint32_t dwordOf(const Value& v) {
  return v.data[0] | v.data[1] << 8 | v.data[2] << 16 | std::uint32_t(v.data[3]) << 24;
}

std::vector<std::uint8_t> utf16leWithNul(std::u16string_view text) {
  std::vector<std::uint8_t> data;
  for (char16_t c : text) data.insert(data.end(), {std::uint8_t(c & 0xFF), std::uint8_t(c >> 8)});
  data.insert(data.end(), {0, 0});
  return data;
}

// %NAME% replaced by the environment variable NAME where it is set, as the system expands a
// REG_EXPAND_SZ value when it is read.
std::u16string expandEnvironment(std::u16string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : text.npos;
    const char* value =
        close == text.npos
            ? nullptr
            : std::getenv(os::utf8FromUtf16(text.substr(i + 1, close - i - 1)).c_str());
    if (!value) {
      out += text[i++];
      continue;
    }
    out += os::utf16FromUtf8(value);
    i = close + 1;
  }
  return out;
}

bool isString(const Value& v) { return v.type == REG_SZ || v.type == REG_EXPAND_SZ; }

// The text of a string value up to its first NUL, expanded for REG_EXPAND_SZ.
std::u16string textOf(const Value& v) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < v.data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(v.data[i] | v.data[i + 1] << 8);
    if (c == u'\0') break;
    text += c;
  }
  return v.type == REG_EXPAND_SZ ? expandEnvironment(text) : text;
}

ValueResult query(const Key& key, std::u16string_view name) {
  if (key.empty()) return ValueResult::failure(os::err::invalidHandle);
  return os::registry::queryValue(key.handle(), name);
}

// Opens the subkey for querying in the view and reads the value. A malformed store throws;
// every other failure is the status of the result.
ValueResult lookupValue(Root root, std::u16string_view subKey, std::u16string_view valueName,
                        unsigned view) {
  os::Result<os::registry::KeyHandle> key =
      os::registry::openKey(osRoot(root), subKey, KEY_QUERY_VALUE | viewFlag(view));
  ValueResult value = key.ok() ? os::registry::queryValue(key.value(), valueName)
                               : ValueResult::failure(key.code());
  if (value.code() == os::err::badConfiguration)
    raise(value.code(), {}, VCONTEXT("registry::lookup"));
  return value;
}

std::u16string quotedName(std::u16string_view subKey, std::u16string_view valueName) {
  return u"'" + subKey + u"\\" + valueName + u"'";
}

void setValue(Key& key, std::u16string_view valueName, std::uint32_t type,
              std::vector<std::uint8_t> data) {
  std::uint32_t code = key.empty() ? os::err::invalidHandle
                                   : os::registry::setValue(key.handle(),
                                                            {std::u16string(valueName), type,
                                                             std::move(data)});
  if (code) raise(code, u"RegSetValueEx valueName=" + valueName, VCONTEXT("registry::set"));
}

} // namespace

std::uint32_t viewFlag(unsigned view) {
  if (view == VIEW_32) return KEY_WOW64_32KEY;
  if (view == 2 || view == 3) return KEY_WOW64_64KEY;
  return 0;
}

Key::Key() = default;
Key::Key(Root root, std::u16string_view subKey, std::uint32_t access, bool openOnly) {
  if (openOnly) open(*this, root, subKey, access);
  else create(*this, root, subKey, access);
}
Key::Key(Key&&) noexcept = default;
Key& Key::operator=(Key&&) noexcept = default;
Key::~Key() = default;

const os::registry::KeyHandle& Key::handle() const { return *handle_; }

void create(Key& key, Root root, std::u16string_view subKey, std::uint32_t access) {
  os::Result<os::registry::KeyHandle> r = os::registry::createKey(osRoot(root), subKey, access);
  if (!r.ok()) raise(r.code(), u"RegCreateKeyEx subKey=" + subKey, VCONTEXT("registry::create"));
  key.handle_ = std::make_unique<os::registry::KeyHandle>(std::move(r.value()));
}

void open(Key& key, Root root, std::u16string_view subKey, std::uint32_t access) {
  os::Result<os::registry::KeyHandle> r = os::registry::openKey(osRoot(root), subKey, access);
  if (!r.ok()) raise(r.code(), u"RegOpenKeyEx subKey=" + subKey, VCONTEXT("registry::open"));
  key.handle_ = std::make_unique<os::registry::KeyHandle>(std::move(r.value()));
}

std::uint32_t get(const Key& key, std::u16string_view valueName) {
  ValueResult r = query(key, valueName);
  if (!r.ok())
    raise(r.code(), u"RegQueryValueEx valueName=" + valueName, VCONTEXT("registry::get"));
  if (r.value().type != REG_DWORD)
    throw vexception(u"Type mismatch valueName=" + valueName, VCONTEXT("registry::get"));
  if (r.value().data.size() != 4)
    throw vexception(u"size mismatch valueName=" + valueName, VCONTEXT("registry::get"));
  return dwordOf(r.value());
}

std::uint32_t get(const Key& key, std::u16string_view valueName, std::uint32_t defaultValue) {
  try {
    return get(key, valueName);
  } catch (const vexception&) {
    return defaultValue;
  }
}

std::u16string getString(const Key& key, std::u16string_view valueName) {
  ValueResult r = query(key, valueName);
  if (!r.ok()) raise(r.code(), u"RegGetValue valueName=" + valueName, VCONTEXT("registry::get"));
  if (!isString(r.value()))
    throw vexception(u"Type mismatch valueName=" + valueName, VCONTEXT("registry::get"));
  return textOf(r.value());
}

std::uint32_t lookup(Root root, std::u16string_view subKey, std::u16string_view valueName,
                     std::uint32_t& out, unsigned view) {
  ValueResult r = lookupValue(root, subKey, valueName, view);
  if (!r.ok()) return r.code();
  if (r.value().type != REG_DWORD)
    throw vexception(u"RegQueryValueEx invalid type of " + quotedName(subKey, valueName),
                     VCONTEXT("registry::lookup"));
  if (r.value().data.size() != 4)
    throw vexception(u"RegQueryValueEx invalid size of " + quotedName(subKey, valueName),
                     VCONTEXT("registry::lookup"));
  out = dwordOf(r.value());
  return os::err::success;
}

std::uint32_t lookup(Root root, std::u16string_view subKey, std::u16string_view valueName,
                     std::u16string& out, unsigned view) {
  ValueResult r = lookupValue(root, subKey, valueName, view);
  if (!r.ok()) return r.code();
  if (!isString(r.value()))
    throw vexception(u"RegGetValue invalid type of " + quotedName(subKey, valueName),
                     VCONTEXT("registry::lookup"));
  out = textOf(r.value());
  return os::err::success;
}

std::u16string getstr(Root root, std::u16string_view subKey, std::u16string_view valueName,
                      unsigned view) {
  std::u16string value;
  if (std::uint32_t status = lookup(root, subKey, valueName, value, view))
    throwOSError(u"lookup subKey=" + subKey + u" value=" + valueName, status,
                 VCONTEXT("registry::getstr"));
  return value;
}

bool exists(Root root, std::u16string_view subKey, unsigned view) {
  os::Result<os::registry::KeyHandle> r =
      os::registry::openKey(osRoot(root), subKey, READ_CONTROL | viewFlag(view));
  if (r.code() == os::err::badConfiguration) raise(r.code(), {}, VCONTEXT("registry::open"));
  return r.ok();
}

std::uint32_t subkeyNames(const Key& key, std::vector<std::u16string>& names) {
  for (std::uint32_t index = 0;; ++index) {
    if (key.empty()) return os::err::invalidHandle;
    os::Result<std::u16string> r = os::registry::enumSubkey(key.handle(), index);
    if (!r.ok()) return r.code();
    if (r.value().size() > kMaxKeyName) return os::err::moreData;
    names.push_back(std::move(r.value()));
  }
}

void set(Key& key, std::u16string_view valueName, std::u16string_view value) {
  setValue(key, valueName, REG_SZ, utf16leWithNul(value));
}

void set(Key& key, std::u16string_view valueName, std::uint32_t value) {
  setValue(key, valueName, REG_DWORD,
           {std::uint8_t(value), std::uint8_t(value >> 8), std::uint8_t(value >> 16),
            std::uint8_t(value >> 24)});
}

std::uint32_t productDword(std::u16string_view valueName, std::uint32_t defaultValue) {
  std::uint32_t value = defaultValue;
  // A missing key or value leaves the default in place.
  lookup(HKEY_LOCAL_MACHINE, PRODUCT_CONFIG_KEY, valueName, value, VIEW_32);
  return value;
}

} // namespace registry
