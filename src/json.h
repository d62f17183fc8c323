// JSON for the wire. Values are nlohmann::json, whose objects keep their keys
// in ascending byte order. Our own reader serves the call envelope (exact
// messages with positions, body order, duplicate members, nesting limit) and
// our own writer gives the number layout of the protocol (12.0, 1e+16,
// 1.5e-7, null for non-finite numbers) with unescaped UTF-8.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <variant>

using Json = nlohmann::json;

namespace json {

// The four members of a call.
struct Envelope {
  std::string cmd;
  Json args;
  std::string username;
  std::string real_name;
};

// Why a body is not an envelope: a syntax fault (the body is not JSON) or a
// data fault (JSON, but not an envelope). The message ends with the position.
struct EnvelopeError {
  bool syntax;
  std::string message;
};

std::variant<Envelope, EnvelopeError> read_envelope(std::string_view body);

// Parses a whole JSON text (trailing white space only) into a value; for tests
// and tools. Returns the reader's message on failure.
std::variant<Json, std::string> parse(std::string_view text);

// Compact JSON with the protocol's number layout.
std::string write(const Json& value);
void write_to(std::string& out, const Json& value);
std::string format_number(double v);  // "12.0", "1e+16", "1.5e-7"; non-finite gives "null"

// Why `s` is not valid UTF-8 ("invalid utf-8 sequence of 1 bytes from index
// 3", "incomplete utf-8 byte sequence from index 3"); empty when it is.
std::string utf8_fault(std::string_view s);
inline bool valid_utf8(std::string_view s) { return utf8_fault(s).empty(); }

// How a value found is named in reading messages: null, boolean `true`,
// integer `5`, floating point `2.5`, string "abc", sequence, map.
std::string describe(const Json& value);

}  // namespace json
