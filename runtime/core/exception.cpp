#include "runtime/core/exception.h"

#include "os/error.h"
#include "runtime/core/format.h"
#include "runtime/core/text.h"

vexception::vexception(std::u16string message, ExceptionContext context)
    : message_(std::move(message)) {
  contexts_.push_back(std::move(context));
}

std::u16string vexception::fullText() const { return textWith(message_); }

std::u16string vexception::loggedText() const { return textWith(loggedMessage_.value_or(message_)); }

std::u16string vexception::textWith(const std::u16string& message) const {
  std::u16string text = message;
  for (const ExceptionContext& c : contexts_) {
    text += u"\n   at ";
    text += c.message;
    text += u"(";
    text += wstr(c.function, 0);
    text += u" line ";
    text += formatString(u"%d", c.line);
    text += u")";
  }
  return text;
}

std::u16string osErrorMessage(std::uint32_t code, const char16_t* where) {
  std::u16string suffix = formatString(u" (Error code %lu)", code);
  if (where) {
    suffix += u" at ";
    suffix += where;
  }
  std::u16string text = os::systemMessage(code);
  while (!text.empty() && (text.back() == u'\r' || text.back() == u'\n')) text.pop_back();
  if (text.empty()) text = u"Unknown error";
  return text + suffix;
}

namespace {

template <class E>
[[noreturn]] void raise(std::u16string message, std::uint32_t code, ExceptionContext context) {
  throw E(std::move(message), code, std::move(context));
}

} // namespace

void throwOSError(const char16_t* where, std::uint32_t code, ExceptionContext context) {
  std::u16string m = osErrorMessage(code, where);
  switch (code) {
#define TAVRIX_RAISE_CASE(name, value, errnos, text, exception) \
  case value: raise<exception>(std::move(m), code, std::move(context));
    TAVRIX_ERROR_TABLE(TAVRIX_RAISE_CASE)
#undef TAVRIX_RAISE_CASE
  default: raise<vosexception>(std::move(m), code, std::move(context));
  }
}

std::u16string cwrpexception::text() const {
  return formatString(u"C structured exception: 0x%x", code_);
}

namespace com {

std::u16string _com_error::ErrorMessage() const {
  auto code = static_cast<std::uint32_t>(hr_);
  std::u16string text;
  if ((code & 0xFFFF0000u) == 0x80070000u) text = os::systemMessage(code & 0xFFFF);
  else if (hr_ == E_FAIL) text = u"Unspecified error";
  else if (hr_ == E_NOINTERFACE) text = u"No such interface supported";
  else if (hr_ == E_POINTER) text = u"Invalid pointer";
  if (!text.empty()) return text;
  if (code >= 0x80040200u && code <= 0x8004FFFFu && (code & 0xFFFF) != 0x0200)
    return formatString(u"IDispatch error #%d", static_cast<int>((code & 0xFFFF) - 0x200));
  return formatString(u"Unknown error 0x%0lX", code);
}

} // namespace com

vexception vexceptionFromComError(const _com_error& error, const std::u16string& contextMessage,
                                  const char* function, std::int32_t line) {
  std::u16string message =
      error.ErrorMessage() + formatString(u" (COM Error %08X", static_cast<std::uint32_t>(error.Error()));
  if (error.Description()) message += u", Description: " + *error.Description();
  message += u")\n   at " + contextMessage;
  return vexception(std::move(message), ExceptionContext(std::u16string(), function, line));
}
