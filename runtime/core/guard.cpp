#include "runtime/core/guard.h"

#include <exception>

#include "runtime/core/text.h"

namespace guard_detail {
namespace {

// Text for a span tag in the ANSI code page; tagging never fails the guard.
std::string tagText(const std::u16string& text) {
  try {
    return cstr(text, CP_ACP);
  } catch (const ThreadCancelation::ThreadCanceled&) {
    throw;
  } catch (...) {
    return {};
  }
}

} // namespace

void translateCurrentException(tracing::Span& span, ExceptionContext context) {
  const std::string failure = tagText(context.message);
  try {
    try {
      throw;
    } catch (const ThreadCancelation::ThreadCanceled&) {
      throw; // a cancellation never becomes a failure
    } catch (const std::exception& e) {
      span.setTag("std::exception", e.what());
      throw vexception(wstr(e.what(), CP_ACP), std::move(context));
    } catch (vexception& e) {
      span.setTag("vexception", tagText(e.fullText()));
      e.addContext(std::move(context));
      throw;
    } catch (const _com_error& e) {
      span.setTag("_com_error", tagText(e.ErrorMessage()));
      throw vexceptionFromComError(e, context.message, context.function.c_str(), context.line);
    } catch (const cwrpexception& e) {
      span.setTag("cwrpexception", tagText(e.text()));
      throw vexception(e.text(), std::move(context));
    } catch (...) {
      span.setTag("...", "unknown");
      throw vexception(u"Unexpected error", std::move(context));
    }
  } catch (...) {
    span.setFailed(failure);
    throw;
  }
}

} // namespace guard_detail
