// The envelope reader is a small recursive-descent JSON reader that keeps
// the position of every fault (line and column, counted in bytes, of the last
// byte read, as "... at line L column C") and the path of members leading to
// it ("args.items[2]: "). The writer lays out numbers as the protocol wants.
#include "json.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace json {
namespace {

constexpr int kDepthLimit = 128;  // the envelope counts as one level

// A fault while reading: syntax (the body is not JSON) or data.
struct Fault {
  bool syntax;
  std::string message;
  size_t position;  // byte offset that the position is computed from
  std::string path;
};

class Reader {
 public:
  explicit Reader(std::string_view text) : s_(text) {}

  std::optional<Fault> fault;

  // Position as line and column of the first `index` bytes.
  std::string position_text(size_t index) const {
    size_t line = 1, column = 0;
    for (size_t i = 0; i < index && i < s_.size(); ++i) {
      if (s_[i] == '\n') { ++line; column = 0; } else { ++column; }
    }
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
  }
  std::string full_message(const Fault& f) const {
    std::string m;
    if (!f.path.empty()) m = f.path + ": ";
    return m + f.message + position_text(f.position);
  }

  // error(): position of what was consumed; peek_error(): including the next byte.
  bool error(std::string msg, bool syntax = true) {
    if (!fault) fault = Fault{syntax, std::move(msg), i_, path_};
    return false;
  }
  bool peek_error(std::string msg) {
    if (!fault) fault = Fault{true, std::move(msg), std::min(i_ + 1, s_.size()), path_};
    return false;
  }

  void skip_ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  bool at_end() const { return i_ >= s_.size(); }
  char peek() const { return s_[i_]; }

  // Any value; `depth` is the number of open containers around it.
  bool value(Json& out, int depth) {
    skip_ws();
    if (at_end()) return peek_error("EOF while parsing a value");
    char c = peek();
    switch (c) {
      case 'n': return ident("null") && (out = nullptr, true);
      case 't': return ident("true") && (out = true, true);
      case 'f': return ident("false") && (out = false, true);
      case '"': {
        std::string str;
        if (!string(str)) return false;
        out = std::move(str);
        return true;
      }
      case '[': return array(out, depth);
      case '{': return object(out, depth);
      default:
        if (c == '-' || (c >= '0' && c <= '9')) return number(out);
        return peek_error("expected value");
    }
  }

  bool ident(std::string_view word) {
    ++i_;  // first letter already seen
    for (size_t k = 1; k < word.size(); ++k) {
      if (at_end()) return error("EOF while parsing a value");
      if (s_[i_] != word[k]) { ++i_; return error("expected ident"); }
      ++i_;
    }
    return true;
  }

  bool number(Json& out) {
    size_t start = i_;
    bool negative = false;
    if (peek() == '-') { negative = true; ++i_; }
    if (at_end()) return peek_error("EOF while parsing a value");
    if (peek() == '0') {
      ++i_;
      if (!at_end() && peek() >= '0' && peek() <= '9') return peek_error("invalid number");
    } else if (peek() >= '1' && peek() <= '9') {
      while (!at_end() && peek() >= '0' && peek() <= '9') ++i_;
    } else {
      return peek_error("invalid number");
    }
    bool is_float = false;
    if (!at_end() && peek() == '.') {
      is_float = true;
      ++i_;
      size_t digits = i_;
      while (!at_end() && peek() >= '0' && peek() <= '9') ++i_;
      if (i_ == digits) return at_end() ? peek_error("EOF while parsing a value") : peek_error("invalid number");
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      is_float = true;
      ++i_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++i_;
      size_t digits = i_;
      while (!at_end() && peek() >= '0' && peek() <= '9') ++i_;
      if (i_ == digits) return at_end() ? peek_error("EOF while parsing a value") : peek_error("invalid number");
    }
    std::string_view token = s_.substr(start, i_ - start);
    if (!is_float) {
      if (negative) {
        int64_t v;
        auto [p, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
        if (ec == std::errc() && p == token.data() + token.size()) {
          if (v == 0) out = -0.0;  // "-0" reads as a floating zero
          else out = v;
          return true;
        }
      } else {
        uint64_t v;
        auto [p, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
        if (ec == std::errc() && p == token.data() + token.size()) { out = v; return true; }
      }
    }
    std::string copy(token);
    double d = std::strtod(copy.c_str(), nullptr);
    if (std::isinf(d)) return error("number out of range");
    out = d;
    return true;
  }

  static int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }
  bool hex4(unsigned& out) {
    if (s_.size() - i_ < 4) { i_ = s_.size(); return error("EOF while parsing a string"); }
    out = 0;
    for (int k = 0; k < 4; ++k) {
      int h = hex(s_[i_ + k]);
      if (h < 0) { i_ += 4; return error("invalid escape"); }
      out = out * 16 + h;
    }
    i_ += 4;
    return true;
  }
  static void put_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) out += char(cp);
    else if (cp < 0x800) { out += char(0xC0 | (cp >> 6)); out += char(0x80 | (cp & 0x3F)); }
    else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12)); out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18)); out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F)); out += char(0x80 | (cp & 0x3F));
    }
  }
  // A string; the opening quote is the next byte.
  bool string(std::string& out) {
    ++i_;
    size_t run = i_;
    for (;;) {
      if (at_end()) return error("EOF while parsing a string");
      unsigned char c = s_[i_];
      if (c == '"') {
        out.append(s_.substr(run, i_ - run));
        ++i_;
        if (!json::valid_utf8(out)) return error("invalid unicode code point");
        return true;
      }
      if (c < 0x20) { ++i_; return error("control character (\\u0000-\\u001F) found while parsing a string"); }
      if (c != '\\') { ++i_; continue; }
      out.append(s_.substr(run, i_ - run));
      ++i_;
      if (at_end()) return error("EOF while parsing a string");
      char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned n;
          if (!hex4(n)) return false;
          if (n >= 0xDC00 && n <= 0xDFFF) return error("lone leading surrogate in hex escape");
          if (n >= 0xD800 && n <= 0xDBFF) {
            if (at_end()) return error("EOF while parsing a string");
            if (s_[i_] != '\\') { ++i_; return error("unexpected end of hex escape"); }
            ++i_;
            if (at_end()) return error("EOF while parsing a string");
            if (s_[i_] != 'u') { ++i_; return error("unexpected end of hex escape"); }
            ++i_;
            unsigned n2;
            if (!hex4(n2)) return false;
            if (n2 < 0xDC00 || n2 > 0xDFFF) return error("lone leading surrogate in hex escape");
            n = (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
          }
          put_utf8(out, n);
          break;
        }
        default: return error("invalid escape");
      }
      run = i_;
    }
  }

  bool enter(int& depth) {
    if (++depth >= kDepthLimit) return peek_error("recursion limit exceeded");
    return true;
  }

  bool array(Json& out, int depth) {
    if (!enter(depth)) return false;
    ++i_;
    out = Json::array();
    size_t base = path_.size();
    for (size_t index = 0;; ++index) {
      skip_ws();
      if (at_end()) return peek_error("EOF while parsing a list");
      if (peek() == ']') {
        if (index > 0) { /* handled below */ }
        ++i_;
        return true;
      }
      if (index > 0) {
        if (peek() != ',') return peek_error("expected `,` or `]`");
        ++i_;
        skip_ws();
        if (!at_end() && peek() == ']') return peek_error("trailing comma");
      }
      path_.append("[").append(std::to_string(index)).append("]");
      Json element;
      bool ok = value(element, depth);
      path_.resize(base);
      if (!ok) return false;
      out.push_back(std::move(element));
    }
  }

  // Reads `"key":` of an object member; false on a fault.
  bool member_key(std::string& key) {
    if (at_end()) return peek_error("EOF while parsing a value");
    if (peek() != '"') return peek_error("key must be a string");
    if (!string(key)) return false;
    skip_ws();
    if (at_end()) return peek_error("EOF while parsing an object");
    if (peek() != ':') return peek_error("expected `:`");
    ++i_;
    return true;
  }
  // Moves to the next member: true with `more` set, or false on a fault.
  bool next_member(bool first, bool& more) {
    skip_ws();
    if (at_end()) return peek_error("EOF while parsing an object");
    if (peek() == '}') { more = false; return true; }
    if (!first) {
      if (peek() != ',') return peek_error("expected `,` or `}`");
      ++i_;
      skip_ws();
      if (at_end()) return peek_error("EOF while parsing a value");
      if (peek() == '}') return peek_error("trailing comma");
    }
    more = true;
    return true;
  }
  std::string key_path(const std::string& key) const { return path_.empty() ? key : path_ + "." + key; }

  bool object(Json& out, int depth) {
    if (!enter(depth)) return false;
    ++i_;
    out = Json::object();
    std::string base = path_;
    for (bool first = true;; first = false) {
      bool more;
      if (!next_member(first, more)) return false;
      if (!more) { ++i_; return true; }
      std::string key;
      if (!member_key(key)) return false;
      path_ = key_path(key);
      Json v;
      bool ok = value(v, depth);
      path_ = base;
      if (!ok) return false;
      out[key] = std::move(v);  // a repeated key keeps the last value
    }
  }

  // ---- the envelope -------------------------------------------------------

  // Reads a text member; a value of another kind is a data fault.
  bool text_member(std::string& out) {
    skip_ws();
    if (at_end()) return peek_error("EOF while parsing a value");
    if (peek() == '"') return string(out);
    if (peek() == '[' || peek() == '{') {
      return error("invalid type: " + std::string(peek() == '[' ? "sequence" : "map") + ", expected a string", false);
    }
    Json found;
    if (!value(found, 1)) return false;
    return error("invalid type: " + describe(found) + ", expected a string", false);
  }

  static constexpr const char* kMembers[4] = {"cmd", "args", "username", "realName"};

  bool member(int which, Envelope& env) {
    switch (which) {
      case 0: return text_member(env.cmd);
      case 1: return value(env.args, 1);
      case 2: return text_member(env.username);
      default: return text_member(env.real_name);
    }
  }

  // Reads the envelope; stops at the end of its object or array.
  bool envelope(Envelope& env) {
    skip_ws();
    if (at_end()) return peek_error("EOF while parsing a value");
    if (peek() == '{') return envelope_object(env);
    if (peek() == '[') return envelope_array(env);
    Json found;
    if (!value(found, 0)) return false;
    return error("invalid type: " + describe(found) + ", expected struct RpcRequest", false);
  }

  bool envelope_object(Envelope& env) {
    ++i_;
    bool have[4] = {false, false, false, false};
    for (bool first = true;; first = false) {
      bool more;
      if (!next_member(first, more)) return false;
      if (!more) break;
      if (peek() != '"') return peek_error("key must be a string");
      std::string key;
      if (!string(key)) return false;
      int which = -1;
      for (int k = 0; k < 4; ++k) if (key == kMembers[k]) which = k;
      if (which >= 0 && have[which]) {
        skip_ws();
        return error("duplicate field `" + key + "`", false);
      }
      skip_ws();
      if (at_end()) return peek_error("EOF while parsing an object");
      if (peek() != ':') return peek_error("expected `:`");
      ++i_;
      path_ = key;
      bool ok;
      if (which < 0) { Json ignored; ok = value(ignored, 1); }
      else ok = member(which, env);
      if (!ok) { skip_ws(); return false; }
      path_.clear();
      if (which >= 0) have[which] = true;
    }
    ++i_;  // the closing brace
    for (int k = 0; k < 4; ++k)
      if (!have[k]) return error("missing field `" + std::string(kMembers[k]) + "`", false);
    return true;
  }

  bool envelope_array(Envelope& env) {
    ++i_;
    for (int k = 0; k < 4; ++k) {
      skip_ws();
      if (at_end()) return peek_error("EOF while parsing a list");
      if (k > 0 && peek() != ']') {
        if (peek() != ',') return peek_error("expected `,` or `]`");
        ++i_;
        skip_ws();
        if (!at_end() && peek() == ']') return peek_error("trailing comma");
      }
      if (!at_end() && peek() == ']') {
        ++i_;
        return error("invalid length " + std::to_string(k) + ", expected struct RpcRequest with 4 elements", false);
      }
      path_.assign("[").append(std::to_string(k)).append("]");
      bool ok = member(k, env);
      if (!ok) { skip_ws(); return false; }
      path_.clear();
    }
    skip_ws();
    if (at_end()) return peek_error("EOF while parsing a list");
    if (peek() == ']') { ++i_; return true; }
    if (peek() == ',') {
      ++i_;
      skip_ws();
      if (!at_end() && peek() == ']') return peek_error("trailing comma");
      return peek_error("trailing characters");
    }
    return peek_error("expected `,` or `]`");
  }

  size_t index() const { return i_; }

 private:
  std::string_view s_;
  size_t i_ = 0;
  std::string path_;
};

// Needs no escape and is plain ASCII.
bool plain_byte(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

void write_string(std::string& out, const std::string& s) {
  static const char* hexdigits = "0123456789abcdef";
  out += '"';
  size_t i = 0;
  while (i < s.size()) {
    size_t run = i;
    while (run < s.size() && plain_byte(static_cast<unsigned char>(s[run]))) ++run;
    out.append(s, i, run - i);
    i = run;
    if (i == s.size()) break;
    unsigned char c = s[i];
    if (c >= 0x80) {
      // Copy a valid UTF-8 sequence; anything else becomes U+FFFD.
      size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      bool ok = n != 0 && i + n <= s.size() && json::valid_utf8(std::string_view(s.data() + i, n));
      if (ok) { out.append(s, i, n); i += n; }
      else { out += "\xEF\xBF\xBD"; ++i; }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default: out += "\\u00"; out += hexdigits[c >> 4]; out += hexdigits[c & 15];
    }
    ++i;
  }
  out += '"';
}

// Appends a finite value in the shortest form that reads back the same:
// fixed notation with ".0" for whole values, or an exponent ("1e+16",
// "1.5e-7"; `plus` writes the "+") below 1e-5 and from 1e16 up.
void append_layout(std::string& out, double v, bool plus) {
  char buf[64];
  const double a = std::fabs(v);
  if (v == 0 || (a >= 1e-5 && a < 1e16)) {
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    out.append(buf, end);
    if (std::find(buf, end, '.') == end) out += ".0";
    return;
  }
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  char* e = std::find(buf, end, 'e');
  out.append(buf, e + 1);
  const char* p = e + 1;
  if (*p == '-') out += '-';
  else if (plus) out += '+';
  ++p;
  while (p + 1 < end && *p == '0') ++p;  // no leading zeros in the exponent
  out.append(p, static_cast<size_t>(end - p));
}

void append_number(std::string& out, double v) {
  if (std::isfinite(v)) append_layout(out, v, true);
  else out += "null";
}

}  // namespace

std::string utf8_fault(std::string_view s) {
  const size_t n = s.size();
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  size_t i = 0;
  while (i < n) {
    const unsigned char first = byte(i);
    if (first < 0x80) { ++i; continue; }
    const size_t width = first >= 0xC2 && first <= 0xDF ? 2 : first >= 0xE0 && first <= 0xEF ? 3
                       : first >= 0xF0 && first <= 0xF4 ? 4 : 0;
    auto invalid = [&](size_t len) {
      return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " + std::to_string(i);
    };
    if (width == 0) return invalid(1);
    // The second byte's range depends on the first (no overlong forms, no
    // surrogates, nothing above U+10FFFF); the others are continuation bytes.
    unsigned char low = 0x80, high = 0xBF;
    if (first == 0xE0) low = 0xA0;
    if (first == 0xED) high = 0x9F;
    if (first == 0xF0) low = 0x90;
    if (first == 0xF4) high = 0x8F;
    for (size_t k = 1; k < width; ++k) {
      if (i + k >= n) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
      const unsigned char b = byte(i + k);
      if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return invalid(k);
    }
    i += width;
  }
  return {};
}

std::variant<Envelope, EnvelopeError> read_envelope(std::string_view body) {
  Reader r(body);
  Envelope env;
  if (r.envelope(env)) return env;
  return EnvelopeError{r.fault->syntax, r.full_message(*r.fault)};
}

std::variant<Json, std::string> parse(std::string_view text) {
  Reader r(text);
  Json v;
  if (!r.value(v, 0)) return r.full_message(*r.fault);
  r.skip_ws();
  if (!r.at_end()) {
    r.peek_error("trailing characters");
    return r.full_message(*r.fault);
  }
  return v;
}

std::string format_number(double v) {
  std::string out;
  append_number(out, v);
  return out;
}

void write_to(std::string& out, const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: out += "null"; break;
    case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; break;
    case Json::value_t::number_integer: out += std::to_string(v.get<int64_t>()); break;
    case Json::value_t::number_unsigned: out += std::to_string(v.get<uint64_t>()); break;
    case Json::value_t::number_float: append_number(out, v.get<double>()); break;
    case Json::value_t::string: write_string(out, v.get_ref<const std::string&>()); break;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& e : v) {
        if (!first) out += ',';
        first = false;
        write_to(out, e);
      }
      out += ']';
      break;
    }
    case Json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ',';
        first = false;
        write_string(out, it.key());
        out += ':';
        write_to(out, it.value());
      }
      out += '}';
      break;
    }
    default: out += "null"; break;  // binary and discarded values never reach the wire
  }
}

std::string write(const Json& v) {
  std::string out;
  write_to(out, v);
  return out;
}

std::string describe(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case Json::value_t::number_integer: return "integer `" + std::to_string(v.get<int64_t>()) + "`";
    case Json::value_t::number_unsigned: return "integer `" + std::to_string(v.get<uint64_t>()) + "`";
    case Json::value_t::number_float: {
      double d = v.get<double>();
      std::string text = "floating point `";
      if (std::isfinite(d)) append_layout(text, d, false);
      else text += std::isnan(d) ? "NaN" : (d < 0 ? "-inf" : "inf");
      return text + "`";
    }
    case Json::value_t::string: {
      std::string out = "string \"";
      for (unsigned char c : v.get_ref<const std::string&>()) {
        switch (c) {
          case '"': out += "\\\""; break;
          case '\\': out += "\\\\"; break;
          case '\n': out += "\\n"; break;
          case '\r': out += "\\r"; break;
          case '\t': out += "\\t"; break;
          case 0: out += "\\0"; break;
          default:
            if (c < 0x20 || c == 0x7f) {
              char buf[16];
              std::snprintf(buf, sizeof buf, "\\u{%x}", c);
              out += buf;
            } else {
              out += char(c);
            }
        }
      }
      return out + "\"";
    }
    case Json::value_t::array: return "sequence";
    case Json::value_t::object: return "map";
    default: return "null";
  }
}

}  // namespace json
