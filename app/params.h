// The name=value parameters of one command and their checks.
#pragma once

#include <map>
#include <string>
#include <vector>

using ParameterList = std::vector<std::u16string>;

// "Possible parameters:\n" with the required names and the bracketed optional ones, each on its
// own line indented by four spaces; empty when both lists are empty.
std::u16string formatPossibleParameters(const ParameterList& required, const ParameterList& optional);

class Params {
public:
  // Parses the arguments that follow the command: "name=value" (split at the first "=", the later
  // of two values wins) or a bare "name" (an empty value that never replaces one).
  Params(int argc, const std::u16string* argv);

  // Throws "Missing required parameter ..." for the first absent required name, then
  // "Unexpected parameter ..." for the first parameter that neither list names.
  void check(const ParameterList& required, const ParameterList& optional) const;

  // The value of a parameter; when it is absent, throws the missing-parameter error if required,
  // else returns the default.
  std::u16string get(const std::u16string& name, bool required, const std::u16string& defaultValue) const;
  std::u16string getRequired(const std::u16string& name) const;
  // The value of a parameter that names a file, empty when the parameter is absent. Given with
  // an empty value it throws "Parameter <name> names no file": an empty path would name the
  // working directory.
  std::u16string getFileName(const std::u16string& name) const;

  [[noreturn]] static void reportMissingParameter(const std::u16string& name);

private:
  std::map<std::u16string, std::u16string> values_;
};
