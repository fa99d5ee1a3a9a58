// The registry layer: keys and values of the configuration store, in the registry's own terms.
//
// A malformed store file is a configuration fault, not a missing key: every operation below
// then throws vexception "Malformed registry file <path> line <n>: <reason>" with its own
// context name (lookup and exists included), except the DWORD read with a default, which
// answers with the default, and subkeyNames, which returns the status 1610.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/registry.h"

namespace registry {

// The roots, rights, view flags and value types are those of the store.
using os::registry::Root;
inline constexpr Root HKEY_CLASSES_ROOT = Root::ClassesRoot;
inline constexpr Root HKEY_CURRENT_USER = Root::CurrentUser;
inline constexpr Root HKEY_LOCAL_MACHINE = Root::LocalMachine;
inline constexpr Root HKEY_USERS = Root::Users;
using os::registry::KEY_ALL_ACCESS;
using os::registry::KEY_CREATE_SUB_KEY;
using os::registry::KEY_ENUMERATE_SUB_KEYS;
using os::registry::KEY_QUERY_VALUE;
using os::registry::KEY_READ;
using os::registry::KEY_SET_VALUE;
using os::registry::KEY_WOW64_32KEY;
using os::registry::KEY_WOW64_64KEY;
using os::registry::KEY_WRITE;
using os::registry::READ_CONTROL;
using os::registry::REG_BINARY;
using os::registry::REG_DWORD;
using os::registry::REG_EXPAND_SZ;
using os::registry::REG_MULTI_SZ;
using os::registry::REG_NONE;
using os::registry::REG_QWORD;
using os::registry::REG_SZ;

// View selector: 1 = 32-bit view, 2 or 3 = 64-bit view, anything else = the default view
// (which is the 32-bit one).
inline constexpr unsigned VIEW_DEFAULT = 0;
inline constexpr unsigned VIEW_32 = 1;
inline constexpr unsigned VIEW_64 = 2;

// The access flag of a view selector (KEY_WOW64_32KEY, KEY_WOW64_64KEY or 0).
std::uint32_t viewFlag(unsigned view);

// The panel's product configuration key, read through the 32-bit view.
inline constexpr std::u16string_view PRODUCT_CONFIG_KEY = u"SOFTWARE\\Kelvo\\ZRC Config\\Config";

// One open key; closed when destroyed. An empty Key holds no handle.
class Key {
public:
  Key();
  // openOnly false: create (or open) the key; true: open an existing key. Throws the OS error
  // "RegCreateKeyEx subKey=..." or "RegOpenKeyEx subKey=...".
  Key(Root root, std::u16string_view subKey, std::uint32_t access, bool openOnly);
  Key(Key&&) noexcept;
  Key& operator=(Key&&) noexcept;
  ~Key();

  bool empty() const { return !handle_; }
  const os::registry::KeyHandle& handle() const;

private:
  friend void create(Key&, Root, std::u16string_view, std::uint32_t);
  friend void open(Key&, Root, std::u16string_view, std::uint32_t);
  std::unique_ptr<os::registry::KeyHandle> handle_;
};

void create(Key& key, Root root, std::u16string_view subKey, std::uint32_t access);
void open(Key& key, Root root, std::u16string_view subKey, std::uint32_t access);

// A REG_DWORD value. Throws the OS error "RegQueryValueEx valueName=...", or vexception
// "Type mismatch valueName=..." / "size mismatch valueName=...".
std::uint32_t get(const Key& key, std::u16string_view valueName);
// The same, with any failure answered by the default.
std::uint32_t get(const Key& key, std::u16string_view valueName, std::uint32_t defaultValue);
// A REG_SZ or REG_EXPAND_SZ value up to its first NUL. Throws the OS error
// "RegGetValue valueName=..." or vexception "Type mismatch valueName=...".
std::u16string getString(const Key& key, std::u16string_view valueName);

// Lookups that return the status of a missing key or value (the output is then unchanged) and
// throw only for a value of the wrong type or size.
std::uint32_t lookup(Root root, std::u16string_view subKey, std::u16string_view valueName,
                     std::uint32_t& out, unsigned view);
std::uint32_t lookup(Root root, std::u16string_view subKey, std::u16string_view valueName,
                     std::u16string& out, unsigned view);

// The string lookup that throws the OS error "lookup subKey=... value=..." on any status.
std::u16string getstr(Root root, std::u16string_view subKey, std::u16string_view valueName,
                      unsigned view);

// True when the key exists (and can be opened).
bool exists(Root root, std::u16string_view subKey, unsigned view);

// Appends the names of the key's subkeys in enumeration order; returns the status that ended the
// enumeration (259 when all were read).
std::uint32_t subkeyNames(const Key& key, std::vector<std::u16string>& names);

// Writes a REG_SZ or REG_DWORD value. Throws the OS error "RegSetValueEx valueName=...".
void set(Key& key, std::u16string_view valueName, std::u16string_view value);
void set(Key& key, std::u16string_view valueName, std::uint32_t value);

// A DWORD of the product configuration key, or the default when it is absent.
std::uint32_t productDword(std::u16string_view valueName, std::uint32_t defaultValue);

} // namespace registry
