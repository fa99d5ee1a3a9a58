#include "runtime/process/process_output.h"

#include <array>
#include <vector>

#include "os/pipe.h"
#include "runtime/core/exception.h"
#include "runtime/core/format.h"

namespace RunTime {

void createAsyncPipe(os::Handle& readEnd, os::Handle& writeEnd, std::uint32_t bufferSize, Overlapped& overlapped) {
  readEnd.reset();
  writeEnd.reset();
  os::Result<os::pipe::PipePair> pair = os::pipe::createPipe(bufferSize, true);
  if (!pair.ok()) throwOSError(u"Unable to create pipe", pair.code(), VCONTEXT("RunTime::createAsyncPipe"));
  overlapped.bind(pair.value().read.get(), "RunTime::createAsyncPipe");
  readEnd = std::move(pair.value().read);
  writeEnd = std::move(pair.value().write);
}

namespace {

// One pipe of the collection.
struct Source {
  std::string& output;
  os::NativeHandle handle;
  Overlapped& overlapped;
  bool ended;
};

// Reads one chunk if one is there. Returns true when it read something or the pipe ended.
bool readChunk(Source& source, const std::string& other, bool same, std::size_t limit) {
  std::array<char, 1024> buffer;
  os::Result<std::size_t> got = os::pipe::receive(source.handle, buffer.data(), buffer.size());
  if (!got.ok()) {
    if (got.code() == os::pipe::ioPending) return false;
    if (got.code() != os::err::handleEof && got.code() != os::err::brokenPipe)
      throwOSError(u"Unable to read pipe", got.code(), VCONTEXT("RunTime::asyncReadTaskOutput"));
    source.ended = true;
    return true;
  }
  const std::size_t total = source.output.size() + (same ? source.output.size() : other.size());
  if (total < limit) source.output.append(buffer.data(), got.value());
  return true;
}

// Reads what a pipe holds now, without waiting: at most what the largest pipe an unprivileged
// process may make holds by default (1 MiB), so a writer that never stops cannot hold us here.
void drain(Source& source, const std::string& other, bool same, std::size_t limit) {
  constexpr int kMostChunks = 1024;
  for (int chunk = 0; chunk < kMostChunks && !source.ended; ++chunk)
    if (!readChunk(source, other, same, limit)) return;
}

} // namespace

void asyncReadTaskOutput(std::string& output1, std::string& output2, os::NativeHandle readEnd1, Overlapped& overlapped1,
                         os::NativeHandle readEnd2, Overlapped& overlapped2, std::size_t limit,
                         VSyncObject* processEnded) {
  output1.clear();
  output2.clear();
  std::array<Source, 2> sources{Source{output1, readEnd1, overlapped1, readEnd1 == os::NativeHandle::none},
                                Source{output2, readEnd2, overlapped2, readEnd2 == os::NativeHandle::none}};
  for (Source& source : sources)
    if (!source.ended && !source.overlapped.bound()) source.overlapped.bind(source.handle, "RunTime::asyncReadTaskOutput");
  const bool same = &output1 == &output2;

  for (;;) {
    bool progressed = false;
    for (std::size_t i = 0; i < sources.size(); ++i)
      if (!sources[i].ended)
        progressed |= readChunk(sources[i], sources[1 - i].output, same, limit);
    if (sources[0].ended && sources[1].ended) return;
    if (progressed) continue;

    // Nothing at hand: wait for either pipe that is still open.
    std::vector<VSyncObject*> waited;
    for (Source& source : sources)
      if (!source.ended) waited.push_back(&source.overlapped);
    const std::size_t pipes = waited.size();
    // Last, so that a pipe with something to read is served first.
    if (processEnded) waited.push_back(processEnded);
    os::Result<std::uint32_t> result = waitForMultipleObjects(waited, false, os::INFINITE_WAIT);
    if (!result.ok()) throwOSError(u"Unable to read pipe", result.code(), VCONTEXT("RunTime::asyncReadTaskOutput"));
    const std::uint32_t index = result.value();
    if (index < os::WAIT_OBJECT_0 + pipes) continue;
    if (processEnded && index == os::WAIT_OBJECT_0 + pipes) {
      for (std::size_t i = 0; i < sources.size(); ++i)
        drain(sources[i], sources[1 - i].output, same, limit);
      return;
    }
    throw vexception(formatString(u"Unable to read pipe: Unknown state %X", index), VCONTEXT("RunTime::asyncReadTaskOutput"));
  }
}

} // namespace RunTime
