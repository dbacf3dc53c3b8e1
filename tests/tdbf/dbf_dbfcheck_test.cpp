// dbfcheck, the table checker: it finds nothing in the sound real tables,
// names every inconsistency of a damaged table of our own, and repairs what
// needs no guessing, keeping a copy of each file it changes.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "recordset/fields.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_common.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct TCheckRun {
  int status = -1;
  std::vector<std::string> lines;
};

TCheckRun Dbfcheck(const std::vector<std::string>& args) {
  TChildProcess check(std::string(ZOZUR_HELPER_DIR) + "/../dbfcheck", args);
  TCheckRun run;
  const std::string out = check.ReadToEnd();
  run.status = check.Finish();
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    run.lines.push_back(out.substr(start, end - start));
  return run;
}

// Real tables made damaged on purpose by their collectors (or whose memo
// file was cut short, or whose writer left bytes no dBase program writes:
// deletion flags of 0x00, a logical '1'), with the first line dbfcheck
// prints for each.
const std::map<std::string, std::string> kDamagedRealTables = {
    {"dans-dbf/dbase3plus/fileExceptions/MEMEMPTY.DBF",
     "MEMEMPTY.DBF: record 1 field MEMO: memo block 1 lies beyond the end of the memo file (block "
     "1)"},
    {"dans-dbf/dbase3plus/fileExceptions/PNTRERR.DBF",
     "PNTRERR.DBF: record 1 field MEMO: memo block 99 lies beyond the end of the memo file (block "
     "8)"},
    {"dbfread/examples/files/invalid_value.dbf",
     "invalid_value.dbf: record 1 field BIRTHDATE: 'NotAYear' is no date"},
    {"infused-dbf/mazovia.dbf", "mazovia.dbf: record 1 has the deletion flag 0x00"},
    {"javadbf/bug-33-corrupted-file-sync-mode/myfileafter-corrupted.dbf",
     "myfileafter-corrupted.dbf: slot 1 is a hole (never written)"},
    {"javadbf/numbers2.dbf", "numbers2.dbf: record 4 field LOGIC: '1' is no logical value"},
    {"javadbf/bug-102/bug102.dbf",
     "bug102.dbf: record 1 field MEMOINDEX1: memo block 1 lies beyond the end of the memo file "
     "(block 1)"},
    {"pyshp/corrupt_too_long.dbf",
     "corrupt_too_long.dbf: the file ends inside record 11 (5 of its 51 bytes)"},
};

TEST(TDbfcheckTest, SoundRealTablesHaveNoFindings) {
  const fs::path root = TestDataPath("real");
  int checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string ext = entry.path().extension().string();
    if (ext != ".dbf" && ext != ".DBF") continue;
    const std::string relative = fs::relative(entry.path(), root).string();
    const std::string before = ReadWholeFile(entry.path().string());
    const TCheckRun run = Dbfcheck({entry.path().string()});
    EXPECT_EQ(before, ReadWholeFile(entry.path().string())) << relative;
    // Status 2: a table the engine does not open at all.
    if (run.status == 2) continue;
    ++checked;
    const auto damaged = kDamagedRealTables.find(relative);
    if (damaged == kDamagedRealTables.end()) {
      EXPECT_EQ(0, run.status) << relative << ": " << (run.lines.empty() ? "" : run.lines[0]);
      continue;
    }
    EXPECT_EQ(1, run.status) << relative;
    ASSERT_FALSE(run.lines.empty()) << relative;
    EXPECT_EQ(damaged->second, run.lines[0]);
  }
  EXPECT_GT(checked, 80);
}

class TDbfcheckDamageTest : public ::testing::Test {
 protected:
  // A level-4 table of four records with names, numbers and memo values.
  void SetUp() override {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetTableLevel(4);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 8);
    dbf.FieldDefs().Add("NUM", ftFloat, 6);
    dbf.FieldDefs().Add("NOTE", ftMemo, 0);
    dbf.Open();
    for (const char* name : {"one", "two", "three", "four"}) {
      dbf.AppendNew();
      dbf.FieldNamed("NAME")->SetValueAsString(name);
      dbf.FieldNamed("NUM")->SetValueAsString("1.5");
      dbf.FieldNamed("NOTE")->SetValueAsString(std::string("memo of ") + name);
      dbf.Post();
    }
  }
  // Offset of a field of record recNo (1-based) in the table's bytes.
  static size_t At(const std::string& bytes, int recNo, size_t field) {
    return GetLE16(bytes.data() + 8) + static_cast<size_t>(recNo - 1) * GetLE16(bytes.data() + 10) +
           field;
  }
  std::vector<std::string> Names() {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetReadOnly(true);
    dbf.Open();
    std::vector<std::string> names;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next())
      names.push_back(dbf.FieldNamed("NAME")->ValueAsString() + "|" +
                      dbf.FieldNamed("NOTE")->ValueAsString());
    return names;
  }

  TTempDir dir_;
  std::string path_ = dir_.File("cars.dbf");
  std::string memoPath_ = dir_.File("cars.dbt");
};

TEST_F(TDbfcheckDamageTest, FindsAndRepairsWhatNeedsNoGuessing) {
  // Record layout: flag, NAME at 1 (8), NUM at 9 (6), NOTE at 15 (10).
  std::string bytes = ReadWholeFile(path_);
  PutLE32(bytes.data() + 4, 9);
  bytes[At(bytes, 2, 0)] = 0x1A;  // a hole: taken, never written
  std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(At(bytes, 2, 1)), 24, '\0');
  bytes[At(bytes, 3, 0)] = 'X';
  bytes.replace(At(bytes, 1, 9), 6, "  1x5 ");
  bytes.replace(At(bytes, 4, 15), 10, "       999");
  WriteWholeFile(path_, bytes);
  std::string memo = ReadWholeFile(memoPath_);
  PutLE32(memo.data(), 0x00FFFFFF);
  WriteWholeFile(memoPath_, memo);

  const std::vector<std::string> findings = {
      "cars.dbf: the header counts 9 records, the file holds 4",
      "cars.dbf: record 1 field NUM: '1x5' is no number",
      "cars.dbf: slot 2 is a hole (never written)",
      "cars.dbf: record 3 has the deletion flag 0x58",
      "cars.dbf: record 4 field NOTE: memo block 999 lies beyond the end of the memo file (block "
      "5)",
      "cars.dbt: next free block 16777215 lies beyond its end (block 5)"};
  TCheckRun run = Dbfcheck({path_});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(findings, run.lines);
  EXPECT_EQ(bytes, ReadWholeFile(path_)) << "checking writes nothing";

  run = Dbfcheck({"--repair", path_});
  EXPECT_EQ(1, run.status) << "the number is left as it is";
  std::vector<std::string> repaired = findings;
  for (size_t i : {0u, 2u, 3u, 4u, 5u}) repaired[i] += " (repaired)";
  EXPECT_EQ(repaired, run.lines);
  EXPECT_EQ(bytes, ReadWholeFile(path_ + ".bak"));
  EXPECT_EQ(memo, ReadWholeFile(memoPath_ + ".bak"));

  run = Dbfcheck({path_});
  EXPECT_EQ((std::vector<std::string>{findings[1]}), run.lines);
  EXPECT_EQ(4u, GetLE32(ReadWholeFile(path_).data() + 4));
  // The hole and the bad record are deleted records now, their bytes kept.
  const std::string after = ReadWholeFile(path_);
  EXPECT_EQ('*', after[At(after, 2, 0)]);
  EXPECT_EQ("*three", after.substr(At(after, 3, 0), 6));
  EXPECT_EQ((std::vector<std::string>{"one|memo of one", "four|"}), Names());

  // A second repair keeps the first copy and makes another.
  run = Dbfcheck({"--repair", path_});
  EXPECT_TRUE(fs::exists(path_ + ".bak"));
  EXPECT_FALSE(fs::exists(path_ + ".bak2")) << "nothing left to change";
}

TEST_F(TDbfcheckDamageTest, RepairNeedsTheTableToItself) {
  TDbf open;
  open.SetTableName(path_);
  open.Open();
  const std::string before = ReadWholeFile(path_);
  const TCheckRun run = Dbfcheck({"--repair", path_});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ(before, ReadWholeFile(path_));
  EXPECT_FALSE(fs::exists(path_ + ".bak"));
  EXPECT_EQ(0, Dbfcheck({path_}).status) << "checking works while the table is shared";
}

}  // namespace
