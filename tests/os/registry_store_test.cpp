#include "os/registry_store.h"

#include <gtest/gtest.h>

#include "tests/support/testing.h"

using namespace os::registry;
using namespace std::string_literals;
using testing_support::u8;

namespace {

const KeyPath kKey = {u"HKEY_LOCAL_MACHINE", u"SOFTWARE", u"T"};

ParseOutcome parse(std::string_view body) {
  return parseStore("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n" +
                    std::string(body));
}

std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

// Strings, "@" and typed hex data are read back in WrittenTextReadsBackTheSameValues; these are
// the forms only hand-written files use.
TEST(RegistryStore, ParsesHandWrittenForms) {
  struct Case { const char* line; std::u16string name; std::uint32_t type; std::vector<std::uint8_t> data; };
  const Case cases[] = {
      {"\"N\" = dword:0000001f", u"N", 4, {0x1f, 0, 0, 0}},
      {"\"N\"=DWORD:FFFFFFFF", u"N", 4, {0xff, 0xff, 0xff, 0xff}},
      {"\"B\"=hex:de,ad,\\\r\n  be,ef", u"B", 3, {0xde, 0xad, 0xbe, 0xef}},
      {"\"Z\"=hex:", u"Z", 3, {}},
      // A comment after the data, as operators annotate their files.
      {"\"S\"=\"a;b\"   ; the run directory", u"S", 1, {'a', 0, ';', 0, 'b', 0, 0, 0}},
      {"\"N\"=dword:00000002 ;two", u"N", 4, {2, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    ParseOutcome out = parse(c.line);
    ASSERT_FALSE(out.error) << c.line << ": " << u8(out.error->reason);
    std::optional<Value> v = out.store.value(kKey, c.name);
    ASSERT_TRUE(v) << c.line;
    EXPECT_EQ(v->type, c.type) << c.line;
    EXPECT_EQ(v->data, c.data) << c.line;
  }
}

TEST(RegistryStore, MalformedFilesNameTheLine) {
  struct Case { std::string text; std::size_t line; const char* reason; };
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const Case cases[] = {
      {"REGEDIT4\n", 1, "the first line is not \"Windows Registry Editor Version 5.00\""},
      {header + "\"a\"=\"b\"\n", 2, "value outside a key"},
      {header + "; note\n[HKEY_NOWHERE\\X]\n", 3, "unknown root key 'HKEY_NOWHERE'"},
      {header + "[HKEY_USERS\\A\\\\B]\n", 2, "empty key name in 'HKEY_USERS\\A\\\\B'"},
      {header + "[HKEY_USERS\\A]\n\"a\"=\"C:\\dir\"\n", 3, "invalid escape sequence '\\d'"},
      {header + "[HKEY_USERS\\A]\n\"a\"=\"open\n", 3, "unterminated string"},
      {header + "[HKEY_USERS\\A]\n\"a\"=dword:123456789\n", 3, "invalid dword value"},
      {header + "[HKEY_USERS\\A]\n\"a\"=hex:01,\\\n  zz\n\"b\"=hex:1\n", 3, "invalid hex byte 'zz'"},
      {header + "[HKEY_USERS\\A]\na=1\n", 3, "expected a quoted value name or '@'"},
      {header + "[HKEY_USERS\\A]\n\"a\"=qword:1\n", 3, "unknown value type"},
  };
  for (const Case& c : cases) {
    ParseOutcome out = parseStore(c.text);
    ASSERT_TRUE(out.error) << c.text;
    EXPECT_EQ(out.error->line, c.line) << c.text;
    EXPECT_EQ(u8(out.error->reason), c.reason) << c.text;
  }
}

// UTF-16LE with a byte-order mark, as the registry editor exports, is the operator's file of the
// RegistryLayers tests.
TEST(RegistryStore, ReadsUtf8WithAByteOrderMarkAndBlankFiles) {
  ParseOutcome out =
      parseStore("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n[HKEY_USERS\\K]\r\n\"n\"=\"\xC3\xA9\"\r\n");
  ASSERT_FALSE(out.error) << u8(out.error->reason);
  EXPECT_EQ(out.store.value({u"HKEY_USERS", u"k"}, u"N")->data, bytes("\xE9\0\0\0"s));
  EXPECT_FALSE(parseStore(" \n\n").error);
}

TEST(RegistryStore, DeletionLinesApplyInOrder) {
  ParseOutcome out = parse("\"a\"=\"1\"\n\"b\"=\"2\"\n\"a\"=-\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Sub]\n"
                           "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\sub]\n");
  ASSERT_FALSE(out.error);
  EXPECT_FALSE(out.store.value(kKey, u"a"));
  EXPECT_TRUE(out.store.value(kKey, u"b"));
  EXPECT_TRUE(out.store.subkeys(kKey).empty());
}

TEST(RegistryStore, WrittenTextReadsBackTheSameValues) {
  Store store;
  std::vector<Value> values = {
      {u"", 1, bytes("x\0\0\0"s)},
      {u"quote\"back\\", 1, bytes("\"\0\\\0\0\0"s)},
      {u"lines", 1, bytes("a\0\n\0\0\0"s)},   // a line break needs the hex form
      {u"nonul", 1, bytes("a\0"s)},          // so does text without its NUL
      {u"d", 4, {1, 2, 3, 4}},
      {u"shortd", 4, {1}},
      {u"long", 3, std::vector<std::uint8_t>(60, 0xab)},
      {u"type", 0x12345, {7}},
  };
  for (const Value& v : values) store.setValue(kKey, v);
  std::string text = u8(store.text());
  EXPECT_NE(text.find("@=\"x\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"d\"=dword:04030201\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"type\"=hex(12345):07\n"), std::string::npos) << text;
  ParseOutcome back = parseStore(text);
  ASSERT_FALSE(back.error) << u8(back.error->reason);
  EXPECT_EQ(back.store.values(kKey).size(), values.size());
  for (const Value& v : values) {
    std::optional<Value> read = back.store.value(kKey, v.name);
    ASSERT_TRUE(read) << u8(v.name);
    EXPECT_EQ(read->type, v.type) << u8(v.name);
    EXPECT_EQ(read->data, v.data) << u8(v.name);
  }
}

} // namespace
