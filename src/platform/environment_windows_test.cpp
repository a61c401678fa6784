#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/process.h"

namespace platform {
namespace {

// Values written under HKCU\Environment of this build's own Wine prefix (or the user running the
// tests on Windows); every one is removed again, and a stored user Path is put back as it was.
class RegistryOverlay : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Environment", 0, nullptr, 0,
                              KEY_READ | KEY_WRITE, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
    saved_user_path_ = read_string(L"Path", &saved_user_path_type_);
  }
  void TearDown() override {
    for (const std::wstring& name : written_) RegDeleteValueW(key_, name.c_str());
    if (saved_user_path_) write(L"Path", saved_user_path_type_, *saved_user_path_, false);
    RegCloseKey(key_);
    SetEnvironmentVariableW(L"TALVANE_OVERLAY_SOURCE", nullptr);
    SetEnvironmentVariableW(L"TALVANE_OVERLAY_PLAIN", nullptr);
  }

  void write(const std::wstring& name, DWORD type, const std::wstring& text, bool remember = true) {
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    ASSERT_EQ(RegSetValueExW(key_, name.c_str(), 0, type,
                             reinterpret_cast<const BYTE*>(text.c_str()), bytes),
              ERROR_SUCCESS);
    if (remember) written_.push_back(name);
  }
  std::optional<std::wstring> read_string(const wchar_t* name, DWORD* type) {
    wchar_t buffer[8192];
    DWORD size = sizeof buffer;
    if (RegQueryValueExW(key_, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::wstring(buffer, size / sizeof(wchar_t)).c_str();
  }
  // The machine's stored Path, expanded, or nothing.
  static std::optional<std::wstring> machine_path() {
    wchar_t buffer[8192];
    DWORD size = sizeof buffer;
    if (RegGetValueW(HKEY_LOCAL_MACHINE,
                     L"System\\CurrentControlSet\\Control\\Session Manager\\Environment", L"Path",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr, buffer,
                     &size) != ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::wstring(buffer);
  }

  HKEY key_ = nullptr;
  std::vector<std::wstring> written_;
  std::optional<std::wstring> saved_user_path_;
  DWORD saved_user_path_type_ = REG_SZ;
};

TEST_F(RegistryOverlay, UserValuesAreLaidOverTheLaunchersEnvironment) {
  SetEnvironmentVariableW(L"TALVANE_OVERLAY_SOURCE", L"src");
  SetEnvironmentVariableW(L"TALVANE_OVERLAY_PLAIN", L"from the launcher");
  write(L"Talvane_Overlay_Plain", REG_SZ, L"stored");
  write(L"TALVANE_OVERLAY_EXPAND", REG_EXPAND_SZ, L"%TALVANE_OVERLAY_SOURCE%-x");
  write(L"TALVANE_OVERLAY_MULTI", REG_MULTI_SZ, L"a");
  const DWORD number = 7;
  ASSERT_EQ(RegSetValueExW(key_, L"TALVANE_OVERLAY_NUMBER", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&number), sizeof number),
            ERROR_SUCCESS);
  written_.push_back(L"TALVANE_OVERLAY_NUMBER");

  const Environment env = default_agent_environment();
  int plain_entries = 0;
  for (const Environment::Entry& e : env.entries()) {
    if (_wcsicmp(e.name.c_str(), L"TALVANE_OVERLAY_PLAIN") == 0) {
      ++plain_entries;
      EXPECT_EQ(e.name, L"Talvane_Overlay_Plain");  // the stored name's form
      EXPECT_EQ(e.value, L"stored");
    }
  }
  EXPECT_EQ(plain_entries, 1);
  ASSERT_NE(env.find(L"talvane_overlay_expand"), nullptr);
  EXPECT_EQ(*env.find(L"TALVANE_OVERLAY_EXPAND"), L"src-x");
  EXPECT_EQ(env.find(L"TALVANE_OVERLAY_MULTI"), nullptr);
  EXPECT_EQ(env.find(L"TALVANE_OVERLAY_NUMBER"), nullptr);
}

TEST_F(RegistryOverlay, UserPathIsAppendedToTheMachinesPath) {
  write(L"Path", REG_SZ, L"C:\\talvane-overlay-test", !saved_user_path_);
  const Environment env = default_agent_environment();
  const std::optional<std::wstring> machine = machine_path();
  const std::optional<OsString> launcher = get_env(L"PATH");
  const std::wstring before = machine ? *machine : launcher.value_or(L"");
  ASSERT_NE(env.find(L"PATH"), nullptr);
  EXPECT_EQ(*env.find(L"PATH"), before + L";C:\\talvane-overlay-test");
}

}  // namespace
}  // namespace platform
