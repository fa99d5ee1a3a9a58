#include <functional>

#include <gtest/gtest.h>

#include "os/text.h"
#include "runtime/core/exception.h"
#include "tests/support/testing.h"
#include "xml/app_metadata.h"
#include "xml/load.h"

using testing_support::u8;

namespace {

// The package's own prefixes differ from the bound ones: only the namespace URIs count.
const char METADATA[] = R"(<?xml version="1.0"?>
<application xmlns="http://tavrix.dev/app-package/ns/1"
             xmlns:p="http://tavrix.dev/app-package/ns/1/php"
             xmlns:a="http://tavrix.dev/app-package/ns/1/aspnet">
  <!-- site layout -->
  <mapping url="/" path="htdocs">
    <p:permissions writable="true" readable=""/>
    <mapping url="cgi-bin" path="cgi-bin" virtual=""/>
  </mapping>
  <mapping url="data" virtual="false"><a:permissions writable="TRUE"/></mapping>
  <?pi target?>
  text<![CDATA[<cdata>]]>
</application>)";

class XmlDocumentTest : public testing::Test {
protected:
  xml::Document load(const std::string& content, bool metadata) {
    testing_support::writeFile(dir.file("APP-META.xml"), content);
    const std::u16string path = os::utf16FromUtf8(dir.file("APP-META.xml"));
    if (metadata) return loadApplicationMetadata(path);
    xml::Document document;
    vxmlLoad(document, path, true, false);
    return document;
  }

  testing_support::TempDir dir;
  testing_support::ScopedRegistry registry;
};

// The package's document: selection by namespace (the package's prefixes are not the bound
// ones), every node type, and the forgiving accessors' defaults. (A mapping's nested mappings and
// its rules of each namespace, selected from the mapping, are what Walk.PermissionRules and
// Walk.MappingsWithoutContent... in tests/siteapp read; the text of a comment read as a first
// child is ScriptRequest.FileContentGivesProcessorVariablesAndParameters'.)
TEST_F(XmlDocumentTest, PackageDocumentSelectsByNamespaceAndNavigates) {
  xml::Document doc = load(METADATA, true);
  xml::NodeList top = doc.selectNodes(u"df:application/df:mapping");
  ASSERT_EQ(top.length(), 2);
  EXPECT_EQ(vxmlGetAttribute(xml::Element(top.item(1)), u"url", u""), u"data");
  EXPECT_TRUE(top.item(2).empty());
  xml::Element php(top.item(0).selectSingleNode(u"php:permissions"));
  EXPECT_EQ(u8(php.nodeName()), "p:permissions");
  EXPECT_EQ(vxmlGetAttribute(php, u"writable", u"x"), u"true");
  EXPECT_EQ(u8(top.item(1).selectSingleNode(u"aspnet:permissions/@writable").nodeValue().value()),
            "TRUE");
  EXPECT_TRUE(doc.selectSingleNode(u"df:application/df:nothing").empty());

  xml::Element root = doc.documentElement();
  std::vector<std::string> children; // "name:type"
  for (long i = 0; i < root.childNodes().length(); ++i)
    children.push_back(u8(root.childNodes().item(i).nodeName()) + ":" + std::to_string(root.childNodes().item(i).nodeType()));
  EXPECT_EQ(children,
            (std::vector<std::string>{"#comment:8", "mapping:1", "mapping:1", "pi:7", "#text:3",
                                      "#cdata-section:4", "#text:3"}));
  EXPECT_EQ(u8(root.text()), "\n  text<cdata>\n");
  EXPECT_TRUE(root.childNodes().item(1).firstChild().firstChild().empty());
  EXPECT_TRUE(vxmlCreateDocument().documentElement().empty());

  xml::Element virtualMapping(doc.selectSingleNode(u"//df:mapping[@url='cgi-bin']"));
  xml::Element data(top.item(1));
  // The attribute read with the default "D", and whether it is there.
  const std::tuple<xml::Element, std::u16string, std::string> cases[] = {
      {virtualMapping, u"virtual", " present"}, {data, u"virtual", "false present"},
      {data, u"path", "D"},                     {data, u"URL", "D"},
      {xml::Element(root.firstChild()), u"url", "D"}, {xml::Element(), u"url", "D"},
  };
  for (const auto& [element, name, expected] : cases)
    EXPECT_EQ(u8(vxmlGetAttribute(element, name, u"D")) + (vxmlHasAttribute(element, name) ? " present" : ""), expected)
        << u8(name);
  EXPECT_EQ(vxmlGetNodeValue(data, u"D"), u"D");
  EXPECT_EQ(vxmlGetNodeValue(xml::Node(), u"D"), u"D");
  EXPECT_EQ(vxmlGetNodeValue(doc.selectSingleNode(u"//@url"), u"D"), u"/");
}

TEST_F(XmlDocumentTest, TheRootElementOrTheConfigurationGivesTheNamespaceBase) {
  // The root element's start tag, AppPackageNamespaceBase (none when empty), and the number of
  // php rules selected or the failure's message.
  // (The plain form of the base, with its php namespace, is what every mapping walk of
  // tests/siteapp reads.)
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"<d:application xmlns:d='https://pkg.example/ns/1' xmlns:q='https://pkg.example/ns/1/php'>", "", "1"},
      // The php namespace follows the root's base, not some other host's. (No namespace at all is
      // Extract.RefusedFailedOrEmptyExtractionsLeaveNothingBehind's.)
      {"<application xmlns='http://tavrix.dev/app-package/ns/1' xmlns:q='http://example.org/app-package/ns/1/php'>",
       "", "0"},
      {"<application xmlns='http://example.org/app-package/ns/2' xmlns:q='http://example.org/app-package/ns/2/php'>",
       "", "declares the namespace \"http://example.org/app-package/ns/2\"; expected a package namespace ending in \"/ns/1\""},
      {"<application xmlns='urn:own' xmlns:q='urn:own/php'>", "urn:own", "1"},
      {"<application xmlns='urn:example:ns/1' xmlns:q='urn:example:ns/1/php'>", "urn:own",
       "declares the namespace \"urn:example:ns/1\"; expected the configured package namespace \"urn:own\""},
  };
  for (const auto& [root, configured, expected] : cases) {
    registry.write(configured.empty() ? ""
                                      : "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Kelvo\\ZRC Config\\Config]\n"
                                        "\"AppPackageNamespaceBase\"=\"" + configured + "\"\n");
    std::string outcome;
    try {
      const xml::Document doc = load(root + "<q:permissions/></" + root.substr(1, root.find(' ') - 1) + ">", true);
      outcome = std::to_string(doc.selectNodes(u"df:application/php:permissions").length());
    } catch (const vexception& e) {
      // The whole message of a root without a namespace is Extract.RefusedFailedOrEmptyExtractionsLeaveNothingBehind's.
      const std::string message = u8(e.message());
      outcome = message.substr(message.find(" declares ") + 1);
    }
    EXPECT_EQ(outcome, expected) << root;
  }
}

TEST_F(XmlDocumentTest, DomFailuresAreComErrors) {
  xml::Document plain = load(METADATA, false);
  xml::Document metadata = load(METADATA, true);
  struct Case { const char* what; std::function<void()> call; com::HRESULT hr; std::string description; } cases[] = {
      {"unbound prefix", [&] { plain.selectNodes(u"df:application/df:mapping"); }, com::E_FAIL,
       "Undefined namespace prefix in \"df:application/df:mapping\""},
      {"bad expression", [&] { metadata.selectNodes(u"df:mapping["); }, com::E_FAIL,
       "Invalid expression in \"df:mapping[\""},
      {"not a node-set", [&] { metadata.selectSingleNode(u"count(*)"); }, com::E_FAIL,
       "Expression does not evaluate to a node-set."},
      {"bad namespaces", [&] { plain.setSelectionNamespaces(u"xmlns:df='x'xmlns:p='y'"); },
       com::E_FAIL, "SelectionNamespaces property value is invalid."},
      {"empty node", [] { xml::Node().selectNodes(u"*"); }, com::E_POINTER, ""},
      {"empty element", [] { xml::Element().getAttribute(u"a"); }, com::E_POINTER, ""},
      {"empty list", [] { xml::NodeList().item(0); }, com::E_POINTER, ""},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << c.what << ": no exception";
    } catch (const _com_error& e) {
      EXPECT_EQ(e.Error(), c.hr) << c.what;
      EXPECT_EQ(u8(e.Description().value_or(u"")), c.description) << c.what;
    }
  }
  plain.setSelectionNamespaces(u" xmlns:d=\"http://tavrix.dev/app-package/ns/1\"\txmlns:e='u' ");
  EXPECT_EQ(plain.selectNodes(u"d:application/d:mapping").length(), 2);
}

} // namespace
