// The two requests of voice-reply delivery: the long poll for the next pending reply and the
// acknowledgement of a delivered one. Both block the calling thread for at most their time
// limit; any thread may call them. Nothing here prints anything.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace replies {

// What the app answered to one poll.
struct PendingResponse {
  std::optional<std::string> reply;  // never the empty string
  bool shutdown_requested = false;   // the app asks the launcher to end the session
};

inline constexpr std::chrono::milliseconds PENDING_POLL_TIMEOUT{std::chrono::seconds(35)};
inline constexpr std::chrono::milliseconds DELIVERY_ACK_TIMEOUT{std::chrono::seconds(3)};

// Decodes an answer body strictly: exactly one JSON value (invalid UTF-8 replaced by U+FFFD
// first), either an object whose "reply" is a string or null and whose "shutdown_requested" is
// true or false, neither given twice, other members skipped; or an array of at most two elements
// standing for those two members in that order. An empty reply counts as no reply. Nothing for
// any other body, the empty one included.
[[nodiscard]] std::optional<PendingResponse> decode_pending(std::string_view body);

// GET <base_url>/api/managed-sessions/<handle>/pending with the capability token, bounded by
// `limit` as a whole. Nothing on a transport failure, a status of 400 or above, an unreadable
// body or one that decode_pending refuses.
[[nodiscard]] std::optional<PendingResponse> fetch_pending(std::string_view base_url,
                                                           std::string_view capability_token,
                                                           std::string_view handle,
                                                           std::chrono::milliseconds limit);

// POST <base_url>/api/managed-sessions/<handle>/delivered with the body "{}", bounded by
// `limit`. True when the app answered with a status below 400; the answer is not read.
[[nodiscard]] bool acknowledge_delivery(std::string_view base_url,
                                        std::string_view capability_token, std::string_view handle,
                                        std::chrono::milliseconds limit);

}  // namespace replies
