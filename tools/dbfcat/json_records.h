#pragma once
// dbfcat's output: TJsonLine collects JSON text and writes it to a stream
// in blocks; PrintRecords writes the records of an open table as one JSON
// line each. Character, numeric, date and logical fields are written
// straight from the record image (text through per-table byte tables,
// numbers and dates without a round trip through double or snprintf);
// other fields, and values the direct path does not take, are read through
// their TField. Both paths give the same bytes.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

class TDbf;

class TJsonLine {
 public:
  static constexpr size_t kBlock = 64 * 1024;

  // The text goes to out (not owned) when Flush runs.
  explicit TJsonLine(std::FILE* out = stdout) : out_(out) {}

  void Raw(std::string_view text) {
    std::memcpy(Reserve(text.size()), text.data(), text.size());
    size_ += text.size();
  }
  void Raw(char c) {
    *Reserve(1) = c;
    ++size_;
  }
  // Starts a member of an object: its name, after a comma when it is not
  // the first.
  void Key(std::string_view name);
  // A comma before the next item of an array or object, unless it is the
  // first or follows a member's name.
  void Separate();
  // A JSON string of UTF-8 text.
  void String(std::string_view text);
  void Integer(int64_t value);
  // The shortest text that reads back as the same double, with a ".0" for
  // whole numbers so that it stays a float; null for NaN and infinities.
  void Float(double value);
  void Bool(bool value) { Raw(value ? std::string_view("true") : std::string_view("false")); }
  void Null() { Raw(std::string_view("null")); }
  std::string_view Text() const { return std::string_view(data_.get(), size_); }

  // Room for n more bytes at the end; Commit(end) then takes the bytes
  // written up to end. REQUIRES: end lies inside the room.
  char* Reserve(size_t n) {
    if (capacity_ - size_ < n) Grow(n);
    return data_.get() + size_;
  }
  void Commit(const char* end) { size_ = static_cast<size_t>(end - data_.get()); }

  // Ends the line; lines go out in blocks of about kBlock bytes.
  void Print() {
    Raw('\n');
    if (Full()) Flush();
  }
  // Whether a block is collected.
  bool Full() const { return size_ >= kBlock; }
  // Writes what is collected; false when the stream refused it, now or
  // before.
  bool Flush();

 private:
  void Grow(size_t n);

  std::FILE* out_;
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// How PrintRecords reads the values: directly from the record image where
// it can, or every value through its field (the general path, which the
// direct one must match byte for byte).
enum TValuePath { vpDirect, vpFields };

// Writes the current record, or with all every record the set shows from
// the first, as {"deleted": bool, "values": {...}} lines; the walk stops
// when the stream refuses them.
// REQUIRES: dbf is open.
void PrintRecords(TDbf& dbf, TJsonLine& line, bool all, TValuePath path = vpDirect);
