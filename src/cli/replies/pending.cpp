#include "cli/replies/pending.h"

#include "cli/companion/http.h"
#include "cli/companion/json_record.h"

namespace replies {
namespace {

using companion::Json;

constexpr std::string_view REPLY = "reply";
constexpr std::string_view SHUTDOWN_REQUESTED = "shutdown_requested";
constexpr std::size_t RECORD_FIELDS = 2;

// The reply member: a string or null; nothing else.
bool take_reply(Json& value, PendingResponse& into) {
  if (value.is_null()) return true;
  if (!value.is_string()) return false;
  std::string& text = value.get_ref<std::string&>();
  if (!text.empty()) into.reply = std::move(text);
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
  std::optional<companion::Record> record = companion::read_record(
      body, {REPLY, SHUTDOWN_REQUESTED}, {.replace_invalid_utf8 = true, .refuse_repeats = true});
  if (!record || record->shape == companion::Record::Shape::Other) return std::nullopt;
  // The array form: the two members in that order, a missing element standing for an absent one.
  if (record->shape == companion::Record::Shape::Array && record->elements > RECORD_FIELDS) {
    return std::nullopt;
  }
  PendingResponse response;
  std::optional<Json>& reply = record->member(REPLY);
  const std::optional<Json>& shutdown = record->member(SHUTDOWN_REQUESTED);
  if (reply && !take_reply(*reply, response)) return std::nullopt;
  if (shutdown && !take_shutdown(*shutdown, response)) return std::nullopt;
  return response;
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
