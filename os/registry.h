// The registry store: keys and values kept in a text file in the registry editor export format.
//
// The store file is named by the environment variable TAVRIX_REGISTRY (default
// /etc/tavrix/registry.reg); a missing file is an empty registry. Every operation looks at the
// file again (one stat when it has not changed), so changes made by other processes are seen at
// once. Writers lock "<store>.lock", read the file afresh, and replace it through a temporary
// file in the same directory, so a reader never sees a half-written store. A write stores the
// whole file in canonical form (UTF-8, keys in case-insensitive order, comments not kept).
//
// Key and value names compare without regard to letter case. A key exists when the store names
// it or any key below it. The 32-bit view of HKEY_LOCAL_MACHINE\SOFTWARE is
// HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node; it is the default view, and the access flag
// wow64Key64 (0x100) selects HKEY_LOCAL_MACHINE\SOFTWARE itself.
//
// Failures are Win32 codes: fileNotFound for a missing key or value, noMoreItems past the end of
// an enumeration, accessDenied for a handle opened without the right (or a store file the
// process may not read or replace), and badConfiguration when the store file is malformed; the
// text of that last failure ("Malformed registry file <path> line <n>: <reason>") is kept for
// the calling thread and read with malformedStoreMessage().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"

namespace os::registry {

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users };

inline constexpr std::uint32_t wow64Key64 = 0x0100;
inline constexpr std::uint32_t wow64Key32 = 0x0200;

// A named value: its Win32 type and its data bytes as the registry keeps them (REG_SZ is UTF-16LE
// with the terminating NUL, REG_DWORD four little-endian bytes).
struct Value {
  std::u16string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// An open key: its full path from the root with the view applied
// ("HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Kelvo") and the key rights granted (generic
// rights already mapped). Holds no OS resource.
class KeyHandle {
public:
  KeyHandle() = default;
  KeyHandle(std::u16string path, std::uint32_t access) : path_(std::move(path)), access_(access) {}

  const std::u16string& path() const { return path_; }
  std::uint32_t access() const { return access_; }

private:
  std::u16string path_;
  std::uint32_t access_ = 0;
};

// Opens an existing key. `access` holds the rights wanted and the view flag. An empty subKey
// opens the root itself; "\" separates names and empty names are skipped.
Result<KeyHandle> openKey(Root root, std::u16string_view subKey, std::uint32_t access);

// Opens the key, creating it in the store when it does not exist.
Result<KeyHandle> createKey(Root root, std::u16string_view subKey, std::uint32_t access);

// A value of the key (the empty name is the key's default value). Needs KEY_QUERY_VALUE.
Result<Value> queryValue(const KeyHandle& key, std::u16string_view name);

// Creates or replaces a value (the key is created when it has meanwhile gone). Needs
// KEY_SET_VALUE. Returns the Win32 code of the outcome; the store is unchanged on failure.
[[nodiscard]] std::uint32_t setValue(const KeyHandle& key, const Value& value);

// The name of the index-th subkey in case-insensitive order. Needs KEY_ENUMERATE_SUB_KEYS.
Result<std::u16string> enumSubkey(const KeyHandle& key, std::uint32_t index);

// The index-th value of the key in stored order. Needs KEY_QUERY_VALUE.
Result<Value> enumValue(const KeyHandle& key, std::uint32_t index);

// The text of the last badConfiguration failure of the calling thread.
std::u16string malformedStoreMessage();

} // namespace os::registry
