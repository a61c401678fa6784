// What of a voice reply may reach the agent's keyboard. A reply is text: it may break lines, but
// it must not end a bracketed paste early, press a control key or send an escape sequence.
#pragma once

#include <string>
#include <string_view>

namespace replies {

// The reply as plain text: CR LF and a lone CR become LF; LF and TAB stay; every other C0
// control, DEL and the C1 controls (U+0080 to U+009F) are dropped, ESC among them. Every invalid
// UTF-8 sequence becomes U+FFFD, so no stray byte can reach the terminal either. Everything else
// is copied byte for byte. Pure; any thread.
std::string clean_reply_text(std::string_view text);

}  // namespace replies
