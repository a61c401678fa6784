#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "cli/launch/agent_lookup.h"
#include "platform/file_queries.h"

namespace launch {
namespace {

// A scratch directory with PATH pointed at folders inside it; both are put back afterwards.
class PosixLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/talvane-lookup-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    if (const char* path = getenv("PATH")) saved_path_ = path;
  }
  void TearDown() override {
    if (saved_path_) {
      setenv("PATH", saved_path_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
    const std::string remove = "rm -rf '" + root_ + "'";
    EXPECT_EQ(system(remove.c_str()), 0);
  }

  std::string dir(const std::string& name) {
    const std::string d = root_ + "/" + name;
    mkdir(d.c_str(), 0755);
    return d;
  }
  std::string file(const std::string& path, mode_t mode) {
    std::ofstream(path) << "#!/bin/sh\n";
    chmod(path.c_str(), mode);
    return path;
  }

  std::string root_;
  std::optional<std::string> saved_path_;
};

TEST_F(PosixLookup, FileQueriesFollowLinksAndNeedTheExecuteBit) {
  const std::string exec = file(dir("a") + "/exec", 0755);
  const std::string plain = file(root_ + "/a/plain", 0644);
  const std::string link = root_ + "/a/link";
  ASSERT_EQ(symlink(exec.c_str(), link.c_str()), 0);
  const std::string dangling = root_ + "/a/dangling";
  ASSERT_EQ(symlink((root_ + "/nowhere").c_str(), dangling.c_str()), 0);

  EXPECT_TRUE(platform::is_executable_file(exec));
  EXPECT_TRUE(platform::is_executable_file(link));
  EXPECT_FALSE(platform::is_executable_file(dangling));
  EXPECT_FALSE(platform::is_executable_file(root_ + "/a"));
  EXPECT_FALSE(platform::is_executable_file(root_ + "/a/missing"));
  EXPECT_TRUE(platform::is_file(plain));
  EXPECT_FALSE(platform::is_file(root_ + "/a"));
  EXPECT_FALSE(platform::is_executable_file(plain));  // even for root: no execute bit at all
}

TEST_F(PosixLookup, SkipsDirectoriesAndFilesWithoutExecuteBitThenFindsTheNext) {
  dir("a/claude");                   // a directory named like the agent
  file(dir("b") + "/claude", 0644);  // not executable
  const std::string good = file(dir("c") + "/claude", 0755);
  setenv("PATH", (root_ + "/a:" + root_ + "/b:" + root_ + "/c").c_str(), 1);
  EXPECT_EQ(find_agent(cli::AgentKind::Claude), good);
  EXPECT_EQ(find_agent(cli::AgentKind::Codex), std::nullopt);
}

TEST_F(PosixLookup, LinkedExecutableIsFoundUnderTheLinksPath) {
  const std::string target = file(dir("real") + "/codex-1.0", 0755);
  const std::string link = dir("bin") + "/codex";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  setenv("PATH", (root_ + "/bin").c_str(), 1);
  EXPECT_EQ(find_agent(cli::AgentKind::Codex), link);
}

TEST_F(PosixLookup, PathUnsetFindsNothing) {
  file(root_ + "/claude", 0755);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  unsetenv("PATH");
  EXPECT_EQ(find_agent(cli::AgentKind::Claude), std::nullopt);
  setenv("PATH", "", 1);  // set but empty: the current directory
  EXPECT_EQ(find_agent(cli::AgentKind::Claude), std::string("claude"));
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(PosixLookup, CommandCarriesTheLaunchersEnvironmentAndTheToken) {
  const auto session = std::make_shared<companion::ManagedSession>(
      cli::AgentKind::Claude, "/data", std::string(64, 'f'), std::nullopt, 1);
  setenv("TALVANE_LOOKUP_PROBE", "x y", 1);
  auto command = build_agent_command("/bin/claude", {"--help"}, session);
  unsetenv("TALVANE_LOOKUP_PROBE");
  ASSERT_TRUE(command.ok());
  EXPECT_EQ(command.value().program, "/bin/claude");
  EXPECT_EQ(command.value().args, (std::vector<std::string>{"/bin/claude", "--help"}));
  EXPECT_EQ(*command.value().env.find("TALVANE_LOOKUP_PROBE"), "x y");
  EXPECT_EQ(*command.value().env.find("TALVANE_SESSION_TOKEN"), std::string(64, 'f'));
}

}  // namespace
}  // namespace launch
