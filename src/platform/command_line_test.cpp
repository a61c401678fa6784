#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

struct QuoteCase {
  std::wstring arg;
  std::wstring quoted;
};

TEST(WindowsCommandLine, StandardQuotingFollowsTheRuntimesRules) {
  const std::vector<QuoteCase> cases = {
      {L"plain", L"plain"},
      {L"", L"\"\""},
      {L"two words", L"\"two words\""},
      {L"tab\there", L"\"tab\there\""},
      {L"line\nfeed", L"\"line\nfeed\""},
      {L"vertical\vtab", L"\"vertical\vtab\""},
      {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
      {L"a\"b", L"\"a\\\"b\""},
      {L"C:\\dir\\", L"C:\\dir\\"},                  // no quotes: backslashes stay as they are
      {L"C:\\my dir\\", L"\"C:\\my dir\\\\\""},      // doubled before the closing quote
      {L"back\\\"quote", L"\"back\\\\\\\"quote\""},  // \" -> \\\"
      {L"a\\\\b c", L"\"a\\\\b c\""},                // not before a quote: unchanged
      {L"%PATH%&|<>^", L"%PATH%&|<>^"},              // nothing special to the runtime
  };
  for (const QuoteCase& c : cases) {
    EXPECT_EQ(quote_windows_argument(c.arg), c.quoted)
        << "argument: " << std::string(c.arg.begin(), c.arg.end());
  }
}

TEST(WindowsCommandLine, JoinsQuotedArgumentsWithSingleSpaces) {
  EXPECT_EQ(join_windows_arguments(
                std::vector<std::wstring>{L"C:\\a b\\claude.exe", L"", L"--x", L"y z"}),
            L"\"C:\\a b\\claude.exe\" \"\" --x \"y z\"");
  EXPECT_EQ(join_windows_arguments(std::vector<std::wstring>{}), L"");
}

TEST(WindowsCommandLine, BatchArgumentsAreEscapedForCmdAndTheRuntime) {
  const std::vector<QuoteCase> cases = {
      {L"plain-arg_1.txt", L"plain-arg_1.txt"},
      {L"C:\\x\\y:#$*+?@", L"C:\\x\\y:#$*+?@"},
      {L"", L"\"\""},
      {L"two words", L"\"two words\""},
      {L"a&b", L"\"a&b\""},
      {L"|", L"\"|\""},
      {L"<>", L"\"<>\""},
      {L"^", L"\"^\""},
      {L"!x!", L"\"!x!\""},
      {L"=,;", L"\"=,;\""},
      {L"(x)", L"\"(x)\""},
      {L"\"q\"", L"\"\"\"q\"\"\""},
      {L"%PATH%", L"\"%%cd:~,%PATH%%cd:~,%\""},
      {L"dir\\", L"\"dir\\\\\""},
      {L"a\\\"b", L"\"a\\\\\"\"b\""},  // backslashes before a quote doubled, then ""
      {L"tab\t", L"\"tab\t\""},
      {L"caf\u00e9", L"caf\u00e9"},
      {L"c1\u0085", L"\"c1\u0085\""},
  };
  for (const QuoteCase& c : cases) {
    Result<std::wstring> line = batch_command_line(L"C:\\bin\\claude.cmd", {c.arg});
    ASSERT_TRUE(line.ok()) << line.error().display();
    EXPECT_EQ(line.value(),
              L"cmd.exe /D /E:ON /S /V:OFF /C \"\"C:\\bin\\claude.cmd\" " + c.quoted + L"\"");
  }
}

TEST(WindowsCommandLine, BatchLineEscapesPercentInThePathAndJoinsArguments) {
  Result<std::wstring> line = batch_command_line(L"C:\\100%\\codex.bat", {L"a", L"b c"});
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.value(),
            L"cmd.exe /D /E:ON /S /V:OFF /C \"\"C:\\100%%cd:~,%\\codex.bat\" a \"b c\"\"");
}

TEST(WindowsCommandLine, BatchLineRefusesWhatCannotBePassedSafely) {
  struct Refused {
    std::wstring path;
    std::vector<std::wstring> args;
    std::string message;
  };
  const std::vector<Refused> cases = {
      {L"C:\\b\\claude.cmd",
       {L"ok", L"two\nlines"},
       "agent argument 2 cannot be passed to a batch file: it contains a line break"},
      {L"C:\\b\\claude.cmd",
       {L"cr\r"},
       "agent argument 1 cannot be passed to a batch file: it contains a line break"},
      {L"C:\\b\\claude.cmd",
       {L"x", L"y", std::wstring(L"n\0l", 3)},
       "agent argument 3 cannot be passed to a batch file: it contains a NUL character"},
      {L"C:\\b\"\\claude.cmd",
       {},
       "the agent's path cannot be passed to cmd.exe: it contains a double quote"},
      {L"C:\\b\\claude.cmd\\",
       {},
       "the agent's path cannot be passed to cmd.exe: it ends with a backslash"},
  };
  for (const Refused& c : cases) {
    Result<std::wstring> line = batch_command_line(c.path, c.args);
    ASSERT_FALSE(line.ok());
    EXPECT_EQ(line.error().display(), c.message);
  }
}

TEST(WindowsCommandLine, CommandUsesTheSafeFormOnlyForBatchFiles) {
  AgentCommand direct;
  direct.program = os_string("C:\\a b\\codex.exe");
  direct.args = {direct.program, os_string("say \"hi\""), os_string("%x%")};
  Result<OsString> line = windows_command_line(direct);
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(line.value(), os_string("\"C:\\a b\\codex.exe\" \"say \\\"hi\\\"\" %x%"));

  AgentCommand batch;
  batch.kind = AgentCommand::Kind::BatchFile;
  batch.program = os_string("C:\\b\\codex.cmd");
  batch.args = {batch.program, os_string("%x%")};
  line = windows_command_line(batch);
  ASSERT_TRUE(line.ok());
  EXPECT_EQ(
      line.value(),
      os_string("cmd.exe /D /E:ON /S /V:OFF /C \"\"C:\\b\\codex.cmd\" \"%%cd:~,%x%%cd:~,%\"\""));
}

TEST(WindowsCommandLine, CommandRefusesAnArgumentHoldingNul) {
  // A NUL would silently cut the command line short and drop every later argument.
  AgentCommand direct;
  direct.program = os_string("codex.exe");
  direct.args = {direct.program, OsString(3, OsChar{0})};
  EXPECT_FALSE(windows_command_line(direct).ok());
}

}  // namespace
}  // namespace platform
