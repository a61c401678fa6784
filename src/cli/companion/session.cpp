#include "cli/companion/session.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <variant>

#include "cli/companion/discovery.h"
#include "cli/companion/http.h"
#include "cli/companion/json.h"
#include "cli/companion/json_record.h"
#include "platform/process.h"
#include "platform/random.h"

namespace companion {

GlobalSession GLOBAL_SESSION;

namespace {

constexpr std::size_t SESSION_TOKEN_BYTES = 32;
constexpr int STATUS_OK = 200;
constexpr int STATUS_NOT_FOUND = 404;
constexpr int STATUS_CONFLICT = 409;
constexpr std::string_view CLAUDE_REGISTER_PATH = "/api/managed-sessions/register";
constexpr std::string_view CODEX_REGISTER_PATH = "/api/managed-sessions/v2/register";
constexpr std::string_view DEREGISTER_PATH = "/api/managed-sessions/deregister";
constexpr std::uint64_t CODEX_PROTOCOL_VERSION = 2;

std::optional<std::string> new_session_token() {
  std::array<std::uint8_t, SESSION_TOKEN_BYTES> bytes{};
  if (!platform::fill_random(bytes.data(), bytes.size())) return std::nullopt;
  static constexpr char HEX[] = "0123456789abcdef";
  std::string token;
  for (const std::uint8_t b : bytes) {
    token.push_back(HEX[b >> 4]);
    token.push_back(HEX[b & 0x0F]);
  }
  return token;
}

std::optional<std::string> current_dir_text() {
  const std::optional<platform::OsString> dir = platform::current_dir();
  if (!dir) return std::nullopt;
  return platform::to_utf8(*dir);
}

std::string register_body(const ManagedSession& session) {
  Json body = Json::object();
  if (session.agent == cli::AgentKind::Codex) body["agent"] = "codex";
  if (session.cwd) body["cwd"] = *session.cwd;
  body["pid"] = session.pid;
  body["token"] = session.session_token;
  return encode_json(body);
}

// The members of a register answer that are looked at.
constexpr std::string_view SESSION_HANDLE = "session_handle";
constexpr std::string_view PROTOCOL_VERSION = "protocol_version";
constexpr std::string_view AGENT = "agent";

bool is_codex_v2_answer(const Record& answer) {
  const std::optional<Json>& version = answer.member(PROTOCOL_VERSION);
  // Only the integer 2 (parsed as unsigned): 2.0 is a float, "2" a string, and nlohmann would
  // compare 2.0 equal to 2, so the type is checked rather than the value alone.
  if (!version || !version->is_number_unsigned() ||
      version->get<std::uint64_t>() != CODEX_PROTOCOL_VERSION) {
    return false;
  }
  const std::optional<Json>& agent = answer.member(AGENT);
  return agent && agent->is_string() && agent->get_ref<const std::string&>() == "codex";
}

// The session handle of a 200 answer, or the status that the answer gives instead.
std::variant<std::string, RegistrationStatus> handle_from_answer(cli::AgentKind agent,
                                                                 const RequestOutcome& outcome) {
  const bool codex = agent == cli::AgentKind::Codex;
  const RegistrationStatus unreadable =
      codex ? RegistrationStatus::AppTooOld : RegistrationStatus::NotRegistered;
  if (!outcome.body) return unreadable;
  // Members of anything but an object are absent; a repeated member counts as its last.
  std::optional<Record> answer =
      read_record(*outcome.body, {SESSION_HANDLE, PROTOCOL_VERSION, AGENT},
                  {.replace_invalid_utf8 = true, .refuse_repeats = false});
  if (!answer) return unreadable;
  if (answer->shape != Record::Shape::Object) answer->fields.assign(answer->fields.size(), {});
  if (codex && !is_codex_v2_answer(*answer)) return RegistrationStatus::AppTooOld;
  std::optional<Json>& handle = answer->member(SESSION_HANDLE);
  if (!handle || !handle->is_string()) return RegistrationStatus::NotRegistered;
  return std::move(handle->get_ref<std::string&>());
}

// How long deregister_global waits for a registration attempt under way to be answered, of its
// QUICK_DEREGISTER_TIMEOUT.
constexpr std::chrono::milliseconds ATTEMPT_WAIT{500};

std::chrono::milliseconds remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds(1));
}

void set_attempt(ManagedSession& session, std::optional<Registration> attempt) {
  std::lock_guard<std::mutex> lock(session.registration_mutex);
  session.attempt = std::move(attempt);
}

// The withdrawal request for the session, sent where `where` was registered; its outcome is
// ignored: there is no retry, and the registration is gone on our side.
void send_deregister(const ManagedSession& session, const Registration& where,
                     std::chrono::milliseconds timeout) {
  Json body = Json::object();
  body["token"] = session.session_token;
  (void)send_request(Method::Post, where.base_url + std::string(DEREGISTER_PATH), timeout,
                     where.capability_token, encode_json(body));
}

RegistrationStatus status_without_answer(cli::AgentKind agent, const RequestOutcome& outcome) {
  if (outcome.kind != RequestOutcome::Kind::ErrorStatus) return RegistrationStatus::NotRegistered;
  if (outcome.status == STATUS_CONFLICT) return RegistrationStatus::NotConnected;
  if (outcome.status == STATUS_NOT_FOUND && agent == cli::AgentKind::Codex) {
    return RegistrationStatus::AppTooOld;
  }
  return RegistrationStatus::NotRegistered;
}

}  // namespace

std::pair<SharedSession, RegistrationStatus> create_session(cli::AgentKind agent) {
  return create_session_in(agent, resolve_data_dir());
}

std::pair<SharedSession, RegistrationStatus> create_session_in(
    cli::AgentKind agent, std::optional<platform::OsString> data_dir) {
  if (!data_dir) return {nullptr, RegistrationStatus::NotRegistered};
  std::optional<std::string> token = new_session_token();
  if (!token) return {nullptr, RegistrationStatus::NotRegistered};
  auto session = std::make_shared<ManagedSession>(agent, std::move(*data_dir), std::move(*token),
                                                  current_dir_text(), platform::process_id());
  {
    std::lock_guard<std::mutex> lock(GLOBAL_SESSION.mutex);
    GLOBAL_SESSION.session = session;
  }
  const RegistrationStatus status = register_session(*session);
  return {std::move(session), status};
}

RegistrationStatus register_session(ManagedSession& session) {
  std::lock_guard<AttemptLock> attempt(session.register_lock);

  const std::optional<std::string> token = read_capability_token(session.data_dir);
  if (!token) return RegistrationStatus::NotRegistered;
  const std::string base = base_url(read_port(session.agent, session.data_dir));
  const std::string_view path =
      session.agent == cli::AgentKind::Codex ? CODEX_REGISTER_PATH : CLAUDE_REGISTER_PATH;

  set_attempt(session, Registration{base, *token, ""});
  const RequestOutcome outcome = send_request(Method::Post, base + std::string(path),
                                              REGISTER_TIMEOUT, *token, register_body(session));
  set_attempt(session, std::nullopt);
  if (outcome.kind != RequestOutcome::Kind::Answered) {
    return status_without_answer(session.agent, outcome);
  }
  if (outcome.status != STATUS_OK) return RegistrationStatus::NotRegistered;  // body unread
  auto handle = handle_from_answer(session.agent, outcome);
  if (auto* status = std::get_if<RegistrationStatus>(&handle)) return *status;

  // The app may have changed its token while the request was under way; the answer then
  // belongs to a token that is already stale, and the keeper registers again with the new one.
  if (read_capability_token(session.data_dir) != token) return RegistrationStatus::NotRegistered;

  std::lock_guard<std::mutex> lock(session.registration_mutex);
  session.registration = Registration{base, *token, std::move(std::get<std::string>(handle))};
  return RegistrationStatus::Registered;
}

bool registration_is_current(ManagedSession& session) {
  const std::optional<std::string> token = read_capability_token(session.data_dir);
  if (!token) return false;
  const std::string base = base_url(read_port(session.agent, session.data_dir));
  const std::optional<Registration> current = registration_snapshot(session);
  return current && current->capability_token == *token && current->base_url == base;
}

std::optional<Registration> registration_snapshot(ManagedSession& session) {
  std::lock_guard<std::mutex> lock(session.registration_mutex);
  return session.registration;
}

void forget_registration(ManagedSession& session, std::string_view handle) {
  std::lock_guard<std::mutex> lock(session.registration_mutex);
  if (session.registration && session.registration->session_handle == handle) {
    session.registration.reset();
  }
}

void deregister(ManagedSession& session, std::chrono::milliseconds timeout) {
  // Taken out before the request, so that each registration is withdrawn at most once whichever
  // paths call this and in whatever order.
  std::optional<Registration> withdrawn;
  {
    std::lock_guard<std::mutex> lock(session.registration_mutex);
    withdrawn.swap(session.registration);
  }
  if (withdrawn) send_deregister(session, *withdrawn, timeout);
}

void deregister_global() {
  SharedSession session;
  {
    std::lock_guard<std::mutex> lock(GLOBAL_SESSION.mutex);
    session.swap(GLOBAL_SESSION.session);
  }
  if (!session) return;
  const auto deadline = std::chrono::steady_clock::now() + QUICK_DEREGISTER_TIMEOUT;
  std::unique_lock<AttemptLock> attempt(session->register_lock, std::defer_lock);
  if (attempt.try_lock_for(ATTEMPT_WAIT)) {
    deregister(*session, remaining(deadline));
    return;
  }
  // The attempt is still unanswered: the withdrawal needs only the session token, and goes where
  // the attempt was sent (or, before its request, where the stored registration was made).
  std::optional<Registration> target;
  {
    std::lock_guard<std::mutex> lock(session->registration_mutex);
    target = session->attempt ? session->attempt : session->registration;
    session->registration.reset();
  }
  if (target) send_deregister(*session, *target, remaining(deadline));
}

void run_keeper(cli::RunningFlag running, SharedSession session) {
  for (;;) {
    if (!running->load()) return;
    if (!registration_is_current(*session)) {
      (void)register_session(*session);
      if (!running->load()) {
        // The run ended during the attempt, after its final deregistration found nothing to
        // withdraw: withdraw what the attempt may just have stored. Under register_lock, which
        // the end of the run also holds for its withdrawal: whichever comes second finds
        // nothing, and the process cannot end between the taking out and the request.
        std::lock_guard<AttemptLock> attempt(session->register_lock);
        deregister(*session, QUICK_DEREGISTER_TIMEOUT);
        return;
      }
    }
    std::this_thread::sleep_for(KEEPER_PERIOD);
  }
}

}  // namespace companion
