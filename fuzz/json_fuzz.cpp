// Fuzzes the strict JSON reader: whatever it accepts must be one value that re-encodes and reads
// back to the same value, never nested too deep, and never a text that starts with a byte-order
// mark or holds invalid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/companion/json.h"
#include "platform/os_string.h"

namespace {

int depth(const companion::Json& value) {
  int deepest = 0;
  if (value.is_structured()) {
    for (const auto& item : value) deepest = std::max(deepest, depth(item));
    return deepest + 1;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const bool as_record : {true, false}) {
    const auto value =
        as_record ? companion::parse_record(text, "port") : companion::parse_json(text);
    if (!value) continue;
    if (!platform::is_valid_utf8(text) || text.substr(0, 3) == "\xEF\xBB\xBF") std::abort();
    if (depth(*value) >= companion::MAX_JSON_DEPTH) std::abort();
    const auto again = companion::parse_json(companion::encode_json(*value));
    if (!again || *again != *value) std::abort();
  }
  // Answers never fail on bad UTF-8 alone, and agree with the strict reader on valid text.
  const auto answer = companion::parse_answer(text);
  if (platform::is_valid_utf8(text)) {
    const auto plain = companion::parse_json(text);
    if (answer.has_value() != plain.has_value()) std::abort();
  }
  return 0;
}
