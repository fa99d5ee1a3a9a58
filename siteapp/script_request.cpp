#include "siteapp/script_request.h"

#include "runtime/core/exception.h"
#include "runtime/core/text.h"
#include "xml/load.h"

namespace {

constexpr char kOperation[] = "SiteApplicationManager::fsaRunApplicationScript";

// The value of the element's first child (its text), or empty.
std::u16string firstChildValue(const xml::Node& element) { return vxmlGetNodeValue(element.firstChild(), u""); }

} // namespace

std::u16string reencodeScriptValue(std::u16string_view value) {
  return wstr(cstr(value, CP_UTF8), CP_ACP);
}

ScriptRequest readScriptRequest(const xml::Document& document) {
  ScriptRequest request;
  const xml::Node processor = document.selectSingleNode(u"fsa-run-application-script/script-processor");
  if (processor.empty())
    throw vexception(u"Internal error: unable to find script-processor element.", VCONTEXT(kOperation));
  request.processorName = firstChildValue(processor);

  const xml::NodeList variables = document.selectNodes(u"fsa-run-application-script/environment/variable");
  for (long i = 0; i < variables.length(); ++i) {
    const xml::Element variable(variables.item(i));
    std::u16string name = vxmlGetAttribute(variable, u"name", u"");
    if (name.empty()) continue;
    request.environment[std::move(name)] = reencodeScriptValue(vxmlGetAttribute(variable, u"value", u""));
  }

  const xml::Node params = document.selectSingleNode(u"fsa-run-application-script/script-params");
  if (!params.empty()) request.scriptParams = firstChildValue(params);
  return request;
}

ScriptRequest loadScriptRequest(const std::u16string& path) {
  xml::Document document;
  vxmlLoad(document, path, true, false);
  return readScriptRequest(document);
}
