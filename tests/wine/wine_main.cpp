// The Wine end-to-end suite's entry point: skips (status 77) with one line saying why when this
// machine cannot run it, else sets up the suite's Wine prefix around the tests.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/wine/wine_run.h"

namespace {

constexpr int SKIPPED = 77;

constexpr int FAILED = 1;

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const std::string missing = testing_support::WineSuite::missing();
  if (!missing.empty()) {
    std::printf("Windows end-to-end tests skipped: %s.\n", missing.c_str());
    return SKIPPED;
  }
  std::string reason;
  if (!testing_support::WineSuite::set_up(&reason)) {
    std::printf("Windows end-to-end tests: %s\n", reason.c_str());
    testing_support::WineSuite::tear_down();
    return FAILED;
  }
  const int status = RUN_ALL_TESTS();
  testing_support::WineSuite::tear_down();
  return status;
}
