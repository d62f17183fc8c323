// Request and result records: each record type has one field table, and one
// generic reader and writer serve them all.
//
//   struct LoginRequest { std::string username; std::string password; };
//   template <> inline const Record<LoginRequest> record_of<LoginRequest>{
//       "LoginRequest", {field<&LoginRequest::username>("username"),
//                        field<&LoginRequest::password>("password")}};
//
// Reading (from a JSON object by key, members met in ascending key order,
// unknown keys skipped; or from a JSON array in declaration order) fails with
// "missing field `{}`", "invalid type: {}, expected {}", "invalid value: {},
// expected {}" or "invalid length {}, expected {}".
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "json.h"

template <class R>
struct Field {
  std::string_view key;
  // Reads the member into the record; returns the failure text, or empty.
  std::string (*read)(R&, const Json&);
  void (*write)(const R&, Json& object, std::string_view key);
  bool optional = false;             // absent (or null) gives none
  std::function<void(R&)> fallback;  // the declared default, if any
};

template <class R>
struct Record {
  std::string_view name;
  std::vector<Field<R>> fields;
};

template <class R>
extern const Record<R> record_of;

template <class T>
concept IsRecord = requires { record_of<T>.name; };

// A number that must be present ("required number" arguments).
struct RequiredNumber {
  double value = 0;
};

namespace record_detail {
template <class T> struct is_optional : std::false_type {};
template <class T> struct is_optional<std::optional<T>> : std::true_type {};
template <class T> struct is_vector : std::false_type {};
template <class T> struct is_vector<std::vector<T>> : std::true_type {};
template <class M> struct member_of;
template <class C, class T> struct member_of<T C::*> { using record = C; using type = T; };

std::string invalid_type(const Json& found, std::string_view expected);
std::string invalid_value(const Json& found, std::string_view expected);
std::string missing_field(std::string_view key);
std::string invalid_length(size_t n, std::string_view expected);
std::string struct_name(std::string_view name);
std::string struct_name_with(std::string_view name, size_t fields);
}  // namespace record_detail

// Reads one value of any field kind; returns the failure text, or empty.
std::string read_value(std::string& out, const Json& v);
std::string read_value(double& out, const Json& v);
std::string read_value(int32_t& out, const Json& v);
std::string read_value(int64_t& out, const Json& v);
std::string read_value(bool& out, const Json& v);
std::string read_value(RequiredNumber& out, const Json& v);
std::string read_value(Json& out, const Json& v);

template <IsRecord R>
std::string read_value(R& out, const Json& v);

template <class T>
std::string read_value(std::optional<T>& out, const Json& v) {
  if (v.is_null()) { out.reset(); return {}; }
  T inner{};
  std::string err = read_value(inner, v);
  if (err.empty()) out = std::move(inner);
  return err;
}

template <class T>
std::string read_value(std::vector<T>& out, const Json& v) {
  if (!v.is_array()) return record_detail::invalid_type(v, "a sequence");
  out.clear();
  out.reserve(v.size());
  for (const Json& e : v) {
    T item{};
    std::string err = read_value(item, e);
    if (!err.empty()) return err;
    out.push_back(std::move(item));
  }
  return {};
}

template <IsRecord R>
std::string read_value(R& out, const Json& v) {
  using namespace record_detail;
  const Record<R>& rec = record_of<R>;
  const size_t n = rec.fields.size();
  if (v.is_object()) {
    std::vector<bool> seen(n, false);
    for (auto it = v.begin(); it != v.end(); ++it) {
      for (size_t f = 0; f < n; ++f) {
        if (rec.fields[f].key != it.key()) continue;
        std::string err = rec.fields[f].read(out, it.value());
        if (!err.empty()) return err;
        seen[f] = true;
        break;
      }
    }
    for (size_t f = 0; f < n; ++f) {
      if (seen[f]) continue;
      const Field<R>& field = rec.fields[f];
      if (field.fallback) field.fallback(out);
      else if (!field.optional) return missing_field(field.key);
    }
    return {};
  }
  if (v.is_array()) {
    for (size_t f = 0; f < n; ++f) {
      const Field<R>& field = rec.fields[f];
      if (f >= v.size()) {
        if (field.fallback) { field.fallback(out); continue; }
        return invalid_length(f, struct_name_with(rec.name, n));
      }
      std::string err = field.read(out, v[f]);
      if (!err.empty()) return err;
    }
    if (v.size() > n) return invalid_length(v.size(), "fewer elements in array");
    return {};
  }
  return invalid_type(v, struct_name(rec.name));
}

// Reads a record, array or required number; the error is the reading message.
template <class T>
std::optional<T> read_record(const Json& v, std::string& error) {
  T out{};
  error = read_value(out, v);
  if (!error.empty()) return std::nullopt;
  return out;
}

// Writing values and records as JSON.
inline Json to_json_value(const Json& v) { return v; }
inline Json to_json_value(const std::string& v) { return v; }
inline Json to_json_value(const char* v) { return std::string(v); }
inline Json to_json_value(bool v) { return v; }
inline Json to_json_value(int32_t v) { return v; }
inline Json to_json_value(int64_t v) { return v; }
inline Json to_json_value(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }
template <class T>
Json to_json_value(const std::optional<T>& v) { return v ? to_json_value(*v) : Json(nullptr); }
template <class T>
Json to_json_value(const std::vector<T>& v) {
  Json a = Json::array();
  for (const T& e : v) a.push_back(to_json_value(e));
  return a;
}
template <IsRecord R>
Json to_json_value(const R& r) {
  Json o = Json::object();
  for (const Field<R>& f : record_of<R>.fields) f.write(r, o, f.key);
  return o;
}

// A field of the record type that holds Member.
template <auto Member>
Field<typename record_detail::member_of<decltype(Member)>::record> field(std::string_view key) {
  using R = typename record_detail::member_of<decltype(Member)>::record;
  using T = typename record_detail::member_of<decltype(Member)>::type;
  Field<R> f;
  f.key = key;
  f.read = [](R& r, const Json& v) { return read_value(r.*Member, v); };
  f.write = [](const R& r, Json& o, std::string_view k) { o[std::string(k)] = to_json_value(r.*Member); };
  f.optional = record_detail::is_optional<T>::value;
  return f;
}

// A field that takes `fallback` when it is absent.
template <auto Member, class V>
auto field(std::string_view key, V fallback) {
  auto f = field<Member>(key);
  f.fallback = [fallback](auto& r) { r.*Member = fallback; };
  return f;
}
