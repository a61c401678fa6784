// talvane.exe under Wine with the stand-in app, a process of this machine on 127.0.0.1: the
// start-up notices, the registration, voice replies, the app's shutdown and the withdrawal.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "standin/app.h"
#include "tests/support/launcher_process.h"
#include "tests/wine/wine_run.h"

namespace {

using standin::Endpoint;
using testing_support::LauncherProcess;
using testing_support::plain_text;
using testing_support::read_file;
using testing_support::windows_path;

const std::string NOT_WINDOWS_TERMINAL =
    "Voice replies are tested in Windows Terminal only.\n"
    "They may still work here. Claude works exactly as usual.\n";

class CompanionUnderWine : public testing_support::WineRun {
 protected:
  standin::App& start_app() {
    standin::App::Options o;
    o.data_dir = data_.path();
    app_ = std::make_unique<standin::App>(o);
    EXPECT_NE(app_->port(), 0);
    return *app_;
  }

  // Starts talvane.exe with the app and waits until it polls for replies.
  std::unique_ptr<LauncherProcess> start_polling(const std::string& agent,
                                                 std::map<std::string, std::string> env = {},
                                                 bool around = false) {
    auto talvane = start(options({agent}, std::move(env), around));
    EXPECT_TRUE(app_->wait_until(
        [](const auto& requests) {
          for (const auto& r : requests) {
            if (r.endpoint == Endpoint::Pending) return true;
          }
          return false;
        },
        BOUND))
        << talvane->output();
    return talvane;
  }

  std::size_t count(Endpoint endpoint) const { return app_->requests_to(endpoint).size(); }

  std::unique_ptr<standin::App> app_;
};

TEST_F(CompanionUnderWine, TheNoticesFollowWindowsTerminal) {
  // Everything before the agent's first output is talvane's.
  const auto notices = [&](std::map<std::string, std::string> env) {
    env["FAKE_AGENT_PRINT"] = "<agent>";
    auto talvane = start(options({"claude"}, env));
    EXPECT_TRUE(talvane->wait_for_output("<agent>", BOUND)) << talvane->output();
    end_agent(*talvane);
    const std::string text = plain_text(talvane->output());
    return text.substr(0, text.find("<agent>"));
  };
  EXPECT_EQ(notices({{"WT_SESSION", "1"}}), "");
  EXPECT_EQ(notices({}), NOT_WINDOWS_TERMINAL);
}

TEST_F(CompanionUnderWine, TheRegistrationCarriesTheWindowsProcessAndDirectory) {
  start_app();
  auto talvane = start_polling("claude");
  const auto registers = app_->requests_to(Endpoint::Register);
  ASSERT_EQ(registers.size(), 1u);
  const std::string& body = registers[0].body;
  // The agent's parent is talvane.exe.
  EXPECT_NE(body.find("\"pid\":" + read_file(record("ppid")).value_or("?")), std::string::npos)
      << body;
  std::string cwd = windows_path(work_.path());
  std::string escaped;
  for (const char c : cwd) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_NE(body.find("\"cwd\":\"" + escaped + "\""), std::string::npos) << body;
  // The token registered is the one in the agent's environment.
  const std::string env = read_file(record("env")).value_or("");
  const std::size_t at = env.find("TALVANE_SESSION_TOKEN=");
  ASSERT_NE(at, std::string::npos);
  const std::size_t start = at + std::string("TALVANE_SESSION_TOKEN=").size();
  const std::string token = env.substr(start, env.find('\0', start) - start);
  EXPECT_FALSE(token.empty());
  EXPECT_NE(body.find("\"token\":\"" + token + "\""), std::string::npos) << body;
  end_agent(*talvane);
  EXPECT_TRUE(app_->wait_until([](const auto&) { return true; }, BOUND));
  EXPECT_EQ(count(Endpoint::Deregister), 1u);
}

TEST_F(CompanionUnderWine, AClaudeReplyIsTypedWithItsEnter) {
  start_app();
  auto talvane = start_polling("claude");
  app_->queue_reply("hello from the app \xE2\x98\x83");
  // Wine's pseudo-console drops the paste markers around the text.
  expect_received("hello from the app \xE2\x98\x83\r");
  end_agent(*talvane);
  EXPECT_EQ(count(Endpoint::Delivered), 1u);
  EXPECT_EQ(count(Endpoint::Deregister), 1u);
}

TEST_F(CompanionUnderWine, ACodexReplyIsTypedThenItsEnterAfterAPause) {
  start_app();
  auto talvane = start_polling("codex");
  app_->queue_reply("for codex");
  expect_received("for codex\r");
  // The Enter comes a quarter of a second after the text: in a read of its own.
  const std::string reads = read_file(record("reads")).value_or("");
  EXPECT_EQ(reads.substr(reads.rfind('\n', reads.size() - 2) + 1), "1\n") << reads;
  end_agent(*talvane);
}

TEST_F(CompanionUnderWine, AShutdownEndsTalvaneWithZeroWithoutWaitingForTheAgent) {
  start_app();
  // An agent ending on its own would end talvane.exe with 7.
  auto talvane = start_polling("claude", {{"FAKE_AGENT_EXIT_CODE", "7"}}, /*around=*/true);
  app_->request_shutdown();
  EXPECT_EQ(talvane->wait_exit(BOUND), 0) << talvane->output();
  EXPECT_EQ(count(Endpoint::Deregister), 1u);
  expect_modes_restored(*talvane);
  // Once talvane.exe is gone, so is the pseudo-console, and Wine's console host ends the
  // programs attached to it: whether the agent lives on cannot be seen here.
}

}  // namespace
