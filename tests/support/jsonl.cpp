#include "tests/support/jsonl.h"

#include <charconv>
#include <fstream>
#include <stdexcept>
#include <string_view>

void TJsonValue::Expect(TKind kind) const {
  if (kind_ != kind) throw std::runtime_error("JSON value of another kind");
}

bool TJsonValue::AsBool() const {
  Expect(jkBool);
  return boolValue_;
}

double TJsonValue::AsDouble() const {
  Expect(jkNumber);
  double v = 0;
  std::from_chars(text_.data(), text_.data() + text_.size(), v);
  return v;
}

bool TJsonValue::IsInteger() const {
  return kind_ == jkNumber && text_.find_first_of(".eE") == std::string::npos;
}

int64_t TJsonValue::AsInt64() const {
  Expect(jkNumber);
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text_.data(), text_.data() + text_.size(), v);
  if (ec != std::errc() || end != text_.data() + text_.size())
    throw std::runtime_error("JSON number is not a 64-bit integer: " + text_);
  return v;
}

const std::string& TJsonValue::AsString() const {
  Expect(jkString);
  return text_;
}

const std::vector<TJsonValue>& TJsonValue::Items() const {
  Expect(jkArray);
  return items_;
}

const std::vector<std::pair<std::string, TJsonValue>>& TJsonValue::Members() const {
  Expect(jkObject);
  return members_;
}

const TJsonValue* TJsonValue::Find(const std::string& key) const {
  Expect(jkObject);
  for (const auto& [name, value] : members_)
    if (name == key) return &value;
  return nullptr;
}

const TJsonValue& TJsonValue::operator[](const std::string& key) const {
  const TJsonValue* value = Find(key);
  if (!value) throw std::runtime_error("JSON object has no member " + key);
  return *value;
}

class TJsonParser {
 public:
  explicit TJsonParser(const std::string& text) : s_(text) {}

  TJsonValue ParseDocument() {
    TJsonValue v = ParseValue();
    SkipSpace();
    if (pos_ != s_.size()) Fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(pos_));
  }

  void SkipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
      ++pos_;
  }

  bool Consume(const char* word) {
    size_t n = std::char_traits<char>::length(word);
    if (s_.compare(pos_, n, word) != 0) return false;
    pos_ += n;
    return true;
  }

  TJsonValue ParseValue() {
    SkipSpace();
    if (pos_ >= s_.size()) Fail("unexpected end");
    TJsonValue v;
    char c = s_[pos_];
    if (c == '{') {
      v.kind_ = TJsonValue::jkObject;
      ++pos_;
      SkipSpace();
      if (pos_ < s_.size() && s_[pos_] == '}') {
        ++pos_;
        return v;
      }
      for (;;) {
        SkipSpace();
        if (pos_ >= s_.size() || s_[pos_] != '"') Fail("member name expected");
        std::string name = ParseString();
        SkipSpace();
        if (pos_ >= s_.size() || s_[pos_] != ':') Fail("':' expected");
        ++pos_;
        v.members_.emplace_back(std::move(name), ParseValue());
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == ',') {
          ++pos_;
          continue;
        }
        if (pos_ < s_.size() && s_[pos_] == '}') {
          ++pos_;
          return v;
        }
        Fail("',' or '}' expected");
      }
    }
    if (c == '[') {
      v.kind_ = TJsonValue::jkArray;
      ++pos_;
      SkipSpace();
      if (pos_ < s_.size() && s_[pos_] == ']') {
        ++pos_;
        return v;
      }
      for (;;) {
        v.items_.push_back(ParseValue());
        SkipSpace();
        if (pos_ < s_.size() && s_[pos_] == ',') {
          ++pos_;
          continue;
        }
        if (pos_ < s_.size() && s_[pos_] == ']') {
          ++pos_;
          return v;
        }
        Fail("',' or ']' expected");
      }
    }
    if (c == '"') {
      v.kind_ = TJsonValue::jkString;
      v.text_ = ParseString();
      return v;
    }
    if (Consume("null")) return v;
    if (Consume("true")) {
      v.kind_ = TJsonValue::jkBool;
      v.boolValue_ = true;
      return v;
    }
    if (Consume("false")) {
      v.kind_ = TJsonValue::jkBool;
      return v;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      size_t start = pos_;
      while (pos_ < s_.size() &&
             std::string_view("+-0123456789.eE").find(s_[pos_]) != std::string_view::npos)
        ++pos_;
      v.kind_ = TJsonValue::jkNumber;
      v.text_ = s_.substr(start, pos_ - start);
      return v;
    }
    Fail("value expected");
  }

  unsigned Hex4() {
    if (pos_ + 4 > s_.size()) Fail("short \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      char h = s_[pos_++];
      v <<= 4;
      if (h >= '0' && h <= '9')
        v |= h - '0';
      else if (h >= 'a' && h <= 'f')
        v |= h - 'a' + 10;
      else if (h >= 'A' && h <= 'F')
        v |= h - 'A' + 10;
      else
        Fail("bad \\u escape");
    }
    return v;
  }

  static void AppendUtf8(std::string& out, unsigned cp) {
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

  std::string ParseString() {
    ++pos_;  // the opening quote
    std::string out;
    for (;;) {
      if (pos_ >= s_.size()) Fail("unterminated string");
      char c = s_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) Fail("unterminated escape");
      char e = s_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = Hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
            size_t save = pos_;
            pos_ += 2;
            unsigned low = Hex4();
            if (low >= 0xDC00 && low < 0xE000)
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            else
              pos_ = save;
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          Fail("bad escape");
      }
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
};

TJsonValue ParseJson(const std::string& text) { return TJsonParser(text).ParseDocument(); }

std::vector<TJsonValue> ReadJsonLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<TJsonValue> values;
  std::string line;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    values.push_back(ParseJson(line));
  }
  return values;
}
