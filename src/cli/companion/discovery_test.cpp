#include "cli/companion/discovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace companion {
namespace {

using platform::os_string;

TEST(DataDir, PrefersTalvaneDataDirThenLocalAppData) {
  const auto talvane = os_string("rel/data");
  const auto local = os_string("L");
  EXPECT_EQ(data_dir_from(talvane, local), talvane);  // taken as it stands, even relative
  EXPECT_EQ(data_dir_from(os_string(""), local), platform::join_path(local, "Talvane"));
  EXPECT_EQ(data_dir_from(std::nullopt, local), platform::join_path(local, "Talvane"));
  EXPECT_EQ(data_dir_from(os_string(""), os_string("")), std::nullopt);
  EXPECT_EQ(data_dir_from(std::nullopt, std::nullopt), std::nullopt);
}

TEST(PortFileContent, InterpretsThePortValue) {
  const struct {
    std::string content;
    std::uint16_t port;
  } cases[] = {
      {R"({"port":51234})", 51234},
      {R"({"port":"51234"})", 51234},
      {R"({"port":"+51234"})", 51234},
      {R"({"port":"0051234"})", 51234},
      {R"({"port":"0000000000000051234"})", 51234},
      {R"({"port":65535})", 65535},
      {R"({"port":"65535"})", 65535},
      {R"({"port":1})", 1},
      {R"({"port":0})", DEFAULT_PORT},
      {R"({"port":"0"})", DEFAULT_PORT},
      {R"({"port":65536})", DEFAULT_PORT},
      {R"({"port":"65536"})", DEFAULT_PORT},
      {R"({"port":"99999999999999999999999"})", DEFAULT_PORT},
      {R"({"port":99999999999999999999999})", DEFAULT_PORT},
      {R"({"port":-1})", DEFAULT_PORT},
      {R"({"port":-0})", DEFAULT_PORT},
      {R"({"port":51234.0})", DEFAULT_PORT},
      {R"({"port":3.8e4})", DEFAULT_PORT},
      {R"({"port":" 51234"})", DEFAULT_PORT},
      {R"({"port":"51234 "})", DEFAULT_PORT},
      {R"({"port":"-51234"})", DEFAULT_PORT},
      {R"({"port":"+"})", DEFAULT_PORT},
      {R"({"port":"++1"})", DEFAULT_PORT},
      {R"({"port":""})", DEFAULT_PORT},
      {R"({"port":"0x10"})", DEFAULT_PORT},
      {R"({"port":null})", DEFAULT_PORT},
      {R"({"port":true})", DEFAULT_PORT},
      {R"({"port":[51234]})", DEFAULT_PORT},
      {R"({"port":{"port":51234}})", DEFAULT_PORT},
  };
  for (const auto& c : cases) EXPECT_EQ(port_from_file_content(c.content), c.port) << c.content;
}

TEST(PortFileContent, AppliesTheFileRules) {
  const struct {
    std::string content;
    std::uint16_t port;
  } cases[] = {
      {R"({"pid":7,"port":51234})", 51234},
      {R"({"extra":{"deep":[1,{"x":null}]},"port":51234})", 51234},
      {"{\"port\":51234}\n", 51234},
      {"\r\n\t {\"port\":51234}\r\n", 51234},
      {"[51234]", 51234},
      {R"(["51234"])", 51234},
      {"[]", DEFAULT_PORT},
      {"[1, 2]", DEFAULT_PORT},
      {R"({"port":51234,"port":51234})", DEFAULT_PORT},
      {R"({"pid":7})", DEFAULT_PORT},
      {"{}", DEFAULT_PORT},
      {R"({"port":51234}{"port":1})", DEFAULT_PORT},
      {R"({"port":51234} x)", DEFAULT_PORT},
      {"\xEF\xBB\xBF{\"port\":51234}", DEFAULT_PORT},
      {"{\"port\":51234,\"name\":\"\xFF\"}", DEFAULT_PORT},
      {"{\"port\":51234}\xC3", DEFAULT_PORT},  // invalid UTF-8 after the value
      {R"({"extra":[1,],"port":51234})", DEFAULT_PORT},
      {"51234", DEFAULT_PORT},
      {R"("51234")", DEFAULT_PORT},
      {"null", DEFAULT_PORT},
      {"", DEFAULT_PORT},
      {std::string("\x00\x01\x02", 3), DEFAULT_PORT},
  };
  for (const auto& c : cases) EXPECT_EQ(port_from_file_content(c.content), c.port) << c.content;
}

TEST(PortFileContent, AcceptsNestingUpTo127Levels) {
  // {"port": [ ... 126 arrays ... ]} is 127 levels; the port itself is then invalid, so use an
  // extra member to carry the depth.
  const std::string deep = std::string(126, '[') + std::string(126, ']');
  EXPECT_EQ(port_from_file_content("{\"x\":" + deep + ",\"port\":51234}"), 51234);
  const std::string deeper = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(port_from_file_content("{\"x\":" + deeper + ",\"port\":51234}"), DEFAULT_PORT);
}

TEST(TokenFileContent, TakesANonEmptyStringAsDecoded) {
  const struct {
    std::string content;
    std::optional<std::string> token;
  } cases[] = {
      {R"({"token":"abc"})", "abc"},
      {R"({"token":"  spaced  "})", "  spaced  "},
      {R"({"token":"a\"b\\c\u00e9"})", "a\"b\\c\xC3\xA9"},
      {R"(["abc"])", "abc"},
      {R"({"version":1,"token":"abc"})", "abc"},
      {R"({"token":""})", std::nullopt},
      {R"({"token":null})", std::nullopt},
      {R"({"token":123})", std::nullopt},
      {R"({"token":{"a":"b"}})", std::nullopt},
      {R"({"token":"a","token":"a"})", std::nullopt},
      {R"({"tokens":"abc"})", std::nullopt},
      {R"(["a","b"])", std::nullopt},
      {"\xEF\xBB\xBF{\"token\":\"abc\"}", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(token_from_file_content(c.content), c.token) << c.content;
}

class DiscoveryFiles : public ::testing::Test {
 protected:
  testing_support::TempDir dir_;
};

TEST_F(DiscoveryFiles, EachAgentReadsOnlyItsOwnPortFile) {
  dir_.write(CLAUDE_PORT_FILE, R"({"port":1111})");
  EXPECT_EQ(read_port(cli::AgentKind::Claude, dir_.os_path()), 1111);
  EXPECT_EQ(read_port(cli::AgentKind::Codex, dir_.os_path()), DEFAULT_PORT);
  dir_.remove(CLAUDE_PORT_FILE);
  dir_.write(CODEX_PORT_FILE, R"({"port":2222})");
  EXPECT_EQ(read_port(cli::AgentKind::Codex, dir_.os_path()), 2222);
  EXPECT_EQ(read_port(cli::AgentKind::Claude, dir_.os_path()), DEFAULT_PORT);
}

TEST_F(DiscoveryFiles, RereadsAFileAtEveryCall) {
  EXPECT_EQ(read_capability_token(dir_.os_path()), std::nullopt);
  dir_.write(TOKEN_FILE, R"({"token":"first"})");
  EXPECT_EQ(read_capability_token(dir_.os_path()), "first");
  dir_.write(TOKEN_FILE, R"({"token":"second"})");
  EXPECT_EQ(read_capability_token(dir_.os_path()), "second");
  dir_.write(TOKEN_FILE, "{\"token\":");
  EXPECT_EQ(read_capability_token(dir_.os_path()), std::nullopt);
  dir_.remove(TOKEN_FILE);
  EXPECT_EQ(read_capability_token(dir_.os_path()), std::nullopt);
}

TEST_F(DiscoveryFiles, MissingDirectoryOrDirectoryInPlaceOfFileGivesNothing) {
  const platform::OsString missing = (dir_.path() / "does-not-exist").native();
  EXPECT_EQ(read_port(cli::AgentKind::Claude, missing), DEFAULT_PORT);
  EXPECT_EQ(read_capability_token(missing), std::nullopt);

  std::filesystem::create_directory(dir_.path() / std::string(TOKEN_FILE));
  std::filesystem::create_directory(dir_.path() / std::string(CLAUDE_PORT_FILE));
  EXPECT_EQ(read_capability_token(dir_.os_path()), std::nullopt);
  EXPECT_EQ(read_port(cli::AgentKind::Claude, dir_.os_path()), DEFAULT_PORT);
}

TEST_F(DiscoveryFiles, HugeFileIsRefusedWhateverItHolds) {
  // Guards against loading an arbitrarily large file whole: past the cap it is invalid.
  std::string padded = R"({"token":"abc"})";
  padded.append(MAX_DISCOVERY_FILE_BYTES, ' ');
  dir_.write(TOKEN_FILE, padded);
  EXPECT_EQ(read_capability_token(dir_.os_path()), std::nullopt);

  padded.resize(MAX_DISCOVERY_FILE_BYTES);  // just at the cap: still read
  dir_.write(TOKEN_FILE, padded);
  EXPECT_EQ(read_capability_token(dir_.os_path()), "abc");
}

}  // namespace
}  // namespace companion
