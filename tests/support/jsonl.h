#pragma once
// A small JSON reader for the expected dumps of the real test tables: one
// JSON value per line (JSON Lines). Strings come back as UTF-8; numbers keep
// their text and whether they were written as integers; objects keep their
// members in file order.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TJsonValue {
 public:
  enum TKind { jkNull, jkBool, jkNumber, jkString, jkArray, jkObject };

  TKind Kind() const { return kind_; }
  bool IsNull() const { return kind_ == jkNull; }
  // Each accessor throws std::runtime_error when the value is of another kind.
  bool AsBool() const;
  double AsDouble() const;
  // True for a number written without fraction or exponent.
  bool IsInteger() const;
  int64_t AsInt64() const;
  const std::string& AsString() const;
  const std::vector<TJsonValue>& Items() const;
  const std::vector<std::pair<std::string, TJsonValue>>& Members() const;
  // The member named key, or nullptr.
  const TJsonValue* Find(const std::string& key) const;
  // The member named key; throws when there is none.
  const TJsonValue& operator[](const std::string& key) const;

 private:
  friend class TJsonParser;
  void Expect(TKind kind) const;

  TKind kind_ = jkNull;
  bool boolValue_ = false;
  std::string text_;  // string value, or the number as written
  std::vector<TJsonValue> items_;
  std::vector<std::pair<std::string, TJsonValue>> members_;
};

// Parses one JSON text; throws std::runtime_error naming the position of
// the first error.
TJsonValue ParseJson(const std::string& text);
// One value per non-empty line of the file; throws when it cannot be read.
std::vector<TJsonValue> ReadJsonLines(const std::string& path);
