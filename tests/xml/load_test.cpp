#include "xml/load.h"

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "tests/support/testing.h"

using namespace testing_support;

namespace {

// A drive path is mapped; a file that cannot be read fails with the system's message at the
// path; a malformed or invalid document fails with the parser's reason alone (nothing on
// standard error). Validation needs an internal subset; nothing outside the file is read, even
// when validating.
TEST(VxmlLoad, LoadsMappedPathsValidatesInternalSubsetsAndReadsNoExternals) {
  TempDir dir;
  ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + dir.path() + "\"\n");
  writeFile(dir.file("site/doc.xml"), "<doc>mapped</doc>");
  writeFile(dir.file("secret.txt"), "SECRET");
  writeFile(dir.file("entities.dtd"), "<!ENTITY e \"SECRET\">");
  writeFile(dir.file("broken.dtd"), "<!ELEMENT");  // reading it fails any load
  const std::string secret = "\"file://" + dir.file("secret.txt") + "\"";
  const std::string entities = "\"file://" + dir.file("entities.dtd") + "\"";
  const std::string dtd = "\"file://" + dir.file("broken.dtd") + "\"";
  const std::string atLoad = "\n at load " + dir.file("doc.xml"), missing = dir.file("missing.xml");
  // The content of doc.xml, or (starting with '@') the path loaded.
  const struct { std::string content; bool validate; std::string result; } cases[] = {
      {"@C:\\site\\doc.xml", true, "mapped"},
      {"@Q:\\doc.xml", true, u8(osErrorMessage(3)) + "\n at load Q:\\doc.xml"},
      {"@" + missing, true, "failed to load external entity \"" + missing + "\"\n at load " + missing},
      {"<a><b></a>", true, "Opening and ending tag mismatch: b line 1 and a" + atLoad},
      {"<p:a/>", true, "Namespace prefix p on a is not defined" + atLoad},
      {"<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><b/></r>", true,
       "Element r content does not follow the DTD, expecting (a), got (b)" + atLoad},
      {"<r><undeclared/>text</r>", true, "text"},
      {"<!DOCTYPE r [<!ELEMENT r (#PCDATA)>]><r>valid</r>", true, "valid"},
      {"<!DOCTYPE r [<!ELEMENT r EMPTY>]><r>invalid</r>", false, "invalid"},
      {"<!DOCTYPE r SYSTEM " + dtd + "><r><x/>no internal subset</r>", true, "no internal subset"},
      {"<!DOCTYPE r SYSTEM " + dtd + " [<!ELEMENT r (#PCDATA)>]><r>internal</r>", true, "internal"},
      {"<!DOCTYPE r [<!ELEMENT r (#PCDATA)><!ENTITY x SYSTEM " + secret + ">]><r>[&x;]</r>", true, "[]"},
      {"<!DOCTYPE r [<!ENTITY % p SYSTEM " + entities + "> %p;]><r>[&e;]</r>", false,
       "Entity 'e' not defined" + atLoad},
  };
  for (const auto& c : cases) {
    if (!c.content.starts_with("@")) writeFile(dir.file("doc.xml"), c.content);
    const std::u16string path = os::utf16FromUtf8(c.content.starts_with("@") ? c.content.substr(1) : dir.file("doc.xml"));
    // The root element's text, or the message of the vexception (whose context is checked).
    xml::Document document;
    std::string result;
    testing::internal::CaptureStderr();
    try {
      vxmlLoad(document, path, c.validate, false);
      result = u8(document.documentElement().text());
    } catch (const vexception& e) {
      EXPECT_EQ(e.contexts().size(), 1u) << c.content;
      EXPECT_EQ(e.contexts().empty() ? "" : e.contexts()[0].function, "vxmlLoad") << c.content;
      EXPECT_FALSE(document.empty()) << "the handle keeps the empty document";
      result = u8(e.message());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.content;
    EXPECT_EQ(result, c.result) << c.content;
  }
}

} // namespace
