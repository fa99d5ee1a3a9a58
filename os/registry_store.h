// The content of the registry store and its text form (the registry editor export format).
// Pure data code: reading and writing the file is the business of the platform side.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/registry.h"

namespace os::registry {

// A key path: the root's name ("HKEY_LOCAL_MACHINE") first, then one name per level.
using KeyPath = std::vector<std::u16string>;

std::u16string_view rootName(Root root);

// "A\B\\C" -> {A, B, C}: "\" separates, empty names are skipped.
KeyPath splitPath(std::u16string_view path);
std::u16string joinPath(const KeyPath& path);

// The name with every unit upper-cased: the form in which names compare.
std::u16string foldCase(std::u16string_view name);

// Keys and their values. Names keep the letter case they were first given; lookups ignore it.
class Store {
public:
  bool empty() const { return keys_.empty(); }
  // True for a root, a key the store names, and every key above one it names.
  bool hasKey(const KeyPath& key) const;
  // The values of a key in stored order; empty for a key that exists only above others.
  std::vector<Value> values(const KeyPath& key) const;
  std::optional<Value> value(const KeyPath& key, std::u16string_view name) const;
  // The names of the key's direct subkeys, ordered by their upper-cased names.
  std::vector<std::u16string> subkeys(const KeyPath& key) const;

  void createKey(const KeyPath& key);
  // Replaces a value of the same name (in any case) or appends it; creates the key.
  void setValue(const KeyPath& key, Value value);
  void deleteValue(const KeyPath& key, std::u16string_view name);
  // Removes the key and every key below it.
  void deleteTree(const KeyPath& key);

  // Adds the keys of `other` and those of its values whose names this store lacks (after this
  // store's own, in other's order): the store seen through this one first, then `other`.
  void addMissing(const Store& other);

  // The store in the export format, keys in case-insensitive order, "\n" line ends.
  std::u16string text() const;

private:
  struct Key {
    KeyPath names;
    std::vector<Value> values;
  };
  static KeyPath fold(const KeyPath& key);
  Key& record(const KeyPath& key);

  std::map<KeyPath, Key> keys_; // by folded names
};

struct ParseError {
  std::size_t line = 0;
  std::u16string reason;
};

struct ParseOutcome {
  Store store;
  std::optional<ParseError> error;
};

// Reads the bytes of a store file: UTF-8 with or without a byte-order mark, or UTF-16LE with
// one. A file of white space only is an empty store. Deletion lines ("[-key]", "name"=-) are
// applied in file order.
ParseOutcome parseStore(std::string_view bytes);

} // namespace os::registry
