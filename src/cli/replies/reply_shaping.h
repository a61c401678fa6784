// Turns a voice reply into the keystrokes that type it into the agent and press Enter.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/agent_kind.h"
#include "cli/relay/write_queue.h"

namespace replies {

// Codex gets its Enter this long after the text, so that it does not take the Enter for part of
// the text.
inline constexpr std::chrono::milliseconds CODEX_ENTER_DELAY{250};
// Claude Code drops an Enter that arrives together with a paste (most often the first paste of a
// session), so its Enter follows the paste this long after: twice the shortest pause that
// submitted every first paste when measured (scripts/claude_paste_pause.py).
inline constexpr std::chrono::milliseconds CLAUDE_ENTER_DELAY{80};

// A long text takes time to reach the agent after it has been written: a slow pseudo-console
// takes input in at about 96 bytes a millisecond (Windows' ConPTY), so the gap that the agent
// sees between the text's end and the Enter shrinks by that much. The first PASTE_FREE_BYTES
// leave the delays above enough of their gap; for every byte beyond them the Enter waits as long
// as half that rate takes, up to LONGEST_INTAKE_WAIT.
inline constexpr std::size_t PASTE_FREE_BYTES = 2048;
inline constexpr std::size_t INTAKE_BYTES_PER_MS = 48;
inline constexpr std::chrono::milliseconds LONGEST_INTAKE_WAIT{1500};
// The longest any reply's Enter waits after its text.
inline constexpr std::chrono::milliseconds LONGEST_ENTER_WAIT =
    CODEX_ENTER_DELAY + LONGEST_INTAKE_WAIT;

// How long the Enter waits after a text of `text_bytes` written with `delay` as its agent's base.
std::chrono::milliseconds enter_wait(std::chrono::milliseconds delay, std::size_t text_bytes);

// After that wait the Enter also waits until the agent's output has been quiet this long: an
// agent that is still drawing the text it was given has not read all of it yet. Where the paste
// markers do not survive (Wine's pseudo-console drops them), Codex gets the text as keys and
// takes an Enter that comes within 120 ms of the last key it handled for part of a paste of its
// own; it handles keys as slowly as it redraws for each.
inline constexpr std::chrono::milliseconds CLAUDE_QUIET{40};
inline constexpr std::chrono::milliseconds CODEX_QUIET{250};
// Through a pseudo-console codex.exe gets even a paste as keys, and while it handles them it may
// not draw for up to 400 ms (measured under Wine on 2 CPUs): there its Enter waits for this.
inline constexpr std::chrono::milliseconds CODEX_KEYS_QUIET{600};
// For at most this long after the wait above, and QUIET_WAIT_PER_BYTE longer for each byte of
// the text (a console that redraws for every key takes a few milliseconds a key), up to
// LONGEST_QUIET_WAIT: an agent that never stops drawing still gets its Enter.
inline constexpr std::chrono::milliseconds SHORTEST_QUIET_BOUND{2000};
inline constexpr std::chrono::microseconds QUIET_WAIT_PER_BYTE{5000};
inline constexpr std::chrono::milliseconds LONGEST_QUIET_WAIT{120000};

// How long the Enter may wait for the agent to go quiet after a text of `text_bytes`.
std::chrono::milliseconds quiet_bound(std::size_t text_bytes);

// What hands the agent its input. A terminal (POSIX) passes the bytes on as they are. Windows'
// pseudo-console turns them into key events, which the agent reads back in pieces of at most
// 1 KiB; not every console passes the paste markers on (Wine's drops them).
enum class Console { Terminal, PseudoConsole };
#ifdef _WIN32
inline constexpr Console THIS_CONSOLE = Console::PseudoConsole;
#else
inline constexpr Console THIS_CONSOLE = Console::Terminal;
#endif

// Claude Code takes any one input it reads of over 800 characters for a paste of its own, and
// loses it when more input follows before it has drawn: through a pseudo-console that dropped
// the markers, every whole KiB of a long reply went missing. There a Claude reply of over
// CLAUDE_PIECE_BYTES is written as pieces of at most that many bytes, each a paste of its own,
// each once the agent has drawn since the one before (at most PIECE_BOUND each); should a draw
// seen be late and not for the last piece, two pieces unread still stay within 800 characters.
inline constexpr std::size_t CLAUDE_PIECE_BYTES = 400;
inline constexpr std::chrono::milliseconds PIECE_BOUND{2000};

// `text` cut into pieces of at most `piece_bytes` (at least 4), each ending on a whole UTF-8
// character, no piece the same as the one before it (Claude Code takes a paste equal to the one
// before for a request to show that one in full). Pure; any thread.
std::vector<std::string> split_text(std::string_view text, std::size_t piece_bytes);

// The text is first cleaned by clean_reply_text: line breaks become LF, control characters go.
// Nothing when nothing is left of it: there is nothing to type, and no Enter to press on the
// user's own unfinished input.
// Claude: ESC[200~ text ESC[201~, then a second chunk "\r" after CLAUDE_ENTER_DELAY; through a
// pseudo-console a text of over CLAUDE_PIECE_BYTES is split_text's pieces, each so.
// Codex: while the agent has bracketed paste on (`bracketed_paste`), ESC[200~ text ESC[201~,
// else the text as typed keys; then a second chunk "\r" after CODEX_ENTER_DELAY.
// Either delay grows with the text's length (enter_wait), and the Enter then waits for the
// agent's output to go quiet (CLAUDE_QUIET, CODEX_QUIET or through a pseudo-console
// CODEX_KEYS_QUIET; at most quiet_bound). Pure; any thread.
std::optional<relay::WriteBatch> shape_reply(cli::AgentKind agent, std::string_view text,
                                             bool bracketed_paste, Console console = THIS_CONSOLE);

}  // namespace replies
