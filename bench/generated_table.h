#pragma once
// The table the benchmarks read: one million records of 89 bytes (ID N(8),
// NAME C(20), CITY C(20), AMOUNT N(12,2), DUE D(8), NOTE C(20)), made once
// per process in a temporary folder and removed at exit. SMITH is the name
// of 3% of the records; the record kGeneratedLocateTarget alone has a name
// beginning with ZEB. The single-byte table has the language byte of code
// page 850 and ASCII text; the UTF-8 one a ".cpg" file saying UTF-8 and
// Turkish names and cities.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tdbf/dbf_common.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_fields.h"

constexpr int kRecords = 1000000;
constexpr int kGeneratedLocateTarget = 999901;
constexpr int kNameWidth = 20;

enum TGeneratedText { gtSingleByte, gtUtf8 };

// The fields of the benchmarks' tables: ID N(8), NAME C(20), CITY C(20),
// AMOUNT N(12,2), DUE D(8), with withActive ACTIVE L(1), and NOTE C(20).
inline void AddBenchFields(TDbfFieldDefs& defs, bool withActive) {
  struct TColumn {
    const char* name;
    char letter;
    int size;
    int decimals;
  };
  static const TColumn kColumns[] = {{"ID", 'N', 8, 0},    {"NAME", 'C', kNameWidth, 0},
                                     {"CITY", 'C', 20, 0}, {"AMOUNT", 'N', 12, 2},
                                     {"DUE", 'D', 8, 0},   {"ACTIVE", 'L', 1, 0},
                                     {"NOTE", 'C', 20, 0}};
  for (const TColumn& column : kColumns) {
    if (!withActive && column.letter == 'L') continue;
    TDbfFieldDef& def = defs.Add();
    def.SetFieldName(column.name);
    def.SetSize(column.size);
    def.SetPrecision(column.decimals);
    def.SetNativeFieldType(column.letter);
  }
}

class TGeneratedTable {
 public:
  explicit TGeneratedTable(TGeneratedText text) : text_(text) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("zozur_bench_" + std::to_string(::getpid()) +
                                                  "_" + std::to_string(static_cast<int>(text)));
    std::filesystem::create_directories(folder);
    folder_ = folder.string();
    path_ = (folder / "people.dbf").string();
    Generate();
  }
  ~TGeneratedTable() {
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
  }
  TGeneratedTable(const TGeneratedTable&) = delete;
  TGeneratedTable& operator=(const TGeneratedTable&) = delete;

  const std::string& Path() const { return path_; }
  int HeaderSize() const { return headerSize_; }
  int RecordSize() const { return recordSize_; }
  int NameOffset() const { return nameOffset_; }

 private:
  void Generate() {
    TDbfFile file(path_);
    file.SetMode(amExclusiveCreate);
    file.SetAutoCreate(true);
    file.SetTableFormat(tfDBase4);
    file.Open();
    TDbfFieldDefs defs;
    AddBenchFields(defs, false);
    file.CreateStructure(defs, 512);
    recordSize_ = file.RecordSize();
    headerSize_ = file.HeaderSize();
    nameOffset_ = file.FindFieldDef("NAME")->Offset();

    const bool utf8 = text_ == gtUtf8;
    const char* names[] = {"JONES",
                           "MILLER",
                           utf8 ? "\u015EAH\u0130N" : "BROWN",
                           "WILSON",
                           utf8 ? "\u00C7EL\u0130K" : "TAYLOR",
                           "DAVIS",
                           "SMITHSON",
                           "CLARK",
                           utf8 ? "Y\u0130LD\u0130Z" : "LEWIS",
                           "WALKER",
                           "HALL",
                           "ALLEN",
                           utf8 ? "\u00D6ZT\u00DCRK" : "YOUNG",
                           "KING",
                           "WRIGHT",
                           "GREEN",
                           "BAKER",
                           "ADAMS",
                           utf8 ? "\u015E\u0130\u015ELI" : "NELSON",
                           "HILL",
                           "CARTER",
                           "MITCHELL",
                           "ROBERTS",
                           "TURNER",
                           "PHILLIPS"};
    const char* city = utf8 ? "\u0130STANBUL" : "AMSTERDAM";
    std::mt19937 random(7);
    std::vector<char> records(static_cast<size_t>(recordSize_) * kRecords);
    for (int i = 0; i < kRecords; ++i) {
      char* record = records.data() + static_cast<size_t>(i) * recordSize_;
      file.BlankRecord(record);
      const int32_t id = i + 1;
      file.WriteFieldValue(*file.FindFieldDef("ID"), ftInteger, record, &id);
      const char* name = names[random() % 25];
      if (random() % 100 < 3) name = "SMITH";
      if (id == kGeneratedLocateTarget) name = "ZEBULON";
      file.WriteFieldValue(*file.FindFieldDef("NAME"), ftString, record, name);
      file.WriteFieldValue(*file.FindFieldDef("CITY"), ftString, record, city);
      const double amount = static_cast<double>(random() % 20000) / 100.0;
      file.WriteFieldValue(*file.FindFieldDef("AMOUNT"), ftFloat, record, &amount);
      const int32_t due = 738000 + static_cast<int32_t>(random() % 1000);
      file.WriteFieldValue(*file.FindFieldDef("DUE"), ftDate, record, &due);
    }
    file.Close();

    // The records go in with one write; the header then counts them.
    std::FILE* out = std::fopen(path_.c_str(), "r+b");
    if (out == nullptr) throw std::runtime_error("cannot write " + path_);
    char count[4];
    PutLE32(count, kRecords);
    const char eof = 0x1A;
    const bool written = std::fseek(out, headerSize_, SEEK_SET) == 0 &&
                         std::fwrite(records.data(), 1, records.size(), out) == records.size() &&
                         std::fwrite(&eof, 1, 1, out) == 1 && std::fseek(out, 4, SEEK_SET) == 0 &&
                         std::fwrite(count, 1, 4, out) == 4;
    if (std::fclose(out) != 0 || !written) throw std::runtime_error("cannot write " + path_);
    if (utf8) {
      std::FILE* cpg = std::fopen((folder_ + "/people.cpg").c_str(), "wb");
      if (cpg == nullptr || std::fputs("UTF-8", cpg) < 0 || std::fclose(cpg) != 0)
        throw std::runtime_error("cannot write the .cpg file");
    }
  }

  TGeneratedText text_;
  std::string folder_;
  std::string path_;
  int headerSize_ = 0;
  int recordSize_ = 0;
  int nameOffset_ = 0;
};

// A plain read of the table's records: fread in blocks of 8192 records,
// perRecord called with each record's bytes. False when the file cannot be
// read.
template <class Fn>
bool ReadRecordsPlainly(const TGeneratedTable& table, Fn perRecord) {
  const size_t recordSize = static_cast<size_t>(table.RecordSize());
  constexpr size_t kRecordsPerBlock = 8192;
  static std::vector<char> block(recordSize * kRecordsPerBlock);
  std::FILE* in = std::fopen(table.Path().c_str(), "rb");
  if (in == nullptr || std::fseek(in, table.HeaderSize(), SEEK_SET) != 0) {
    if (in != nullptr) std::fclose(in);
    return false;
  }
  for (int left = kRecords; left > 0;) {
    const size_t want = std::min<size_t>(static_cast<size_t>(left), kRecordsPerBlock);
    const size_t got = std::fread(block.data(), recordSize, want, in);
    for (size_t i = 0; i < got; ++i) perRecord(block.data() + i * recordSize);
    if (got < want) break;
    left -= static_cast<int>(got);
  }
  std::fclose(in);
  return true;
}

inline TGeneratedTable& GeneratedTable(TGeneratedText text = gtSingleByte) {
  static TGeneratedTable singleByte(gtSingleByte);
  if (text == gtSingleByte) return singleByte;
  static TGeneratedTable utf8(gtUtf8);
  return utf8;
}

// A folder of this process's own for the tables a benchmark makes, removed
// with what it holds when the program ends normally.
inline const std::string& BenchFolder() {
  struct TFolder {
    TFolder() {
      char pattern[] = "/tmp/zozur-bench-XXXXXX";
      if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a temporary folder");
      path = pattern;
    }
    ~TFolder() {
      std::error_code error;
      std::filesystem::remove_all(path, error);
    }
    std::string path;
  };
  static const TFolder folder;
  return folder.path;
}

// The 90-byte table of the dataset and index benchmarks (the fields with
// ACTIVE): a header made through the table file, then count records made
// by makeRecord(i, image) (deletion flag included), written in 1 MiB
// pieces so that making a large table costs no memory.
constexpr int kWideRecordSize = 90;
inline void WriteWideTable(const std::string& path, int count,
                           const std::function<void(int, char*)>& makeRecord) {
  {
    TDbfFile file(path);
    file.SetMode(amExclusiveCreate);
    file.SetAutoCreate(true);
    file.SetTableFormat(tfDBase4);
    file.Open();
    TDbfFieldDefs defs;
    defs.SetTableFormat(tfDBase4);
    AddBenchFields(defs, true);
    file.CreateStructure(defs, 512);
    if (file.RecordSize() != kWideRecordSize) throw std::runtime_error("unexpected record size");
    file.Close();
  }
  std::FILE* out = std::fopen(path.c_str(), "r+b");
  if (out == nullptr) throw std::runtime_error("cannot write " + path);
  char header[32];
  bool written = std::fread(header, 1, sizeof header, out) == sizeof header;
  const int headerSize = GetLE16(header + 8);
  PutLE32(header + 4, static_cast<uint32_t>(count));
  written = written && std::fseek(out, 0, SEEK_SET) == 0 &&
            std::fwrite(header, 1, sizeof header, out) == sizeof header &&
            std::fseek(out, headerSize, SEEK_SET) == 0;
  std::string chunk;
  char record[kWideRecordSize];
  for (int i = 0; i < count && written; ++i) {
    makeRecord(i, record);
    chunk.append(record, kWideRecordSize);
    if (chunk.size() >= (1u << 20) || i + 1 == count) {
      if (i + 1 == count) chunk += '\x1A';
      written = std::fwrite(chunk.data(), 1, chunk.size(), out) == chunk.size();
      chunk.clear();
    }
  }
  if (count == 0 && written) written = std::fputc(0x1A, out) != EOF;
  if (std::fclose(out) != 0 || !written) throw std::runtime_error("cannot write " + path);
}
