// The run's `running` flag: created true before any worker starts, cleared once by the main
// thread at teardown. Each holder keeps its own reference.
#pragma once

#include <atomic>
#include <memory>

namespace cli {

using RunningFlag = std::shared_ptr<std::atomic<bool>>;

}  // namespace cli
