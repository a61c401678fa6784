#include "cli/relay/output_pump.h"

#include <array>
#include <string_view>

namespace relay {

void output_pump(std::unique_ptr<platform::ByteSource> terminal_output,
                 std::unique_ptr<platform::ByteSink> screen) {
  std::array<char, OUTPUT_READ_BYTES> buffer{};
  for (;;) {
    platform::Result<std::size_t> read = terminal_output->read(buffer);
    if (!read || read.value() == 0) break;
    if (!screen->write_all(std::string_view(buffer.data(), read.value()))) break;
    if (!screen->flush()) break;
  }
}

}  // namespace relay
