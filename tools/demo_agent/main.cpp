// A demo coding agent for `make demo`: it runs in talvane's pseudo-terminal in place of `claude`
// or `codex` and shows every byte it receives, readably:
//
//   - what you type appears as you type it;
//   - a bracketed paste (how a voice reply reaches Claude Code) starts a new line
//     "voice reply ▸ «…»", the paste markers shown as « and »;
//   - Enter (CR) shows as ⏎ and starts a new line; inside a paste CR shows as ␍;
//   - a line feed shows as ↵;
//   - other control bytes show as ^X (ESC as ^[).
//
// Ctrl+C or Ctrl+D ends it. It prints no mode-setting sequences, so the outer terminal is left
// as it was whichever side ends first. POSIX only.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view PASTE_START = "\x1b[200~";
constexpr std::string_view PASTE_END = "\x1b[201~";
constexpr std::string_view BOLD = "\x1b[1m", DIM = "\x1b[2m", CYAN = "\x1b[36m", RESET = "\x1b[0m";

const auto START = std::chrono::steady_clock::now();

void out(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// The received bytes as text to show, with paste markers and line breaks made visible. The
// markers may arrive in different reads, so whether we are inside a paste is kept.
class Renderer {
 public:
  std::string render(std::string_view data) {
    std::string shown;
    for (size_t i = 0; i < data.size();) {
      const std::string_view rest = data.substr(i);
      if (rest.starts_with(PASTE_START)) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - START).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%.1fs", seconds);
        shown.append("\r\n").append(DIM).append("[").append(stamp).append("]").append(RESET);
        shown.append(" ").append(BOLD).append("voice reply ▸").append(RESET).append(" ");
        shown.append(CYAN).append("«");
        in_paste_ = true;
        i += PASTE_START.size();
      } else if (rest.starts_with(PASTE_END)) {
        shown.append("»").append(RESET);
        in_paste_ = false;
        i += PASTE_END.size();
      } else {
        const unsigned char byte = static_cast<unsigned char>(data[i++]);
        if (byte == '\r') {
          shown.append(in_paste_ ? "␍" : "⏎\r\n> ");
        } else if (byte == '\n') {
          shown.append("↵");
        } else if (byte == 0x7F) {
          shown.append("\b \b");
        } else if (byte < 0x20) {
          shown.push_back('^');
          shown.push_back(static_cast<char>(byte + 0x40));
        } else {
          shown.push_back(static_cast<char>(byte));  // UTF-8 passes through whole
        }
      }
    }
    return shown;
  }

 private:
  bool in_paste_ = false;
};

}  // namespace

int main(int, char** argv) {
  std::string name = argv[0];
  name = name.substr(name.rfind('/') + 1);
  const bool has_token = std::getenv("TALVANE_SESSION_TOKEN") != nullptr;

  termios saved{};
  const bool is_terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (is_terminal) {
    termios raw = saved;
    cfmakeraw(&raw);
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }

  out(std::string(BOLD) + "demo agent" + std::string(RESET) + ", started by talvane as `" + name +
      "`" + (has_token ? " with a session token" : " (no session token)") + "\r\n");
  out("Type anything; voice replies from the stand-in app appear below. Ctrl+C or Ctrl+D "
      "ends.\r\n> ");
  Renderer renderer;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input, or the terminal is gone (talvane has ended)
    std::string_view data(buffer, static_cast<size_t>(n));
    // Ctrl+C or Ctrl+D may come in one read with other keys (a fast typist, tmux send-keys):
    // show what came before it, then end.
    const size_t end = data.find_first_of("\x03\x04");
    out(renderer.render(data.substr(0, end)));
    if (end != std::string_view::npos) break;
  }
  out(std::string("\r\n") + std::string(DIM) + "demo agent ends" + std::string(RESET) + "\r\n");
  if (is_terminal) tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
  return 0;
}
