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

std::vector<std::string> split_text(std::string_view text, std::size_t piece_bytes) {
  // Back from `end` to the start of the character it falls in.
  const auto char_start = [&](std::size_t end) {
    while (end > 0 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
      --end;
    }
    return end;
  };
  std::vector<std::string> pieces;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.size() - at > piece_bytes ? char_start(at + piece_bytes) : text.size();
    // Shorter by one character, it differs from the piece before (as long): one of a single
    // character stays as it is.
    if (!pieces.empty() && text.substr(at, end - at) == pieces.back() && char_start(end - 1) > at) {
      end = char_start(end - 1);
    }
    pieces.emplace_back(text.substr(at, end - at));
    at = end;
  }
  return pieces;
}

std::optional<relay::WriteBatch> shape_reply(cli::AgentKind agent, std::string_view text,
                                             bool bracketed_paste, Console console) {
  std::string clean = clean_reply_text(text);
  if (clean.empty()) return std::nullopt;
  const bool claude = agent == cli::AgentKind::Claude;
  const bool pseudo_console = console == Console::PseudoConsole;
  relay::WriteBatch batch;
  // Cleaning has made every line break an LF, which both agents take as a new line in the text.
  if (claude && pseudo_console && clean.size() > CLAUDE_PIECE_BYTES) {
    for (const std::string& piece : split_text(clean, CLAUDE_PIECE_BYTES)) {
      batch.chunks.push_back(bracketed(piece));
    }
    batch.piece_bound = PIECE_BOUND;
  } else {
    batch.chunks.push_back(claude || bracketed_paste ? bracketed(clean) : std::move(clean));
  }
  // The Enter follows the last piece, which is all the agent may not have taken yet.
  const std::size_t last = batch.chunks.back().size();
  batch.pause = enter_wait(claude ? CLAUDE_ENTER_DELAY : CODEX_ENTER_DELAY, last);
  batch.quiet = claude ? CLAUDE_QUIET : pseudo_console ? CODEX_KEYS_QUIET : CODEX_QUIET;
  batch.quiet_bound = quiet_bound(last);
  batch.chunks.emplace_back("\r");
  return batch;
}

}  // namespace replies
