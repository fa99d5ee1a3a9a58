// The one exception family: a wide message and the "at" records the guards add on the way out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One "at" record: what was being attempted, by which operation, at which source line.
struct ExceptionContext {
  ExceptionContext(std::u16string message, const char* function, std::int32_t line)
      : message(std::move(message)), function(function), line(line) {}

  std::u16string message;
  std::string function;
  std::int32_t line;
};

// A context with an empty message naming the function at the current line.
#define VCONTEXT(function) ::ExceptionContext(std::u16string(), function, __LINE__)

class vexception {
public:
  explicit vexception(std::u16string message) : message_(std::move(message)) {}
  vexception(std::u16string message, ExceptionContext context);
  virtual ~vexception() = default;

  const std::u16string& message() const { return message_; }
  const std::vector<ExceptionContext>& contexts() const { return contexts_; }
  void addContext(ExceptionContext context) { contexts_.push_back(std::move(context)); }

  // The message followed by one "\n   at <message>(<function> line <n>)" per context.
  std::u16string fullText() const;

  // The message as the log writes it, where it differs from the one shown: text from outside the
  // tool (a script's output) marked so that it cannot pass for the log's own lines.
  void setLoggedMessage(std::u16string message) { loggedMessage_ = std::move(message); }
  // fullText() with the logged message in place of the message.
  std::u16string loggedText() const;

private:
  std::u16string textWith(const std::u16string& message) const;

  std::u16string message_;
  std::optional<std::u16string> loggedMessage_;
  std::vector<ExceptionContext> contexts_;
};

class ArgumentException : public vexception {
public:
  using vexception::vexception;
};

// An operating-system failure with its Win32 error code.
class vosexception : public vexception {
public:
  vosexception(std::u16string message, std::uint32_t code, ExceptionContext context)
      : vexception(std::move(message), std::move(context)), code_(code) {}

  std::uint32_t code() const { return code_; }

private:
  std::uint32_t code_;
};

#define TAVRIX_OS_EXCEPTION(name)                                                   \
  class name : public vosexception {                                               \
  public:                                                                          \
    using vosexception::vosexception;                                              \
  };
TAVRIX_OS_EXCEPTION(VFileNotFoundException)
TAVRIX_OS_EXCEPTION(VPathNotFoundException)
TAVRIX_OS_EXCEPTION(VAccessDeniedException)
TAVRIX_OS_EXCEPTION(VInvalidHandleException)
TAVRIX_OS_EXCEPTION(VOutOfMemoryException)
TAVRIX_OS_EXCEPTION(VInvalidDriveException)
TAVRIX_OS_EXCEPTION(VNotDosDiskException)
TAVRIX_OS_EXCEPTION(VSharingViolationException)
TAVRIX_OS_EXCEPTION(VLockViolationException)
TAVRIX_OS_EXCEPTION(VWrongDiskException)
TAVRIX_OS_EXCEPTION(VSharingBufferExceededException)
TAVRIX_OS_EXCEPTION(VEOFException)
TAVRIX_OS_EXCEPTION(VFileExistsException)
TAVRIX_OS_EXCEPTION(VInsufficientBufferException)
TAVRIX_OS_EXCEPTION(VInvalidNameException)
TAVRIX_OS_EXCEPTION(VDirectoryNotEmptyException)
TAVRIX_OS_EXCEPTION(VInvalidPathException)
TAVRIX_OS_EXCEPTION(VAlreadyExistsException)
TAVRIX_OS_EXCEPTION(VPipeClosedException)
TAVRIX_OS_EXCEPTION(VInvalidDirectoryNameException)
TAVRIX_OS_EXCEPTION(VServiceDoesNotExistException)
TAVRIX_OS_EXCEPTION(VServiceMarkedForDeleteException)
TAVRIX_OS_EXCEPTION(VServiceAlreadyExistsException)
TAVRIX_OS_EXCEPTION(VNoneMappedException)
TAVRIX_OS_EXCEPTION(VNoSuchMemberException)
TAVRIX_OS_EXCEPTION(VTrustedRelationshipFailureException)
TAVRIX_OS_EXCEPTION(VPasswordTooShortException)
#undef TAVRIX_OS_EXCEPTION

// The operating-system message of a code: the system text (or "Unknown error") followed by
// " (Error code N)" and, when `where` is given, " at " + where.
std::u16string osErrorMessage(std::uint32_t code, const char16_t* where = nullptr);

// Throws the class that the code selects (or vosexception) with the OS message of the code.
[[noreturn]] void throwOSError(const char16_t* where, std::uint32_t code, ExceptionContext context);
[[noreturn]] inline void throwOSError(const std::u16string& where, std::uint32_t code,
                                      ExceptionContext context) {
  throwOSError(where.c_str(), code, std::move(context));
}

// A processor exception (access violation and the like) by its code. Not a vexception.
class cwrpexception {
public:
  explicit cwrpexception(std::uint32_t code) : code_(code) {}
  std::uint32_t code() const { return code_; }
  // "C structured exception: 0x" + the code in lower-case hexadecimal.
  std::u16string text() const;

private:
  std::uint32_t code_;
};

namespace com {

using HRESULT = std::int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);

// The HRESULT that wraps a Win32 error code.
constexpr HRESULT hresultFromWin32(std::uint32_t code) {
  return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFF) | 0x80070000u);
}

// A COM-style failure: an HRESULT and an optional description. There is no COM here; the type
// keeps the reporting rules of the COM error objects the XML layer was written against.
class _com_error {
public:
  explicit _com_error(HRESULT hr, std::optional<std::u16string> description = std::nullopt)
      : hr_(hr), description_(std::move(description)) {}

  HRESULT Error() const { return hr_; }
  const std::optional<std::u16string>& Description() const { return description_; }
  // The system message of the HRESULT, else "IDispatch error #N" or "Unknown error 0x%0lX".
  std::u16string ErrorMessage() const;

private:
  HRESULT hr_;
  std::optional<std::u16string> description_;
};

} // namespace com

using com::_com_error;

// The vexception that reports a COM failure: message "<text> (COM Error XXXXXXXX[, Description:
// d])\n   at <contextMessage>" and one context with an empty message.
vexception vexceptionFromComError(const _com_error& error, const std::u16string& contextMessage,
                                  const char* function, std::int32_t line);
