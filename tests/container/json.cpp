// SPDX-License-Identifier: MIT
#include "json.h"

#include <cstdio>
#include <cstring>

namespace orva_test::json {

class Parser {
public:
  explicit Parser(const std::string &text) : text_(text) {}

  std::string run(Value &out) {
    if (!value(out, 0)) {
      return error_;
    }
    skip_space();
    if (pos_ != text_.size()) {
      return fail("trailing text");
    }
    return "";
  }

private:
  // Deep enough for any config, shallow enough for the stack.
  static constexpr int kMaxDepth = 64;

  bool fail_bool(const char *why) {
    (void)fail(why);
    return false;
  }

  std::string fail(const char *why) {
    if (error_.empty()) {
      error_ = "offset " + std::to_string(pos_) + ": " + why;
    }
    return error_;
  }

  void skip_space() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' ||
            text_[pos_] == '\n')) {
      ++pos_;
    }
  }

  bool take(char c) {
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  bool literal(const char *word) {
    const size_t n = std::strlen(word);
    if (text_.compare(pos_, n, word) != 0) {
      return false;
    }
    pos_ += n;
    return true;
  }

  static void append_utf8(std::string &s, unsigned long cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool hex4(unsigned long &cp) {
    if (pos_ + 4 > text_.size()) {
      return fail_bool("short \\u escape");
    }
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      cp <<= 4;
      if (c >= '0' && c <= '9') {
        cp |= static_cast<unsigned long>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        cp |= static_cast<unsigned long>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        cp |= static_cast<unsigned long>(c - 'A' + 10);
      } else {
        return fail_bool("bad \\u escape");
      }
    }
    return true;
  }

  bool string(std::string &s) {
    if (!take('"')) {
      return fail_bool("expected a string");
    }
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') {
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        return fail_bool("control character in string");
      }
      if (c != '\\') {
        s += c;
        continue;
      }
      if (pos_ >= text_.size()) {
        break;
      }
      const char e = text_[pos_++];
      switch (e) {
      case '"':
      case '\\':
      case '/':
        s += e;
        break;
      case 'b':
        s += '\b';
        break;
      case 'f':
        s += '\f';
        break;
      case 'n':
        s += '\n';
        break;
      case 'r':
        s += '\r';
        break;
      case 't':
        s += '\t';
        break;
      case 'u': {
        unsigned long cp = 0;
        if (!hex4(cp)) {
          return false;
        }
        if (cp >= 0xD800 && cp < 0xDC00 && literal("\\u")) {
          unsigned long low = 0;
          if (!hex4(low) || low < 0xDC00 || low >= 0xE000) {
            return fail_bool("bad surrogate pair");
          }
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(s, cp);
        break;
      }
      default:
        return fail_bool("bad escape");
      }
    }
    return fail_bool("unterminated string");
  }

  bool number(std::string &s) {
    const size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') {
      ++pos_;
    }
    while (pos_ < text_.size() && std::strchr("0123456789.eE+-", text_[pos_]) &&
           text_[pos_] != '\0') {
      ++pos_;
    }
    s = text_.substr(start, pos_ - start);
    if (s.empty() || s == "-") {
      return fail_bool("expected a value");
    }
    return true;
  }

  bool value(Value &v, int depth) {
    if (depth > kMaxDepth) {
      return fail_bool("nested too deeply");
    }
    skip_space();
    if (pos_ >= text_.size()) {
      return fail_bool("unexpected end");
    }
    const char c = text_[pos_];
    if (c == '{') {
      ++pos_;
      v.kind_ = Value::Kind::Object;
      if (take('}')) {
        return true;
      }
      do {
        std::string key;
        if (!string(key)) {
          return false;
        }
        if (!take(':')) {
          return fail_bool("expected ':'");
        }
        Value member;
        if (!value(member, depth + 1)) {
          return false;
        }
        v.keys_.push_back(std::move(key));
        v.items_.push_back(std::move(member));
      } while (take(','));
      return take('}') || fail_bool("expected ',' or '}'");
    }
    if (c == '[') {
      ++pos_;
      v.kind_ = Value::Kind::Array;
      if (take(']')) {
        return true;
      }
      do {
        Value item;
        if (!value(item, depth + 1)) {
          return false;
        }
        v.items_.push_back(std::move(item));
      } while (take(','));
      return take(']') || fail_bool("expected ',' or ']'");
    }
    if (c == '"') {
      v.kind_ = Value::Kind::String;
      return string(v.scalar_);
    }
    for (const char *word : {"true", "false"}) {
      if (literal(word)) {
        v.kind_ = Value::Kind::Bool;
        v.scalar_ = word;
        return true;
      }
    }
    if (literal("null")) {
      v.kind_ = Value::Kind::Null;
      return true;
    }
    v.kind_ = Value::Kind::Number;
    return number(v.scalar_);
  }

  const std::string &text_;
  size_t pos_ = 0;
  std::string error_;
};

namespace {

void quote(const std::string &s, std::string &out) {
  out += '"';
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
}

} // namespace

Value Value::string(std::string text) {
  Value v;
  v.kind_ = Kind::String;
  v.scalar_ = std::move(text);
  return v;
}

Value Value::number(long long n) {
  Value v;
  v.kind_ = Kind::Number;
  v.scalar_ = std::to_string(n);
  return v;
}

Value Value::boolean(bool b) {
  Value v;
  v.kind_ = Kind::Bool;
  v.scalar_ = b ? "true" : "false";
  return v;
}

Value Value::array(const std::vector<std::string> &strings) {
  Value v;
  v.kind_ = Kind::Array;
  for (const auto &s : strings) {
    v.items_.push_back(string(s));
  }
  return v;
}

Value Value::object() {
  Value v;
  v.kind_ = Kind::Object;
  return v;
}

Value &Value::at(const std::string &key) {
  if (kind_ == Kind::Null) {
    kind_ = Kind::Object;
  }
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) {
      return items_[i];
    }
  }
  keys_.push_back(key);
  items_.emplace_back();
  return items_.back();
}

const Value *Value::find(const std::string &key) const {
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) {
      return &items_[i];
    }
  }
  return nullptr;
}

bool Value::erase(const std::string &key) {
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) {
      keys_.erase(keys_.begin() + static_cast<std::ptrdiff_t>(i));
      items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

std::string Value::dump() const {
  std::string out;
  dump_to(out);
  return out;
}

std::string Value::parse(const std::string &text, Value &out) {
  out = Value();
  return Parser(text).run(out);
}

void Value::dump_to(std::string &out) const {
  switch (kind_) {
  case Kind::Null:
    out += "null";
    return;
  case Kind::Bool:
  case Kind::Number:
    out += scalar_;
    return;
  case Kind::String:
    quote(scalar_, out);
    return;
  case Kind::Array:
  case Kind::Object:
    break;
  }
  const bool object = kind_ == Kind::Object;
  out += object ? '{' : '[';
  for (size_t i = 0; i < items_.size(); ++i) {
    if (i > 0) {
      out += ',';
    }
    if (object) {
      quote(keys_[i], out);
      out += ':';
    }
    items_[i].dump_to(out);
  }
  out += object ? '}' : ']';
}

} // namespace orva_test::json
