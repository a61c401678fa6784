// Random bytes from the system's cryptographically secure generator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace platform {

// Fills `size` bytes at `out`. An Error when the system cannot supply them; the buffer's content
// is then unspecified and must not be used. Any thread.
[[nodiscard]] Result<void> fill_random(std::uint8_t* out, std::size_t size);

}  // namespace platform
