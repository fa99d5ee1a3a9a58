#include "xml/load.h"

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "tests/support/testing.h"

using testing_support::u8;
using testing_support::writeFile;

namespace {

class VxmlLoad : public testing::Test {
protected:
  // The root element's text, or the message of the vexception (whose context is checked).
  std::string load(const std::u16string& path, bool validate = true) {
    xml::Document document;
    try {
      vxmlLoad(document, path, validate, false);
      return u8(document.documentElement().text());
    } catch (const vexception& e) {
      EXPECT_EQ(e.contexts().size(), 1u);
      EXPECT_EQ(e.contexts().empty() ? "" : e.contexts()[0].function, "vxmlLoad");
      EXPECT_FALSE(document.empty()) << "the handle keeps the empty document";
      return u8(e.message());
    }
  }
  std::string loadContent(const std::string& content, bool validate = true) {
    writeFile(dir.file("doc.xml"), content);
    return load(os::utf16FromUtf8(dir.file("doc.xml")), validate);
  }
  std::string atLoad() const { return " at load " + dir.file("doc.xml"); }

  testing_support::TempDir dir;
};

// A drive path is mapped; a file that cannot be read fails with the system's message at the path.
TEST_F(VxmlLoad, LoadsMappedPathsAndFailsWithTheReasonAtThePath) {
  testing_support::ScopedRegistry registry(
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" + dir.path() + "\"\n");
  writeFile(dir.file("site/doc.xml"), "<doc>mapped</doc>");
  EXPECT_EQ(load(u"C:\\site\\doc.xml"), "mapped");
  EXPECT_EQ(load(u"Q:\\doc.xml"), u8(osErrorMessage(3)) + "\n at load Q:\\doc.xml");
  EXPECT_EQ(load(os::utf16FromUtf8(dir.file("missing.xml"))),
            "failed to load external entity \"" + dir.file("missing.xml") + "\"\n at load " +
                dir.file("missing.xml"));
}

// A malformed or invalid document fails with the parser's reason alone (nothing on standard
// error). Validation needs an internal subset; nothing outside the file is read, even when
// validating.
TEST_F(VxmlLoad, FailsWithTheParsersReasonValidatesInternalSubsetsAndReadsNoExternals) {
  writeFile(dir.file("secret.txt"), "SECRET");
  writeFile(dir.file("entities.dtd"), "<!ENTITY e \"SECRET\">");
  writeFile(dir.file("broken.dtd"), "<!ELEMENT");  // reading it fails any load
  const std::string secret = "\"file://" + dir.file("secret.txt") + "\"";
  const std::string entities = "\"file://" + dir.file("entities.dtd") + "\"";
  const std::string dtd = "\"file://" + dir.file("broken.dtd") + "\"";
  const struct { std::string content; bool validate; std::string result; } cases[] = {
      {"<a><b></a>", true, "Opening and ending tag mismatch: b line 1 and a\n" + atLoad()},
      {"<p:a/>", true, "Namespace prefix p on a is not defined\n" + atLoad()},
      {"<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><b/></r>", true,
       "Element r content does not follow the DTD, expecting (a), got (b)\n" + atLoad()},
      {"<r><undeclared/>text</r>", true, "text"},
      {"<!DOCTYPE r [<!ELEMENT r (#PCDATA)>]><r>valid</r>", true, "valid"},
      {"<!DOCTYPE r [<!ELEMENT r EMPTY>]><r>invalid</r>", false, "invalid"},
      {"<!DOCTYPE r SYSTEM " + dtd + "><r><x/>no internal subset</r>", true, "no internal subset"},
      {"<!DOCTYPE r SYSTEM " + dtd + " [<!ELEMENT r (#PCDATA)>]><r>internal</r>", true, "internal"},
      {"<!DOCTYPE r [<!ELEMENT r (#PCDATA)><!ENTITY x SYSTEM " + secret + ">]><r>[&x;]</r>", true,
       "[]"},
      {"<!DOCTYPE r [<!ENTITY x SYSTEM " + secret + ">]><r>[&x;]</r>", false, "[]"},
      {"<!DOCTYPE r [<!ENTITY % p SYSTEM " + entities + "> %p;]><r>[&e;]</r>", false,
       "Entity 'e' not defined\n" + atLoad()},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadContent(c.content, c.validate), c.result) << c.content;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.content;
  }
}

} // namespace
