#include "cli/launch/path_search.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace launch {
namespace {

using platform::OsString;

OsString s(std::string_view text) { return platform::os_string(text); }

std::vector<std::string> texts(const std::vector<OsString>& list) {
  std::vector<std::string> out;
  for (const OsString& e : list) out.push_back(platform::to_utf8_lossy(e));
  return out;
}

TEST(PathList, SplitsOnSemicolonsOutsideQuotesAndKeepsEmptyElements) {
  struct Case {
    std::string list;
    std::vector<std::string> elements;
  };
  const std::vector<Case> cases = {
      {"", {""}},
      {"a", {"a"}},
      {"a;b", {"a", "b"}},
      {"a;;b", {"a", "", "b"}},
      {";a;", {"", "a", ""}},
      {" a ; b ", {" a ", " b "}},
      {"\"C:\\x;y\";z", {"C:\\x;y", "z"}},
      {"C:\\\"q\"uoted;z", {"C:\\quoted", "z"}},
      {"\"open;never closed", {"open;never closed"}},
      {"\"\"", {""}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(texts(split_path_list(s(c.list))), c.elements) << "list: " << c.list;
  }
}

// A file system of named files; remembers every path it was asked about.
class WindowsSearch : public ::testing::Test {
 protected:
  std::optional<OsString> find(std::optional<std::string> path,
                               std::optional<std::string> pathext = std::nullopt) {
    const auto os = [](const std::optional<std::string>& v) {
      return v ? std::optional<OsString>(s(*v)) : std::nullopt;
    };
    return search_windows_path("claude", os(path), os(pathext), [this](const OsString& p) {
      probes_.push_back(platform::to_utf8_lossy(p));
      return files_.count(platform::to_utf8_lossy(p)) > 0;
    });
  }
  std::optional<std::string> found(std::optional<std::string> path,
                                   std::optional<std::string> pathext = std::nullopt) {
    std::optional<OsString> f = find(std::move(path), std::move(pathext));
    if (!f) return std::nullopt;
    return platform::to_utf8_lossy(*f);
  }

  std::set<std::string> files_;
  std::vector<std::string> probes_;
};

TEST_F(WindowsSearch, TriesEveryDefaultExtensionBeforeTheBareNameThenTheNextDirectory) {
  EXPECT_EQ(found("C:\\a;D:\\b\\"), std::nullopt);
  EXPECT_EQ(probes_,
            (std::vector<std::string>{"C:\\a\\claude.COM", "C:\\a\\claude.EXE", "C:\\a\\claude.BAT",
                                      "C:\\a\\claude.CMD", "C:\\a\\claude", "D:\\b\\claude.COM",
                                      "D:\\b\\claude.EXE", "D:\\b\\claude.BAT", "D:\\b\\claude.CMD",
                                      "D:\\b\\claude"}));
}

TEST_F(WindowsSearch, PrefersAnExtensionOverTheBareNameAndAnEarlierDirectory) {
  files_ = {"C:\\a\\claude", "C:\\a\\claude.CMD", "C:\\b\\claude.EXE"};
  EXPECT_EQ(found("C:\\a;C:\\b"), "C:\\a\\claude.CMD");
  files_ = {"C:\\a\\claude", "C:\\b\\claude.EXE"};
  EXPECT_EQ(found("C:\\a;C:\\b"), "C:\\a\\claude");
}

TEST_F(WindowsSearch, PathUnsetQueriesNothing) {
  files_ = {"claude.EXE"};
  EXPECT_EQ(found(std::nullopt), std::nullopt);
  EXPECT_TRUE(probes_.empty());
}

TEST_F(WindowsSearch, EmptyPathElementsSearchTheCurrentDirectory) {
  files_ = {"claude.EXE"};
  EXPECT_EQ(found(""), "claude.EXE");
  EXPECT_EQ(found("C:\\a;"), "claude.EXE");
  EXPECT_EQ(found("C:\\a;;C:\\b"), "claude.EXE");
}

TEST_F(WindowsSearch, QuotedElementHoldingSemicolonIsOneDirectory) {
  files_ = {"C:\\odd;dir\\claude.EXE"};
  EXPECT_EQ(found("\"C:\\odd;dir\""), "C:\\odd;dir\\claude.EXE");
}

TEST_F(WindowsSearch, ForwardSlashEndsADirectoryToo) {
  files_ = {"C:/a/claude.EXE"};
  EXPECT_EQ(found("C:/a/"), "C:/a/claude.EXE");
}

TEST_F(WindowsSearch, PathextElementsAreTakenAsWritten) {
  struct Case {
    std::string pathext;
    std::vector<std::string> tried;
  };
  const std::vector<Case> cases = {
      {"..EXE", {"D\\claude.EXE", "D\\claude"}},
      {".;.exe", {"D\\claude.exe", "D\\claude"}},
      {"", {"D\\claude"}},
      {".Cmd;;EXE", {"D\\claude.Cmd", "D\\claude.EXE", "D\\claude"}},
      {" .EXE", {"D\\claude. .EXE", "D\\claude"}},
      {"\".E;X\"", {"D\\claude.E;X", "D\\claude"}},
  };
  for (const Case& c : cases) {
    probes_.clear();
    EXPECT_EQ(found("D", c.pathext), std::nullopt);
    EXPECT_EQ(probes_, c.tried) << "PATHEXT: " << c.pathext;
  }
}

TEST(PosixSearch, SplitsOnColonsWithEmptyElementsMeaningTheCurrentDirectory) {
  std::vector<std::string> probes;
  const FileTest none = [&](const OsString& p) {
    probes.push_back(platform::to_utf8_lossy(p));
    return false;
  };
  EXPECT_EQ(search_posix_path("codex", s("/a::/b/:;"), none), std::nullopt);
  EXPECT_EQ(probes, (std::vector<std::string>{"/a/codex", "codex", "/b/codex", ";/codex"}));
  probes.clear();
  EXPECT_EQ(search_posix_path("codex", s(""), none), std::nullopt);
  EXPECT_EQ(probes, (std::vector<std::string>{"codex"}));
  probes.clear();
  EXPECT_EQ(search_posix_path("codex", std::nullopt, none), std::nullopt);
  EXPECT_TRUE(probes.empty());
}

TEST(PosixSearch, FirstMatchingDirectoryWins) {
  const FileTest in_b = [](const OsString& p) { return p.rfind(s("/b/"), 0) == 0; };
  EXPECT_EQ(search_posix_path("codex", s("/a:/b:/c"), in_b), s("/b/codex"));
}

TEST(BatchDetection, LastComponentsExtensionInAnyCase) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"C:\\bin\\claude.cmd", true},   {"C:\\bin\\codex.Bat", true},
      {"C:\\bin\\codex.CMD", true},    {"claude.bAt", true},
      {"C:\\bin\\claude.exe", false},  {"C:\\bin\\claude", false},
      {"C:\\bin\\claude.cmdx", false}, {"C:\\bin\\claude.cm", false},
      {"C:\\x.cmd\\claude", false},    {"C:/x/claude.CMD", true},
      {"C:\\bin\\.cmd", false},        {"C:\\bin\\..cmd", true},
      {"C:\\bin\\claude.", false},     {"C:\\bin\\claude.cmd ", false},
  };
  for (const auto& [path, batch] : cases) {
    EXPECT_EQ(is_batch_file(s(path)), batch) << path;
  }
}

}  // namespace
}  // namespace launch
