// The input pump: what the user types, to the write queue.
#pragma once

#include <memory>

#include "cli/relay/write_queue.h"
#include "cli/running_flag.h"
#include "platform/byte_stream.h"

namespace relay {

// Size of one read of the keyboard; each read becomes one batch of one chunk, or two.
inline constexpr std::size_t INPUT_READ_BYTES = 4096;

// Reads the keyboard and sends every read, unchanged, as key batches, telling the queue whether
// the keys end inside a unit of input (see InputUnits). A read that ends one unit and begins
// another is sent as two batches, split after the unit. While the queue has no room for keys
// the keyboard is not read. Looks at `running` between reads and while it waits for room. Ends
// at end of input, on a read error, when a send fails (the writer has ended) or when `running`
// is found false. Reports nothing. Thread entry; owns what it is given.
void input_pump(QueueSender sender, cli::RunningFlag running,
                std::unique_ptr<platform::ByteSource> keyboard);

}  // namespace relay
