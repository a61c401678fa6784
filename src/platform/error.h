// Error values: a message with the chain of its causes, and Result<T>, which holds either a value
// or an Error. Errors are returned through every layer and printed once, at the top of a run.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

class Error {
 public:
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  // A new error whose cause is this one: "message: <this error's text>".
  [[nodiscard]] Error context(std::string message) const {
    Error outer(std::move(message));
    outer.chain_.insert(outer.chain_.end(), chain_.begin(), chain_.end());
    return outer;
  }

  // The error's own message first, then each underlying cause in order.
  const std::vector<std::string>& chain() const { return chain_; }
  const std::string& message() const { return chain_.front(); }

  // One line: the messages of the chain joined by ": ".
  std::string display() const {
    std::string text;
    for (const std::string& m : chain_) {
      if (!text.empty()) text += ": ";
      text += m;
    }
    return text;
  }

 private:
  std::vector<std::string> chain_;  // never empty
};

// Either a T or an Error. Cheap when all is well; check ok() before value().
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  // REQUIRES: !ok()
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// Success without a value: Result<void>{} or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: !ok()
  const Error& error() const { return error_; }

 private:
  Error error_{"no error"};
  bool failed_ = false;
};

// The calling thread's last operating-system error (GetLastError or errno) as an Error whose
// message is the system's text followed by the code: "text (0x80070006)" on Windows,
// "text (os error 9)" elsewhere.
Error last_os_error();

// The same for a given code: a Win32 error code on Windows, an errno value elsewhere.
Error os_error(unsigned long code);

}  // namespace platform
