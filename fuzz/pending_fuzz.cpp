// Fuzzes the pending-reply decoder: a decoded record never holds an empty reply, re-encodes to a
// body that decodes to the same record, and only comes from text the answer reader accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "cli/companion/json.h"
#include "cli/companion/json_record.h"
#include "cli/replies/pending.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto decoded = replies::decode_pending(text);
  if (!decoded) return 0;
  if (decoded->reply && decoded->reply->empty()) std::abort();
  if (!companion::read_record(text, {}, {true, false})) std::abort();

  companion::Json again = companion::Json::object();
  again["reply"] = decoded->reply ? companion::Json(*decoded->reply) : companion::Json(nullptr);
  again["shutdown_requested"] = decoded->shutdown_requested;
  const auto round_trip = replies::decode_pending(companion::encode_json(again));
  if (!round_trip || round_trip->reply != decoded->reply ||
      round_trip->shutdown_requested != decoded->shutdown_requested) {
    std::abort();
  }
  return 0;
}
