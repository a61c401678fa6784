// The input pump: what the user types, to the write queue.
#pragma once

#include <memory>

#include "cli/running_flag.h"
#include "cli/relay/write_queue.h"
#include "platform/byte_stream.h"

namespace relay {

// Size of one read of the keyboard; each read becomes one batch of one chunk.
inline constexpr std::size_t INPUT_READ_BYTES = 4096;

// Reads the keyboard and sends every read, unchanged, as its own batch. Looks at `running`
// between reads. Ends at end of input, on a read error, when a send fails (the writer has
// ended) or when `running` is found false. Reports nothing. Thread entry; owns what it is given.
void input_pump(QueueSender sender, cli::RunningFlag running, std::unique_ptr<platform::ByteSource> keyboard);

}  // namespace relay
