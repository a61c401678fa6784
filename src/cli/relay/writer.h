// The writer thread: the one place that types into the agent's terminal.
#pragma once

#include <memory>

#include "cli/relay/output_activity.h"
#include "cli/relay/write_queue.h"
#include "platform/byte_stream.h"

namespace relay {

// Takes batches from the queue in order and writes each one whole into the terminal input:
// every chunk with its own write-all and flush, the batch's pause (and its wait for the agent's
// output to go quiet, read from `activity`; none without it) only between two of its chunks.
// Ends when the queue is closed for receiving or a write fails; then releases the receiver
// (later sends fail) and the input. Reports nothing. Thread entry; owns what it is given.
void writer(QueueReceiver receiver, std::unique_ptr<platform::ByteSink> terminal_input,
            std::shared_ptr<const OutputActivity> activity = nullptr);

}  // namespace relay
