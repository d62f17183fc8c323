// The reading messages and the readers of the field kinds.
#include "record.h"

#include <limits>

namespace record_detail {

std::string invalid_type(const Json& found, std::string_view expected) {
  return "invalid type: " + json::describe(found) + ", expected " + std::string(expected);
}
std::string invalid_value(const Json& found, std::string_view expected) {
  return "invalid value: " + json::describe(found) + ", expected " + std::string(expected);
}
std::string missing_field(std::string_view key) { return "missing field `" + std::string(key) + "`"; }
std::string invalid_length(size_t n, std::string_view expected) {
  return "invalid length " + std::to_string(n) + ", expected " + std::string(expected);
}
std::string struct_name(std::string_view name) { return "struct " + std::string(name); }
std::string struct_name_with(std::string_view name, size_t fields) {
  return "struct " + std::string(name) + " with " + std::to_string(fields) + " elements";
}

}  // namespace record_detail

using namespace record_detail;

std::string read_value(std::string& out, const Json& v) {
  if (!v.is_string()) return invalid_type(v, "a string");
  out = v.get<std::string>();
  return {};
}

std::string read_value(double& out, const Json& v) {
  if (!v.is_number()) return invalid_type(v, "f64");
  out = v.get<double>();
  return {};
}

std::string read_value(RequiredNumber& out, const Json& v) { return read_value(out.value, v); }

std::string read_value(int32_t& out, const Json& v) {
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return invalid_value(v, "i32");
    out = static_cast<int32_t>(u);
    return {};
  }
  if (v.is_number_integer()) {
    int64_t i = v.get<int64_t>();
    if (i < std::numeric_limits<int32_t>::min() || i > std::numeric_limits<int32_t>::max())
      return invalid_value(v, "i32");
    out = static_cast<int32_t>(i);
    return {};
  }
  return invalid_type(v, "i32");
}

std::string read_value(int64_t& out, const Json& v) {
  if (v.is_number_unsigned()) {
    uint64_t u = v.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return invalid_value(v, "i64");
    out = static_cast<int64_t>(u);
    return {};
  }
  if (v.is_number_integer()) {
    out = v.get<int64_t>();
    return {};
  }
  return invalid_type(v, "i64");
}

std::string read_value(bool& out, const Json& v) {
  if (!v.is_boolean()) return invalid_type(v, "a boolean");
  out = v.get<bool>();
  return {};
}

std::string read_value(Json& out, const Json& v) {
  out = v;
  return {};
}
