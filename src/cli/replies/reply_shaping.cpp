#include "cli/replies/reply_shaping.h"

#include <algorithm>
#include <string>

#include "cli/replies/reply_text.h"

namespace replies {
namespace {

constexpr std::string_view PASTE_START = "\x1b[200~";
constexpr std::string_view PASTE_END = "\x1b[201~";

std::string bracketed(const std::string& text) {
  std::string chunk;
  chunk.reserve(text.size() + PASTE_START.size() + PASTE_END.size());
  chunk.append(PASTE_START).append(text).append(PASTE_END);
  return chunk;
}

}  // namespace

std::chrono::milliseconds enter_wait(std::chrono::milliseconds delay, std::size_t text_bytes) {
  const std::size_t beyond = text_bytes > PASTE_FREE_BYTES ? text_bytes - PASTE_FREE_BYTES : 0;
  const std::chrono::milliseconds intake(
      static_cast<std::chrono::milliseconds::rep>(beyond / INTAKE_BYTES_PER_MS));
  return delay + std::min(intake, LONGEST_INTAKE_WAIT);
}

std::chrono::milliseconds quiet_bound(std::size_t text_bytes) {
  const auto per_bytes = std::chrono::duration_cast<std::chrono::milliseconds>(
      QUIET_WAIT_PER_BYTE * static_cast<std::chrono::microseconds::rep>(text_bytes));
  return std::min(SHORTEST_QUIET_BOUND + per_bytes, LONGEST_QUIET_WAIT);
}

std::optional<relay::WriteBatch> shape_reply(cli::AgentKind agent, std::string_view text,
                                             bool bracketed_paste) {
  std::string clean = clean_reply_text(text);
  if (clean.empty()) return std::nullopt;
  const bool claude = agent == cli::AgentKind::Claude;
  // Cleaning has made every line break an LF, which both agents take as a new line in the text.
  std::string typed = claude || bracketed_paste ? bracketed(clean) : std::move(clean);
  relay::WriteBatch batch;
  batch.pause = enter_wait(claude ? CLAUDE_ENTER_DELAY : CODEX_ENTER_DELAY, typed.size());
  batch.quiet = claude ? CLAUDE_QUIET : CODEX_QUIET;
  batch.quiet_bound = quiet_bound(typed.size());
  batch.chunks.push_back(std::move(typed));
  batch.chunks.emplace_back("\r");
  return batch;
}

}  // namespace replies
