#include "xml/load.h"

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "tests/support/testing.h"

using testing_support::TempDir;
using testing_support::u8;
using testing_support::writeFile;

namespace {

// Loads the file into `document` and returns the vexception text ("" when it loaded); checks
// the context.
std::string loadFailure(const std::u16string& path, bool validate, xml::Document& document) {
  try {
    vxmlLoad(document, path, validate, false);
    return "";
  } catch (const vexception& e) {
    EXPECT_EQ(e.contexts().size(), 1u);
    if (!e.contexts().empty()) EXPECT_EQ(e.contexts()[0].function, "vxmlLoad");
    EXPECT_FALSE(document.empty()) << "the handle keeps the empty document";
    return u8(e.message());
  }
}

std::string loadFailure(const std::u16string& path, bool validate = true) {
  xml::Document document;
  return loadFailure(path, validate, document);
}

TEST(VxmlLoad, FailureIsTheParserReasonAtLoadPath) {
  TempDir dir;
  struct Case {
    const char* content;
    std::string reason;
  } cases[] = {
      {"<a><b></a>", "Opening and ending tag mismatch: b line 1 and a\n"},
      {"<a>", "Premature end of data in tag a line 1\n"},
      {"<p:a/>", "Namespace prefix p on a is not defined\n"},
      {"<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><b/></r>",
       "No declaration for element b\n"},
      {"<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r id ID #REQUIRED>]><r/>",
       "Element r does not carry attribute id\n"},
  };
  for (const Case& c : cases) {
    writeFile(dir.file("bad.xml"), c.content);
    const std::u16string path = os::utf16FromUtf8(dir.file("bad.xml"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(loadFailure(path), c.reason + " at load " + u8(path)) << c.content;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.content;
  }
  const std::u16string missing = os::utf16FromUtf8(dir.file("missing.xml"));
  EXPECT_EQ(loadFailure(missing),
            "failed to load external entity \"" + dir.file("missing.xml") + "\"\n at load " +
                u8(missing));
}

TEST(VxmlLoad, MapsWindowsPaths) {
  TempDir dir;
  testing_support::ScopedRegistry registry("[HKEY_LOCAL_MACHINE\\SYSTEM\\Tavrix\\DosDevices]\n\"C:\"=\"" +
                                           dir.path() + "\"\n");
  writeFile(dir.file("site/doc.xml"), "<doc>mapped</doc>");
  xml::Document document;
  vxmlLoad(document, u"C:\\site\\doc.xml", true, false);
  EXPECT_EQ(u8(document.documentElement().text()), "mapped");
  EXPECT_EQ(loadFailure(u"Q:\\doc.xml"), u8(osErrorMessage(3)) + "\n at load Q:\\doc.xml");
}

// Validation needs an internal subset; nothing outside the file is read, even when validating.
TEST(VxmlLoad, ValidatesOnlyInternalSubsetsAndNeverReadsExternals) {
  TempDir dir;
  writeFile(dir.file("secret.txt"), "SECRET");
  writeFile(dir.file("ext.dtd"), "<!ELEMENT r (#PCDATA)><!ENTITY e \"SECRET\">");
  const std::string secret = "\"file://" + dir.file("secret.txt") + "\"";
  const std::string dtd = "\"file://" + dir.file("ext.dtd") + "\"";
  struct Case {
    std::string content;
    bool validate;
    std::string rootText;  // "" for a load that must fail
  } cases[] = {
      {"<r><undeclared/>text</r>", true, "text"},
      {"<!DOCTYPE r [<!ELEMENT r (#PCDATA)>]><r>valid</r>", true, "valid"},
      {"<!DOCTYPE r [<!ELEMENT r EMPTY>]><r>invalid</r>", false, "invalid"},
      {"<!DOCTYPE r SYSTEM " + dtd + "><r><x/>no internal subset</r>", true, "no internal subset"},
      {"<!DOCTYPE r [<!ELEMENT r (#PCDATA)><!ENTITY x SYSTEM " + secret + ">]><r>[&x;]</r>",
       true, "[]"},
      {"<!DOCTYPE r [<!ELEMENT r ANY><!ENTITY x SYSTEM " + secret + ">]><r>[&x;]</r>", false,
       "[]"},
      {"<!DOCTYPE r SYSTEM " + dtd + " [<!ELEMENT r (#PCDATA)>]><r>internal only</r>", true,
       "internal only"},
      {"<!DOCTYPE r [<!ENTITY % p SYSTEM " + dtd + "> %p;]><r>[&e;]</r>", false, ""},
  };
  for (const Case& c : cases) {
    writeFile(dir.file("doc.xml"), c.content);
    xml::Document document;
    const std::u16string path = os::utf16FromUtf8(dir.file("doc.xml"));
    std::string failure = loadFailure(path, c.validate, document);
    if (c.rootText.empty()) {
      EXPECT_NE(failure, "") << c.content;
      continue;
    }
    EXPECT_EQ(failure, "") << c.content;
    EXPECT_EQ(u8(document.documentElement().text()), c.rootText) << c.content;
  }
}

} // namespace
