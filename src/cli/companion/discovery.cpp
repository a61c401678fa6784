#include "cli/companion/discovery.h"

#include "cli/companion/json_record.h"
#include "platform/files.h"
#include "platform/process.h"

namespace companion {
namespace {

constexpr std::string_view DATA_DIR_NAME = "Talvane";
constexpr std::uint32_t LARGEST_PORT = 65535;

std::string_view port_file_name(cli::AgentKind agent) {
  return agent == cli::AgentKind::Claude ? CLAUDE_PORT_FILE : CODEX_PORT_FILE;
}

// The value of a record's one field: the file is valid UTF-8 holding exactly one JSON value,
// either an object with the field exactly once or an array of exactly one element.
std::optional<Json> record_field(std::string_view content, std::string_view field) {
  std::optional<Record> record =
      read_record(content, {field}, {.replace_invalid_utf8 = false, .refuse_repeats = true});
  if (!record) return std::nullopt;
  if (record->shape == Record::Shape::Array && record->elements != 1) return std::nullopt;
  if (record->shape == Record::Shape::Other) return std::nullopt;
  return std::move(record->member(field));
}

// An optional '+' and then ASCII digits whose value is at most 65535; leading zeros allowed.
std::optional<std::uint32_t> port_from_string(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > LARGEST_PORT) return std::nullopt;  // also keeps long strings from overflowing
  }
  return value;
}

std::optional<std::uint32_t> port_from_value(const Json& value) {
  // Only a plain unsigned integer: nlohmann types -1 as signed and 38420.0 or 3.8e4 as float.
  if (value.is_number_unsigned()) {
    const auto number = value.get<Json::number_unsigned_t>();
    if (number > LARGEST_PORT) return std::nullopt;
    return static_cast<std::uint32_t>(number);
  }
  if (value.is_string()) return port_from_string(value.get_ref<const std::string&>());
  return std::nullopt;
}

std::optional<std::string> read_discovery_file(const platform::OsString& data_dir,
                                               std::string_view name) {
  platform::Result<std::string> content =
      platform::read_whole_file(platform::join_path(data_dir, name), MAX_DISCOVERY_FILE_BYTES);
  if (!content) return std::nullopt;
  return std::move(content).value();
}

}  // namespace

std::optional<platform::OsString> data_dir_from(const std::optional<platform::OsString>& talvane,
                                                const std::optional<platform::OsString>& local) {
  if (talvane && !talvane->empty()) return *talvane;
  if (local && !local->empty()) return platform::join_path(*local, DATA_DIR_NAME);
  return std::nullopt;
}

std::optional<platform::OsString> resolve_data_dir() {
  return data_dir_from(platform::get_env(platform::os_string("TALVANE_DATA_DIR")),
                       platform::get_env(platform::os_string("LOCALAPPDATA")));
}

std::uint16_t port_from_file_content(std::string_view content) {
  const std::optional<Json> value = record_field(content, "port");
  if (!value) return DEFAULT_PORT;
  const std::optional<std::uint32_t> port = port_from_value(*value);
  if (!port || *port == 0) return DEFAULT_PORT;
  return static_cast<std::uint16_t>(*port);
}

std::optional<std::string> token_from_file_content(std::string_view content) {
  const std::optional<Json> value = record_field(content, "token");
  if (!value || !value->is_string()) return std::nullopt;
  std::string token = value->get<std::string>();
  if (token.empty()) return std::nullopt;
  return token;
}

std::uint16_t read_port(cli::AgentKind agent, const platform::OsString& data_dir) {
  const std::optional<std::string> content = read_discovery_file(data_dir, port_file_name(agent));
  return content ? port_from_file_content(*content) : DEFAULT_PORT;
}

std::optional<std::string> read_capability_token(const platform::OsString& data_dir) {
  const std::optional<std::string> content = read_discovery_file(data_dir, TOKEN_FILE);
  return content ? token_from_file_content(*content) : std::nullopt;
}

}  // namespace companion
