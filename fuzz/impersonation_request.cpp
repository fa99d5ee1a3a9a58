// The impersonation service's reading of a request on arbitrary messages. The input is cut into
// messages: a frame byte (its low two bits: how many descriptors the message carries), a byte
// with the message's length, then that many bytes. A request that reads whole goes on to the
// environment block and program line the service builds from it.
#include <cstddef>
#include <cstdint>
#include <span>

#include "os/pipe.h"
#include "panel/impersonation_request.h"
#include "runtime/core/exception.h"

namespace {

class FuzzedMessages : public panel::MessageSource {
public:
  explicit FuzzedMessages(std::span<const std::uint8_t> input) : input_(input) {}
  std::optional<std::vector<std::uint8_t>> next(std::size_t limit, bool, std::vector<os::Handle>& handles) override {
    if (input_.size() < 2) return std::nullopt;
    const int descriptors = input_[0] & 3;
    const std::size_t size = std::min<std::size_t>(input_[1], input_.size() - 2);
    std::vector<std::uint8_t> message(input_.begin() + 2, input_.begin() + 2 + static_cast<std::ptrdiff_t>(size));
    input_ = input_.subspan(2 + size);
    for (int i = 0; i < descriptors; ++i) {
      os::Result<os::pipe::PipePair> pair = os::pipe::createPipe(0, false);
      if (pair.ok()) handles.push_back(std::move(pair.value().read));
    }
    // As a message socket does: a longer message does not fit the buffer.
    if (message.size() > limit) message.resize(limit + 1);
    return message;
  }

private:
  std::span<const std::uint8_t> input_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedMessages source({data, size});
  try {
    panel::RequestReader reader(source);
    std::optional<panel::RequestHead> head = reader.readHead();
    if (!head || !head->isRun()) return 0;
    panel::RunParameters run = reader.readRun();
    volatile std::size_t entries = panel::environmentEntries(run.environment).size();
    volatile std::size_t arguments = panel::programLine(run).arguments.size();
    (void)entries;
    (void)arguments;
  } catch (const vexception&) {
  }
  return 0;
}
