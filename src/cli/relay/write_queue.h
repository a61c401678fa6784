// The write queue: an unbounded first-in first-out channel of WriteBatch from any number of
// senders to the one writer thread, which alone types into the agent's terminal.
//
// Closing rules:
// - the queue is closed for receiving once every sender is gone and no batch is left in it
//   (batches queued before the last sender went are still delivered);
// - it is closed for sending once the receiver is gone; queued batches are then discarded.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace relay {

// One unit of terminal input: chunks written in order, `pause` waited before each chunk but the
// first. A batch is written whole before the next one starts.
struct WriteBatch {
  std::vector<std::string> chunks;
  std::chrono::nanoseconds pause{0};
};

struct QueueState;  // shared by the handles; defined in write_queue.cpp

// A sending handle. Move-only; clone() makes another. Destroying it releases it.
// Any thread may send on its own handle.
class QueueSender {
 public:
  explicit QueueSender(std::shared_ptr<QueueState> state);
  QueueSender(QueueSender&& other) noexcept;
  QueueSender& operator=(QueueSender&& other) noexcept;
  QueueSender(const QueueSender&) = delete;
  QueueSender& operator=(const QueueSender&) = delete;
  ~QueueSender();

  [[nodiscard]] QueueSender clone() const;

  // Queues the batch without waiting. On success the batch has been moved from; when the queue
  // is closed for sending it returns false and leaves the batch untouched with the caller.
  // REQUIRES: this handle has not been released or moved from.
  [[nodiscard]] bool send(WriteBatch&& batch);

  // Waits until the writer is done with every batch sent on any handle before this call: it has
  // written them and come back for more, or it has ended. False when `limit` passes first.
  // A producer that waits so after each of its sends never has more than one batch ahead of it.
  // REQUIRES: this handle has not been released or moved from.
  [[nodiscard]] bool wait_written(std::chrono::milliseconds limit) const;

  // Releases the handle now (as the destructor would). Safe to repeat.
  void release();

 private:
  std::shared_ptr<QueueState> state_;
};

// The receiving handle: exactly one, owned by the writer thread. Move-only.
class QueueReceiver {
 public:
  explicit QueueReceiver(std::shared_ptr<QueueState> state);
  QueueReceiver(QueueReceiver&& other) noexcept;
  QueueReceiver& operator=(QueueReceiver&& other) noexcept;
  QueueReceiver(const QueueReceiver&) = delete;
  QueueReceiver& operator=(const QueueReceiver&) = delete;
  ~QueueReceiver();

  // Waits without a time limit for the next batch; nothing once the queue is closed for
  // receiving.
  std::optional<WriteBatch> receive();

  // Releases the receiver now: every later send fails and queued batches are discarded.
  void release();

 private:
  std::shared_ptr<QueueState> state_;
};

// Creates a queue: its first sender and its receiver.
std::pair<QueueSender, QueueReceiver> make_write_queue();

}  // namespace relay
