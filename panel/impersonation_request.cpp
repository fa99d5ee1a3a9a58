#include "panel/impersonation_request.h"

#include <span>

#include "os/text.h"
#include "runtime/core/command_line.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"

namespace panel {

namespace wire = RunTime::impersonation;

namespace {

[[noreturn]] void malformed(std::u16string message) {
  throw vexception(std::move(message), VCONTEXT("panel::RequestReader"));
}

bool isRunCode(std::uint32_t code) {
  return (code & ~(wire::runKindBit1 | wire::runKindBit4)) == wire::runRequest;
}

} // namespace

std::vector<std::uint8_t> RequestReader::message(std::size_t size, std::vector<os::Handle>& handles, bool first) {
  if (size > budget_) malformed(u"The request is too long");
  std::optional<std::vector<std::uint8_t>> got = source_.next(size, first, handles);
  if (!got) malformed(u"The client left in the middle of a request");
  if (got->size() != size)
    malformed(formatString(u"A message of %u bytes where %u were expected", static_cast<std::uint32_t>(got->size()),
                           static_cast<std::uint32_t>(size)));
  budget_ -= size;
  return std::move(*got);
}

std::uint32_t RequestReader::word() {
  std::vector<os::Handle> none;
  std::vector<std::uint8_t> bytes = message(4, none);
  if (!none.empty()) malformed(u"Descriptors where none belong");
  return wire::decodeWord(std::span<const std::uint8_t, 4>(bytes.data(), 4));
}

std::u16string RequestReader::string(const char16_t* what) {
  const std::uint32_t count = word();
  if (count % 2 != 0) malformed(formatString(u"The %s has an odd byte count", std::u16string(what)));
  if (count == 0) return {};
  std::vector<os::Handle> none;
  std::vector<std::uint8_t> bytes = message(count, none);
  if (!none.empty()) malformed(u"Descriptors where none belong");
  return os::utf16FromLittleEndian(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

bool RequestReader::flag() {
  if (word() != 4) malformed(u"A flag must be 4 bytes");
  const std::uint32_t value = word();
  if (value > 1) malformed(formatString(u"A flag must be 0 or 1, not %u", value));
  return value == 1;
}

std::optional<RequestHead> RequestReader::readHead() {
  std::vector<os::Handle> none;
  std::optional<std::vector<std::uint8_t>> start = source_.next(4, true, none);
  if (!start) return std::nullopt;
  if (start->size() != 4 || !none.empty() || wire::decodeWord(std::span<const std::uint8_t, 4>(start->data(), 4)) != wire::startWord)
    malformed(u"A request must begin with the word 1");
  budget_ -= 4;
  RequestHead head;
  head.code = word();
  if (!isRunCode(head.code) && head.code != wire::impersonateRequest)
    malformed(formatString(u"Unknown request code %u", head.code));
  head.sid = string(u"SID");
  if (word() != wire::headerSize) malformed(u"The process header must be 40 bytes");
  std::vector<std::uint8_t> header = message(wire::headerSize, head.streams);
  head.header = wire::decodeHeader(std::span<const std::uint8_t, wire::headerSize>(header.data(), wire::headerSize));
  if (head.streams.size() != (head.isRun() ? 3u : 0u))
    malformed(formatString(u"The process header carries %u descriptors", static_cast<std::uint32_t>(head.streams.size())));
  return head;
}

RunParameters RequestReader::readRun() {
  RunParameters run;
  run.useApplicationName = flag();
  if (run.useApplicationName) run.applicationName = string(u"application name");
  run.commandLine = string(u"command line");
  run.currentDirectory = string(u"current directory");
  run.environment = string(u"environment");
  return run;
}

std::vector<std::u16string> environmentEntries(std::u16string_view block) {
  std::vector<std::u16string> entries;
  while (!block.empty()) {
    const std::size_t end = block.find(u'\0');
    const std::u16string_view entry = block.substr(0, end);
    if (entry.empty()) break;
    entries.emplace_back(entry);
    if (end == block.npos) break;
    block.remove_prefix(end + 1);
  }
  return entries;
}

ProgramLine programLine(const RunParameters& run) {
  ProgramLine line{{}, splitCommandLine(run.commandLine)};
  if (run.useApplicationName) {
    line.program = run.applicationName;
    if (line.arguments.empty()) line.arguments.push_back(run.applicationName);
  } else if (!line.arguments.empty()) {
    line.program = line.arguments.front();
  }
  if (line.program.empty()) throw vexception(u"No program to start", VCONTEXT("panel::programLine"));
  // A NUL would end the name early at the system's door: refused rather than cut.
  if (line.program.find(u'\0') != line.program.npos)
    throw vexception(u"The program name holds a NUL character", VCONTEXT("panel::programLine"));
  return line;
}

} // namespace panel
