// Shorthands for the security tests: SIDs and ACEs from their text, failure checks. Header-only
// and free of the OS, so that the model's tests link nothing but the model.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/core/exception.h"
#include "runtime/security/model/acl.h"
#include "runtime/security/model/failure.h"

namespace security_testing {

inline std::u16string wide(const std::string& text) { return {text.begin(), text.end()}; }
// The text of ASCII messages and SID strings (other units become '?').
inline std::string ascii(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

inline RunTime::Sid sid(const char* text) {
  RunTime::Sid sid;
  sid.loadFromSidString(std::u16string(text, text + std::char_traits<char>::length(text)));
  return sid;
}

inline RunTime::Ace ace(std::uint8_t type, std::uint8_t flags, std::uint32_t mask,
                        const char* who) {
  RunTime::Ace ace;
  ace.init(type, flags, mask, sid(who));
  return ace;
}

// An ACL holding the entries in the given order, whatever that order is.
inline RunTime::Acl dacl(const std::vector<RunTime::Ace>& entries) {
  RunTime::Acl acl;
  for (const RunTime::Ace& entry : entries) acl.insertAce(acl.aceCount(), entry);
  return acl;
}

inline std::string sidText(const RunTime::Sid& sid) {
  return ascii(sid.toSidString());
}

// "<type>/<flags in hex>/<mask in hex>/<SID>" for comparing lists of entries.
inline std::string describe(const RunTime::Ace& ace) {
  char head[40];
  std::snprintf(head, sizeof head, "%u/%x/%x/", ace.type(), ace.flags(), ace.mask());
  return head + sidText(ace.sid());
}

inline std::vector<std::string> entriesOf(const RunTime::Acl& acl) {
  std::vector<std::string> out;
  for (std::uint32_t i = 0; i < acl.end(); ++i) out.push_back(describe(acl.getAce(i)));
  return out;
}

// The message of the vexception that `call` throws ("" when it throws none), and its OS code
// (0 when it is not an OS error): the model's own failure, or the system's OS error that
// runtime/security makes of it.
struct Failure {
  std::string message;
  std::uint32_t code = 0;
};

inline Failure failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const vosexception& e) {
    return {ascii(e.message()), e.code()};
  } catch (const RunTime::SecurityModelError& e) {
    return {ascii(e.message()), e.code()};
  } catch (const vexception& e) {
    return {ascii(e.message()), 0};
  }
  return {};
}

// A call and the failure it must throw: "(Error code <code>) at <where>" for an OS code, or
// `where` alone for the model's own failure (code 0).
struct FailureCase {
  std::function<void()> call;
  std::uint32_t code;
  std::string where;
};

inline void expectFailures(const std::vector<FailureCase>& cases) {
  for (const FailureCase& c : cases) {
    const Failure f = failureOf(c.call);
    EXPECT_EQ(f.message, c.code ? "(Error code " + std::to_string(c.code) + ") at " + c.where : c.where);
    EXPECT_EQ(f.code, c.code) << c.where;
  }
}

} // namespace security_testing
