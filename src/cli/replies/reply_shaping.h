// Turns a voice reply into the keystrokes that type it into the agent and press Enter.
#pragma once

#include <chrono>
#include <string_view>

#include "cli/agent_kind.h"
#include "cli/relay/write_queue.h"

namespace replies {

// Codex gets its Enter this long after the text, so that it does not take the text for a paste.
inline constexpr std::chrono::milliseconds CODEX_ENTER_DELAY{250};
// Claude Code drops an Enter that arrives together with a paste (most often the first paste of a
// session), so its Enter follows the paste this long after: twice the shortest pause that
// submitted every first paste when measured (scripts/claude_paste_pause.py).
inline constexpr std::chrono::milliseconds CLAUDE_ENTER_DELAY{80};

// The text is first cleaned by clean_reply_text: line breaks become LF, control characters go.
// Claude: ESC[200~ text ESC[201~, then a second chunk "\r", with CLAUDE_ENTER_DELAY between them.
// Codex: the text, then a second chunk "\r", with CODEX_ENTER_DELAY between them.
// Pure; any thread.
relay::WriteBatch shape_reply(cli::AgentKind agent, std::string_view text);

}  // namespace replies
