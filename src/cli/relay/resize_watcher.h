// The resize watcher: keeps the agent's terminal the size of the user's console window.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "cli/running_flag.h"
#include "platform/console.h"
#include "platform/error.h"
#include "platform/pty.h"

namespace relay {

// The pseudo-terminal's master, shared by the run and the resize watcher; only the watcher
// locks it, for one resize at a time.
struct SharedMaster {
  explicit SharedMaster(platform::PtyMaster pty_master) : master(std::move(pty_master)) {}
  std::mutex mutex;
  platform::PtyMaster master;  // GUARDED_BY(mutex)
};

// How often the watcher looks at the window where the system does not announce its changes.
inline constexpr std::chrono::milliseconds RESIZE_PERIOD{150};

// How the watcher sees the window and applies a size: seams for tests.
struct ResizeHooks {
  std::function<platform::Result<platform::ConsoleSize>()> measure;
  std::function<void(std::chrono::milliseconds)> wait;
  std::function<platform::Result<void>(platform::ConsoleSize)> apply;
};

// Until `running` is found false: waits for a change the system announces (or RESIZE_PERIOD
// where it announces none), measures the window, and applies a size that differs from the last one
// known. A failed measurement is skipped; a failed resize still counts as applied. Reports nothing.
void watch_resizes(const std::atomic<bool>& running, platform::ConsoleSize start,
                   const ResizeHooks& hooks);

// Thread entry: watch_resizes on the real console and the shared master. Owns what it is given.
void resize_watcher(cli::RunningFlag running, std::shared_ptr<SharedMaster> master,
                    platform::ConsoleSize start);

}  // namespace relay
