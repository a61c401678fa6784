#include "cli/relay/input_pump.h"

#include <array>

namespace relay {

void input_pump(QueueSender sender, cli::RunningFlag running,
                std::unique_ptr<platform::ByteSource> keyboard) {
  std::array<char, INPUT_READ_BYTES> buffer{};
  while (running->load()) {
    platform::Result<std::size_t> read = keyboard->read(buffer);
    if (!read || read.value() == 0) break;
    WriteBatch batch;
    batch.chunks.emplace_back(buffer.data(), read.value());
    if (!sender.send(std::move(batch))) break;
  }
}

}  // namespace relay
