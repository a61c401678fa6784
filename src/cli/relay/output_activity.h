// When the agent last drew on its screen. The screen notes every write of the agent's output;
// the writer reads it, so that a reply's Enter can wait until the agent has gone quiet after
// taking the text (an agent still drawing the text it is given has not finished reading it).
// Any thread.
#pragma once

#include <atomic>
#include <chrono>

namespace relay {

class OutputActivity {
 public:
  using Clock = std::chrono::steady_clock;

  void note(Clock::time_point at) { last_.store(at.time_since_epoch().count()); }
  Clock::time_point last() const { return Clock::time_point(Clock::duration(last_.load())); }

 private:
  std::atomic<Clock::rep> last_{0};
};

}  // namespace relay
