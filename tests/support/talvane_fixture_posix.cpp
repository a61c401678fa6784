#include <filesystem>

#include "tests/support/talvane_fixture.h"

namespace testing_support {

TalvaneFixture::TalvaneFixture() {
  for (const char* name : {"claude", "codex"}) {
    std::filesystem::create_symlink(FAKE_AGENT_EXE, agent_path(name));
  }
}

std::string TalvaneFixture::agent_path(const std::string& name) const {
  return bin_.path().string() + "/" + name;
}

std::string TalvaneFixture::record(const char* name) const {
  return record_.path().string() + "/" + name;
}

LauncherProcess::Options TalvaneFixture::options(
    std::vector<std::string> args, const std::map<std::string, std::string>& env) const {
  LauncherProcess::Options o;
  o.program = TALVANE_EXE;
  o.args = std::move(args);
  o.env = {{"PATH", bin_.path().string()},
           {"HOME", data_.path().string()},
           {"TALVANE_DATA_DIR", data_.path().string()},
           {"FAKE_AGENT_DIR", record_.path().string()},
           {"FAKE_AGENT_EXIT_ON", std::to_string(END_KEY)}};
  for (const auto& [name, value] : env) o.env[name] = value;
  o.cwd = work_.path().string();
  return o;
}

std::unique_ptr<LauncherProcess> TalvaneFixture::start(const LauncherProcess::Options& o) {
  std::filesystem::remove(record("ready"));
  auto talvane = std::make_unique<LauncherProcess>(o);
  EXPECT_TRUE(talvane->started()) << talvane->start_error();
  EXPECT_TRUE(eventually([&] { return std::filesystem::exists(record("ready")); }, BOUND))
      << "agent did not start; output: " << talvane->output();
  return talvane;
}

void TalvaneFixture::end_agent(LauncherProcess& talvane) {
  talvane.type(std::string(1, END_KEY));
  EXPECT_EQ(talvane.wait_exit(BOUND), 0) << talvane.output();
}

void TalvaneFixture::expect_attributes_equal(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
}

}  // namespace testing_support
