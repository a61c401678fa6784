#include "platform/console.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(ConsoleModes, RelayModeClearsLineEchoAndProcessedInputAndSetsTerminalInput) {
  struct Case {
    std::optional<std::uint32_t> saved;
    std::uint32_t relay;
  };
  const Case cases[] = {
      {0x1F7, 0x3F0},  // a usual console: everything else is kept
      {0x3F7, 0x3F0},  // terminal input already on: same mode as without it
      {0x007, 0x200},  // only the bits we change
      {0x000, 0x200}, {0xFFFFFFFF, 0xFFFFFFF8}, {std::nullopt, 0x200},  // nothing saved
  };
  for (const Case& c : cases) {
    EXPECT_EQ(relay_input_mode(c.saved), c.relay) << std::hex << (c.saved ? *c.saved : 0xDEADu);
  }
}

TEST(ConsoleModes, WindowSizeComesFromTheWindowNotTheBuffer) {
  struct Case {
    std::int16_t left, top, right, bottom;
    ConsoleSize size;
  };
  const Case cases[] = {
      {0, 0, 119, 29, {120, 30}},
      {0, 2970, 119, 2999, {120, 30}},  // scrolled far down a deep buffer
      {5, 0, 4, 0, {0, 1}},             // degenerate rectangles wrap as 16-bit values do
      {0, 0, -2, 0, {65535, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(window_size(c.left, c.top, c.right, c.bottom), c.size)
        << c.left << "," << c.top << "," << c.right << "," << c.bottom;
  }
}

}  // namespace
}  // namespace platform
