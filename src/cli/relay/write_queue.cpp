#include "cli/relay/write_queue.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace relay {

struct QueueState {
  std::mutex mutex;
  std::condition_variable ready;    // a batch arrived, or the last sender went
  std::condition_variable written;  // the writer finished a batch, or the receiver went
  std::deque<WriteBatch> batches;   // GUARDED_BY(mutex)
  std::size_t senders = 0;          // GUARDED_BY(mutex)
  bool receiver_alive = true;       // GUARDED_BY(mutex)
  // Batches sent, and batches the writer is done with; the writer takes them in order, so the
  // first `finished` of the `sent` are behind it.
  std::uint64_t sent = 0;         // GUARDED_BY(mutex)
  std::uint64_t finished = 0;     // GUARDED_BY(mutex)
  bool writer_holds_one = false;  // GUARDED_BY(mutex)
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
    state_->batches.push_back(std::move(batch));
    ++state_->sent;
  }
  state_->ready.notify_one();
  return true;
}

bool QueueSender::wait_written(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  const std::uint64_t target = state_->sent;
  return state_->written.wait_for(
      lock, limit, [&] { return state_->finished >= target || !state_->receiver_alive; });
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
  std::unique_lock<std::mutex> lock(state_->mutex);
  // Coming back for more means the writer is done with the batch it took last.
  if (state_->writer_holds_one) {
    state_->writer_holds_one = false;
    ++state_->finished;
    state_->written.notify_all();
  }
  state_->ready.wait(lock, [&] { return !state_->batches.empty() || state_->senders == 0; });
  if (state_->batches.empty()) return std::nullopt;
  WriteBatch batch = std::move(state_->batches.front());
  state_->batches.pop_front();
  state_->writer_holds_one = true;
  return batch;
}

void QueueReceiver::release() {
  if (!state_) return;
  std::deque<WriteBatch> discarded;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->receiver_alive = false;
    discarded.swap(state_->batches);
  }
  state_->written.notify_all();
  state_.reset();
  // `discarded` is freed here, outside the lock.
}

std::pair<QueueSender, QueueReceiver> make_write_queue() {
  auto state = std::make_shared<QueueState>();
  QueueSender sender(state);
  QueueReceiver receiver(std::move(state));
  return {std::move(sender), std::move(receiver)};
}

}  // namespace relay
