#include "fuzz/fuzz_targets.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/index/dbf_idxfile.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != 0 ? tmp : "/tmp") + "/zzfuzzXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    return pattern;
  }();
  return folder;
}

std::string PathOf(const char* name) { return Folder() + "/" + name; }

void Put(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) abort();
}

int64_t SizeOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  return in ? static_cast<int64_t>(in.tellg()) : -1;
}

// Reads every field of the current record as text.
void ReadFields(TDbf& dbf) {
  for (int i = 0; i < dbf.FieldCount(); ++i) {
    try {
      (void)dbf.Fields(i)->ValueAsString();
    } catch (const Exception&) {
      // A value that does not decode is reported, and the walk goes on.
    }
  }
}

// Walks the table forwards and backwards (at most limit records each way,
// so that a huge record count in a small input stays quick).
void Walk(TDbf& dbf, int limit) {
  int n = 0;
  for (dbf.First(); !dbf.AtEnd() && n < limit; dbf.Next(), ++n) ReadFields(dbf);
  n = 0;
  for (dbf.Last(); !dbf.AtStart() && n < limit; dbf.Prior(), ++n) ReadFields(dbf);
}

constexpr int kWalkLimit = 200;

}  // namespace

void FuzzTable(const uint8_t* data, size_t size) {
  const std::string path = PathOf("table.dbf");
  Put(path, data, size);
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.SetReadOnly(true);
  try {
    dbf.Open();
    Walk(dbf, kWalkLimit);
    dbf.SetShowDeleted(true);
    Walk(dbf, kWalkLimit);
  } catch (const Exception&) {
  }
}

void FuzzMemo(const uint8_t* data, size_t size) {
  if (size < 4) return;
  const uint32_t stated = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                          (static_cast<uint32_t>(data[2]) << 16) |
                          (static_cast<uint32_t>(data[3]) << 24);
  const size_t tableSize = std::min<size_t>(stated, size - 4);
  const std::string path = PathOf("memo.dbf");
  Put(path, data + 4, tableSize);
  // The table's version byte decides which memo file it looks for.
  for (const char* name : {"memo.dbt", "memo.fpt"})
    Put(PathOf(name), data + 4 + tableSize, size - 4 - tableSize);
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.SetExclusive(true);
  try {
    dbf.Open();
    Walk(dbf, kWalkLimit);
    TField* memo = nullptr;
    for (int i = 0; i < dbf.FieldCount() && memo == nullptr; ++i)
      if (dbf.Fields(i)->IsBlob()) memo = dbf.Fields(i);
    if (memo == nullptr || dbf.IsEmpty() || dbf.DbfFile()->MemoFile() == nullptr) return;
    dbf.First();
    const std::string memoPath = dbf.DbfFile()->MemoFile()->FileName();
    const int64_t before = SizeOf(memoPath);
    const std::string value(600, 'v');
    dbf.Edit();
    memo->SetValueAsString(value);
    try {
      dbf.Post();
    } catch (const Exception&) {
      dbf.Cancel();
    }
    // The value with its block header and terminators, two blocks of slack
    // for a partly filled last block and the block size, and the header.
    const int64_t blockSize = dbf.DbfFile()->MemoFile()->RecordSize();
    if (SizeOf(memoPath) > std::max<int64_t>(before, 512) + 610 + 2 * blockSize) abort();
    Walk(dbf, kWalkLimit);
  } catch (const Exception&) {
  }
}

void FuzzExpression(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    const std::string table = PathOf("expr.dbf");
    TDbf dbf;
    dbf.SetTableName(table);
    dbf.SetTableLevel(4);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 10);
    dbf.FieldDefs().Add("PRICE", ftFloat, 10);
    dbf.FieldDefs().Add("QTY", ftInteger, 0);
    dbf.FieldDefs().Add("BORN", ftDate, 0);
    dbf.FieldDefs().Add("OK", ftBoolean, 0);
    dbf.Open();
    // Dates as day numbers (36925 is 3 February 2001), so that the
    // system's date format does not matter.
    const char* rows[][5] = {{"Anna", "12.5", "3", "36925", "T"},
                             {"", "", "", "", ""},
                             {"ZZZZZZZZZZ", "-99999.5", "-99999999", "2", "F"}};
    for (const auto& row : rows) {
      dbf.AppendNew();
      for (int i = 0; i < 5; ++i) {
        if (*row[i] == 0) continue;
        if (i == 3)
          dbf.Fields(i)->SetValueAsDateTime(std::strtod(row[i], nullptr));
        else
          dbf.Fields(i)->SetValueAsString(row[i]);
      }
      dbf.Post();
    }
    return table;
  }();
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.SetReadOnly(true);
  try {
    dbf.Open();
    dbf.SetFilter(std::string(reinterpret_cast<const char*>(data), size));
    dbf.SetFiltered(true);
    Walk(dbf, kWalkLimit);
  } catch (const Exception&) {
  }
}

void FuzzIndex(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    const std::string table = PathOf("idx.dbf");
    {
      TDbf dbf;
      dbf.SetTableName(table);
      dbf.SetTableLevel(4);
      dbf.SetOpenMode(omAutoCreate);
      dbf.FieldDefs().Add("NAME", ftString, 10);
      dbf.FieldDefs().Add("NUM", ftFloat, 8);
      dbf.Open();
      for (int i = 0; i < 300; ++i) {
        dbf.AppendNew();
        dbf.FieldNamed("NAME")->SetValueAsString("N" + std::to_string((i * 7919) % 1000));
        dbf.FieldNamed("NUM")->SetValueAsString(std::to_string(i % 37));
        dbf.Post();
      }
    }
    // Two tags make the table name its production index.
    TDbfFile file(table);
    file.SetMode(amExclusiveOpen);
    file.Open();
    file.OpenIndex("NAME", "NAME", true, 0);
    file.OpenIndex("NUM", "NUM", true, 0);
    file.Close();
    return table;
  }();
  Put(PathOf("idx.mdx"), data, size);
  Put(PathOf("idx.ndx"), data, size);
  try {
    TDbfFile file(path);
    file.SetMode(amReadOnly);
    file.Open();
    for (const std::string& tag : file.IndexNameList()) {
      TIndexFile* index = file.IndexFileOf(tag);
      if (index == nullptr) continue;
      try {
        index->SelectIndex(tag);
        (void)index->Check();
      } catch (const Exception&) {
      }
    }
    try {
      if (TIndexFile* ndx = file.OpenIndex(PathOf("idx.ndx"), "", false, 0)) (void)ndx->Check();
    } catch (const Exception&) {
    }
  } catch (const Exception&) {
  }
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.SetReadOnly(true);
  try {
    dbf.Open();
    for (const char* tag : {"NAME", "NUM"}) {
      try {
        dbf.SetIndexName(tag);
        Walk(dbf, kWalkLimit);
      } catch (const Exception&) {
      }
    }
  } catch (const Exception&) {
  }
}
