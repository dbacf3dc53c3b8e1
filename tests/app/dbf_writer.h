#pragma once
// Writes small dBase III tables for the window's tests, byte by byte, so
// that they do not depend on the engine they exercise. Fields are
// character, numeric, date and logical; values are given as the text
// stored in the record (padded here). The language driver is Windows ANSI
// (0x57, code page 1252).

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

struct TDbfWriterField {
  std::string name;  // at most 10 characters
  char type;         // 'C', 'N', 'D' or 'L'
  int length;
  int decimals;
};

class TDbfWriter {
 public:
  explicit TDbfWriter(std::vector<TDbfWriterField> fields) : fields_(std::move(fields)) {
    recordSize_ = 1;
    for (const TDbfWriterField& f : fields_) recordSize_ += f.length;
  }

  // One record; values in field order, missing ones blank. Numbers are
  // right-aligned, other values left-aligned.
  void Add(const std::vector<std::string>& values) {
    records_.push_back(' ');
    for (size_t i = 0; i < fields_.size(); ++i) {
      const TDbfWriterField& f = fields_[i];
      std::string value = i < values.size() ? values[i] : std::string();
      if (value.size() > static_cast<size_t>(f.length)) value.resize(f.length);
      const std::string pad(f.length - value.size(), ' ');
      records_ += f.type == 'N' ? pad + value : value + pad;
    }
    ++count_;
  }

  // Writes count records whose first field is "R" and the record's number
  // and whose other fields are blank, without keeping them in memory.
  void WriteNumbered(const std::string& path, int count) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << Header(count);
    std::string record(recordSize_, ' ');
    for (int i = 1; i <= count; ++i) {
      const std::string name = "R" + std::to_string(i);
      std::fill(record.begin() + 1, record.end(), ' ');
      record.replace(1, std::min<size_t>(name.size(), fields_[0].length), name, 0,
                     fields_[0].length);
      out << record;
    }
    out << '\x1A';
  }

  void Write(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << Header(count_) << records_ << '\x1A';
  }

 private:
  std::string Header(int count) const {
    std::string header(32, '\0');
    header[0] = 0x03;
    header[1] = 124;  // last update 2024-01-15
    header[2] = 1;
    header[3] = 15;
    Put32(header, 4, static_cast<uint32_t>(count));
    Put16(header, 8, static_cast<uint16_t>(32 + 32 * fields_.size() + 1));
    Put16(header, 10, static_cast<uint16_t>(recordSize_));
    header[29] = 0x57;
    for (const TDbfWriterField& f : fields_) {
      std::string d(32, '\0');
      d.replace(0, f.name.size(), f.name);
      d[11] = f.type;
      d[16] = static_cast<char>(f.length);
      d[17] = static_cast<char>(f.decimals);
      header += d;
    }
    header += '\x0D';
    return header;
  }
  static void Put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
  }
  static void Put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }

  std::vector<TDbfWriterField> fields_;
  int recordSize_ = 0;
  int count_ = 0;
  std::string records_;
};
