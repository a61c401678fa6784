#include "cli/replies/pending.h"

#include "cli/companion/http.h"
#include "cli/companion/json.h"
#include "platform/os_string.h"

namespace replies {
namespace {

using companion::Json;

constexpr std::string_view REPLY = "reply";
constexpr std::string_view SHUTDOWN_REQUESTED = "shutdown_requested";
constexpr std::size_t RECORD_FIELDS = 2;

// The reply member: a string or null; nothing else.
bool take_reply(const Json& value, PendingResponse& into) {
  if (value.is_null()) return true;
  if (!value.is_string()) return false;
  if (!value.get_ref<const std::string&>().empty()) into.reply = value.get<std::string>();
  return true;
}

// The shutdown member: true or false; null is refused like any other type.
bool take_shutdown(const Json& value, PendingResponse& into) {
  if (!value.is_boolean()) return false;
  into.shutdown_requested = value.get<bool>();
  return true;
}

}  // namespace

std::optional<PendingResponse> decode_pending(std::string_view body) {
  const std::string text = platform::utf8_lossy(body);
  // Each parse refuses its own field given twice in the top-level object; repeats of other
  // names are skipped members like any other.
  const std::optional<Json> value = companion::parse_record(text, REPLY);
  if (!value || !companion::parse_record(text, SHUTDOWN_REQUESTED)) return std::nullopt;

  PendingResponse response;
  if (value->is_object()) {
    const Json* reply = companion::member(*value, REPLY);
    const Json* shutdown = companion::member(*value, SHUTDOWN_REQUESTED);
    if (reply && !take_reply(*reply, response)) return std::nullopt;
    if (shutdown && !take_shutdown(*shutdown, response)) return std::nullopt;
    return response;
  }
  if (value->is_array() && value->size() <= RECORD_FIELDS) {
    if (value->size() > 0 && !take_reply((*value)[0], response)) return std::nullopt;
    if (value->size() > 1 && !take_shutdown((*value)[1], response)) return std::nullopt;
    return response;
  }
  return std::nullopt;
}

std::optional<PendingResponse> fetch_pending(std::string_view base_url,
                                             std::string_view capability_token,
                                             std::string_view handle,
                                             std::chrono::milliseconds limit) {
  const std::optional<std::string> url = companion::session_url(base_url, handle, "/pending");
  if (!url) return std::nullopt;
  const companion::RequestOutcome outcome =
      companion::send_request(companion::Method::Get, *url, limit, capability_token, std::nullopt);
  // The status of an answered poll is not looked at: only its body counts.
  if (outcome.kind != companion::RequestOutcome::Kind::Answered || !outcome.body) {
    return std::nullopt;
  }
  return decode_pending(*outcome.body);
}

bool acknowledge_delivery(std::string_view base_url, std::string_view capability_token,
                          std::string_view handle, std::chrono::milliseconds limit) {
  const std::optional<std::string> url = companion::session_url(base_url, handle, "/delivered");
  if (!url) return false;
  const companion::RequestOutcome outcome = companion::send_request(
      companion::Method::Post, *url, limit, capability_token, std::string("{}"));
  return outcome.kind == companion::RequestOutcome::Kind::Answered;
}

}  // namespace replies
