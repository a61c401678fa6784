#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <system_error>

#include "platform/process.h"

namespace testing_support {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const std::string name = "talvane-test-" + std::to_string(platform::process_id()) + "-" +
                           std::to_string(stamp) + "-" + std::to_string(counter++);
  path_ = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::write(std::string_view name, std::string_view content) const {
  // Written beside the target and renamed over it, as an app replacing the file would.
  const std::filesystem::path target = path_ / std::string(name);
  const std::filesystem::path staging = path_ / (std::string(name) + ".new");
  {
    std::ofstream out(staging, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  std::filesystem::rename(staging, target);
}

void TempDir::remove(std::string_view name) const {
  std::error_code ignored;
  std::filesystem::remove(path_ / std::string(name), ignored);
}

}  // namespace testing_support
