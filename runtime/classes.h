#pragma once
// A string list and the stream classes of the runtime. TStream is the
// base of every stream (memory streams here, blob streams in the engine).

#include <cstdint>
#include <string>
#include <vector>

// An ordered list of byte strings. Index errors raise EListError
// "List index out of bounds (%d)".
class TStringList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Strings(int index) const;
  const std::string& operator[](int index) const { return Strings(index); }
  void SetStrings(int index, std::string value);
  int Add(std::string value);
  void Insert(int index, std::string value);
  void Delete(int index);
  void Clear() { items_.clear(); }
  // Position of the first string equal to value (ASCII case folded when
  // CaseSensitive is off), or -1.
  int IndexOf(const std::string& value) const;
  bool CaseSensitive() const { return caseSensitive_; }
  void SetCaseSensitive(bool value) { caseSensitive_ = value; }
  // The strings joined with line ends; setting splits at CR, LF or CRLF.
  std::string Text() const;
  void SetText(const std::string& text);
  // The strings joined with a separator character; setting splits.
  std::string DelimitedText(char delimiter) const;
  void SetDelimitedText(const std::string& text, char delimiter);
  const std::vector<std::string>& Items() const { return items_; }

 private:
  std::vector<std::string> items_;
  bool caseSensitive_ = false;
};

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
 public:
  virtual ~TStream() = default;
  // Reads up to count bytes; returns how many were read.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t size) = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
  // Read or write exactly count bytes; EStreamError otherwise.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source (all of it from its start for 0);
  // returns the number copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over a growing block of memory.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;
  void Clear();
  char* Memory() { return data_.data(); }
  const char* Memory() const { return data_.data(); }
  std::string AsString() const { return std::string(data_.begin(), data_.end()); }

 private:
  std::vector<char> data_;
  int64_t position_ = 0;
};
