#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace velmora {

// An error as a value: its description is the text that reaches a reply and
// the log, so it must read well on its own.
struct Error {
  std::string description;
  // The operating system's error number when the error is one of its own,
  // so that a caller can tell "missing" from other failures; else 0.
  int code = 0;
  friend bool operator==(const Error&, const Error&) = default;
};

// Either a value or an Error. Failing operations return one instead of
// throwing, so no exception can escape a request.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Error error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, Error> state_;
};

// Success or an Error, for operations without a value.
using Status = Result<std::monostate>;
inline Status Ok() { return std::monostate{}; }

}  // namespace velmora
