#include "platform/environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform {
namespace {

OsString s(std::string_view text) { return os_string(text); }

std::vector<std::string> names_of(const Environment& env) {
  std::vector<std::string> names;
  for (const Environment::Entry& e : env.entries()) names.push_back(to_utf8_lossy(e.name));
  return names;
}

TEST(EnvironmentMap, InsensitiveNamesReplaceInPlaceAndTakeTheNewForm) {
  Environment env(NameCase::Insensitive);
  env.set(s("Path"), s("a"));
  env.set(s("HOME"), s("h"));
  env.set(s("PATH"), s("b"));
  EXPECT_EQ(names_of(env), (std::vector<std::string>{"PATH", "HOME"}));
  ASSERT_NE(env.find(s("path")), nullptr);
  EXPECT_EQ(*env.find(s("path")), s("b"));
  EXPECT_TRUE(env.remove(s("home")));
  EXPECT_FALSE(env.remove(s("home")));
  EXPECT_EQ(env.entries().size(), 1u);
}

TEST(EnvironmentMap, SensitiveNamesAreDistinct) {
  Environment env(NameCase::Sensitive);
  env.set(s("Path"), s("a"));
  env.set(s("PATH"), s("b"));
  EXPECT_EQ(names_of(env), (std::vector<std::string>{"Path", "PATH"}));
  EXPECT_EQ(env.find(s("path")), nullptr);
  EXPECT_EQ(*env.find(s("Path")), s("a"));
}

OsString numbered(int i) {
  std::string name = "v";
  name += std::to_string(i);  // not "v" + …: GCC 12 warns of a false overlap there
  return s(name);
}

// Guards the index by name that keeps a large environment from taking quadratic time to build:
// after a removal every later entry is still found, and a name set anew goes to the end.
TEST(EnvironmentMap, ManyEntriesStayFoundAndInOrderAcrossRemovals) {
  for (NameCase name_case : {NameCase::Sensitive, NameCase::Insensitive}) {
    Environment env(name_case);
    constexpr int COUNT = 20000;
    for (int i = 0; i < COUNT; ++i) env.set(numbered(i), s(std::to_string(i)));
    env.set(s("v0"), s("again"));  // a duplicate keeps its place
    ASSERT_TRUE(env.remove(s("v1")));
    env.set(s("v1"), s("last"));
    ASSERT_EQ(env.entries().size(), static_cast<std::size_t>(COUNT));
    EXPECT_EQ(to_utf8_lossy(env.entries().front().value), "again");
    EXPECT_EQ(to_utf8_lossy(env.entries()[1].name), "v2");
    EXPECT_EQ(to_utf8_lossy(env.entries().back().value), "last");
    for (int i = 2; i < COUNT; i += 997) {
      const OsString* found = env.find(numbered(i));
      ASSERT_NE(found, nullptr) << i;
      EXPECT_EQ(to_utf8_lossy(*found), std::to_string(i));
    }
    EXPECT_EQ(env.find(s("V2")) != nullptr, name_case == NameCase::Insensitive);
  }
}

TEST(EnvironmentMap, ValidNames) {
  EXPECT_TRUE(is_valid_variable_name(s("PATH")));
  EXPECT_TRUE(is_valid_variable_name(s("=C:")));
  EXPECT_FALSE(is_valid_variable_name(s("")));
  EXPECT_FALSE(is_valid_variable_name(s("A=B")));
  EXPECT_FALSE(is_valid_variable_name(OsString(2, OsChar{0})));
}

class StoredEnvironmentOverlay : public ::testing::Test {
 protected:
  StoredEnvironmentOverlay() : env_(NameCase::Insensitive) {
    env_.set(s("PATH"), s("C:\\launcher"));
    env_.set(s("USERNAME"), s("me"));
    env_.set(s("KEEP"), s("kept"));
  }
  const OsString& value(std::string_view name) {
    const OsString* v = env_.find(s(name));
    static const OsString missing = s("<missing>");
    return v ? *v : missing;
  }
  Environment env_;
};

TEST_F(StoredEnvironmentOverlay, MachineValuesReplaceButNeverTheUserName) {
  overlay_stored_environment(
      env_,
      {{s("Path"), s("C:\\Windows")}, {s("UserName"), s("SYSTEM")}, {s("OS"), s("Windows_NT")}},
      {});
  EXPECT_EQ(value("PATH"), s("C:\\Windows"));
  EXPECT_EQ(value("USERNAME"), s("me"));
  EXPECT_EQ(value("OS"), s("Windows_NT"));
  EXPECT_EQ(value("KEEP"), s("kept"));
}

TEST_F(StoredEnvironmentOverlay, UserPathIsAppendedAfterTheMachinesPath) {
  overlay_stored_environment(env_, {{s("Path"), s("C:\\Windows")}},
                             {{s("path"), s("C:\\Users\\me\\bin")}, {s("TEMP"), s("C:\\t")}});
  EXPECT_EQ(value("PATH"), s("C:\\Windows;C:\\Users\\me\\bin"));
  EXPECT_EQ(value("TEMP"), s("C:\\t"));
}

TEST_F(StoredEnvironmentOverlay, UserPathStandsAloneWithoutAnExistingPath) {
  env_.remove(s("PATH"));
  overlay_stored_environment(env_, {}, {{s("Path"), s("C:\\bin")}});
  EXPECT_EQ(value("PATH"), s("C:\\bin"));
}

TEST_F(StoredEnvironmentOverlay, UserValuesOverrideMachineValuesAndBadNamesAreSkipped) {
  overlay_stored_environment(env_, {{s("EDITOR"), s("notepad")}, {s(""), s("default")}},
                             {{s("editor"), s("vim")}, {s("A=B"), s("c")}});
  EXPECT_EQ(value("EDITOR"), s("vim"));
  EXPECT_EQ(env_.entries().size(), 4u);
}

TEST(EnvironmentBlock, EntriesInOrderEachEndedByNulThenAFinalNul) {
  Environment env(NameCase::Insensitive);
  env.set(s("B"), s("2"));
  env.set(s("=C:"), s("C:\\x"));
  env.set(s("A"), s(""));
  env.set(s("BAD=NAME"), s("x"));
  const OsString expected =
      s("B=2") + OsChar{0} + s("=C:=C:\\x") + OsChar{0} + s("A=") + OsChar{0} + OsChar{0};
  EXPECT_EQ(environment_block(env), expected);
  EXPECT_EQ(environment_block(Environment(NameCase::Sensitive)), OsString(2, OsChar{0}));
}

}  // namespace
}  // namespace platform
