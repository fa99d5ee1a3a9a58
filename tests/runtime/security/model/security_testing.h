// Shorthands for the security tests: SIDs and ACEs from their text, the model's failure checks.
// Header-only and free of the OS, so that the model's tests link nothing but the model.
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

// A call and the failure it must throw: the model's SecurityModelError "(Error code <code>) at
// <where>" for an OS code, or a plain vexception whose message is `where` (code 0).
struct FailureCase {
  std::function<void()> call;
  std::uint32_t code;
  std::string where;
};

inline void expectFailures(const std::vector<FailureCase>& cases) {
  for (const FailureCase& c : cases) {
    std::string message;
    std::uint32_t code = 0;
    try {
      c.call();
    } catch (const RunTime::SecurityModelError& e) {
      message = ascii(e.message());
      code = e.code();
    } catch (const vexception& e) {
      message = ascii(e.message());
    }
    EXPECT_EQ(message, c.code ? "(Error code " + std::to_string(c.code) + ") at " + c.where : c.where);
    EXPECT_EQ(code, c.code) << c.where;
  }
}

} // namespace security_testing
