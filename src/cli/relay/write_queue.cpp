#include "cli/relay/write_queue.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace relay {

using Clock = std::chrono::steady_clock;

// A batch with its place in the order of sending.
struct Queued {
  std::uint64_t number;
  WriteBatch batch;
  std::size_t bytes = 0;          // keys only: the bytes of all chunks
  bool ends_inside_unit = false;  // keys only
};

struct QueueState {
  std::mutex mutex;
  std::condition_variable ready;    // a batch arrived, or the last sender went
  std::condition_variable written;  // the writer finished a batch, or the receiver went
  std::condition_variable room;     // the writer took keys, or the receiver went
  // Each kind in the order of sending; the numbers tell the order across the two.
  std::deque<Queued> keys;        // GUARDED_BY(mutex)
  std::deque<Queued> others;      // GUARDED_BY(mutex)
  std::size_t key_bytes = 0;      // GUARDED_BY(mutex): the bytes in `keys`
  std::uint64_t next_number = 0;  // GUARDED_BY(mutex)
  std::size_t senders = 0;        // GUARDED_BY(mutex)
  bool receiver_alive = true;     // GUARDED_BY(mutex)
  // The number of the batch the writer holds, until it comes back for more.
  std::optional<std::uint64_t> being_written;  // GUARDED_BY(mutex)
  // Whether the keys handed to the writer so far end inside a unit of input.
  bool keys_taken_end_inside = false;  // GUARDED_BY(mutex)
  Clock::time_point last_keys_sent;    // GUARDED_BY(mutex)

  // The lowest number not yet done with: queued, or being written. REQUIRES: mutex held.
  std::uint64_t oldest_unfinished() const {
    std::uint64_t oldest = next_number;
    if (!keys.empty()) oldest = std::min(oldest, keys.front().number);
    if (!others.empty()) oldest = std::min(oldest, others.front().number);
    if (being_written) oldest = std::min(oldest, *being_written);
    return oldest;
  }
};

QueueSender::QueueSender(std::shared_ptr<QueueState> state) : state_(std::move(state)) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->senders;
}

QueueSender::QueueSender(QueueSender&& other) noexcept : state_(std::move(other.state_)) {}

QueueSender& QueueSender::operator=(QueueSender&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

QueueSender::~QueueSender() { release(); }

QueueSender QueueSender::clone() const { return QueueSender(state_); }

bool QueueSender::send(WriteBatch&& batch) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->receiver_alive) return false;
    state_->others.push_back(Queued{state_->next_number++, std::move(batch)});
  }
  state_->ready.notify_one();
  return true;
}

KeySend QueueSender::send_keys(WriteBatch&& batch, bool ends_inside_unit,
                               std::chrono::milliseconds limit) {
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    const bool roomy = state_->room.wait_for(lock, limit, [&] {
      return state_->key_bytes < KEY_BACKLOG_BYTES || !state_->receiver_alive;
    });
    if (!state_->receiver_alive) return KeySend::Closed;
    if (!roomy) return KeySend::Full;
    std::size_t bytes = 0;
    for (const std::string& chunk : batch.chunks) bytes += chunk.size();
    state_->keys.push_back(
        Queued{state_->next_number++, std::move(batch), bytes, ends_inside_unit});
    state_->key_bytes += bytes;
    state_->last_keys_sent = Clock::now();
  }
  state_->ready.notify_one();
  return KeySend::Sent;
}

bool QueueSender::wait_written(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  const std::uint64_t target = state_->next_number;
  return state_->written.wait_for(lock, limit, [&] {
    return state_->oldest_unfinished() >= target || !state_->receiver_alive;
  });
}

void QueueSender::release() {
  if (!state_) return;
  bool last = false;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    last = --state_->senders == 0;
  }
  // The receiver may be waiting for a batch that will now never come.
  if (last) state_->ready.notify_all();
  state_.reset();
}

QueueReceiver::QueueReceiver(std::shared_ptr<QueueState> state) : state_(std::move(state)) {}

QueueReceiver::QueueReceiver(QueueReceiver&& other) noexcept : state_(std::move(other.state_)) {}

QueueReceiver& QueueReceiver::operator=(QueueReceiver&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

QueueReceiver::~QueueReceiver() { release(); }

std::optional<WriteBatch> QueueReceiver::receive() {
  if (!state_) return std::nullopt;
  QueueState& state = *state_;
  std::unique_lock<std::mutex> lock(state.mutex);
  // Coming back for more means the writer is done with the batch it took last.
  if (state.being_written) {
    state.being_written.reset();
    state.written.notify_all();
  }
  for (;;) {
    const bool reply_first =
        !state.others.empty() &&
        (state.keys.empty() || state.others.front().number < state.keys.front().number);
    if (!state.keys.empty() && (!reply_first || state.keys_taken_end_inside)) {
      Queued next = std::move(state.keys.front());
      state.keys.pop_front();
      state.key_bytes -= next.bytes;
      state.keys_taken_end_inside = next.ends_inside_unit;
      state.being_written = next.number;
      lock.unlock();
      state.room.notify_one();
      return std::move(next.batch);
    }
    if (reply_first) {
      // The keys typed so far end inside a unit: the reply waits for the keys that end it, or
      // for the user's silence. Once every sender is gone no key can come to end it.
      const Clock::time_point silent_at = state.last_keys_sent + UNIT_SILENCE_BOUND;
      if (!state.keys_taken_end_inside || state.senders == 0 || Clock::now() >= silent_at) {
        Queued next = std::move(state.others.front());
        state.others.pop_front();
        state.being_written = next.number;
        return std::move(next.batch);
      }
      state.ready.wait_until(lock, silent_at);
      continue;
    }
    if (state.senders == 0) return std::nullopt;
    state.ready.wait(lock);
  }
}

void QueueReceiver::release() {
  if (!state_) return;
  std::deque<Queued> discarded_keys;
  std::deque<Queued> discarded_others;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->receiver_alive = false;
    discarded_keys.swap(state_->keys);
    discarded_others.swap(state_->others);
    state_->key_bytes = 0;
  }
  state_->written.notify_all();
  state_->room.notify_all();
  state_.reset();
  // The discarded batches are freed here, outside the lock.
}

std::pair<QueueSender, QueueReceiver> make_write_queue() {
  auto state = std::make_shared<QueueState>();
  QueueSender sender(state);
  QueueReceiver receiver(std::move(state));
  return {std::move(sender), std::move(receiver)};
}

}  // namespace relay
