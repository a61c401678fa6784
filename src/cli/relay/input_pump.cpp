#include "cli/relay/input_pump.h"

#include <array>
#include <string_view>

#include "cli/relay/input_units.h"

namespace relay {
namespace {

// How long one wait for room in the queue lasts before the pump looks at `running` again.
constexpr std::chrono::milliseconds ROOM_WAIT_SLICE{250};

// False when the pump must end: the writer has gone, or the run is ending while the agent reads
// no input and the queue has no room.
bool send_keys(QueueSender& sender, const cli::RunningFlag& running, std::string_view keys,
               bool ends_inside_unit) {
  WriteBatch batch;
  batch.chunks.emplace_back(keys);
  for (;;) {
    switch (sender.send_keys(std::move(batch), ends_inside_unit, ROOM_WAIT_SLICE)) {
      case KeySend::Sent:
        return true;
      case KeySend::Closed:
        return false;
      case KeySend::Full:
        if (!running->load()) return false;
        break;
    }
  }
}

}  // namespace

void input_pump(QueueSender sender, cli::RunningFlag running,
                std::unique_ptr<platform::ByteSource> keyboard) {
  std::array<char, INPUT_READ_BYTES> buffer{};
  InputUnits units;
  while (running->load()) {
    platform::Result<std::size_t> read = keyboard->read(buffer);
    if (!read || read.value() == 0) break;
    const std::string_view keys(buffer.data(), read.value());
    const std::size_t boundary = units.feed(keys);
    // A read that ends one unit and begins another goes as two batches, so that a reply waiting
    // for the first unit can go in between.
    std::size_t from = 0;
    if (boundary > 0 && boundary < keys.size()) {
      if (!send_keys(sender, running, keys.substr(0, boundary), false)) break;
      from = boundary;
    }
    if (!send_keys(sender, running, keys.substr(from), units.inside())) break;
  }
}

}  // namespace relay
