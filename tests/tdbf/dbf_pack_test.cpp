// Packing tables and regenerating their indexes through TDbf: a table with
// deleted records, a memo file, a production index and an index file
// packed and read back by independent readers (dbfread, python3-dbf, Perl's
// XBase::Index, dbfindex check); corpus tables of other programs; packs
// refused while another process has the table; and packs that fail
// part-way, which must leave every file as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/env.h"
#include "recordset/db_consts.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dbf_common.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/index/dbf_idxdef.h"
#include "tests/support/child_process.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/file_wrapper.h"
#include "tests/support/messages.h"
#include "tests/support/shell.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Every file of a folder with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder))
    files[entry.path().filename().string()] = ReadWholeFile(entry.path().string());
  return files;
}

// The names of the files that differ between two snapshots, or are in one
// only.
std::string Changed(const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after) {
  std::string names;
  for (const auto& [name, bytes] : before) {
    const auto found = after.find(name);
    if (found == after.end() || found->second != bytes) names += name + " ";
  }
  for (const auto& [name, bytes] : after)
    if (before.count(name) == 0) names += name + " ";
  return names;
}

// The live records as dbfread reads them (memo values included), one JSON
// line each, and then how many records it finds marked deleted.
std::string ReadBack(const std::string& table, const std::string& encoding) {
  TTempDir dir;
  WriteWholeFile(dir.File("read.py"),
                 "import sys, json, dbfread\n"
                 "t = dbfread.DBF(sys.argv[1], encoding=sys.argv[2])\n"
                 "for r in t:\n"
                 "    print(json.dumps(r, default=str))\n"
                 "print('deleted:', sum(1 for r in t.deleted))\n");
  return ShellOutput("cd / && /usr/bin/python3 '" + dir.File("read.py") + "' '" + table + "' '" +
                     encoding + "' 2>&1");
}

// What dbfread read of the live records.
std::string RowsOnly(const std::string& readBack) {
  return readBack.substr(0, readBack.find("deleted:"));
}

// A clock that always reads 3 February 2031.
class TFixedClockEnv : public platform::TEnvWrapper {
 public:
  TFixedClockEnv() : TEnvWrapper(platform::TEnv::Default()) {}
  platform::TSystemTime LocalTime() override {
    platform::TSystemTime time;
    time.year = 2031;
    time.month = 2;
    time.day = 3;
    return time;
  }
};

class TDbfPackTest : public ::testing::Test {
 protected:
  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("stock.dbf");

  // The memo text of record i (1-based); every fifth has none, the others
  // reach up to three 512-byte blocks.
  static std::string Note(int i) {
    if (i % 5 == 0) return std::string();
    std::string note;
    while (note.size() < static_cast<size_t>((i * 37) % 1400 + 1))
      note += "note " + std::to_string(i) + "; ";
    return note;
  }

  // A dBase IV table of count records (NAME, QTY, NOTE memo) with the
  // production index tags NAME and QTY and the index file qty.ndx; every
  // third record is deleted.
  void Build(int count) {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 12);
    dbf.FieldDefs().Add("QTY", ftInteger, 0);
    dbf.FieldDefs().Add("NOTE", ftMemo, 0);
    dbf.Open();
    dbf.DbfFile()->OpenIndex("NAME", "NAME", true, 0);
    dbf.DbfFile()->OpenIndex("QTY", "QTY", true, 0);
    dbf.DbfFile()->OpenIndex(dir_.File("qty.ndx"), "QTY", true, 0);
    for (int i = 1; i <= count; ++i) {
      dbf.AppendNew();
      dbf.FieldNamed("NAME")->SetValueAsString(Format("N%05d", (i * 7919) % 1000));
      dbf.FieldNamed("QTY")->SetValueAsInteger(count - i);
      if (!Note(i).empty()) dbf.FieldNamed("NOTE")->SetValueAsString(Note(i));
      dbf.Post();
    }
    for (int i = 3; i <= count; i += 3) {
      dbf.SetRecordNumber(i);
      dbf.Delete();
    }
  }

  // Opens the table with its index file, in the order of the NAME tag.
  void Open(TDbf& dbf, bool readOnly = false) {
    dbf.SetTableName(path_);
    dbf.SetReadOnly(readOnly);
    dbf.Indexes().Add().SetIndexFile("qty.ndx");
    dbf.Indexes().Items(0).SetSortField("QTY");
    dbf.SetIndexName("NAME");
    dbf.Open();
  }
};

// The whole path on a table of our own: the live records and their memo
// values read back the same by two other readers, the header keeps its
// facts, the memo file shrinks keeping its header, and both indexes list
// the new record numbers (dbfindex check, Perl).
TEST_F(TDbfPackTest, PackKeepsLiveRecordsMemosAndIndexes) {
  Build(300);
  const std::string before = ReadBack(path_, "cp1252");
  ASSERT_NE(std::string::npos, before.find("deleted: 100\n")) << before.substr(before.size() - 300);
  const std::string oldTable = ReadWholeFile(path_);
  const std::string oldMemo = ReadWholeFile(dir_.File("stock.dbt"));

  TFixedClockEnv clock;
  TDbf dbf;
  dbf.SetEnv(&clock);
  Open(dbf);
  EXPECT_EQ(100, dbf.DeletedRecordCount());
  std::vector<int> progress;
  EXPECT_EQ(100, dbf.PackTable([&](int32_t done, int32_t) { progress.push_back(done); }));
  EXPECT_FALSE(progress.empty());
  EXPECT_EQ(200, dbf.RecordCount());
  EXPECT_EQ(0, dbf.DeletedRecordCount());
  // Back in the order it was in, on its first record.
  std::vector<std::string> names;
  for (int i = 1; i <= 300; ++i)
    if (i % 3 != 0) names.push_back(Format("N%05d", (i * 7919) % 1000));
  std::sort(names.begin(), names.end());
  EXPECT_EQ("NAME", dbf.IndexName());
  EXPECT_TRUE(dbf.AtStart());
  EXPECT_EQ(names.front(), dbf.FieldNamed("NAME")->ValueAsString());
  dbf.Last();
  EXPECT_EQ(names.back(), dbf.FieldNamed("NAME")->ValueAsString());
  // Regenerating again is harmless and keeps the record.
  dbf.Prior();
  const std::string current = dbf.FieldNamed("NAME")->ValueAsString();
  dbf.RegenerateIndexes();
  EXPECT_EQ(current, dbf.FieldNamed("NAME")->ValueAsString());
  dbf.Close();

  const std::string after = ReadBack(path_, "cp1252");
  EXPECT_EQ(RowsOnly(before), RowsOnly(after));
  EXPECT_NE(std::string::npos, after.find("deleted: 0\n")) << after.substr(after.size() - 300);

  const std::string table = ReadWholeFile(path_);
  const uint16_t headerSize = GetLE16(oldTable.data() + 8);
  const uint16_t recordSize = GetLE16(oldTable.data() + 10);
  EXPECT_EQ(oldTable[0], table[0]);
  EXPECT_EQ(std::string("\x83\x02\x03", 3), table.substr(1, 3));
  EXPECT_EQ(200u, GetLE32(table.data() + 4));
  EXPECT_EQ(oldTable.substr(8, headerSize - 8), table.substr(8, headerSize - 8));
  EXPECT_EQ(headerSize + 200u * recordSize + 1, table.size());
  EXPECT_EQ('\x1A', table.back());

  const std::string memo = ReadWholeFile(dir_.File("stock.dbt"));
  EXPECT_LT(memo.size(), oldMemo.size());
  EXPECT_EQ(oldMemo.substr(4, 508), memo.substr(4, 508));
  EXPECT_EQ(memo.size() / 512, GetLE32(memo.data()));
  EXPECT_EQ(0u, memo.size() % 512);

  // No file of the pack is left behind.
  std::vector<std::string> files;
  for (const auto& [name, bytes] : Snapshot(dir_.Path())) files.push_back(name);
  EXPECT_EQ((std::vector<std::string>{"qty.ndx", "stock.dbf", "stock.dbt", "stock.mdx"}), files);

  TToolRun check = RunTool("dbfindex", {"check", path_});
  EXPECT_EQ(0, check.status) << check.out << check.err;
  check = RunTool("dbfindex", {"check", path_, "qty.ndx"});
  EXPECT_EQ(0, check.status) << check.out << check.err;

  // Every entry of the NAME tag leads to a record with its key, as another
  // program walks the tag.
  const std::vector<std::string> entries = PerlIndexEntries(dir_.File("stock.mdx"), "NAME");
  ASSERT_EQ(200u, entries.size()) << (entries.empty() ? "" : entries[0]);
  TDbf reader;
  reader.SetTableName(path_);
  reader.SetReadOnly(true);
  reader.Open();
  std::vector<int> recNos;
  for (const std::string& entry : entries) {
    const size_t tab = entry.find('\t');
    const int recNo = std::atoi(entry.c_str() + tab + 1);
    recNos.push_back(recNo);
    reader.SetRecordNumber(recNo);
    EXPECT_EQ(Trim(entry.substr(0, tab)), reader.FieldNamed("NAME")->ValueAsString());
  }
  std::sort(recNos.begin(), recNos.end());
  EXPECT_EQ(1, recNos.front());
  EXPECT_EQ(200, recNos.back());
  EXPECT_EQ(recNos.end(), std::adjacent_find(recNos.begin(), recNos.end()));
}

// dbfindex pack: the same work from the command line, with the index file
// named to it regenerated too.
TEST_F(TDbfPackTest, DbfindexPacksAndRegenerates) {
  Build(60);
  TToolRun run = RunTool("dbfindex", {"pack", path_, "qty.ndx"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ("40 records kept, 20 removed\n", run.out);
  for (const char* index : {"", "qty.ndx"}) {
    run = RunTool("dbfindex", {"check", path_, index});
    EXPECT_EQ(0, run.status) << index << run.out << run.err;
  }
  EXPECT_EQ(PerlIndexEntries(dir_.File("qty.ndx"), "").size(), 40u);
  EXPECT_NE(std::string::npos, ReadBack(path_, "cp1252").find("deleted: 0\n"));
}

// Tables of other programs, with their memo files: dBase III with some and
// with all records deleted, Visual FoxPro with 64-byte memo blocks, and a
// table with no memo file. What dbfread reads stays the same but for the
// deleted records; the headers keep every byte but count and date.
TEST_F(TDbfPackTest, CorpusTablesReadTheSameAfterPacking) {
  struct TCase {
    const char* table;
    const char* memo;
    int removed;
  };
  const TCase cases[] = {
      {"dans-dbf/dbase3plus/cars_del/cars.dbf", "cars.dbt", 1},
      {"dans-dbf/dbase3plus/cars_del2/cars.dbf", "cars.dbt", 4},
      {"dbfread/tests/cases/memotest.dbf", "memotest.FPT", 1},
      {"dbffile/vfp9_30_memo.dbf", "vfp9_30_memo.fpt", 1},
      // Memo blocks of one byte each.
      {"dbffile/vfp9_memo_bs1.dbf", "vfp9_memo_bs1.fpt", 0},
      {"dbffile/PYACFL.DBF", "", 30},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.table);
    TTempDir dir;
    const fs::path source = TestDataPath(std::string("real/") + c.table);
    const std::string table = dir.File(source.filename().string());
    fs::copy_file(source, table);
    std::string memoPath;
    if (*c.memo != '\0') {
      memoPath = dir.File(c.memo);
      fs::copy_file(source.parent_path() / c.memo, memoPath);
    }
    const std::string before = ReadBack(table, "cp437");
    const std::string oldTable = ReadWholeFile(table);
    const std::string oldMemo = memoPath.empty() ? "" : ReadWholeFile(memoPath);

    TDbf dbf;
    dbf.SetTableName(table);
    dbf.Open();
    EXPECT_EQ(c.removed, dbf.PackTable());
    dbf.Close();

    EXPECT_EQ(RowsOnly(before), RowsOnly(ReadBack(table, "cp437")));
    const std::string packed = ReadWholeFile(table);
    const uint16_t headerSize = GetLE16(oldTable.data() + 8);
    EXPECT_EQ(oldTable.substr(0, 1), packed.substr(0, 1));
    EXPECT_EQ(oldTable.substr(8, headerSize - 8), packed.substr(8, headerSize - 8));
    if (!memoPath.empty()) {
      const std::string memo = ReadWholeFile(memoPath);
      // Values are kept whole blocks long, the last one too.
      EXPECT_LE(memo.size(), oldMemo.size() + 512);
      EXPECT_EQ(oldMemo.substr(4, 508), memo.substr(4, 508));
    }
  }
}

// Packing and regenerating need the table to themselves: refused, with
// every file as it was, while another process has it open; refused on a
// read-only table; and regenerating a table without indexes says so.
TEST_F(TDbfPackTest, RefusedWithoutExclusiveUse) {
  Build(30);
  const auto files = Snapshot(dir_.Path());
  {
    TChildProcess other(std::string(ZOZUR_HELPER_DIR) + "/dbf_dataset_helper", {});
    ASSERT_EQ("ok", other.Request("open " + path_ + " shared"));
    TDbf dbf;
    Open(dbf);
    EXPECT_EQ(
        "Cannot pack \"stock.dbf\": another program has the table open. Exclusive access is "
        "required for this operation.",
        Message([&] { dbf.PackTable(); }));
    EXPECT_EQ(
        "Cannot regenerate the indexes of \"stock.dbf\": another program has the table open. "
        "Exclusive access is required for this operation.",
        Message([&] { dbf.RegenerateIndexes(); }));
    // The set goes on sharing the table.
    EXPECT_EQ(30, dbf.RecordCount());
    dbf.SetRecordNumber(1);
    dbf.Edit();
    dbf.Cancel();
    EXPECT_EQ("ok", other.Request("close"));
  }
  {
    TDbf dbf;
    Open(dbf, true);
    EXPECT_EQ(std::string(dbmsg::kDataSetReadOnly), Message([&] { dbf.PackTable(); }));
  }
  EXPECT_EQ("", Changed(files, Snapshot(dir_.Path())));

  // A Visual FoxPro table with a structural .cdx, which this engine cannot
  // keep up to date.
  TTempDir foxDir;
  const std::string fox = foxDir.File("payments.dbf");
  fs::copy_file(TestDataPath("real/javadbf/fixtures/foxpro-xsource/payments.dbf"), fox);
  TDbf foxTable;
  foxTable.SetTableName(fox);
  foxTable.Open();
  EXPECT_EQ("the table's .cdx index cannot be kept up to date; open it read-only",
            Message([&] { foxTable.PackTable(); }));

  TTempDir plainDir;
  TDbf plain;
  plain.SetTableName(plainDir.File("plain.dbf"));
  plain.SetOpenMode(omAutoCreate);
  plain.FieldDefs().Add("A", ftString, 4);
  plain.Open();
  EXPECT_EQ("The table \"plain.dbf\" has no open index.",
            Message([&] { plain.RegenerateIndexes(); }));
  EXPECT_EQ(0, plain.PackTable());
}

// Fails one step of a pack: a rename (the nth), or the writes to the new
// table or memo file once some bytes went out (a full disk).
class TFailingEnv : public platform::TEnvWrapper {
 public:
  TFailingEnv() : TEnvWrapper(platform::TEnv::Default()) {}
  int failRename = 0;  // 1-based; 0: none
  std::string failWritesTo;
  int renames = 0;

  platform::TOsStatus RenameFile(const std::string& from, const std::string& to) override {
    if (++renames == failRename) return platform::TOsStatus(platform::kErrorAccessDenied, "denied");
    return Target()->RenameFile(from, to);
  }
  platform::TOsStatus OpenFile(const std::string& name, platform::TFileOpenMode mode,
                               std::unique_ptr<platform::TFile>& file) override {
    platform::TOsStatus status = Target()->OpenFile(name, mode, file);
    if (status.IsOk() && !failWritesTo.empty() && name.ends_with(failWritesTo))
      file = std::make_unique<TFullDisk>(std::move(file));
    return status;
  }

 private:
  class TFullDisk : public TFileWrapper {
   public:
    using TFileWrapper::TFileWrapper;
    platform::TOsStatus WriteAt(int64_t offset, const void* buffer, int64_t length,
                                int64_t& written) override {
      if (offset + length > 2048) {
        written = 0;
        return platform::TOsStatus(platform::kErrorDiskFull, "No space left on device");
      }
      return TFileWrapper::WriteAt(offset, buffer, length, written);
    }
  };
};

TEST_F(TDbfPackTest, AFailurePartWayLeavesEveryFileAsItWas) {
  Build(300);
  const auto files = Snapshot(dir_.Path());
  struct TCase {
    int failRename;
    const char* failWritesTo;
    std::string cause;
  };
  const std::string table = path_ + ".packing";
  const std::string memo = dir_.File("stock.dbt");
  const TCase cases[] = {
      {0, "stock.dbf.packing", "cannot write \"" + table + "\" (No space left on device)"},
      {0, "stock.dbt.packing", "cannot write \"" + memo + ".packing\" (No space left on device)"},
      {1, "", "cannot rename \"" + memo + "\" to \"" + memo + ".unpacked\" (denied)"},
      {2, "", "cannot rename \"" + memo + ".packing\" to \"" + memo + "\" (denied)"},
      {3, "", "cannot rename \"" + table + "\" to \"" + path_ + "\" (denied)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.cause);
    TFailingEnv env;
    env.failRename = c.failRename;
    env.failWritesTo = c.failWritesTo;
    TDbf dbf;
    dbf.SetEnv(&env);
    Open(dbf);
    EXPECT_EQ("Cannot pack \"stock.dbf\": " + c.cause + ". The table is unchanged.",
              Message([&] { dbf.PackTable(); }));
    // Still open, and still the table it was.
    EXPECT_EQ(300, dbf.RecordCount());
    EXPECT_EQ(100, dbf.DeletedRecordCount());
    dbf.Close();
    EXPECT_EQ("", Changed(files, Snapshot(dir_.Path())));
  }
}

}  // namespace
