// The wire format of the impersonation pipe, shared by the client (RunTime::SIDClient) and the
// reference service: request codes, reply statuses, the 40-byte process header and the reading
// of a reply. Every value is little-endian; every part of an item (a word, a byte count, a run of
// bytes) travels as one message of its own.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "os/pipe.h"

namespace RunTime::impersonation {

// The word that opens every request.
inline constexpr std::uint32_t startWord = 1;
// Request codes: run a process (plus the kind bits 1 and 4), impersonate the caller's thread.
inline constexpr std::uint32_t runRequest = 2;
inline constexpr std::uint32_t runKindBit1 = 1;
inline constexpr std::uint32_t runKindBit4 = 4;
inline constexpr std::uint32_t impersonateRequest = 5;
// Reply statuses: 0 and 2 carry nothing, statusError an error text, any other a text.
inline constexpr std::uint32_t statusDone = 0;
inline constexpr std::uint32_t statusDoneToo = 2;
inline constexpr std::uint32_t statusText = 1;
inline constexpr std::uint32_t statusError = 0xFFFFFFFF;
// No request, and no item of a reply, is longer than this (what one message of a pipe carries):
// a longer count is a protocol fault.
inline constexpr std::uint32_t maxLength = os::pipe::maxMessage;
inline constexpr std::size_t headerSize = 40;

// "\\.\pipe\" + the string value "ZRC_pipe" of HKLM\SOFTWARE\Kelvo\ZRC Config\Config (32-bit
// view), or + "ZRC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}" when the value is missing.
std::u16string pipeName();

// The process header of a request: who asks, the handle values of the three standard streams
// in the asking process (their descriptors travel with the header's message), and a flag.
struct ProcessHeader {
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;
  std::int64_t stdinRead = 0;
  std::int64_t stdoutWrite = 0;
  std::int64_t stderrWrite = 0;
  std::uint32_t flag = 0;
};
std::array<std::uint8_t, headerSize> encodeHeader(const ProcessHeader& header);
ProcessHeader decodeHeader(std::span<const std::uint8_t, headerSize> bytes);

std::array<std::uint8_t, 4> encodeWord(std::uint32_t value);
std::uint32_t decodeWord(std::span<const std::uint8_t, 4> bytes);

// Checks a reply's byte count before its payload is read: a count over maxLength, or a non-zero
// count after status 0 or 2, throws vexception "Invalid reply from server" (the rest of the reply
// could not be read in step).
void checkReplyCount(std::uint32_t status, std::uint32_t count);
// The text of a reply: empty for status 0 and 2; otherwise the payload as UTF-16LE (an odd last
// byte dropped). Status statusError throws a vexception with that text (context
// "RunTime::PipeClient::readMessage").
std::u16string replyText(std::uint32_t status, std::span<const std::uint8_t> payload);
// The process handle value of a run reply: the first 4 bytes of an 8-byte text. Any other length
// throws "Invalid answer from server: (<text>)" (context "RunTime::PipeClient::readValue").
std::uint32_t processHandleValue(const std::u16string& text);

} // namespace RunTime::impersonation
