// dbfcheck: reads a dBase table and its memo file and prints one line for
// each inconsistency it finds:
//   - the header's record count against the records the file size holds;
//   - slots that hold no record: a hole (a slot taken and never written: an
//     end-of-file byte or NUL, then NULs) or a record whose deletion flag is
//     neither a blank nor "*";
//   - a file that ends inside a record;
//   - numeric, date and logical values that do not decode;
//   - memo pointers into the memo header or past the end of the memo file,
//     values whose stated length runs past its end, chains of two records
//     that overlap, and a next free block past the end.
// Index files are not checked yet; CheckIndexes is where they will be.
//
//   dbfcheck [--repair] TABLE
//
// --repair opens the table exclusively (it fails while another process has
// it open) and fixes what needs no guessing: the header count is set to
// the records the file holds, holes and records with a bad flag are marked
// deleted (their bytes are kept), dangling memo pointers are cleared and a
// next free block past the end of the memo file is set to its end. Before
// the first change to a file, a copy of it is kept beside it (NAME.bak, or
// NAME.bak2 ... when that exists). Overlapping chains and values that do
// not decode are reported only.
//
// Exit status: 0 when nothing (or, with --repair, nothing left unrepaired)
// was found, 1 when inconsistencies remain, 2 for a bad command line or a
// table that cannot be opened.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_memo.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = "usage: dbfcheck [--repair] TABLE\n";
constexpr int kRecordCountAt = 4;

struct TFinding {
  std::string text;
  bool repaired = false;
};

// One memo chain: the blocks [first, first + blocks) of a record's field.
struct TChain {
  int64_t first;
  int64_t blocks;
  int32_t recNo;
  std::string field;
};

class TChecker {
 public:
  TChecker(TDbfFile& table, bool repair) : table_(table), repair_(repair) {}

  void Run() {
    CheckRecords();
    CheckMemoFile();
    CheckIndexes();
  }
  const std::vector<TFinding>& Findings() const { return findings_; }

 private:
  void Report(const std::string& text, bool repaired = false) {
    findings_.push_back({text, repaired});
  }
  std::string Name() const { return fs::path(table_.FileName()).filename().string(); }

  // Keeps a copy of a file beside it before its first change.
  void KeepCopy(const std::string& path) {
    if (std::find(copied_.begin(), copied_.end(), path) != copied_.end()) return;
    std::string copy = path + ".bak";
    for (int n = 2; fs::exists(copy); ++n) copy = path + ".bak" + std::to_string(n);
    fs::copy_file(path, copy);
    copied_.push_back(path);
  }

  bool SlotHoldsRecord(int32_t recNo) {
    char flag = 0;
    return table_.ReadAt(&flag, 1, table_.PageOffset(recNo)) == 1 && (flag == ' ' || flag == '*');
  }

  void CheckRecords() {
    const int64_t size = static_cast<int64_t>(fs::file_size(table_.FileName()));
    const int32_t recordSize = table_.RecordSize();
    const int64_t data = std::max<int64_t>(size - table_.HeaderSize(), 0);
    const int32_t slots = static_cast<int32_t>(data / recordSize);
    const uint32_t count = GetLE32(table_.Header() + kRecordCountAt);
    // The table ends at the last record or counted slot: what follows an
    // end-of-file byte beyond the count is slack that dBase leaves behind a
    // shorter rewrite (or a slot an appender took and never wrote, which the
    // next append fills), no record.
    int32_t records = slots;
    while (records > 0 && static_cast<uint32_t>(records) > count && !SlotHoldsRecord(records))
      --records;
    const int64_t rest = data - static_cast<int64_t>(slots) * recordSize;
    char tail = 0;
    if (records == slots && rest > 1 &&
        table_.ReadAt(&tail, 1, table_.PageOffset(slots + 1)) == 1 && tail != 0x1A)
      Report(Name() + ": the file ends inside record " + std::to_string(slots + 1) + " (" +
             std::to_string(rest) + " of its " + std::to_string(recordSize) + " bytes)");
    if (count != static_cast<uint32_t>(records)) {
      const bool fix = repair_;
      if (fix) {
        KeepCopy(table_.FileName());
        PutLE32(table_.Header() + kRecordCountAt, static_cast<uint32_t>(records));
        table_.WriteHeader();
      }
      Report(Name() + ": the header counts " + std::to_string(count) + " records, the file holds " +
                 std::to_string(records),
             fix);
    }
    std::vector<char> record(recordSize);
    for (int32_t recNo = 1; recNo <= records; ++recNo) {
      if (table_.ReadPage(recNo, record.data()) < recordSize) break;
      const auto flag = static_cast<uint8_t>(record[0]);
      if (flag != ' ' && flag != '*') {
        const bool hole =
            (flag == 0x1A || flag == 0) &&
            std::all_of(record.begin() + 1, record.end(), [](char c) { return c == 0; });
        char text[96];
        if (hole)
          std::snprintf(text, sizeof text, ": slot %d is a hole (never written)", recNo);
        else
          std::snprintf(text, sizeof text, ": record %d has the deletion flag 0x%02X", recNo, flag);
        if (repair_) {
          KeepCopy(table_.FileName());
          record[0] = '*';
          table_.WritePage(recNo, record.data());
        }
        Report(Name() + text, repair_);
        continue;
      }
      CheckValues(recNo, record.data());
    }
  }

  void CheckValues(int32_t recNo, char* record) {
    const TDbfFieldDefs& defs = table_.FieldDefs();
    for (int i = 0; i < defs.Count(); ++i) {
      const TDbfFieldDef& def = defs.Items(i);
      if (def.IsBlob()) {
        CheckMemoPointer(recNo, def, record);
        continue;
      }
      if (def.IsBinary() || def.Offset() + def.Size() > table_.RecordSize()) continue;
      std::string value(record + def.Offset(), static_cast<size_t>(def.Size()));
      const size_t first = value.find_first_not_of(" \0", 0, 2);
      if (first == std::string::npos) continue;
      value = value.substr(first, value.find_last_not_of(" \0", std::string::npos, 2) + 1 - first);
      if (!Decodes(def.NativeFieldType(), value))
        Report(Name() + ": record " + std::to_string(recNo) + " field " + def.FieldName() + ": '" +
               value + "' is no " + KindOf(def.NativeFieldType()));
    }
  }

  static const char* KindOf(char letter) {
    return letter == 'D' ? "date" : letter == 'L' ? "logical value" : "number";
  }

  static bool Decodes(char letter, const std::string& value) {
    switch (letter) {
      case 'N':
      case 'F': {
        double number = 0;
        // Stars are how dBase writes a number too wide for its field; some
        // programs write an empty number as a lone point.
        return value.find_first_not_of('*') == std::string::npos || value == "." ||
               ParseDecimalFloat(value.data(), static_cast<int>(value.size()), number);
      }
      case 'D': {
        if (value.size() != 8 || value.find_first_not_of("0123456789") != std::string::npos)
          return false;
        if (value == "00000000") return true;
        const int month = std::stoi(value.substr(4, 2)), day = std::stoi(value.substr(6, 2));
        return month >= 1 && month <= 12 && day >= 1 && day <= 31;
      }
      case 'L':
        return value.size() == 1 && std::strchr("TtFfYyNn?", value[0]) != nullptr;
      default:
        return true;
    }
  }

  TMemoFile* Memo() const { return dynamic_cast<TMemoFile*>(table_.MemoFile()); }

  int64_t MemoEndBlock() const {
    const int64_t blockSize = Memo()->RecordSize();
    if (blockSize <= 0) return 0;
    const auto size = static_cast<int64_t>(fs::file_size(Memo()->FileName()));
    return (size + blockSize - 1) / blockSize;
  }

  void CheckMemoPointer(int32_t recNo, const TDbfFieldDef& def, char* record) {
    TMemoFile* memo = Memo();
    int32_t block = 0;
    if (memo == nullptr || !table_.ReadFieldValue(def, ftInteger, &block, record) || block == 0)
      return;
    const int64_t blockSize = memo->RecordSize();
    const int64_t firstData = (kMemoHeaderSize + blockSize - 1) / std::max<int64_t>(blockSize, 1);
    const int64_t end = MemoEndBlock();
    const std::string where = Name() + ": record " + std::to_string(recNo) + " field " +
                              def.FieldName() + ": memo block " + std::to_string(block);
    std::string fault;
    if (block < 0 || block < firstData)
      fault = " lies in the memo header";
    else if (block >= end)
      fault = " lies beyond the end of the memo file (block " + std::to_string(end) + ")";
    if (!fault.empty()) {
      if (repair_) {
        KeepCopy(table_.FileName());
        table_.WriteFieldValue(def, ftInteger, record, nullptr);
        table_.WritePage(recNo, record);
      }
      Report(where + fault, repair_);
      return;
    }
    // The chain's length: a stated length, or the value up to its terminator.
    uint8_t head[8] = {};
    const bool headed = memo->DbfFormat() != tfDBase3 &&
                        memo->ReadAt(head, 8, block * blockSize) == 8 &&
                        memo->MemoDataSize(head) >= 0;
    int64_t bytes = 0;
    if (headed) {
      bytes = 8 + memo->MemoDataSize(head);
    } else {
      TMemoryStream value;
      memo->ReadMemo(block, value);
      bytes = value.Size() + 2;
    }
    const int64_t blocks = std::max<int64_t>((bytes + blockSize - 1) / blockSize, 1);
    if (block + blocks > end && headed)
      Report(where + ": its length " + std::to_string(bytes - 8) +
             " runs past the end of the memo file");
    chains_.push_back({block, std::min(blocks, end - block), recNo, def.FieldName()});
  }

  void CheckMemoFile() {
    TMemoFile* memo = Memo();
    if (memo == nullptr) return;
    const std::string name = fs::path(memo->FileName()).filename().string();
    std::sort(chains_.begin(), chains_.end(),
              [](const TChain& a, const TChain& b) { return a.first < b.first; });
    for (size_t i = 1; i < chains_.size(); ++i) {
      const TChain& a = chains_[i - 1];
      const TChain& b = chains_[i];
      if (b.first < a.first + a.blocks)
        Report(name + ": the value of record " + std::to_string(b.recNo) + " field " + b.field +
               " (block " + std::to_string(b.first) + ") overlaps that of record " +
               std::to_string(a.recNo) + " field " + a.field + " (block " +
               std::to_string(a.first) + ")");
    }
    memo->ReadHeader();
    const int64_t end = MemoEndBlock();
    const uint32_t next = memo->NextFreeBlock();
    if (next > end) {
      if (repair_) {
        KeepCopy(memo->FileName());
        memo->SetNextFreeBlock(static_cast<uint32_t>(end));
        memo->WriteHeader();
      }
      Report(name + ": next free block " + std::to_string(next) + " lies beyond its end (block " +
                 std::to_string(end) + ")",
             repair_);
    }
  }

  // The index files of the table: not checked yet.
  void CheckIndexes() {}

  TDbfFile& table_;
  bool repair_;
  std::vector<TFinding> findings_;
  std::vector<TChain> chains_;
  std::vector<std::string> copied_;
};

}  // namespace

int main(int argc, char** argv) {
  bool repair = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--repair" && !repair) {
      repair = true;
    } else if (path.empty() && !arg.empty() && arg[0] != '-') {
      path = arg;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (path.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  InstallMemoFiles();
  TDbfFile table(path);
  table.SetMode(repair ? amExclusiveOpen : amReadOnly);
  std::vector<TFinding> findings;
  try {
    table.Open();
    if (table.ForceClose() || table.HeaderSize() == 0 || table.RecordSize() == 0) {
      std::fprintf(stderr, "dbfcheck: %s: the header has no record or header size\n", path.c_str());
      return 2;
    }
    TChecker checker(table, repair);
    checker.Run();
    findings = checker.Findings();
    table.Close();
  } catch (const Exception& e) {
    std::fprintf(stderr, "dbfcheck: %s: %s\n", path.c_str(), e.Message().c_str());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dbfcheck: %s: %s\n", path.c_str(), e.what());
    return 2;
  }
  bool left = false;
  for (const TFinding& f : findings) {
    std::printf("%s%s\n", f.text.c_str(), f.repaired ? " (repaired)" : "");
    left = left || !f.repaired;
  }
  return left ? 1 : 0;
}
