// The command dispatcher and its table. Each row names a command, its
// handler and the "args" keys of the handler's arguments; the argument kinds
// come from the handler's parameter types:
//
//   std::string                 text             (missing or mistyped: "")
//   std::optional<std::string>  optional text    (missing, mistyped or "": none)
//   bool                        boolean          (missing or mistyped: false)
//   double                      number           (missing or mistyped: 0)
//   RequiredNumber              required number  (read_record rules)
//   a record, std::vector<...>  record or array  (read_record rules)
//
// Parameters after the keyed ones receive the caller's user name, then full
// name. A handler returns Result<T> for any T that to_json_value takes, or
// Result<Unit> for null.
//
//   command<add_user, "request">("add_user")
//     -> Result<Json> add_user(AddUserRequest, std::string username, std::string real_name)
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "json.h"
#include "record.h"
#include "result.h"

// Argument readers for named arguments that never fail.
std::string arg_str(const Json& args, std::string_view key);
std::optional<std::string> arg_opt_str(const Json& args, std::string_view key);
bool arg_bool(const Json& args, std::string_view key);
double arg_number(const Json& args, std::string_view key);
Json arg_value(const Json& args, std::string_view key);

struct Caller {
  const std::string& username;
  const std::string& real_name;
};

struct Command {
  std::string_view name;
  Result<Json> (*run)(const Json& args, const Caller& caller);
};

// The whole table (every command with a handler).
std::span<const Command> command_table();

// Answers one call: "ping", the desktop-only names, the table.
Result<Json> dispatch_command(std::string_view cmd, const Json& args, const std::string& username,
                              const std::string& real_name);

// True when the command never waits for the database or anything else, so
// it may be answered on an I/O thread.
bool answers_at_once(std::string_view cmd);

// ---- building rows -------------------------------------------------------

template <size_t N>
struct Key {
  constexpr Key(const char (&s)[N]) { std::copy_n(s, N, text); }
  char text[N];
  constexpr std::string_view view() const { return {text, N - 1}; }
};

namespace command_detail {

inline Json to_result(const Unit&) { return Json(nullptr); }
template <class T>
Json to_result(const T& v) { return to_json_value(v); }

template <class T>
struct ArgReader {
  // Records, arrays and required numbers.
  static std::optional<T> read(const Json& args, std::string_view key, std::string& error) {
    return read_record<T>(arg_value(args, key), error);
  }
};
template <>
struct ArgReader<std::string> {
  static std::optional<std::string> read(const Json& a, std::string_view k, std::string&) { return arg_str(a, k); }
};
template <>
struct ArgReader<std::optional<std::string>> {
  static std::optional<std::optional<std::string>> read(const Json& a, std::string_view k, std::string&) {
    return std::optional<std::optional<std::string>>(std::in_place, arg_opt_str(a, k));
  }
};
template <>
struct ArgReader<bool> {
  static std::optional<bool> read(const Json& a, std::string_view k, std::string&) { return arg_bool(a, k); }
};
template <>
struct ArgReader<double> {
  static std::optional<double> read(const Json& a, std::string_view k, std::string&) { return arg_number(a, k); }
};

template <class F>
struct Signature;
template <class R, class... P>
struct Signature<R (*)(P...)> {
  using result = R;
  using params = std::tuple<std::decay_t<P>...>;
  static constexpr size_t arity = sizeof...(P);
};

template <auto Handler, Key... Keys>
Result<Json> run(const Json& args, const Caller& caller) {
  using Sig = Signature<decltype(Handler)>;
  using Params = typename Sig::params;
  constexpr size_t keyed = sizeof...(Keys);
  constexpr size_t envelope = Sig::arity - keyed;
  static_assert(Sig::arity >= keyed && envelope <= 2, "handler takes the keyed arguments, then up to two names");
  constexpr std::string_view keys[] = {Keys.view()..., ""};

  std::string error;
  auto read_all = [&]<size_t... I>(std::index_sequence<I...>) {
    std::tuple<std::optional<std::tuple_element_t<I, Params>>...> read;
    bool ok = true;
    // Read in order; stop at the first failure.
    ((ok = ok && (std::get<I>(read) = ArgReader<std::tuple_element_t<I, Params>>::read(args, keys[I], error)).has_value()), ...);
    return std::pair(ok, std::move(read));
  };
  auto [ok, read] = read_all(std::make_index_sequence<keyed>{});
  if (!ok) return Error{error};

  auto call = [&]<size_t... I>(std::index_sequence<I...>) {
    if constexpr (envelope == 0) return Handler(std::move(*std::get<I>(read))...);
    else if constexpr (envelope == 1) return Handler(std::move(*std::get<I>(read))..., caller.username);
    else return Handler(std::move(*std::get<I>(read))..., caller.username, caller.real_name);
  };
  auto result = call(std::make_index_sequence<keyed>{});
  if (!result) return result.take_error();
  return to_result(result.value());
}

}  // namespace command_detail

template <auto Handler, Key... Keys>
constexpr Command command(std::string_view name) {
  return Command{name, &command_detail::run<Handler, Keys...>};
}
