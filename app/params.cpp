#include "app/params.h"

#include "runtime/core/exception.h"

namespace {
// Accepted by every command that checks its parameters, and never read.
constexpr std::u16string_view kInternalPackageName = u"--internal-package-name";

bool listed(const ParameterList& list, const std::u16string& name) {
  for (const std::u16string& entry : list)
    if (entry == name) return true;
  return false;
}
} // namespace

std::u16string formatPossibleParameters(const ParameterList& required, const ParameterList& optional) {
  std::u16string text;
  if (!required.empty()) {
    text = u"Possible parameters:\n";
    for (std::size_t i = 0; i < required.size(); ++i) text += (i ? u"\n    " : u"    ") + required[i];
  }
  if (!optional.empty()) {
    std::u16string names;
    for (std::size_t i = 0; i < optional.size(); ++i)
      names += (i ? u"\n    [" : u"    [") + optional[i] + u"]";
    text = text.empty() ? u"Possible parameters:\n" + names : text + u"\n" + names;
  }
  return text;
}

Params::Params(int argc, const std::u16string* argv) {
  for (int i = 0; i < argc; ++i) {
    const std::u16string& argument = argv[i];
    std::size_t eq = argument.find(u'=');
    if (eq == std::u16string::npos) values_.try_emplace(argument);
    else values_[argument.substr(0, eq)] = argument.substr(eq + 1);
  }
}

void Params::check(const ParameterList& required, const ParameterList& optional) const {
  for (const std::u16string& name : required)
    if (!values_.count(name))
      throw vexception(u"Missing required parameter " + name + u". " +
                           formatPossibleParameters(required, optional),
                       VCONTEXT("Params::check"));
  for (const auto& [name, value] : values_)
    if (name != kInternalPackageName && !listed(required, name) && !listed(optional, name))
      throw vexception(u"Unexpected parameter " + name + u". " +
                           formatPossibleParameters(required, optional),
                       VCONTEXT("Params::check"));
}

std::u16string Params::get(const std::u16string& name, bool required,
                           const std::u16string& defaultValue) const {
  auto it = values_.find(name);
  if (it != values_.end()) return it->second;
  if (required) reportMissingParameter(name);
  return defaultValue;
}

std::u16string Params::getRequired(const std::u16string& name) const { return get(name, true, u""); }

std::u16string Params::getFileName(const std::u16string& name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return u"";
  if (it->second.empty())
    throw vexception(u"Parameter " + name + u" names no file", VCONTEXT("Params::getFileName"));
  return it->second;
}

void Params::reportMissingParameter(const std::u16string& name) {
  throw vexception(u"Missing required parameter " + name + u". " + formatPossibleParameters({}, {}),
                   VCONTEXT("Params::reportMissingParameter"));
}
