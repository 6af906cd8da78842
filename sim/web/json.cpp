#include "sim/web/json.hpp"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vb::web {
namespace {

constexpr int kMaxDepth = 32;

class Reader {
public:
  Reader(std::string_view text, std::string& error) : s_(text), error_(error) {}

  std::optional<JsonObject> object() {
    JsonObject out;
    skip_space();
    if (!eat('{')) return fail("expected an object");
    skip_space();
    if (!eat('}')) {
      for (;;) {
        skip_space();
        std::string key;
        if (!string(key)) return std::nullopt;
        skip_space();
        if (!eat(':')) return fail("expected ':'");
        JsonValue v;
        if (!value(v, 1)) return std::nullopt;
        out[key] = std::move(v);
        skip_space();
        if (eat(',')) continue;
        if (eat('}')) break;
        return fail("expected ',' or '}'");
      }
    }
    skip_space();
    if (pos_ != s_.size()) return fail("text after the object");
    return out;
  }

private:
  std::nullopt_t fail(const char* what) {
    if (error_.empty()) error_ = std::string(what) + " at offset " + std::to_string(pos_);
    return std::nullopt;
  }
  bool bad(const char* what) {
    fail(what);
    return false;
  }
  bool eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  void skip_space() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) ++pos_;
  }
  bool word(std::string_view w) {
    if (s_.substr(pos_, w.size()) != w) return false;
    pos_ += w.size();
    return true;
  }

  bool value(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return bad("nested too deeply");
    skip_space();
    if (pos_ >= s_.size()) return bad("expected a value");
    const char c = s_[pos_];
    if (c == '"') {
      std::string str;
      if (!string(str)) return false;
      out = std::move(str);
      return true;
    }
    if (c == '{' || c == '[') {
      out = Nested{};
      return nested(depth);
    }
    if (word("true")) return out = true, true;
    if (word("false")) return out = false, true;
    if (word("null")) return out = nullptr, true;
    double d = 0;
    if (!number(d)) return false;
    out = d;
    return true;
  }

  // An array or object inside the top level: checked, not kept.
  bool nested(int depth) {
    const char close = s_[pos_] == '{' ? '}' : ']';
    const bool is_object = close == '}';
    ++pos_;
    skip_space();
    if (eat(close)) return true;
    for (;;) {
      skip_space();
      if (is_object) {
        std::string key;
        if (!string(key)) return false;
        skip_space();
        if (!eat(':')) return bad("expected ':'");
      }
      JsonValue ignored;
      if (!value(ignored, depth + 1)) return false;
      skip_space();
      if (eat(',')) continue;
      if (eat(close)) return true;
      return bad(is_object ? "expected ',' or '}'" : "expected ',' or ']'");
    }
  }

  bool number(double& out) {
    const std::size_t start = pos_;
    eat('-');
    if (pos_ < s_.size() && s_[pos_] == '0') {
      ++pos_;
    } else if (pos_ < s_.size() && s_[pos_] >= '1' && s_[pos_] <= '9') {
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    } else {
      pos_ = start;
      return bad("expected a value");
    }
    if (eat('.')) {
      if (pos_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[pos_]))) return bad("expected a digit");
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      ++pos_;
      if (!eat('+')) eat('-');
      if (pos_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[pos_]))) return bad("expected a digit");
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }
    const std::string text(s_.substr(start, pos_ - start));
    out = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(out)) return bad("number out of range");
    return true;
  }

  static void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool hex4(std::uint32_t& out) {
    if (pos_ + 4 > s_.size()) return bad("short \\u escape");
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      out <<= 4;
      if (c >= '0' && c <= '9') out |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') out |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') out |= static_cast<std::uint32_t>(c - 'A' + 10);
      else return bad("bad \\u escape");
    }
    return true;
  }

  bool string(std::string& out) {
    if (!eat('"')) return bad("expected a string");
    for (;;) {
      if (pos_ >= s_.size()) return bad("unterminated string");
      const char c = s_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return bad("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return bad("unterminated string");
      switch (s_[pos_++]) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            std::uint32_t lo = 0;
            if (!word("\\u") || !hex4(lo) || lo < 0xDC00 || lo >= 0xE000) return bad("unpaired surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            return bad("unpaired surrogate");
          }
          put_utf8(out, cp);
          break;
        }
        default:
          return bad("bad escape");
      }
    }
  }

  std::string_view s_;
  std::string& error_;
  std::size_t pos_ = 0;
};

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
std::size_t utf8_length(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
  else return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0;
  return n;
}

}  // namespace

std::optional<JsonObject> parse_object(std::string_view text, std::string& error) {
  error.clear();
  return Reader(text, error).object();
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (c >= 0x80) {
      const std::size_t n = utf8_length(s, i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
        continue;
      }
      out.append(s.substr(i, n));
      i += n;
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string json_number(double v) {
  if (!std::isfinite(v)) return "0";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.12g", v);  // device times in ms keep their microseconds for years
  return buf;
}

}  // namespace vb::web
