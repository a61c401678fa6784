// The real talvane program's command line: which stream the usage text goes to, the exit status,
// and the messages of a run whose agent is not on PATH. Runs natively and under Wine.
#include <gtest/gtest.h>

#include <string>

#include "cli/launch/args.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

using testing_support::ProgramResult;
using testing_support::run_program;

constexpr const char* CLAUDE_NOT_FOUND =
    "Couldn't find claude on your PATH.\n"
    "Install Claude Code, or open a new terminal if you just installed it.\n";
constexpr const char* TERMINAL_NOTICE_CODEX =
    "Voice replies are tested in Windows Terminal only.\n"
    "They may still work here. Codex works exactly as usual.\n";

class CommandLine : public ::testing::Test {
 protected:
  // An environment with an empty PATH directory and no app: no agent, no session.
  std::map<std::string, std::string> env(bool windows_terminal) const {
    std::map<std::string, std::string> e{{"PATH", empty_.path().string()}};
#ifdef _WIN32
    // The system's own directory, so that the process can start at all.
    e["SystemRoot"] = "C:\\windows";
#endif
    if (windows_terminal) e["WT_SESSION"] = "";
    return e;
  }

  ProgramResult talvane(const std::vector<std::string>& args, bool windows_terminal = true) const {
    return run_program(TALVANE_EXE, args, env(windows_terminal));
  }

  testing_support::TempDir empty_;
};

TEST_F(CommandLine, HelpGoesToStandardOutputWithStatusZero) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"-h", "claude"}}) {
    const ProgramResult r = talvane(args);
    EXPECT_EQ(r.status, 0) << args.front();
    EXPECT_EQ(r.out, launch::USAGE);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(CommandLine, AnythingButAnAgentNameIsAUsageErrorOnStandardError) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"Claude"}, {"claude.exe"}, {"--model", "x"}, {"CODEX"}}) {
    const ProgramResult r = talvane(args);
    EXPECT_EQ(r.status, 1) << (args.empty() ? "(none)" : args.front());
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, launch::USAGE);
  }
}

TEST_F(CommandLine, AMissingAgentIsReportedAfterTheNoticesWithStatusOne) {
  ProgramResult r = talvane({"claude", "--help"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, CLAUDE_NOT_FOUND);

  // Outside Windows Terminal, a remote Codex run: the terminal notice, then the remote notice,
  // then the not-found message.
  r = talvane({"codex", "resume", "--remote"}, /*windows_terminal=*/false);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(TERMINAL_NOTICE_CODEX) +
                       "Voice replies are off for remote Codex sessions.\n"
                       "Codex works exactly as usual.\n"
                       "Couldn't find codex on your PATH.\n"
                       "Install Codex CLI, or open a new terminal if you just installed it.\n");
}

}  // namespace
