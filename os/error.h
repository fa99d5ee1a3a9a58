// Win32 error codes as the rest of the system speaks them, and the system message of a code.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace os {

// The Win32 error codes that code above the boundary names.
namespace err {
inline constexpr std::uint32_t success = 0;
inline constexpr std::uint32_t fileNotFound = 2;
inline constexpr std::uint32_t pathNotFound = 3;
inline constexpr std::uint32_t accessDenied = 5;
inline constexpr std::uint32_t invalidHandle = 6;
inline constexpr std::uint32_t notEnoughMemory = 8;
inline constexpr std::uint32_t outOfMemory = 14;
inline constexpr std::uint32_t invalidDrive = 15;
inline constexpr std::uint32_t notSameDevice = 17;
inline constexpr std::uint32_t noMoreFiles = 18;
inline constexpr std::uint32_t writeProtect = 19;
inline constexpr std::uint32_t sharingViolation = 32;
inline constexpr std::uint32_t lockViolation = 33;
inline constexpr std::uint32_t handleEof = 38;
inline constexpr std::uint32_t notSupported = 50;
inline constexpr std::uint32_t fileExists = 80;
inline constexpr std::uint32_t invalidParameter = 87;
inline constexpr std::uint32_t brokenPipe = 109;
inline constexpr std::uint32_t diskFull = 112;
inline constexpr std::uint32_t insufficientBuffer = 122;
inline constexpr std::uint32_t invalidName = 123;
inline constexpr std::uint32_t dirNotEmpty = 145;
inline constexpr std::uint32_t badPathName = 161;
inline constexpr std::uint32_t alreadyExists = 183;
inline constexpr std::uint32_t filenameExcedRange = 206;
inline constexpr std::uint32_t pipeBusy = 231;
inline constexpr std::uint32_t noData = 232;
inline constexpr std::uint32_t pipeNotConnected = 233;
inline constexpr std::uint32_t moreData = 234;
inline constexpr std::uint32_t waitTimeout = 258;
inline constexpr std::uint32_t noMoreItems = 259;
inline constexpr std::uint32_t directory = 267;
inline constexpr std::uint32_t operationAborted = 995;
inline constexpr std::uint32_t ioDevice = 1117;
inline constexpr std::uint32_t privilegeNotHeld = 1314;
inline constexpr std::uint32_t noneMapped = 1332;
inline constexpr std::uint32_t noSuchDomain = 1355;
inline constexpr std::uint32_t internalError = 1359;
inline constexpr std::uint32_t timeout = 1460;
inline constexpr std::uint32_t cantResolveFilename = 1921;
inline constexpr std::uint32_t badFormat = 11;
inline constexpr std::uint32_t badConfiguration = 1610;
// Codes with the customer bit carry an errno that has no Win32 equivalent.
inline constexpr std::uint32_t customerBit = 0x20000000;
} // namespace err

// A value or the Win32 error code of the failure that prevented it.
template <class T>
class [[nodiscard]] Result {
public:
  Result(T value) : value_(std::move(value)) {}
  static Result failure(std::uint32_t code) { return Result(code, 0); }

  bool ok() const { return code_ == err::success; }
  std::uint32_t code() const { return code_; }
  T& value() { return value_; }
  const T& value() const { return value_; }

private:
  Result(std::uint32_t code, int) : code_(code) {}
  T value_{};
  std::uint32_t code_ = err::success;
};

// The system's message text for a Win32 error code, without trailing line breaks; empty when
// the system has no text for the code.
std::u16string systemMessage(std::uint32_t code);

// The calling thread's last OS error as a Win32 code (errno mapped).
std::uint32_t lastError();

} // namespace os
