#include <filesystem>

#include "tests/support/talvane_run.h"

namespace testing_support {

TalvaneRun::TalvaneRun() {
  std::filesystem::create_symlink(FAKE_AGENT_EXE, agent_path("claude"));
  std::filesystem::create_symlink(FAKE_AGENT_EXE, agent_path("codex"));
}

std::string TalvaneRun::agent_path(const std::string& agent) const {
  return bin_.path().string() + "/" + agent;
}

std::string TalvaneRun::record(const char* name) const {
  return record_.path().string() + "/" + name;
}

LauncherProcess::Options TalvaneRun::options(std::vector<std::string> args,
                                             std::map<std::string, std::string> env) const {
  LauncherProcess::Options o;
  o.program = TALVANE_EXE;
  o.args = std::move(args);
  o.env = {{"PATH", bin_.path().string()},
           {"HOME", data_.path().string()},
           {"TALVANE_DATA_DIR", data_.path().string()},
           {"FAKE_AGENT_DIR", record_.path().string()},
           {"FAKE_AGENT_EXIT_ON", std::to_string(EXIT_KEY)}};
  for (auto& [name, value] : env) o.env[name] = value;
  o.cwd = work_.path().string();
  return o;
}

std::unique_ptr<LauncherProcess> TalvaneRun::start(const LauncherProcess::Options& o) {
  std::filesystem::remove(record("ready"));  // from an earlier run in the same test
  auto talvane = std::make_unique<LauncherProcess>(o);
  EXPECT_TRUE(talvane->started()) << talvane->start_error();
  EXPECT_TRUE(eventually([&] { return std::filesystem::exists(record("ready")); }, BOUND))
      << "agent did not start; output: " << talvane->output();
  return talvane;
}

void TalvaneRun::end_agent(LauncherProcess& talvane) {
  talvane.type(std::string(1, EXIT_KEY));
  EXPECT_EQ(talvane.wait_exit(BOUND), 0) << talvane.output();
}

std::string TalvaneRun::received() const { return read_file(record("input")).value_or(""); }

void TalvaneRun::expect_received(const std::string& bytes) {
  EXPECT_TRUE(eventually([&] { return received().size() >= bytes.size(); }, BOUND));
  EXPECT_EQ(received(), bytes);
}

void TalvaneRun::expect_attributes_equal(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
}

}  // namespace testing_support
