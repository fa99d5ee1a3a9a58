// The registry store: keys and values kept in text files in the registry editor export format.
//
// Two files make the store. The operator's file (/etc/tavrix/registry.reg) is configuration:
// it is read, never written, so its comments, layout and encoding (UTF-8, or UTF-16LE with a
// byte-order mark as the registry editor exports) survive. The tool's own file
// (/var/lib/tavrix/registry.reg) takes every write. A read looks in the operator's file first,
// then in the tool's: a value the operator sets wins over one the tool wrote. The environment
// variable TAVRIX_REGISTRY names one file that serves as both; TAVRIX_OPERATOR_REGISTRY and
// TAVRIX_TOOL_REGISTRY name each file on its own (tests). A missing file is an empty layer,
// except the one TAVRIX_REGISTRY names: every operation then fails with badConfiguration and
// the detail "Registry file <path> named by TAVRIX_REGISTRY does not exist".
//
// Every operation looks at the files again (one stat each when they have not changed), so
// changes made by other processes are seen at once. Writers lock "<tool file>.lock", read the
// tool's file afresh, and replace it through a temporary file in the same directory, so a
// reader never sees a half-written store. A write stores the whole tool file in canonical form
// (UTF-8, keys in case-insensitive order) and happens only when the value or key is not already
// there as asked.
//
// Key and value names compare without regard to letter case. A key exists when the store names
// it or any key below it. The 32-bit view of HKEY_LOCAL_MACHINE\SOFTWARE is
// HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node; it is the default view, and the access flag
// KEY_WOW64_64KEY selects HKEY_LOCAL_MACHINE\SOFTWARE itself.
//
// Failures are Win32 codes: fileNotFound for a missing key or value, noMoreItems past the end of
// an enumeration, accessDenied for a handle opened without the right (or a store file the
// process may not read or replace), and badConfiguration when a store file is malformed, with
// the detail "Malformed registry file <path> line <n>: <reason>".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"

namespace os::registry {

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users };

// Access rights and view flags of a key.
inline constexpr std::uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr std::uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr std::uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr std::uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr std::uint32_t KEY_WOW64_64KEY = 0x0100;
inline constexpr std::uint32_t KEY_WOW64_32KEY = 0x0200;
inline constexpr std::uint32_t READ_CONTROL = 0x00020000;
inline constexpr std::uint32_t KEY_READ = 0x00020019;
inline constexpr std::uint32_t KEY_WRITE = 0x00020006;
inline constexpr std::uint32_t KEY_ALL_ACCESS = 0x000F003F;
inline constexpr std::uint32_t GENERIC_READ = 0x80000000;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr std::uint32_t GENERIC_EXECUTE = 0x20000000;
inline constexpr std::uint32_t GENERIC_ALL = 0x10000000;
inline constexpr std::uint32_t MAXIMUM_ALLOWED = 0x02000000;

// Value types.
inline constexpr std::uint32_t REG_NONE = 0;
inline constexpr std::uint32_t REG_SZ = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ = 2;
inline constexpr std::uint32_t REG_BINARY = 3;
inline constexpr std::uint32_t REG_DWORD = 4;
inline constexpr std::uint32_t REG_MULTI_SZ = 7;
inline constexpr std::uint32_t REG_QWORD = 11;

// A named value: its Win32 type and its data bytes as the registry keeps them (REG_SZ is UTF-16LE
// with the terminating NUL, REG_DWORD four little-endian bytes).
struct Value {
  std::u16string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// The data of a REG_SZ value: the text in UTF-16LE with its terminating NUL.
std::vector<std::uint8_t> stringData(std::u16string_view text);
// The data of a REG_DWORD value.
std::vector<std::uint8_t> dwordData(std::uint32_t number);
// The text of a REG_SZ or REG_EXPAND_SZ value up to its first NUL (all of it when there is
// none); nothing for a value of another type.
std::optional<std::u16string> stringOf(const Value& value);
// The number of a REG_DWORD value of four bytes; nothing for any other value.
std::optional<std::uint32_t> dwordOf(const Value& value);

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

// Creates or replaces a value in the tool's file (the key is created when it has meanwhile
// gone). Needs KEY_SET_VALUE. True when the tool's file was rewritten, false when the store
// already held the value; the store is unchanged on failure.
Result<bool> setValue(const KeyHandle& key, const Value& value);

// The name of the index-th subkey in case-insensitive order. Needs KEY_ENUMERATE_SUB_KEYS.
Result<std::u16string> enumSubkey(const KeyHandle& key, std::uint32_t index);

// The index-th value of the key in stored order. Needs KEY_QUERY_VALUE.
Result<Value> enumValue(const KeyHandle& key, std::uint32_t index);

} // namespace os::registry
