// A small strict JSON reader for host manifests and native messaging frames,
// for the Windows tools, which are built without the host's libraries.
//
// It accepts exactly RFC 8259 JSON in UTF-8: what a browser's own parser
// would refuse is refused here too, with the byte offset of the fault.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::json {

// Whether text is well-formed UTF-8: no overlong forms, no surrogates, nothing
// past U+10FFFF.
inline bool validUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t least = 0;
    if ((c & 0xE0) == 0xC0) {
      length = 2, code = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      length = 3, code = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      length = 4, code = c & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

struct Value {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::string text;  // a string's value, or a number as written
  std::vector<Value> items;  // an array's elements, or an object's member values
  std::vector<std::string> keys;  // an object's member names, parallel to items

  // The member called key; with duplicates, the last, as browsers read it.
  const Value* member(std::string_view key) const {
    if (kind != Kind::Object) return nullptr;
    for (std::size_t i = keys.size(); i-- > 0;) {
      if (keys[i] == key) return &items[i];
    }
    return nullptr;
  }

  // The string member called key, or nothing when absent or of another type.
  const std::string* stringMember(std::string_view key) const {
    const Value* value = member(key);
    return value && value->kind == Kind::String ? &value->text : nullptr;
  }
};

class Reader {
 public:
  // Parses text into out; on failure returns false and error() says why.
  bool parse(std::string_view text, Value& out) {
    text_ = text;
    pos_ = 0;
    error_.clear();
    if (!validUtf8(text)) return fail("not UTF-8");
    skipSpace();
    if (!value(out, 0)) return false;
    skipSpace();
    if (pos_ != text_.size()) return fail("text after the value");
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  // Deeper nesting than any manifest or message needs is refused rather than
  // risking the stack.
  static constexpr int kMaxDepth = 64;

  bool fail(const char* why) {
    if (error_.empty()) error_ = std::string(why) + " at byte " + std::to_string(pos_);
    return false;
  }

  void skipSpace() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r' || text_[pos_] == '\n')) {
      ++pos_;
    }
  }

  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return fail("unexpected character");
    pos_ += word.size();
    return true;
  }

  bool value(Value& out, int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    if (pos_ >= text_.size()) return fail("unexpected end");
    switch (text_[pos_]) {
      case '{':
        return object(out, depth);
      case '[':
        return array(out, depth);
      case '"':
        out.kind = Value::Kind::String;
        return string(out.text);
      case 't':
        out.kind = Value::Kind::Bool, out.boolean = true;
        return literal("true");
      case 'f':
        out.kind = Value::Kind::Bool, out.boolean = false;
        return literal("false");
      case 'n':
        out.kind = Value::Kind::Null;
        return literal("null");
      default:
        return number(out);
    }
  }

  bool object(Value& out, int depth) {
    out.kind = Value::Kind::Object;
    ++pos_;
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') return fail("expected a member name");
      std::string key;
      if (!string(key)) return false;
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') return fail("expected :");
      ++pos_;
      skipSpace();
      Value member;
      if (!value(member, depth + 1)) return false;
      out.keys.push_back(std::move(key));
      out.items.push_back(std::move(member));
      skipSpace();
      if (pos_ >= text_.size()) return fail("unexpected end");
      const char c = text_[pos_++];
      if (c == '}') return true;
      if (c != ',') {
        --pos_;
        return fail("expected , or }");
      }
    }
  }

  bool array(Value& out, int depth) {
    out.kind = Value::Kind::Array;
    ++pos_;
    skipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      skipSpace();
      Value item;
      if (!value(item, depth + 1)) return false;
      out.items.push_back(std::move(item));
      skipSpace();
      if (pos_ >= text_.size()) return fail("unexpected end");
      const char c = text_[pos_++];
      if (c == ']') return true;
      if (c != ',') {
        --pos_;
        return fail("expected , or ]");
      }
    }
  }

  bool hex4(std::uint32_t& code) {
    if (text_.size() - pos_ < 4) return fail("bad \\u escape");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_ + i];
      code <<= 4;
      if (c >= '0' && c <= '9') code |= c - '0';
      else if (c >= 'a' && c <= 'f') code |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') code |= c - 'A' + 10;
      else return fail("bad \\u escape");
    }
    pos_ += 4;
    return true;
  }

  static void appendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool string(std::string& out) {
    ++pos_;
    out.clear();
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) return fail("control character in a string");
      if (c != '\\') {
        out += c;
        ++pos_;
        continue;
      }
      if (++pos_ >= text_.size()) break;
      const char escape = text_[pos_++];
      switch (escape) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t code = 0;
          if (!hex4(code)) return false;
          // A lone surrogate has no UTF-8 form; browsers put U+FFFD there.
          if (code >= 0xD800 && code <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
            const std::size_t before = pos_;
            pos_ += 2;
            std::uint32_t low = 0;
            if (!hex4(low)) return false;
            if (low >= 0xDC00 && low <= 0xDFFF) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = before;
              code = 0xFFFD;
            }
          } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
          }
          appendUtf8(out, code);
          break;
        }
        default:
          --pos_;
          return fail("bad escape");
      }
    }
    return fail("unterminated string");
  }

  bool number(Value& out) {
    const std::size_t start = pos_;
    auto digits = [&] {
      const std::size_t from = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      return pos_ > from;
    };
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    if (pos_ < text_.size() && text_[pos_] == '0') {
      ++pos_;
    } else if (!digits()) {
      pos_ = start;
      return fail("unexpected character");
    }
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      if (!digits()) return fail("bad number");
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!digits()) return fail("bad number");
    }
    out.kind = Value::Kind::Number;
    out.text = std::string(text_.substr(start, pos_ - start));
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;
};

}  // namespace velmora::json
