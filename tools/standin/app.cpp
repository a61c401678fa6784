#include "standin/app.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "cli/companion/json.h"

namespace standin {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using companion::Json;

constexpr const char* PORT_FILES[] = {"claude-hud-port.json", "codex-hud-port.json"};
constexpr const char* TOKEN_FILE = "managed-session-token.json";
constexpr std::string_view TOKEN_HEADER = "x-talvane-session-token";
constexpr std::string_view HEAD_END = "\r\n\r\n";

// Writes beside the target and renames over it, so that a reader never sees half a file.
void write_file(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) return;
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(path, ec);
    std::filesystem::rename(temp, path, ec);
  }
}

std::string reply_body(const std::string& text) {
  return companion::encode_json({{"reply", text}});
}

// What to do with one request, decided under the app's lock.
struct Decision {
  enum class Kind { Send, Hold, Never } kind = Kind::Send;
  std::string bytes;
  int status = 0;  // 0 for raw bytes
  std::chrono::milliseconds delay{0};
  Clock::time_point hold_until;
};

Decision answer_with(int status, const std::string& body) {
  return {Decision::Kind::Send, format_answer(status, body, Framing::Length), status, {}, {}};
}

}  // namespace

class Connection;

struct App::Impl {
  asio::io_context io;  // first member: destroyed last, after everything that uses it

  const std::filesystem::path data_dir;
  const bool v2;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;      // a request was recorded or answered
  std::string token;                            // GUARDED_BY(mutex)
  std::chrono::milliseconds hold;               // GUARDED_BY(mutex)
  std::map<Endpoint, Answer> answers;           // GUARDED_BY(mutex)
  std::deque<std::string> pending_bodies;       // GUARDED_BY(mutex)
  bool shutdown = false;                        // GUARDED_BY(mutex)
  std::map<std::string, std::string> sessions;  // handle -> session token; GUARDED_BY(mutex)
  std::optional<std::string> fixed_handle;      // GUARDED_BY(mutex)
  unsigned next_handle = 1;                     // GUARDED_BY(mutex)
  std::string last_handle;                      // GUARDED_BY(mutex)
  std::vector<RecordedRequest> requests;        // GUARDED_BY(mutex)
  unsigned short port = 0;                      // GUARDED_BY(mutex)

  // Used on the I/O thread only (and by the destructor once it has stopped).
  std::shared_ptr<tcp::acceptor> acceptor;
  std::set<std::shared_ptr<Connection>> connections;
  std::list<std::shared_ptr<Connection>> held;  // pending polls waiting for something to say

  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::thread thread;

  explicit Impl(const Options& options)
      : data_dir(options.data_dir), v2(options.v2), token(options.token), hold(options.hold) {}

  unsigned short listen();
  void accept(std::shared_ptr<tcp::acceptor> on);
  std::size_t record(RecordedRequest request);
  void mark_answered(std::size_t index, int status);
  Decision decide(const Route& route, const RequestHead& head, const std::string& body);
  Decision decide_normally(const Route& route, const RequestHead& head, const std::string& body);
  std::optional<std::string> take_pending();  // REQUIRES: mutex held
  void hold_poll(const std::shared_ptr<Connection>& connection, Clock::time_point until);
  void release_held();
  void forget(const std::shared_ptr<Connection>& connection);
  void close_all();
  void write_discovery_files();
};

// One connection: reads one request, answers once, closes. Lives while a handler refers to it.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(App::Impl& app, tcp::socket socket, unsigned short port)
      : app_(app), socket_(std::move(socket)), timer_(app.io), port_(port) {}

  void start() {
    asio::async_read_until(
        socket_, asio::dynamic_buffer(buffer_, MAX_HEAD_BYTES), HEAD_END,
        [self = shared_from_this()](error_code ec, std::size_t n) { self->on_head(ec, n); });
  }

  // Sends the answer of a held poll, ending its wait.
  void answer_held(int status, const std::string& body) {
    timer_.cancel();
    send(format_answer(status, body, Framing::Length), status);
  }

  // The session handle the held poll asked for.
  const std::string& handle() const { return handle_; }

  // False once the client has closed or reset its end. Asked right before a held poll is given
  // an item: a write into a connection whose client has gone may still succeed and would lose
  // the item.
  bool client_connected() {
    char byte = 0;
    error_code ec;
    socket_.non_blocking(true, ec);
    const std::size_t n = socket_.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, ec);
    return ec == asio::error::would_block || (!ec && n > 0);
  }

  void wait_held(Clock::time_point until) {
    timer_.expires_at(until);
    timer_.async_wait([self = shared_from_this()](error_code ec) {
      if (ec) return;  // answered meanwhile, or closed
      self->app_.held.remove(self);
      self->send(format_answer(200, reply_body_null(), Framing::Length), 200);
    });
  }

  void close() {
    error_code ec;
    timer_.cancel();
    socket_.close(ec);
  }

 private:
  static std::string reply_body_null() { return R"({"reply":null})"; }

  void on_head(error_code ec, std::size_t head_bytes) {
    if (ec) return finish();
    const std::string_view head_text(buffer_.data(), head_bytes - HEAD_END.size());
    std::optional<RequestHead> head = parse_head(head_text);
    if (!head) {
      RecordedRequest bad;
      bad.target = std::string(head_text.substr(0, head_text.find("\r\n")));
      bad.port = port_;
      bad.received = Clock::now();
      index_ = app_.record(std::move(bad));
      return send(format_answer(400, "{}", Framing::Length), 400);
    }
    head_ = std::move(*head);
    buffer_.erase(0, head_bytes);
    if (buffer_.size() >= head_.content_length) return on_request();
    const std::size_t have = buffer_.size();
    buffer_.resize(head_.content_length);
    asio::async_read(socket_, asio::buffer(buffer_.data() + have, buffer_.size() - have),
                     [self = shared_from_this()](error_code body_error, std::size_t) {
                       if (body_error) return self->finish();
                       self->on_request();
                     });
  }

  void on_request() {
    buffer_.resize(head_.content_length);
    const Route where = route(head_.method, head_.target);
    handle_ = where.handle;
    index_ = app_.record({where.endpoint, head_.method, head_.target, where.handle, head_.headers,
                          buffer_, port_, 0, Clock::now(), std::nullopt});
    Decision decision = app_.decide(where, head_, buffer_);
    switch (decision.kind) {
      case Decision::Kind::Hold:
        return app_.hold_poll(shared_from_this(), decision.hold_until);
      case Decision::Kind::Never:
        if (decision.bytes.empty()) return watch_for_close();
        return send_then_stall(std::move(decision.bytes));
      case Decision::Kind::Send:
        break;
    }
    if (decision.delay.count() <= 0) return send(std::move(decision.bytes), decision.status);
    timer_.expires_after(decision.delay);
    timer_.async_wait([self = shared_from_this(), d = std::move(decision)](error_code ec) mutable {
      if (ec) return self->finish();
      self->send(std::move(d.bytes), d.status);
    });
  }

  // A request that is never answered: the connection stays until the client gives up.
  void watch_for_close() {
    buffer_.resize(1);
    socket_.async_read_some(
        asio::buffer(buffer_),
        [self = shared_from_this()](error_code, std::size_t) { self->finish(); });
  }

  // Part of an answer, then nothing more until the client gives up.
  void send_then_stall(std::string bytes) {
    out_ = std::move(bytes);
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this()](error_code ec, std::size_t) {
                        if (ec) return self->finish();
                        self->watch_for_close();
                      });
  }

  void send(std::string bytes, int status) {
    out_ = std::move(bytes);
    // Recorded before the first byte leaves: the client may read the whole answer and act on it
    // before the write's completion handler runs, and whoever then looks at the record must
    // already find the answer there.
    app_.mark_answered(index_, status);
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this()](error_code, std::size_t) { self->finish(); });
  }

  void finish() {
    error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    close();
    app_.forget(shared_from_this());
  }

  App::Impl& app_;
  tcp::socket socket_;
  asio::steady_timer timer_;
  const unsigned short port_;
  std::string buffer_;
  std::string out_;
  RequestHead head_;
  std::string handle_;
  std::size_t index_ = 0;
};

unsigned short App::Impl::listen() {
  auto next = std::make_shared<tcp::acceptor>(io);
  error_code ec;
  next->open(tcp::v4(), ec);
  if (!ec) next->bind({asio::ip::address_v4::loopback(), 0}, ec);
  if (!ec) next->listen(asio::socket_base::max_listen_connections, ec);
  const unsigned short bound = ec ? 0 : next->local_endpoint(ec).port();
  acceptor = next;
  {
    std::lock_guard lock(mutex);
    port = ec ? 0 : bound;
  }
  if (!ec) accept(next);
  return ec ? 0 : bound;
}

void App::Impl::accept(std::shared_ptr<tcp::acceptor> on) {
  on->async_accept([this, on](error_code ec, tcp::socket socket) {
    // A handler of an acceptor that was closed or replaced (restart) ends its loop.
    if (on != acceptor || !on->is_open()) return;
    if (!ec) {
      error_code ignored;
      const unsigned short at = on->local_endpoint(ignored).port();
      auto connection = std::make_shared<Connection>(*this, std::move(socket), at);
      connections.insert(connection);
      connection->start();
    }
    accept(on);
  });
}

std::size_t App::Impl::record(RecordedRequest request) {
  std::lock_guard lock(mutex);
  requests.push_back(std::move(request));
  changed.notify_all();
  return requests.size() - 1;
}

void App::Impl::mark_answered(std::size_t index, int status) {
  std::lock_guard lock(mutex);
  if (index < requests.size()) {
    requests[index].answered = Clock::now();
    requests[index].status = status;
  }
  changed.notify_all();
}

Decision App::Impl::decide(const Route& where, const RequestHead& head, const std::string& body) {
  std::lock_guard lock(mutex);
  const auto scripted = answers.find(where.endpoint);
  if (scripted == answers.end()) return decide_normally(where, head, body);
  const Answer answer = scripted->second;
  if (answer.once) answers.erase(scripted);
  Decision decision;
  decision.delay = answer.delay;
  if (answer.never_answer) {
    decision.kind = Decision::Kind::Never;
    if (answer.raw) decision.bytes = *answer.raw;
  } else if (answer.raw) {
    decision.bytes = *answer.raw;
  } else {
    decision.bytes = format_answer(answer.status, answer.body, answer.framing);
    decision.status = answer.status;
  }
  return decision;
}

Decision App::Impl::decide_normally(const Route& where, const RequestHead& head,
                                    const std::string& body) {
  const std::string* sent_token = find_header(head, TOKEN_HEADER);
  if (sent_token == nullptr || *sent_token != token) return answer_with(401, "{}");
  switch (where.endpoint) {
    case Endpoint::Register:
    case Endpoint::RegisterV2: {
      const std::string handle =
          fixed_handle.value_or("standin-session-" + std::to_string(next_handle++));
      const std::optional<Json> json = companion::parse_json(body);
      const Json* session_token = json ? companion::member(*json, "token") : nullptr;
      sessions[handle] = session_token && session_token->is_string()
                             ? session_token->get<std::string>()
                             : std::string();
      last_handle = handle;
      if (where.endpoint == Endpoint::RegisterV2 && v2) {
        return answer_with(
            200, companion::encode_json(
                     {{"protocol_version", 2}, {"agent", "codex"}, {"session_handle", handle}}));
      }
      return answer_with(200, companion::encode_json({{"session_handle", handle}}));
    }
    case Endpoint::Deregister: {
      const std::optional<Json> json = companion::parse_json(body);
      const Json* session_token = json ? companion::member(*json, "token") : nullptr;
      if (session_token && session_token->is_string()) {
        std::erase_if(sessions, [&](const auto& s) { return s.second == *session_token; });
      }
      return answer_with(200, "{}");
    }
    case Endpoint::Pending: {
      if (!sessions.contains(where.handle)) return answer_with(404, "{}");
      if (std::optional<std::string> item = take_pending()) return answer_with(200, *item);
      Decision decision;
      decision.kind = Decision::Kind::Hold;
      decision.hold_until = Clock::now() + hold;
      return decision;
    }
    case Endpoint::Delivered:
      return sessions.contains(where.handle) ? answer_with(200, "{}") : answer_with(404, "{}");
    case Endpoint::Unknown:
      break;
  }
  return answer_with(404, "{}");
}

std::optional<std::string> App::Impl::take_pending() {
  if (!pending_bodies.empty()) {
    std::string body = std::move(pending_bodies.front());
    pending_bodies.pop_front();
    return body;
  }
  if (shutdown) return R"({"reply":null,"shutdown_requested":true})";
  return std::nullopt;
}

void App::Impl::hold_poll(const std::shared_ptr<Connection>& connection, Clock::time_point until) {
  held.push_back(connection);
  connection->wait_held(until);
  // Something may have been queued between the decision and now.
  release_held();
}

// Hands queued items to held polls, oldest poll first, and only to live sessions: a poll whose
// client has gone is dropped, and one whose session has since been withdrawn is answered 404 as
// a new poll would be. Neither takes an item; it stays queued for the next live poll.
void App::Impl::release_held() {
  while (!held.empty()) {
    std::shared_ptr<Connection> first = held.front();
    if (!first->client_connected()) {
      held.pop_front();
      first->close();
      connections.erase(first);
      continue;
    }
    bool live = false;
    std::optional<std::string> item;
    {
      std::lock_guard lock(mutex);
      live = sessions.contains(first->handle());
      if (live) item = take_pending();
    }
    if (live && !item) return;
    held.pop_front();
    if (live) {
      first->answer_held(200, *item);
    } else {
      first->answer_held(404, "{}");
    }
  }
}

void App::Impl::forget(const std::shared_ptr<Connection>& connection) {
  held.remove(connection);
  connections.erase(connection);
}

void App::Impl::close_all() {
  if (acceptor) {
    error_code ec;
    acceptor->close(ec);
  }
  const auto open = connections;
  for (const auto& connection : open) connection->close();
  held.clear();
  connections.clear();
}

void App::Impl::write_discovery_files() {
  unsigned short current = 0;
  std::string current_token;
  {
    std::lock_guard lock(mutex);
    current = port;
    current_token = token;
  }
  std::error_code ec;
  std::filesystem::create_directories(data_dir, ec);
  for (const char* name : PORT_FILES) {
    write_file(data_dir / name, companion::encode_json({{"port", current}}));
  }
  write_file(data_dir / TOKEN_FILE, companion::encode_json({{"token", current_token}}));
}

App::App(Options options) : impl_(std::make_unique<Impl>(options)) {
  std::error_code ec;
  std::filesystem::create_directories(options.data_dir, ec);
  impl_->listen();
  if (options.write_discovery_files) impl_->write_discovery_files();
  impl_->work.emplace(impl_->io.get_executor());
  impl_->thread = std::thread([impl = impl_.get()] { impl->io.run(); });
}

App::~App() {
  impl_->io.stop();
  impl_->thread.join();
  impl_->work.reset();
  // The I/O thread has stopped: close what is left while the io_context still exists; handlers
  // still queued are destroyed with it.
  impl_->close_all();
  impl_->acceptor.reset();
}

unsigned short App::port() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->port;
}

const std::filesystem::path& App::data_dir() const { return impl_->data_dir; }

std::string App::token() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->token;
}

void App::set_answer(Endpoint endpoint, Answer answer) {
  std::lock_guard lock(impl_->mutex);
  impl_->answers[endpoint] = std::move(answer);
}

void App::clear_answer(Endpoint endpoint) {
  std::lock_guard lock(impl_->mutex);
  impl_->answers.erase(endpoint);
}

void App::set_hold(std::chrono::milliseconds hold) {
  std::lock_guard lock(impl_->mutex);
  impl_->hold = hold;
}

void App::set_session_handle(std::optional<std::string> handle) {
  std::lock_guard lock(impl_->mutex);
  impl_->fixed_handle = std::move(handle);
}

void App::queue_reply(const std::string& text) { queue_pending_body(reply_body(text)); }

void App::queue_pending_body(std::string raw_body) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->pending_bodies.push_back(std::move(raw_body));
  }
  asio::post(impl_->io, [impl = impl_.get()] { impl->release_held(); });
}

void App::request_shutdown() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->shutdown = true;
  }
  asio::post(impl_->io, [impl = impl_.get()] { impl->release_held(); });
}

void App::clear_pending() {
  std::lock_guard lock(impl_->mutex);
  impl_->pending_bodies.clear();
  impl_->shutdown = false;
}

unsigned short App::restart_on_new_port() {
  std::promise<unsigned short> done;
  std::future<unsigned short> port = done.get_future();
  asio::post(impl_->io, [impl = impl_.get(), &done] {
    impl->close_all();
    {
      std::lock_guard lock(impl->mutex);
      impl->sessions.clear();
    }
    done.set_value(impl->listen());
  });
  const unsigned short new_port = port.get();
  impl_->write_discovery_files();
  return new_port;
}

void App::change_token(std::string token) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->token = std::move(token);
  }
  impl_->write_discovery_files();
}

void App::write_discovery_files() { impl_->write_discovery_files(); }

void App::remove_discovery_files() {
  std::error_code ec;
  for (const char* name : PORT_FILES) std::filesystem::remove(impl_->data_dir / name, ec);
  std::filesystem::remove(impl_->data_dir / TOKEN_FILE, ec);
}

std::vector<RecordedRequest> App::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

std::vector<RecordedRequest> App::requests_to(Endpoint endpoint) const {
  std::vector<RecordedRequest> found;
  std::lock_guard lock(impl_->mutex);
  for (const RecordedRequest& r : impl_->requests) {
    if (r.endpoint == endpoint) found.push_back(r);
  }
  return found;
}

bool App::wait_until(const std::function<bool(const std::vector<RecordedRequest>&)>& done,
                     std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return done(impl_->requests); });
}

std::string App::last_handle() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->last_handle;
}

}  // namespace standin
