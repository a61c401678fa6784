// Fuzzes the discovery-file readers: the port is always DEFAULT_PORT or a port the file names
// (never 0), and a token is never empty and only comes from a file the strict reader accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/companion/discovery.h"
#include "cli/companion/json.h"
#include "cli/companion/json_record.h"
#include "platform/os_string.h"

namespace {

// The port the file names when it names one the rules accept, else nothing.
bool names_port(const companion::Json& value, std::uint16_t port) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>() == port;
  if (value.is_number_integer()) return value.get<std::int64_t>() == port;
  if (!value.is_string()) return false;
  std::string digits = value.get<std::string>();
  if (!digits.empty() && digits.front() == '+') digits.erase(0, 1);
  while (digits.size() > 1 && digits.front() == '0') digits.erase(0, 1);
  return digits == std::to_string(port);
}

const companion::Json* field(const companion::Json& record, std::string_view name) {
  if (record.is_array()) return record.size() == 1 ? &record[0] : nullptr;
  return companion::member(record, name);
}

// The file as a tree, when parse_json can read it: not when it holds a number too large for a
// double, which the record reader skips where it is not used.
std::optional<companion::Json> tree(std::string_view text) {
  if (!platform::is_valid_utf8(text)) return std::nullopt;
  return companion::parse_json(text);
}

// A file that gives a value is a valid record of the field.
void check_record(std::string_view text, std::string_view name) {
  if (!companion::read_record(text, {name}, {false, true})) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::uint16_t port = companion::port_from_file_content(text);
  if (port == 0) std::abort();
  if (port != companion::DEFAULT_PORT) {
    check_record(text, "port");
    if (const auto record = tree(text)) {
      const companion::Json* value = field(*record, "port");
      if (value == nullptr || !names_port(*value, port)) std::abort();
    }
  }

  const auto token = companion::token_from_file_content(text);
  if (token) {
    check_record(text, "token");
    const auto record = tree(text);
    const companion::Json* value = record ? field(*record, "token") : nullptr;
    if (token->empty() || (record && (value == nullptr || *value != *token))) std::abort();
  }
  return 0;
}
