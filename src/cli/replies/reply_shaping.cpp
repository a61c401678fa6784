#include "cli/replies/reply_shaping.h"

#include <string>

#include "cli/replies/reply_text.h"

namespace replies {
namespace {

constexpr std::string_view PASTE_START = "\x1b[200~";
constexpr std::string_view PASTE_END = "\x1b[201~";

relay::WriteBatch bracketed_paste(std::string_view text) {
  std::string chunk;
  chunk.reserve(text.size() + PASTE_START.size() + PASTE_END.size());
  chunk.append(PASTE_START).append(text).append(PASTE_END);
  relay::WriteBatch batch;
  batch.chunks.push_back(std::move(chunk));
  batch.chunks.emplace_back("\r");
  batch.pause = CLAUDE_ENTER_DELAY;
  return batch;
}

relay::WriteBatch typed_text_then_enter(std::string_view text) {
  std::string typed;
  typed.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      typed.push_back(text[i]);
    } else if (i + 1 < text.size() && text[i + 1] == '\n') {
      // CR LF: the LF that follows stands for the pair.
    } else {
      typed.push_back('\n');
    }
  }
  relay::WriteBatch batch;
  batch.chunks.push_back(std::move(typed));
  batch.chunks.emplace_back("\r");
  batch.pause = CODEX_ENTER_DELAY;
  return batch;
}

}  // namespace

relay::WriteBatch shape_reply(cli::AgentKind agent, std::string_view text) {
  const std::string clean = clean_reply_text(text);
  return agent == cli::AgentKind::Claude ? bracketed_paste(clean) : typed_text_then_enter(clean);
}

}  // namespace replies
