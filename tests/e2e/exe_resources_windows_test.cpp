// What Windows reads from talvane.exe itself: the version resource shown in the file's properties,
// and the manifest the loader applies (Windows 10 as a supported system, no elevation, long paths,
// UTF-8 as the process code page).
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>
#include <vector>

namespace {

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

class ExeResources : public ::testing::Test {
 protected:
  void SetUp() override {
    const DWORD size = GetFileVersionInfoSizeW(exe_.c_str(), nullptr);
    ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
    version_info_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe_.c_str(), 0, size, version_info_.data()));
  }

  std::wstring string_value(const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(version_info_.data(), path.c_str(), &value, &length) || length == 0) {
      return L"(missing)";
    }
    return std::wstring(static_cast<const wchar_t*>(value), length - 1);
  }

  const std::wstring exe_ = widen(TALVANE_EXE);
  std::vector<char> version_info_;
};

TEST_F(ExeResources, VersionResourceCarriesTheProjectVersionAndNames) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(
      VerQueryValueW(version_info_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                              std::to_string(HIWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(version, TALVANE_VERSION);
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  EXPECT_EQ(string_value(L"FileVersion"), widen(TALVANE_VERSION));
  EXPECT_EQ(string_value(L"ProductVersion"), widen(TALVANE_VERSION));
  EXPECT_EQ(string_value(L"ProductName"), L"talvane");
  EXPECT_EQ(string_value(L"OriginalFilename"), L"talvane.exe");
  EXPECT_NE(string_value(L"FileDescription"), L"(missing)");
}

TEST_F(ExeResources, ManifestAsksForWindows10LongPathsAndUtf8WithoutElevation) {
  HMODULE module = LoadLibraryExW(exe_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  // The manifest CreateProcess reads: resource 1 of type RT_MANIFEST.
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  std::string manifest;
  const void* bytes = found != nullptr ? LockResource(LoadResource(module, found)) : nullptr;
  if (bytes != nullptr)
    manifest.assign(static_cast<const char*>(bytes), SizeofResource(module, found));
  FreeLibrary(module);
  ASSERT_FALSE(manifest.empty()) << "no manifest resource";
  // Loose patterns: the MSVC tool chain rewrites the manifest it merges (prefixes, quoting).
  for (const char* expected :
       {R"(supportedOS\s+Id=.\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\})", R"(level=.asInvoker)",
        R"(longPathAware[^>]*>\s*true\s*<)", R"(activeCodePage[^>]*>\s*UTF-8\s*<)"}) {
    EXPECT_TRUE(std::regex_search(manifest, std::regex(expected))) << expected << " not in\n"
                                                                   << manifest;
  }
}

}  // namespace
