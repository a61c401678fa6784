#include "cli/relay/writer.h"

#include <thread>

namespace relay {
namespace {

// False when a write failed and the writer must stop.
bool write_batch(const WriteBatch& batch, platform::ByteSink& input) {
  for (std::size_t i = 0; i < batch.chunks.size(); ++i) {
    if (i > 0 && batch.pause.count() > 0) std::this_thread::sleep_for(batch.pause);
    if (!input.write_all(batch.chunks[i])) return false;
    // A failed flush loses nothing that a later write could recover; it is not a reason to stop.
    (void)input.flush();
  }
  return true;
}

}  // namespace

void writer(QueueReceiver receiver, std::unique_ptr<platform::ByteSink> terminal_input) {
  while (std::optional<WriteBatch> batch = receiver.receive()) {
    if (!write_batch(*batch, *terminal_input)) break;
  }
  // Release the receiver first: producers must learn at once that nothing is written any more.
  receiver.release();
  terminal_input.reset();
}

}  // namespace relay
