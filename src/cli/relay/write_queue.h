// The write queue: the channel of WriteBatch from any number of senders to the one writer
// thread, which alone types into the agent's terminal. It carries two kinds of batch:
// - keys (send_keys): the user's input, one sender, bounded by KEY_BACKLOG_BYTES;
// - others (send): replies, unbounded (their producer waits for each with wait_written).
// The writer gets the batches in the order they were sent, with one exception: a reply never
// starts while the keys written before it end inside a unit of the user's input (a paste, an
// escape sequence, a character). Keys sent after it then go first, in their order, until a key
// batch ends outside a unit or the keys have been silent for UNIT_SILENCE_BOUND; the reply follows
// then. Keys therefore never wait behind a reply that waits for them.
//
// Closing rules:
// - the queue is closed for receiving once every sender is gone and no batch is left in it
//   (batches queued before the last sender went are still delivered);
// - it is closed for sending once the receiver is gone; queued batches are then discarded.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace relay {

// One unit of terminal input: chunks written in order. A batch is written whole before the next
// one starts.
// - Before the last chunk of two or more (a reply's Enter): `pause`; then, where `quiet` is not
//   zero, until the agent's output has been quiet that long, for at most `quiet_bound`.
// - Before each other chunk but the first (the next piece of a long text), where `piece_bound` is
//   not zero: until the agent has drawn since the piece before was written and has then been
//   quiet for `quiet`, for at most `piece_bound`.
struct WriteBatch {
  std::vector<std::string> chunks;
  std::chrono::nanoseconds pause{0};
  std::chrono::nanoseconds quiet{0};
  std::chrono::nanoseconds quiet_bound{0};
  std::chrono::nanoseconds piece_bound{0};
};

// Key input that may wait in the queue before send_keys waits for room: an agent that reads no
// input then stops the input pump instead of growing the process. Two seconds of a paste at ssh
// speed, far more than the pseudo-terminal itself buffers.
inline constexpr std::size_t KEY_BACKLOG_BYTES = 1024 * 1024;

// How long a reply waits for the user to finish the unit of input the keys end inside, counted
// from the last keys sent. A terminal sends each unit in one write, so its reads are split only
// by the link: back to back, or one TCP retransmission later over ssh (200 ms at least). What
// stays open longer is a lone Escape press or a unit cut short, and must not keep a reply back
// for long. Well within the second the end of a run waits for queued input.
inline constexpr std::chrono::milliseconds UNIT_SILENCE_BOUND{500};

// What send_keys did.
enum class KeySend {
  Sent,    // queued; the batch has been moved from
  Full,    // no room came within the limit; the batch is left with the caller
  Closed,  // the queue is closed for sending; the batch is left with the caller
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

  // Queues a batch of the user's keys, as send does, once fewer than KEY_BACKLOG_BYTES of keys
  // wait in the queue; waits at most `limit` for that. `ends_inside_unit`: the keys sent so far,
  // this batch included, end inside a unit of input. One thread sends keys.
  // REQUIRES: this handle has not been released or moved from.
  [[nodiscard]] KeySend send_keys(WriteBatch&& batch, bool ends_inside_unit,
                                  std::chrono::milliseconds limit);

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

  // Waits without a time limit for the next batch (a reply held for the user's input at most
  // UNIT_SILENCE_BOUND after the last keys); nothing once the queue is closed for receiving.
  std::optional<WriteBatch> receive();

  // Releases the receiver now: every later send fails and queued batches are discarded.
  void release();

 private:
  std::shared_ptr<QueueState> state_;
};

// Creates a queue: its first sender and its receiver.
std::pair<QueueSender, QueueReceiver> make_write_queue();

}  // namespace relay
