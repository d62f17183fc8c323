// Result<T>: what every command handler returns: a value, or the error text
// that goes back to the client unchanged.
#pragma once

#include <string>
#include <utility>
#include <variant>

struct Error {
  std::string text;
};

inline Error fail(std::string text) { return Error{std::move(text)}; }

// The value of a handler that succeeds without one (sent as JSON null).
struct Unit {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}
  template <class U>
    requires(std::is_constructible_v<T, U &&> && !std::is_same_v<std::decay_t<U>, Error> &&
             !std::is_same_v<std::decay_t<U>, T>)
  Result(U&& value) : v_(std::in_place_index<0>, T(std::forward<U>(value))) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  T* operator->() { return &value(); }
  const std::string& error() const { return std::get<1>(v_).text; }
  Error take_error() { return std::move(std::get<1>(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Propagates a failure: TRY(auto x, expr) is not offered on purpose; write
//   auto r = expr; if (!r) return r.take_error();
