#include "platform/console.h"

namespace platform {
namespace {

// Console input mode bits the relay mode changes.
constexpr std::uint32_t PROCESSED_INPUT = 0x0001;
constexpr std::uint32_t LINE_INPUT = 0x0002;
constexpr std::uint32_t ECHO_INPUT = 0x0004;
constexpr std::uint32_t VIRTUAL_TERMINAL_INPUT = 0x0200;

}  // namespace

std::uint32_t relay_input_mode(std::optional<std::uint32_t> saved) {
  constexpr std::uint32_t cleared =
      PROCESSED_INPUT | LINE_INPUT | ECHO_INPUT | VIRTUAL_TERMINAL_INPUT;
  if (!saved) return VIRTUAL_TERMINAL_INPUT;
  return (*saved & ~cleared) | VIRTUAL_TERMINAL_INPUT;
}

ConsoleSize window_size(std::int16_t left, std::int16_t top, std::int16_t right,
                        std::int16_t bottom) {
  // The console computes these in 16 bits; a rectangle that is off by its own rules wraps.
  const auto span = [](std::int16_t low, std::int16_t high) {
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(high) -
                                      static_cast<std::uint16_t>(low) + 1u);
  };
  return ConsoleSize{span(left, right), span(top, bottom)};
}

}  // namespace platform
