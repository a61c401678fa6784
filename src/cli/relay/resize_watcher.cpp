#include "cli/relay/resize_watcher.h"

namespace relay {

void watch_resizes(const std::atomic<bool>& running, platform::ConsoleSize start,
                   const ResizeHooks& hooks) {
  platform::ConsoleSize last = start;
  while (running.load()) {
    hooks.wait(RESIZE_PERIOD);
    platform::Result<platform::ConsoleSize> now = hooks.measure();
    if (!now || now.value() == last) continue;
    // Not retried: the next attempt waits for the window to change again.
    (void)hooks.apply(now.value());
    last = now.value();
  }
}

void resize_watcher(cli::RunningFlag running, std::shared_ptr<SharedMaster> master,
                    platform::ConsoleSize start) {
  ResizeHooks hooks;
  hooks.measure = platform::console_size;
  hooks.wait = platform::wait_for_resize;
  hooks.apply = [&master](platform::ConsoleSize size) {
    std::lock_guard<std::mutex> lock(master->mutex);
    return master->master.resize(size);
  };
  watch_resizes(*running, start, hooks);
}

}  // namespace relay
