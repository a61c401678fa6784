// Byte streams between the relay threads and the system: the agent's terminal and the user's
// console. Each object is owned by one thread at a time and closes what it holds when destroyed.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "platform/error.h"

namespace platform {

// Where bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Reads up to buffer.size() bytes, waiting for at least one; 0 means end of the stream.
  [[nodiscard]] virtual Result<std::size_t> read(std::span<char> buffer) = 0;
};

// Where bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;

  // Writes every byte or fails; an interrupted write is repeated, a write that takes no byte is
  // a failure.
  [[nodiscard]] virtual Result<void> write_all(std::string_view bytes) = 0;

  // Pushes out whatever the sink still holds.
  [[nodiscard]] virtual Result<void> flush() = 0;
};

}  // namespace platform
