// The script request file of --run-application-script: the processor that runs the script, the
// variables of its environment and the extra parameters of its argument string.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "xml/dom.h"

// Variable name -> value, names compared ordinally and kept as written.
using ScriptEnvironment = std::map<std::u16string, std::u16string>;

struct ScriptRequest {
  // The text of the first child of "script-processor"; empty when the element has none.
  std::u16string processorName;
  // Every "environment/variable" with a non-empty "name"; a later one of the same name wins.
  // Values are stored re-encoded (reencodeScriptValue).
  ScriptEnvironment environment;
  // The text of the first child of "script-params", empty when it has none; nothing when the
  // element is absent.
  std::optional<std::u16string> scriptParams;
};

// A value's UTF-8 bytes read as text in the ANSI code page: what the script finds in its
// environment is the byte form it would have under that code page.
std::u16string reencodeScriptValue(std::u16string_view value);

// Reads a loaded request document. Throws vexception "Internal error: unable to find
// script-processor element." (context "SiteApplicationManager::fsaRunApplicationScript") when
// the root has no script-processor element; DOM failures throw _com_error.
ScriptRequest readScriptRequest(const xml::Document& document);

// Loads the request file (validated when it declares a DTD, nothing external read) and reads it.
// Throws the loader's vexception (the parser's reason, " at load " and the path) for a file
// that is missing or not well-formed, and what readScriptRequest throws.
ScriptRequest loadScriptRequest(const std::u16string& path);
