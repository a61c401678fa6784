// The end of an exited agent's output: the pseudo-terminal is closed so that its last output
// comes to an end, and the run waits for that output to reach the screen.
#pragma once

#include <chrono>
#include <functional>
#include <future>

#include "cli/relay/screen.h"

namespace launch {

// Runs `close_terminal` on a helper thread (it may wait until the output has been read, and the
// screen may take nothing for as long as the user holds a selection), then waits until
// `output_ended` is ready. Output that keeps reaching `screen` is waited for to its end; the wait
// gives up once `idle_bound` passes with no byte taken, and after `limit` in all (a process the
// agent left behind may write on its terminal for ever). True when the output ended. Main thread.
bool drain_output(std::function<void()> close_terminal,
                  const std::shared_future<void>& output_ended, const relay::Screen& screen,
                  std::chrono::milliseconds idle_bound, std::chrono::milliseconds limit);

}  // namespace launch
