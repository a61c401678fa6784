#include "platform/command_line.h"

#include <string>
#include <type_traits>

namespace platform {
namespace {

template <class Char>
using Str = std::basic_string<Char>;
template <class Char>
using View = std::basic_string_view<Char>;

// Text of ASCII characters in either width.
template <class Char>
Str<Char> ascii(std::string_view text) {
  return Str<Char>(text.begin(), text.end());
}

template <class Char>
bool needs_standard_quotes(View<Char> arg) {
  if (arg.empty()) return true;
  for (Char c : arg) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '"') return true;
  }
  return false;
}

// `arg` in double quotes as the C runtime reads it back: backslashes are doubled where they come
// before a double quote or the closing quote. `special(c, out)` writes a character that stands
// for more than itself (a double quote among them) and says whether it did.
template <class Char, class Special>
Str<Char> in_quotes(View<Char> arg, Special special) {
  Str<Char> out(1, Char('"'));
  size_t backslashes = 0;
  for (Char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 : backslashes, Char('\\'));
    backslashes = 0;
    if (!special(c, out)) out += c;
  }
  out.append(backslashes * 2, Char('\\'));
  out += Char('"');
  return out;
}

template <class Char>
Str<Char> quote_standard(View<Char> arg) {
  if (!needs_standard_quotes(arg)) return Str<Char>(arg);
  return in_quotes(arg, [](Char c, Str<Char>& out) {
    if (c != '"') return false;
    out += ascii<Char>("\\\"");
    return true;
  });
}

template <class Char>
Str<Char> join_standard(const std::vector<Str<Char>>& args) {
  Str<Char> line;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += Char(' ');
    line += quote_standard(View<Char>(args[i]));
  }
  return line;
}

// Characters that cmd.exe passes through untouched outside quotes and that no argument parser
// treats specially; anything else puts the argument in quotes.
template <class Char>
bool is_plain_for_batch(Char c) {
  const auto u = static_cast<std::make_unsigned_t<Char>>(c);
  if (u >= 0x80) return sizeof(Char) == 1 || u > 0x9F;  // non-ASCII, but no C1 control
  if ((u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')) return true;
  return std::string_view("#$*+-./:?@\\_").find(static_cast<char>(u)) != std::string_view::npos;
}

// Why `arg` cannot reach a batch file intact, or nothing. cmd.exe ends a command at a line break
// and the system ends a command line at NUL, so no escaping can carry them.
template <class Char>
const char* batch_argument_problem(View<Char> arg) {
  for (Char c : arg) {
    if (c == '\r' || c == '\n') return "it contains a line break";
    if (c == 0) return "it contains a NUL character";
  }
  return nullptr;
}

// One argument for the batch file's %*. Inside quotes cmd.exe leaves & | < > ^ alone; a quote
// is doubled, which keeps cmd.exe's quote state and gives the C runtime a literal quote; "%" is
// written %%cd:~,% because cmd.exe expands %name% even inside quotes, and %cd:~,% expands to
// nothing, leaving the first "%" standing alone.
template <class Char>
Str<Char> escape_for_batch(View<Char> arg) {
  bool quote = arg.empty() || arg.back() == '\\';
  for (Char c : arg) quote = quote || !is_plain_for_batch(c);
  if (!quote) return Str<Char>(arg);
  return in_quotes(arg, [](Char c, Str<Char>& out) {
    if (c == '"') {
      out += ascii<Char>("\"\"");
    } else if (c == '%') {
      out += ascii<Char>("%%cd:~,%");
    } else {
      return false;
    }
    return true;
  });
}

template <class Char>
Str<Char> escape_percent(View<Char> text) {
  Str<Char> out;
  for (Char c : text) {
    if (c == '%') {
      out += ascii<Char>("%%cd:~,%");
    } else {
      out += c;
    }
  }
  return out;
}

template <class Char>
Result<Str<Char>> batch_line(View<Char> path, const std::vector<Str<Char>>& args) {
  const std::string cannot = "the agent's path cannot be passed to cmd.exe: ";
  if (path.find(Char('"')) != View<Char>::npos) return Error(cannot + "it contains a double quote");
  if (!path.empty() && path.back() == '\\') return Error(cannot + "it ends with a backslash");
  if (const char* problem = batch_argument_problem(path)) return Error(cannot + problem);
  Str<Char> line = ascii<Char>("cmd.exe /D /E:ON /S /V:OFF /C \"\"");
  line += escape_percent(path);
  line += Char('"');
  for (size_t i = 0; i < args.size(); ++i) {
    if (const char* problem = batch_argument_problem(View<Char>(args[i]))) {
      return Error("agent argument " + std::to_string(i + 1) +
                   " cannot be passed to a batch file: " + problem);
    }
    line += Char(' ');
    line += escape_for_batch(View<Char>(args[i]));
  }
  line += Char('"');
  return line;
}

}  // namespace

std::wstring quote_windows_argument(std::wstring_view arg) { return quote_standard(arg); }
std::string quote_windows_argument(std::string_view arg) { return quote_standard(arg); }

std::wstring join_windows_arguments(const std::vector<std::wstring>& args) {
  return join_standard(args);
}
std::string join_windows_arguments(const std::vector<std::string>& args) {
  return join_standard(args);
}

Result<std::wstring> batch_command_line(std::wstring_view path,
                                        const std::vector<std::wstring>& args) {
  return batch_line(path, args);
}
Result<std::string> batch_command_line(std::string_view path,
                                       const std::vector<std::string>& args) {
  return batch_line(path, args);
}

Result<OsString> windows_command_line(const AgentCommand& command) {
  if (command.kind == AgentCommand::Kind::BatchFile) {
    const std::vector<OsString> agent_args(
        command.args.empty() ? command.args.end() : command.args.begin() + 1, command.args.end());
    return batch_command_line(OsStringView(command.program), agent_args);
  }
  for (size_t i = 0; i < command.args.size(); ++i) {
    if (command.args[i].find(OsChar{0}) != OsString::npos) {
      return Error("argument " + std::to_string(i) + " of the command contains a NUL character");
    }
  }
  return join_windows_arguments(command.args);
}

}  // namespace platform
