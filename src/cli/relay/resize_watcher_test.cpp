#include "cli/relay/resize_watcher.h"

#include <gtest/gtest.h>

#include <deque>

namespace relay {
namespace {

using platform::ConsoleSize;

// Each wait is one period; `measure` then answers from the script (an empty optional is a
// failed query). The run stops once the script is used up.
struct ScriptedWindow {
  std::deque<std::optional<ConsoleSize>> sizes;
  std::vector<ConsoleSize> applied;
  std::vector<std::chrono::milliseconds> waits;
  bool fail_resizes = false;
  std::atomic<bool> running{true};

  void run(ConsoleSize start) {
    ResizeHooks hooks;
    hooks.wait = [this](std::chrono::milliseconds bound) { waits.push_back(bound); };
    hooks.measure = [this]() -> platform::Result<ConsoleSize> {
      std::optional<ConsoleSize> next = sizes.front();
      sizes.pop_front();
      if (sizes.empty()) running = false;
      if (!next) return platform::Error("not a console");
      return *next;
    };
    hooks.apply = [this](ConsoleSize size) -> platform::Result<void> {
      applied.push_back(size);
      if (fail_resizes) return platform::Error("resize failed");
      return {};
    };
    watch_resizes(running, start, hooks);
  }
};

TEST(ResizeWatcher, AppliesOnlyChangesAndTakesBothDimensionsAtOnce) {
  struct Case {
    const char* name;
    std::deque<std::optional<ConsoleSize>> sizes;
    std::vector<ConsoleSize> applied;
  };
  const ConsoleSize start{80, 24};
  const std::vector<Case> cases = {
      {"unchanged", {ConsoleSize{80, 24}, ConsoleSize{80, 24}}, {}},
      {"columns only", {ConsoleSize{100, 24}}, {{100, 24}}},
      {"rows only then back", {ConsoleSize{80, 30}, ConsoleSize{80, 24}}, {{80, 30}, {80, 24}}},
      {"same size twice applies once", {ConsoleSize{90, 40}, ConsoleSize{90, 40}}, {{90, 40}}},
      {"failed queries keep the last size",
       {std::nullopt, std::nullopt, ConsoleSize{80, 24}, ConsoleSize{81, 24}},
       {{81, 24}}},
  };
  for (const Case& c : cases) {
    ScriptedWindow window;
    window.sizes = c.sizes;
    window.run(start);
    EXPECT_EQ(window.applied, c.applied) << c.name;
    for (auto wait : window.waits) EXPECT_EQ(wait, RESIZE_PERIOD) << c.name;
  }
}

TEST(ResizeWatcher, AFailedResizeIsNotRetriedUntilTheWindowChangesAgain) {
  ScriptedWindow window;
  window.fail_resizes = true;
  window.sizes = {ConsoleSize{100, 30}, ConsoleSize{100, 30}, ConsoleSize{120, 30}};
  window.run(ConsoleSize{80, 24});
  const std::vector<ConsoleSize> expected = {{100, 30}, {120, 30}};
  EXPECT_EQ(window.applied, expected);
}

TEST(ResizeWatcher, EndsWithoutLookingWhenRunningIsAlreadyCleared) {
  ScriptedWindow window;
  window.running = false;
  window.run(ConsoleSize{80, 24});
  EXPECT_TRUE(window.waits.empty());
}

}  // namespace
}  // namespace relay
