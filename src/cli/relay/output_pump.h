// The output pump: the agent's terminal output, to the user's screen.
#pragma once

#include <memory>

#include "platform/byte_stream.h"

namespace relay {

// Size of one read of the agent's output.
inline constexpr std::size_t OUTPUT_READ_BYTES = 8192;

// Copies the agent's output to the screen unchanged, each read written whole and flushed before
// the next read. Ends at end of output or on a read, write or flush error. Never looks at
// `running`. Reports nothing. Thread entry; owns what it is given.
void output_pump(std::unique_ptr<platform::ByteSource> terminal_output,
                 std::unique_ptr<platform::ByteSink> screen);

}  // namespace relay
