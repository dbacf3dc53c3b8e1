#include "tdbf/dataset/dbf.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/env.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf_cursor.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_memo.h"
#include "tests/support/child_process.h"
#include "tests/support/dbf_image.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/temp_dir.h"

namespace {

struct TFieldShape {
  const char* name;
  TFieldType type;
  int size;
};

// Record recNo (1-based) of a table file as stored.
std::string StoredRecord(const std::string& path, int recNo) {
  const std::string bytes = ReadWholeFile(path);
  const size_t headerSize = GetLE16(bytes.data() + 8), recordSize = GetLE16(bytes.data() + 10);
  return bytes.substr(headerSize + static_cast<size_t>(recNo - 1) * recordSize, recordSize);
}

void PatchByte(const std::string& path, size_t offset, char value) {
  std::string bytes = ReadWholeFile(path);
  bytes.at(offset) = value;
  WriteWholeFile(path, bytes);
}

void MarkDeleted(const std::string& path, int recNo) {
  const std::string bytes = ReadWholeFile(path);
  PatchByte(path,
            GetLE16(bytes.data() + 8) + static_cast<size_t>(recNo - 1) * GetLE16(bytes.data() + 10),
            '*');
}

std::string Message(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

int32_t Day(int y, int m, int d) {
  int32_t n = 0;
  TryEncodeDayNumber(y, m, d, n);
  return n;
}

std::string NotFound(const std::string& path) { return "Open: file not found: \"" + path + "\"."; }

class TDbfTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetBaseFolderProvider(
        [] { return std::filesystem::read_symlink("/proc/self/exe").parent_path().string(); });
  }

  // Creates a table through TDbf with one text per field in each row (empty
  // texts stay blank).
  static void CreateTable(const std::string& path, int level,
                          const std::vector<TFieldShape>& fields,
                          const std::vector<std::vector<std::string>>& rows = {}) {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetTableLevel(level);
    dbf.SetOpenMode(omAutoCreate);
    for (const TFieldShape& f : fields) dbf.FieldDefs().Add(f.name, f.type, f.size);
    dbf.Open();
    for (const auto& row : rows) {
      dbf.AppendNew();
      for (size_t i = 0; i < row.size(); ++i)
        if (!row[i].empty()) dbf.FieldNamed(fields[i].name)->SetValueAsString(row[i]);
      dbf.Post();
    }
  }
  // A level-4 table of names and numbers.
  void People(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < names.size(); ++i) rows.push_back({names[i], std::to_string(i + 1)});
    CreateTable(path_, 4, {{"NAME", ftString, 10}, {"NUM", ftSmallint, 0}}, rows);
  }
  static void Open(TDbf& dbf, const std::string& path, bool readOnly = false) {
    dbf.SetTableName(path);
    dbf.SetReadOnly(readOnly);
    dbf.Open();
  }
  // The values of a field in the records the set shows, in order.
  static std::vector<std::string> Values(TDbf& dbf, const char* field = "NAME") {
    std::vector<std::string> values;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next())
      values.push_back(dbf.FieldNamed(field)->ValueAsString());
    return values;
  }
  static std::string Name(TDbf& dbf) { return dbf.FieldNamed("NAME")->ValueAsString(); }
  static std::unique_ptr<TChildProcess> Helper() {
    return std::make_unique<TChildProcess>(std::string(ZOZUR_HELPER_DIR) + "/dbf_dataset_helper",
                                           std::vector<std::string>{});
  }

  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("people.dbf");
};

// ---- Properties and file names ------------------------------------------------

TEST_F(TDbfTest, FileNames) {
  TDbf dbf;
  EXPECT_EQ("6.24", dbf.Version());
  EXPECT_EQ(4, dbf.TableLevel());
  EXPECT_EQ(std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/",
            dbf.FilePathFull());
  dbf.SetTableName("/data/tables/cust.dbf");
  EXPECT_EQ("cust.dbf", dbf.TableName());
  EXPECT_EQ("/data/tables/", dbf.FilePath());
  dbf.SetTableName("orders.dbf");  // keeps the folder
  EXPECT_EQ("/data/tables/orders.dbf", dbf.FullTableName());

  SetBaseFolderProvider([] { return std::string("/opt/app"); });
  dbf.SetFilePath("../shared/./x");
  EXPECT_EQ("../shared/./x/", dbf.FilePath());
  EXPECT_EQ("/opt/shared/x/", dbf.FilePathFull());
  dbf.SetFilePath("");
  EXPECT_EQ("/opt/app/", dbf.FilePathFull());
  SetBaseFolderProvider([] { return std::string(); });
  dbf.SetFilePath("sub");
  EXPECT_EQ((std::filesystem::current_path() / "sub").string() + "/", dbf.FilePathFull());

  for (int level : {25, 5}) dbf.SetTableLevel(level);
  EXPECT_EQ(4, dbf.TableLevel());
}

TEST_F(TDbfTest, FolderAndLevelAreFixedWhileOpen) {
  People({"Ann"});
  TDbf dbf;
  dbf.SetName("tbMain");
  Open(dbf, path_);
  const std::string refused = "tbMain: Cannot perform this operation on an open dataset";
  EXPECT_EQ(refused, Message([&] { dbf.SetFilePath("/tmp"); }));
  EXPECT_EQ(refused, Message([&] { dbf.SetTableLevel(7); }));
  EXPECT_EQ(refused, Message([&] { dbf.SetTableName("/elsewhere/x.dbf"); }));
  dbf.SetTableName("other.dbf");  // for the next open
  EXPECT_EQ(dir_.File("other.dbf"), dbf.FullTableName());
  EXPECT_EQ("Ann", Name(dbf));
}

// ---- Opening and creating ----------------------------------------------------------

TEST_F(TDbfTest, MissingTablesAndNamesWithoutExtension) {
  People({"Ann"});
  TDbf dbf;
  dbf.SetTableName(dir_.File("people"));  // no ".dbf" is added
  EXPECT_EQ(NotFound(dir_.File("people")), Message([&] { dbf.Open(); }));
  EXPECT_FALSE(dbf.Active());
  EXPECT_EQ(nullptr, dbf.DbfFile());
  CreateTable(dir_.File("plain"), 4, {{"A", ftString, 5}}, {{"x"}});
  dbf.SetTableName("plain");
  dbf.Open();
  EXPECT_EQ(1, dbf.RecordCount());
}

TEST_F(TDbfTest, AutoCreateMakesEachLevel) {
  for (auto [level, version] : {std::pair{3, 0x83}, {4, 0x8B}, {7, 0x8C}}) {
    const std::string path = dir_.File("new" + std::to_string(level) + ".dbf");
    CreateTable(path, level,
                {{"NAME", ftString, 12},
                 {"PRICE", ftFloat, 0},
                 {"BORN", ftDate, 0},
                 {"OK", ftBoolean, 0},
                 {"NOTES", ftMemo, 0}},
                {{"Widget", "12.5", "3/4/2001", "True", "first note"}});
    EXPECT_EQ(version, static_cast<uint8_t>(ReadWholeFile(path)[0])) << level;
    EXPECT_TRUE(std::filesystem::exists(ChangeFileExt(path, ".dbt"))) << level;
    TDbf dbf;
    Open(dbf, path);
    EXPECT_EQ(level, dbf.TableLevel());
    EXPECT_EQ("Widget", dbf.FieldNamed("NAME")->ValueAsString());
    EXPECT_DOUBLE_EQ(12.5, dbf.FieldNamed("PRICE")->ValueAsFloat());
    EXPECT_EQ("3/4/2001", dbf.FieldNamed("BORN")->ValueAsString());
    EXPECT_TRUE(dbf.FieldNamed("OK")->ValueAsBoolean());
    EXPECT_EQ("first note", dbf.FieldNamed("NOTES")->ValueAsString());
  }
}

TEST_F(TDbfTest, AutoCreateFromPersistentFieldsAtTheLevelLastOpened) {
  TDbf dbf;
  Open(dbf, TestDataPath("real/dans-dbf/foxpro26/types/MEMOTEST.DBF"), true);
  EXPECT_EQ(25, dbf.TableLevel());
  dbf.Close();
  dbf.FieldDefs().Clear();
  std::unique_ptr<TField> note = CreateFieldForType(ftMemo);
  note->SetFieldName("NOTE");
  dbf.AddField(std::move(note));
  dbf.SetOpenMode(omTemporary);
  Open(dbf, dir_.File("fox.dbf"));
  dbf.AppendNew();
  dbf.FieldNamed("NOTE")->SetValueAsString("fox memo");
  dbf.Post();
  dbf.Close();
  EXPECT_EQ(0xF5, static_cast<uint8_t>(ReadWholeFile(dir_.File("fox.dbf"))[0]));
  const std::string memo = ReadWholeFile(dir_.File("fox.fpt"));
  ASSERT_EQ(1024u, memo.size());
  EXPECT_EQ(8u, GetBE32(memo.data() + 516));  // FoxPro keeps the data length
  EXPECT_EQ("fox memo", memo.substr(520, 8));
}

TEST_F(TDbfTest, CreationThatFailsLeavesNoTable) {
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.SetOpenMode(omAutoCreate);
  dbf.FieldDefs().Add("A", ftString, 5);
  dbf.SetBeforeAutoCreate([](TDbf&, bool& doCreate) { doCreate = false; });
  EXPECT_EQ(NotFound(path_), Message([&] { dbf.Open(); }));
  EXPECT_FALSE(dbf.Active());
  EXPECT_FALSE(std::filesystem::exists(path_));

  dbf.SetBeforeAutoCreate(nullptr);
  dbf.FieldDefs().Add("B", ftVariant, 0);
  EXPECT_EQ("Cannot create field \"B\", field type 20 not supported by DBF.",
            Message([&] { dbf.Open(); }));
  EXPECT_FALSE(dbf.Active());
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(TDbfTest, AbandonedAndFailedOpensWriteNothing) {
  People({"Ann"});
  PatchByte(path_, 28, 1);  // a production index that is not there
  const std::string before = ReadWholeFile(path_);
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.SetOnIndexMissing([](bool& deleteLink) { deleteLink = false; });
  EXPECT_THROW(dbf.Open(), EAbort);
  EXPECT_FALSE(dbf.Active());
  EXPECT_EQ(before, ReadWholeFile(path_));

  PatchByte(path_, 0, 0x39);
  EXPECT_EQ("Invalid DBF file: people.dbf: not a dBase table (first byte 0x39)",
            Message([&] { dbf.Open(); }));
  PatchByte(path_, 0, 0x03);
  dbf.SetOnIndexMissing(nullptr);  // the link is dropped, when the table is written
  dbf.Open();
  dbf.Close();
  EXPECT_EQ(1, ReadWholeFile(path_)[28]) << "looking leaves the link to the index";
  dbf.Open();
  dbf.Edit();
  dbf.Post();
  dbf.Close();
  EXPECT_EQ(0, ReadWholeFile(path_)[28]);
}

TEST_F(TDbfTest, ClosingWritesTheHeaderOnlyAfterAWrite) {
  People({"Ann", "Bob"});
  PatchByte(path_, 1, 90);  // last written in 1990
  const std::string before = ReadWholeFile(path_);
  TDbf dbf;
  Open(dbf, path_, true);
  EXPECT_EQ((std::vector<std::string>{"Ann", "Bob"}), Values(dbf));
  EXPECT_EQ("Cannot modify a read-only dataset", Message([&] { dbf.Edit(); }));
  dbf.Close();
  EXPECT_EQ(before, ReadWholeFile(path_));
  Open(dbf, path_);
  EXPECT_EQ((std::vector<std::string>{"Ann", "Bob"}), Values(dbf));
  dbf.Close();
  EXPECT_EQ(before, ReadWholeFile(path_)) << "browsing in a writing mode writes nothing";
  Open(dbf, path_);
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("Amy");
  dbf.Post();
  dbf.Close();
  const std::string after = ReadWholeFile(path_);
  EXPECT_EQ(platform::TEnv::Default()->LocalTime().year - 1900, static_cast<uint8_t>(after[1]));
  EXPECT_EQ(0x1A, after.back());
}

// ---- Field definitions -----------------------------------------------------------

// Tables copied without their memo files open read-only: memo fields have
// no value, an edit says which file is missing, nothing is written; a
// program that wants the engine's error turns the fallback off.
TEST_F(TDbfTest, MissingMemoFileOpensReadOnly) {
  for (const char* table :
       {"dbffile/dbase_8b_missing_memo.dbf", "infused-dbf/dbase_83_missing_memo.dbf",
        "javadbf/bug-49/student.dbf", "dans-dbf/dbase3plus/fileExceptions/MISSMEMO.DBF"}) {
    SCOPED_TRACE(table);
    const std::string path = dir_.File(std::filesystem::path(table).filename().string());
    std::filesystem::copy_file(TestDataPath(std::string("real/") + table), path);
    const std::string before = ReadWholeFile(path);
    TDbf dbf;
    Open(dbf, path);
    const std::string memoName = dbf.DbfFile()->ReadOnlyReason();
    ASSERT_EQ(0u, memoName.rfind("memo file not found: \"" + path.substr(0, path.size() - 4), 0))
        << memoName;
    EXPECT_EQ(dbf.ReadOnlyReason(), memoName);
    ASSERT_EQ(1u, dbf.OpenWarnings().size());
    EXPECT_NE(std::string::npos, dbf.OpenWarnings()[0].find(memoName));
    EXPECT_FALSE(dbf.IsWritable());
    dbf.First();
    for (int i = 0; i < dbf.FieldCount(); ++i) {
      if (dbf.Fields(i)->DataType() == ftMemo) {
        EXPECT_TRUE(dbf.Fields(i)->ValueIsNull());
      }
    }
    EXPECT_EQ("The table cannot be edited: " + memoName + ".", Message([&] { dbf.Edit(); }));
    dbf.Close();
    EXPECT_EQ(before, ReadWholeFile(path));

    dbf.SetReadOnlyFallback(false);
    EXPECT_EQ(0u, Message([&] { dbf.Open(); }).rfind("Open: file not found: ", 0));
    EXPECT_FALSE(dbf.Active());
  }
}

// A table or memo file the user may not write opens read-only, saying why;
// with the fallback off the error stands. Run as an unprivileged user, as
// the owner's rights do not bind root.
TEST_F(TDbfTest, FilesWithoutWritePermissionOpenReadOnly) {
  CreateTable(path_, 4, {{"NAME", ftString, 10}, {"NOTE", ftMemo, 0}}, {{"Ann", "a note"}});
  const std::string memoPath = dir_.File("people.dbt");
  namespace fs = std::filesystem;
  fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
  const fs::perms readable = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  // Writable by the user the checks run as, whoever owns the file.
  const fs::perms writable =
      readable | fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  // Checks in a child process as "nobody"; its exit status names the first
  // check that failed.
  auto check = [&](const std::string& deniedPath) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
      int failed = 0;
      try {
        TDbf dbf;
        Open(dbf, path_);
        if (dbf.ReadOnlyReason().rfind("no permission to write \"" + deniedPath + "\"", 0) != 0)
          failed = 1;
        else if (dbf.IsWritable() || dbf.OpenWarnings().size() != 1)
          failed = 2;
        else if (Name(dbf) != "Ann" || dbf.FieldNamed("NOTE")->ValueAsString() != "a note")
          failed = 3;
        else if (Message([&] { dbf.Edit(); }).rfind("The table cannot be edited: no permission", 0))
          failed = 4;
        dbf.Close();
        dbf.SetReadOnlyFallback(false);
        if (!failed && Message([&] { dbf.Open(); }).find("Permission denied") == std::string::npos)
          failed = 5;
      } catch (...) {
        failed = 6;
      }
      _exit(failed);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
  };
  const std::string before = ReadWholeFile(path_) + ReadWholeFile(memoPath);
  fs::permissions(path_, readable);
  fs::permissions(memoPath, readable);
  EXPECT_EQ(0, check(path_));
  fs::permissions(path_, writable);
  EXPECT_EQ(0, check(memoPath));
  fs::permissions(memoPath, writable);
  EXPECT_EQ(before, ReadWholeFile(path_) + ReadWholeFile(memoPath));
}

// dBase IV wrote version 0x8B with language byte 0: its memo file is read
// with the block size the file names (1024 here) and written in dBase IV's
// form, a length head instead of end marks.
TEST_F(TDbfTest, DBaseIVMemosWhateverTheLanguageByte) {
  TDbfImage image;
  image.version = 0x8B;
  image.fields = {{"NOTE", 'M', 10}};
  image.records = {"         1"};
  WriteWholeFile(path_, image.Bytes());
  std::string memo(2048, '\0');
  PutWord(memo, 0, 2);  // next free block
  PutWord(memo, 20, 1024);
  memo.replace(1024, 13, std::string("\xFF\xFF\x08\x00\x0D\x00\x00\x00hello", 13));
  const std::string memoPath = dir_.File("people.dbt");
  WriteWholeFile(memoPath, memo);

  TDbf dbf;
  Open(dbf, path_);
  EXPECT_EQ(3, dbf.TableLevel());
  EXPECT_EQ("hello", dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.Edit();
  dbf.FieldNamed("NOTE")->SetValueAsString("world!");
  dbf.Post();
  dbf.Close();
  // The value fits its block and is written in place.
  const std::string after = ReadWholeFile(memoPath);
  EXPECT_EQ(std::string("\xFF\xFF\x08\x00\x0E\x00\x00\x00world!", 14), after.substr(1024, 14));
  EXPECT_EQ("0000000001", StoredRecord(path_, 1).substr(1));
  Open(dbf, path_, true);
  EXPECT_EQ("world!", dbf.FieldNamed("NOTE")->ValueAsString());
}

// A dBase III table with FoxPro's currency and date-time fields, as tools
// write them: read, edited and read back in FoxPro's encodings; a table
// without fields opens with its record and no columns.
TEST_F(TDbfTest, NeighbouringLevelFieldsAndNoFields) {
  std::filesystem::copy_file(TestDataPath("real/dbd-xbase/types.dbf"), path_);
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_EQ(3, dbf.TableLevel());
  dbf.First();
  dbf.Next();
  EXPECT_DOUBLE_EQ(858993.4591, dbf.FieldNamed("PAYMENT")->ValueAsFloat());
  const TDateTime when = dbf.FieldNamed("T")->ValueAsDateTime();
  EXPECT_EQ(DateTimeToDayNumber(when), Day(2003, 4, 4));
  dbf.Edit();
  dbf.FieldNamed("PAYMENT")->SetValueAsFloat(-12.3456);
  dbf.FieldNamed("T")->SetValueAsDateTime(DayNumberToDateTime(Day(2020, 2, 29)) + 0.5);
  dbf.Post();
  dbf.Close();
  const std::string record = StoredRecord(path_, 2);
  // -123456 ten-thousandths; Julian day 2458909 and 43200000 ms.
  EXPECT_EQ(std::string("\xC0\x1D\xFE\xFF\xFF\xFF\xFF\xFF", 8), record.substr(9, 8));
  EXPECT_EQ(std::string("\x1D\x85\x25\x00\x00\x2E\x93\x02", 8), record.substr(17, 8));
  Open(dbf, path_, true);
  dbf.First();
  dbf.Next();
  EXPECT_DOUBLE_EQ(-12.3456, dbf.FieldNamed("PAYMENT")->ValueAsFloat());
  dbf.Close();

  const std::string polygon = dir_.File("polygon.dbf");
  std::filesystem::copy_file(TestDataPath("real/infused-dbf/polygon.dbf"), polygon);
  Open(dbf, polygon, true);
  EXPECT_EQ(0, dbf.FieldCount());
  EXPECT_EQ(1, dbf.RecordCount());
  dbf.Close();
}

TEST_F(TDbfTest, RepeatedNamesGetNumbers) {
  CreateTable(path_, 4, {{"NAME", ftString, 3}, {"NAMX", ftString, 3}, {"NAMY", ftString, 3}},
              {{"a", "b", "c"}});
  PatchByte(path_, 32 + 32 + 3, 'E');
  PatchByte(path_, 32 + 64 + 3, 'E');
  TDbf dbf;
  dbf.SetTableName(path_);
  TStringList names;
  dbf.ListFieldNames(names);  // from a closed set
  EXPECT_EQ("NAME;NAME2;NAME3", names.DelimitedText(';'));
  dbf.Open();
  EXPECT_EQ("NAME3", dbf.DbfFile()->FieldDefs()[2].FieldName());
  EXPECT_EQ("c", dbf.FieldNamed("NAME3")->ValueAsString());
}

TEST_F(TDbfTest, LockFieldIsHiddenAndAutoIncrementReadOnly) {
  CreateTable(path_, 7, {{"ID", ftAutoInc, 0}, {"_DBASELOCK", ftString, 16}, {"NAME", ftString, 8}},
              {{"", "", "first"}, {"", "", "second"}});
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_TRUE(dbf.FieldDefs()[0].HasAttribute(faReadonly));
  EXPECT_TRUE(dbf.FieldDefs()[1].HasAttribute(faHiddenCol));
  EXPECT_EQ(2, dbf.FieldCount());
  EXPECT_EQ(nullptr, dbf.FindFieldNamed("_DBASELOCK"));
  EXPECT_TRUE(dbf.FieldNamed("ID")->ReadOnly());
  EXPECT_EQ((std::vector<std::string>{"0", "1"}), Values(dbf, "ID"));
  dbf.First();
  const std::string before = StoredRecord(path_, 1);
  dbf.Edit();  // stamps the lock field in the file at once
  EXPECT_NE(before, StoredRecord(path_, 1));
  dbf.Cancel();
}

// ---- Fetching ------------------------------------------------------------------------

TEST_F(TDbfTest, DeletedRecordsAreSkippedUnlessShown) {
  People({"Ann", "Bob", "Cid", "Dan", "Eve"});
  for (int recNo : {2, 4, 5}) MarkDeleted(path_, recNo);
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_EQ((std::vector<std::string>{"Ann", "Cid"}), Values(dbf));
  dbf.Last();
  EXPECT_EQ("Cid", Name(dbf));
  EXPECT_EQ(5, dbf.RecordCount());
  dbf.SetShowDeleted(true);
  EXPECT_EQ("Cid", Name(dbf));  // refilled around it
  dbf.Last();
  EXPECT_EQ("Eve", Name(dbf));
  EXPECT_EQ('*', TDbf::RecordImage(dbf.ActiveBuffer())[0]);
  EXPECT_EQ(5, dbf.RecordCount());
}

TEST_F(TDbfTest, EmptyTable) {
  People({});
  TDbf dbf;
  Open(dbf, path_);
  for (auto move : {&TDataSet::First, &TDataSet::Last}) {
    (dbf.*move)();
    EXPECT_TRUE(dbf.IsEmpty());
  }
  EXPECT_EQ(0, dbf.RecordCount());
  EXPECT_TRUE(dbf.FieldNamed("NAME")->ValueIsNull());
}

TEST_F(TDbfTest, RecordNumbersBookmarksAndIndexName) {
  People({"Ann", "Bob", "Cid", "Dan"});
  TDbf dbf;
  dbf.SetIndexName("BYNAME");
  Open(dbf, path_);
  EXPECT_EQ("", dbf.IndexName());  // no index is open: record-number order
  EXPECT_NE(nullptr, dynamic_cast<TDbfCursor*>(dbf.Cursor()));
  dbf.SetRecordNumber(3);
  EXPECT_EQ("Cid", Name(dbf));
  EXPECT_EQ(3, dbf.RecordNumber());
  const std::string third = dbf.Bookmark();
  dbf.First();
  const std::string first = dbf.Bookmark();
  EXPECT_EQ(-1, dbf.CompareMarks(first, third));
  EXPECT_EQ(1, dbf.CompareMarks(third, first));
  EXPECT_EQ(0, dbf.CompareMarks("", ""));
  EXPECT_EQ(-1, dbf.CompareMarks("", first));
  dbf.MoveToBookmark(third);
  dbf.SetIndexName("OTHER");
  EXPECT_EQ("Cid", Name(dbf));
}

TEST_F(TDbfTest, FilterAndCalculatedFieldsReadTheirOwnRecord) {
  People({"Ann", "Bob", "Bea", "Cid"});
  TDbf dbf;
  auto name = CreateFieldForType(ftString, 10);
  name->SetFieldName("NAME");
  dbf.AddField(std::move(name));
  auto length = CreateFieldForType(ftInteger);
  length->SetFieldName("LEN");
  length->SetFieldKind(fkCalculated);
  TField* lengthField = dbf.AddField(std::move(length));
  dbf.SetOnCalcFields([&](TDataSet& set) {
    lengthField->SetValueAsInteger(static_cast<int32_t>(Name(static_cast<TDbf&>(set)).size()));
  });
  bool inFilterState = true;
  dbf.SetOnFilterRecord([&](TDataSet& set, bool& accept) {
    inFilterState = inFilterState && set.State() == rsFilter;
    accept = Name(static_cast<TDbf&>(set))[0] == 'B';
  });
  dbf.SetFiltered(true);
  Open(dbf, path_);
  EXPECT_EQ((std::vector<std::string>{"Bob", "Bea"}), Values(dbf));
  EXPECT_EQ(3, lengthField->ValueAsInteger());
  EXPECT_TRUE(inFilterState);
  dbf.SetFiltered(false);
  dbf.Last();
  EXPECT_EQ("Cid", Name(dbf));
}

// ---- Code pages ----------------------------------------------------------------------

TEST_F(TDbfTest, TranslationModes) {
  People({"Ann"});
  ASSERT_FALSE(DbfGlobals().IsCodePageInstalled(620));
  // Language byte: none, 1252, 437 (the OEM code page), 866, 620 (missing).
  for (auto [id, mode] : {std::pair{0x00, tmAnsi},
                          {0x58, tmAnsi},
                          {0x1B, tmOem},
                          {0x26, tmOther},
                          {0x69, tmReadOnly}}) {
    PatchByte(path_, 29, static_cast<char>(id));
    TDbf dbf;
    Open(dbf, path_);
    EXPECT_EQ(mode, dbf.TranslationMode()) << id;
    EXPECT_EQ(mode != tmReadOnly, dbf.IsWritable()) << id;
    EXPECT_EQ("Ann", Name(dbf));
  }
  for (auto [action, mode] :
       {std::pair{laReadOnly, tmReadOnly}, {laForceOEM, tmOem}, {laForceANSI, tmAnsi}}) {
    TDbf dbf;
    dbf.SetOnLanguageWarning([action = action](TDbf&, int& a) { a = action; });
    Open(dbf, path_);
    EXPECT_EQ(mode, dbf.TranslationMode()) << action;
  }
}

TEST_F(TDbfTest, MemoFileFoundWhateverItsLetterCase) {
  CreateTable(path_, 4, {{"NAME", ftString, 10}, {"NOTE", ftMemo, 0}},
              {{"Ann", "first note"}, {"Bob", "second note"}});
  const std::string lower = ChangeFileExt(path_, ".dbt"), upper = dir_.File("PEOPLE.DBT");
  std::filesystem::rename(lower, upper);
  {
    TDbf dbf;
    Open(dbf, path_);
    EXPECT_EQ((std::vector<std::string>{"first note", "second note"}), Values(dbf, "NOTE"));
    dbf.Last();
    dbf.Edit();
    dbf.FieldNamed("NOTE")->SetValueAsString("changed");
    dbf.Post();
  }
  EXPECT_FALSE(std::filesystem::exists(lower));
  TDbf again;
  Open(again, path_, true);
  EXPECT_EQ((std::vector<std::string>{"first note", "changed"}), Values(again, "NOTE"));
  EXPECT_EQ(upper, again.DbfFile()->MemoFile()->FileName());

  // A table copied from a case-insensitive file system: no records, but
  // its memo file opens.
  TDbf agencias;
  Open(agencias, TestDataPath("real/javadbf/bug-37/agencias.dbf"), true);
  EXPECT_EQ(0, agencias.RecordCount());
  ASSERT_NE(nullptr, agencias.DbfFile()->MemoFile());
  EXPECT_EQ(TestDataPath("real/javadbf/bug-37/AGENCIAS.DBT"),
            agencias.DbfFile()->MemoFile()->FileName());

  // A new table's memo file takes the table's letter case.
  const std::string loud = dir_.File("LOUD.DBF");
  CreateTable(loud, 4, {{"NOTE", ftMemo, 0}}, {{"x"}});
  EXPECT_TRUE(std::filesystem::exists(dir_.File("LOUD.DBT")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("LOUD.dbt")));
}

// Tables in the common code pages, each named by its language byte: text
// goes in and comes out as UTF-8 and is stored in the table's code page,
// whatever code pages the system has.
TEST_F(TDbfTest, TextIsUtf8InsideAndTheTableCodePageOnDisk) {
  const struct {
    uint8_t languageId;
    const char* text;    // UTF-8
    const char* stored;  // the same in the table's code page
  } tables[] = {
      {0xCA, "\u015EAH\u0130N",
       "\xDE"
       "AH\xDD"
       "N"},                                                                       // 1254 ŞAHİN
      {0x6B, "\u015Ei\u015Fli", "\x9Ei\x9Fli"},                                    // 857 Şişli
      {0x26, "\u041F\u0440\u0438\u0432\u0435\u0442", "\x8F\xE0\xA8\xA2\xA5\xE2"},  // 866
      {0xC9, "\u041C\u041E\u0421\u041A\u0412\u0410", "\xCC\xCE\xD1\xCA\xC2\xC0"},  // 1251
      {0x6A, "\u0391\u03B8\u03AE\u03BD\u03B1", "\x80\x9F\xE3\xA4\x98"},            // 737
      {0xCB, "\u0391\u03B8\u03AE\u03BD\u03B1", "\xC1\xE8\xDE\xED\xE1"},            // 1253
      {0x64, "\u0141\u00F3d\u017A",
       "\x9D\xA2"
       "d\xAB"},  // 852 Łódź
      {0xC8, "\u0141\u00F3d\u017A",
       "\xA3\xF3"
       "d\x9F"},  // 1250
  };
  const std::string lineAndNul("\n\0", 2);
  for (const platform::TSystemLocale& system :
       {platform::TSystemLocale{1252, 437, 0x0409}, platform::TSystemLocale{1254, 857, 0x041F}}) {
    locale_.Set(system);
    for (const auto& table : tables) {
      SCOPED_TRACE(std::to_string(table.languageId) + " on " + std::to_string(system.ansiCodePage));
      path_ = dir_.File(std::to_string(system.ansiCodePage) + "_" +
                        std::to_string(table.languageId) + ".dbf");
      CreateTable(path_, 4, {{"NAME", ftString, 10}, {"NOTE", ftMemo, 0}});
      PatchByte(path_, 29, static_cast<char>(table.languageId));
      {
        TDbf dbf;
        Open(dbf, path_);
        dbf.AppendNew();
        dbf.FieldNamed("NAME")->SetValueAsString(table.text);
        dbf.FieldNamed("NOTE")->SetValueAsString(table.text + lineAndNul + table.text);
        dbf.Post();
        EXPECT_EQ(table.text, Name(dbf));
      }
      const std::string stored = table.stored;
      EXPECT_EQ(stored + std::string(10 - stored.size(), ' '),
                StoredRecord(path_, 1).substr(1, 10));
      EXPECT_NE(std::string::npos,
                ReadWholeFile(ChangeFileExt(path_, ".dbt")).find(stored + lineAndNul + stored));
      TDbf again;
      Open(again, path_);
      EXPECT_EQ(table.text, Name(again));
      EXPECT_EQ(table.text + lineAndNul + table.text, again.FieldNamed("NOTE")->ValueAsString());
      // Editing another field leaves the text's bytes alone.
      again.Edit();
      again.FieldNamed("NOTE")->SetValueAsString("x");
      again.Post();
      EXPECT_EQ(stored, StoredRecord(path_, 1).substr(1, stored.size()));
    }
  }

  // A replacement conversion: the stored bytes pass as they are.
  TDbf raw;
  raw.SetOnTranslate(
      [](TDbf&, std::string_view src, std::string& dest, bool) { dest.assign(src); });
  Open(raw, path_);
  EXPECT_EQ(
      "\xA3\xF3"
      "d\x9F",
      Name(raw));
}

TEST_F(TDbfTest, CharactersTheCodePageLacksAreRefusedAndTextIsCutBetweenCharacters) {
  CreateTable(path_, 4, {{"CITY", ftString, 5}, {"NOTE", ftMemo, 0}}, {{"Rome", "old"}});
  PatchByte(path_, 29, 0x58);  // 1252
  const std::string before = ReadWholeFile(path_);
  const std::string memoBefore = ReadWholeFile(ChangeFileExt(path_, ".dbt"));
  {
    TDbf dbf;
    dbf.SetName("tbMain");
    Open(dbf, path_);
    dbf.Edit();
    EXPECT_EQ(
        "tbMain: '\u015E' cannot be stored in field 'CITY': the table's code page 1252 has no "
        "such character",
        Message([&] { dbf.FieldNamed("CITY")->SetValueAsString("\u015Ei\u015Fli"); }));
    EXPECT_EQ("Rome", dbf.FieldNamed("CITY")->ValueAsString());
    // Every character of 1252 is stored, the euro sign and the curly
    // quotes among them.
    dbf.FieldNamed("CITY")->SetValueAsString("\u20AC\u201Cx\u201D\u00E9!");
    EXPECT_EQ("\u20AC\u201Cx\u201D\u00E9", dbf.FieldNamed("CITY")->ValueAsString());
    dbf.FieldNamed("NOTE")->SetValueAsString("new \u0130");
    EXPECT_EQ(
        "tbMain: '\u0130' cannot be stored in field 'NOTE': the table's code page 1252 has no "
        "such character",
        Message([&] { dbf.Post(); }));
    dbf.Cancel();
  }
  EXPECT_EQ(before, ReadWholeFile(path_));
  EXPECT_EQ(memoBefore, ReadWholeFile(ChangeFileExt(path_, ".dbt")));

  // Shift-JIS stores these characters in two bytes each: five bytes hold
  // two of them, never one and a half.
  PatchByte(path_, 29, 0x13);  // 932
  TDbf dbf;
  Open(dbf, path_);
  dbf.Edit();
  dbf.FieldNamed("CITY")->SetValueAsString("\u65E5\u672C\u8A9E");
  EXPECT_EQ("\u65E5\u672C", dbf.FieldNamed("CITY")->ValueAsString());
  dbf.FieldNamed("CITY")->SetValueAsString("a\u65E5\u672C\u8A9E");
  EXPECT_EQ("a\u65E5\u672C", dbf.FieldNamed("CITY")->ValueAsString());
  dbf.Post();
  EXPECT_EQ("a\x93\xFA\x96\x7B", StoredRecord(path_, 1).substr(1, 5));
}

// ---- Editing --------------------------------------------------------------------------

TEST_F(TDbfTest, AppendAndInsertStoreAtTheEnd) {
  People({"Ann", "Bob"});
  TDbf dbf;
  Open(dbf, path_);
  dbf.AppendNew();
  EXPECT_EQ("", dbf.Bookmark());
  dbf.FieldNamed("NAME")->SetValueAsString("Cid");
  dbf.FieldNamed("NUM")->SetValueAsInteger(7);
  dbf.Post();
  EXPECT_EQ("Cid", Name(dbf));  // the new record is current
  EXPECT_EQ(3, dbf.RecordNumber());
  EXPECT_EQ(" Cid       0007", StoredRecord(path_, 3));
  dbf.First();
  dbf.Next();
  dbf.Insert();
  dbf.FieldNamed("NAME")->SetValueAsString("New");
  dbf.Post();
  EXPECT_EQ("Bob", Name(dbf));  // the cursor stayed where it was
  EXPECT_EQ((std::vector<std::string>{"Ann", "Bob", "Cid", "New"}), Values(dbf));
  dbf.Close();
  const std::string file = ReadWholeFile(path_);
  EXPECT_EQ(4u, GetLE32(file.data() + 4));
  EXPECT_EQ(GetLE16(file.data() + 8) + 4u * 15 + 1, file.size());
}

TEST_F(TDbfTest, EditPostWritesAndCancelDiscards) {
  People({"Ann", "Bob"});
  TDbf dbf;
  Open(dbf, path_);
  dbf.Next();
  dbf.Edit();
  EXPECT_EQ(2, dbf.LockedRecNo());
  dbf.FieldNamed("NAME")->SetValueAsString("Robert");
  dbf.Post();
  EXPECT_EQ(-1, dbf.LockedRecNo());
  EXPECT_EQ(" Robert    0002", StoredRecord(path_, 2));
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("Nobody");
  dbf.Cancel();
  EXPECT_EQ("Robert", Name(dbf));
  EXPECT_EQ(" Robert    0002", StoredRecord(path_, 2));
  EXPECT_EQ(-1, dbf.LockedRecNo());
}

TEST_F(TDbfTest, RecordLockedByAnotherHandleCanBeRetried) {
  People({"Ann", "Bob"});
  TDbf first, second;
  Open(first, path_);
  Open(second, path_);
  first.Edit();
  EXPECT_EQ("Record locked.", Message([&] { second.Edit(); }));
  EXPECT_EQ(rsBrowse, second.State());
  int retries = 0;
  second.SetOnEditError([&](TDataSet&, EDatabaseError& error, TDataAction& action) {
    EXPECT_EQ("Record locked.", error.Message());
    if (++retries == 3) first.Cancel();
    action = daRetry;
  });
  second.Edit();
  EXPECT_EQ(3, retries);
  EXPECT_EQ(rsEdit, second.State());
}

TEST_F(TDbfTest, DeleteFlagsTheRecord) {
  for (bool showDeleted : {false, true}) {
    People({"Ann", "Bob"});
    TDbf dbf;
    dbf.SetShowDeleted(showDeleted);
    int edits = 0, posts = 0;
    dbf.SetAfterEdit([&](TDataSet&) { ++edits; });
    dbf.SetAfterPost([&](TDataSet&) { ++posts; });
    Open(dbf, path_);
    dbf.Delete();
    EXPECT_EQ(1, edits);
    EXPECT_EQ(1, posts);
    EXPECT_EQ('*', StoredRecord(path_, 1)[0]);
    EXPECT_EQ(showDeleted ? "Ann" : "Bob", Name(dbf));
    dbf.Last();
    dbf.Delete();  // the last visible record
    EXPECT_EQ(showDeleted, !dbf.IsEmpty());
    EXPECT_EQ(2, dbf.RecordCount());
    dbf.Close();
    std::filesystem::remove(path_);
  }
}

TEST_F(TDbfTest, StoreNewRecordAppendsTheBuffer) {
  struct TTestDbf : TDbf {
    using TDbf::InitRecordBuffer;
    using TDbf::NewRecordBuffer;
    using TDbf::StoreNewRecord;
  };
  People({"Ann"});
  TTestDbf dbf;
  Open(dbf, path_);
  std::unique_ptr<char[]> buffer = dbf.NewRecordBuffer();
  dbf.InitRecordBuffer(buffer.get());
  std::memcpy(TDbf::RecordImage(buffer.get()) + 1, "Direct", 6);
  dbf.StoreNewRecord(buffer.get(), true);
  EXPECT_EQ(" Direct        ", StoredRecord(path_, 2));
}

// ---- Memo and binary fields ------------------------------------------------------

class TDbfMemoTest : public TDbfTest {
 protected:
  void SetUp() override {
    CreateTable(path_, 4, {{"NAME", ftString, 5}, {"NOTE", ftMemo, 0}, {"DATA", ftBlob, 0}},
                {{"a", std::string(20, 'x'), ""}, {"b", "second", ""}});
  }
  int32_t BlockOf(int recNo) const {
    int64_t block = 0;
    ParseDecimalInt(StoredRecord(path_, recNo).data() + 6, 10, block);
    return static_cast<int32_t>(block);
  }
  std::string Memo() const { return ReadWholeFile(ChangeFileExt(path_, ".dbt")); }
};

TEST_F(TDbfMemoTest, ValuesReadAndWriteThroughFields) {
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_EQ(std::string(20, 'x'), dbf.FieldNamed("NOTE")->ValueAsString());
  EXPECT_TRUE(dbf.FieldNamed("DATA")->ValueIsNull());
  dbf.Next();
  dbf.Edit();
  const std::string binary("\x00\x01\xFF\x1A\x1A\x00tail", 10);
  dbf.FieldNamed("DATA")->SetValueAsString(binary);
  dbf.Post();
  dbf.AppendNew();
  EXPECT_TRUE(dbf.FieldNamed("NOTE")->ValueIsNull());
  dbf.FieldNamed("NOTE")->SetValueAsString("third memo");
  dbf.Post();
  dbf.Close();
  Open(dbf, path_);
  EXPECT_EQ((std::vector<std::string>{std::string(20, 'x'), "second", "third memo"}),
            Values(dbf, "NOTE"));
  EXPECT_EQ((std::vector<std::string>{"", binary, ""}), Values(dbf, "DATA"));
}

TEST_F(TDbfMemoTest, ValuesThatFitReuseTheirChain) {
  TDbf dbf;
  Open(dbf, path_);
  const int32_t block = BlockOf(1);
  const size_t size = Memo().size();
  dbf.Edit();
  dbf.FieldNamed("NOTE")->SetValueAsString(std::string(30, 'y'));
  dbf.Post();
  EXPECT_EQ(block, BlockOf(1));
  EXPECT_EQ(size, Memo().size());
  dbf.Edit();
  dbf.FieldNamed("NOTE")->SetValueAsString(std::string(600, 'z'));
  dbf.Post();
  EXPECT_NE(block, BlockOf(1));
  EXPECT_EQ(size + 1024, Memo().size());
  dbf.Edit();
  dbf.FieldNamed("NOTE")->Clear();
  dbf.Post();
  EXPECT_EQ(std::string(10, ' '), StoredRecord(path_, 1).substr(6, 10));
}

TEST_F(TDbfMemoTest, CancelLeavesTheMemoFileAlone) {
  const std::string before = Memo();
  TDbf dbf;
  Open(dbf, path_);
  dbf.Edit();
  dbf.FieldNamed("NOTE")->SetValueAsString(std::string(2000, 'q'));
  dbf.Cancel();
  EXPECT_EQ(before, Memo());
  EXPECT_EQ(std::string(20, 'x'), dbf.FieldNamed("NOTE")->ValueAsString());
}

// A damaged memo file never makes an edit grow it beyond the value: a next
// free block past the end of the file refuses the write and changes
// nothing; a record whose block lies past the end reads as empty and its
// new value goes to the end of the file.
TEST_F(TDbfMemoTest, DamagedPointersCannotGrowTheMemoFile) {
  const std::string memoPath = ChangeFileExt(path_, ".dbt");
  const std::string sound = Memo();
  ASSERT_EQ(3u * 512u, sound.size());
  const std::string table = ReadWholeFile(path_);
  for (uint32_t nextFree : {0x00FFFFFFu, 0x7FFFF000u}) {
    std::string damaged = sound;
    PutLE32(damaged.data(), nextFree);
    WriteWholeFile(memoPath, damaged);
    TDbf dbf;
    Open(dbf, path_);
    dbf.Edit();
    dbf.FieldNamed("NOTE")->SetValueAsString(std::string(600, 'n'));
    EXPECT_EQ("memo file people.dbt is damaged: next free block " + std::to_string(nextFree) +
                  " lies beyond its end (block 3)",
              Message([&] { dbf.Post(); }));
    dbf.Cancel();
    dbf.Close();
    EXPECT_EQ(damaged, Memo());
    EXPECT_EQ(table, ReadWholeFile(path_));
  }

  WriteWholeFile(memoPath, sound);
  const size_t field = GetLE16(table.data() + 8) + GetLE16(table.data() + 10) + 6;
  for (const char* block : {"    999999", "2147483000"}) {
    std::string bytes = table;
    bytes.replace(field, 10, block);
    WriteWholeFile(path_, bytes);
    TDbf dbf;
    Open(dbf, path_);
    dbf.Next();
    EXPECT_EQ("", dbf.FieldNamed("NOTE")->ValueAsString());
    const size_t before = Memo().size();
    dbf.Edit();
    dbf.FieldNamed("NOTE")->SetValueAsString("short");
    dbf.Post();
    dbf.Close();
    EXPECT_EQ(before + 512, Memo().size());
    EXPECT_EQ(static_cast<int32_t>(before / 512), BlockOf(2));
    Open(dbf, path_);
    EXPECT_EQ((std::vector<std::string>{std::string(20, 'x'), "short"}), Values(dbf, "NOTE"));
  }
}

TEST_F(TDbfMemoTest, OtherRowsReadTheirOwnValuesDuringAnEdit) {
  TDbf dbf;
  TDataSource source;
  TDataLink grid;  // a grid of three rows
  grid.SetBufferCount(3);
  source.SetDataSet(&dbf);
  grid.SetDataSource(&source);
  Open(dbf, path_);
  dbf.Edit();
  dbf.FieldNamed("NOTE")->SetValueAsString("changed");
  dbf.SetActiveRecord(1);  // the grid draws the other row
  EXPECT_EQ("second", dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.SetActiveRecord(0);
  dbf.Post();
  EXPECT_EQ((std::vector<std::string>{"changed", "second"}), Values(dbf, "NOTE"));
}

// A value set but not yet posted is what the field reads back, also for a
// record that had no value, and reading it, in whole or only its size, does
// not change what the post writes.
TEST_F(TDbfMemoTest, UnpostedValuesSurviveReadsBeforeThePost) {
  TDbf dbf;
  Open(dbf, path_);
  TField* note = dbf.FieldNamed("NOTE");
  dbf.AppendNew();
  note->SetValueAsString("new note");
  EXPECT_EQ("new note", note->ValueAsString());
  dbf.Post();
  dbf.First();
  dbf.Edit();
  note->SetValueAsString("edited");
  EXPECT_EQ(6, dynamic_cast<TBlobField*>(note)->BlobSize());
  dbf.Post();
  dbf.Next();
  dbf.Edit();
  dbf.FieldNamed("DATA")->SetValueAsString("bytes");
  EXPECT_EQ(5, dynamic_cast<TBlobField*>(dbf.FieldNamed("DATA"))->BlobSize());
  dbf.Post();
  dbf.Close();
  Open(dbf, path_);
  EXPECT_EQ((std::vector<std::string>{"edited", "second", "new note"}), Values(dbf, "NOTE"));
  EXPECT_EQ((std::vector<std::string>{"", "bytes", ""}), Values(dbf, "DATA"));
}

TEST_F(TDbfMemoTest, BlobStreamsAreSharedAndCounted) {
  TDbf dbf;
  Open(dbf, path_);
  TField* note = dbf.FieldNamed("NOTE");
  std::shared_ptr<TStream> a = dbf.CreateBlobStream(note, bmRead);
  std::shared_ptr<TStream> b = dbf.CreateBlobStream(note, bmRead);
  ASSERT_EQ(a.get(), b.get());
  auto* stream = dynamic_cast<TDbfBlobStream*>(a.get());
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(3, stream->UseCount());  // the set's slot and two users
  EXPECT_EQ(20, stream->ReadSize());
  EXPECT_EQ(0, a->Write("no", 2));  // a read stream takes no writes
  EXPECT_FALSE(stream->Dirty());
  b.reset();
  EXPECT_EQ(2, stream->UseCount());
  EXPECT_EQ(nullptr, dbf.CreateBlobStream(dbf.FieldNamed("NAME"), bmRead));
}

// ---- Between processes -------------------------------------------------------------

TEST_F(TDbfTest, RecordLockedByAnotherProcess) {
  People({"Ann", "Bob"});
  auto helper = Helper();
  ASSERT_EQ("ok", helper->Request("open " + path_ + " shared"));
  ASSERT_EQ("ok", helper->Request("edit"));
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_EQ("Record locked.", Message([&] { dbf.Edit(); }));
  EXPECT_EQ(rsBrowse, dbf.State());
  ASSERT_EQ("ok", helper->Request("set NAME Annie"));
  ASSERT_EQ("ok", helper->Request("post"));
  EXPECT_EQ("Ann", Name(dbf));  // as fetched
  dbf.Edit();                   // starts from what the other process posted
  EXPECT_EQ("Annie", Name(dbf));
  EXPECT_EQ("error Record locked.", helper->Request("edit"));
  dbf.FieldNamed("NUM")->SetValueAsInteger(5);
  dbf.Post();
  EXPECT_EQ("ok", helper->Request("edit"));
  EXPECT_EQ("5", helper->Request("get NUM"));
}

TEST_F(TDbfTest, AppendsOfAnotherProcessShowAtTheNextFetch) {
  People({"Ann"});
  TDbf dbf;
  Open(dbf, path_);
  auto helper = Helper();
  ASSERT_EQ("ok", helper->Request("open " + path_ + " shared"));
  EXPECT_EQ("ok 2", helper->Request("append NAME=Bob NUM=2"));
  EXPECT_EQ(2, dbf.RecordCount());
  dbf.Next();
  EXPECT_EQ("Bob", Name(dbf));
  dbf.AppendNew();
  dbf.FieldNamed("NAME")->SetValueAsString("Cid");
  dbf.Post();
  EXPECT_EQ(3, dbf.RecordNumber());
  EXPECT_EQ("3", helper->Request("last"));
  EXPECT_EQ("Cid", helper->Request("get NAME"));
}

// A walk in blocks reads the records of each block together: it shows
// what a walk record by record shows (deleted records, alone and in a run
// longer than a block, a slot that holds no record, a filter), and a
// record another process changes after a block was read shows changed
// when the walk reaches it.
TEST_F(TDbfTest, WalksInBlocksShowWhatWalksRecordByRecordShow) {
  std::vector<std::string> names;
  for (int i = 1; i <= 300; ++i) names.push_back("R" + std::to_string(i));
  People(names);
  for (int recNo : {1, 2, 70, 150, 151, 300}) MarkDeleted(path_, recNo);
  for (int recNo = 201; recNo <= 230; ++recNo) MarkDeleted(path_, recNo);
  const std::string bytes = ReadWholeFile(path_);
  PatchByte(path_, GetLE16(bytes.data() + 8) + 99 * size_t{GetLE16(bytes.data() + 10)}, 'X');
  TDbf dbf;
  Open(dbf, path_);
  dbf.SetFilter("NUM > 140");
  for (bool showDeleted : {false, true}) {
    for (bool filtered : {false, true}) {
      dbf.SetShowDeleted(showDeleted);
      dbf.SetFiltered(filtered);
      const std::vector<std::string> expected = Values(dbf);
      EXPECT_EQ(size_t{filtered ? 160u - 33 * !showDeleted : 299u - 36 * !showDeleted},
                expected.size());
      dbf.SetBlockReadSize(7);
      EXPECT_EQ(expected, Values(dbf)) << showDeleted << filtered;
      dbf.SetBlockReadSize(0);
    }
  }
  dbf.SetShowDeleted(false);
  dbf.SetFiltered(false);

  auto helper = Helper();
  ASSERT_EQ("ok", helper->Request("open " + path_ + " shared"));
  dbf.SetBlockReadSize(7);
  dbf.First();
  EXPECT_EQ("R3", Name(dbf));
  for (const char* request : {"goto 12", "edit", "set NAME Changed", "post"})
    ASSERT_EQ("ok", helper->Request(request)) << request;
  std::vector<std::string> walked;
  for (; !dbf.AtEnd(); dbf.Next()) walked.push_back(Name(dbf));
  ASSERT_GE(walked.size(), 10u);
  EXPECT_EQ("Changed", walked[9]);
}

TEST_F(TDbfTest, ClosingKeepsWhatAnotherProcessAppended) {
  CreateTable(path_, 7, {{"ID", ftAutoInc, 0}, {"NAME", ftString, 8}}, {{"", "Ann"}});
  {
    TDbf dbf;
    Open(dbf, path_);
    auto helper = Helper();
    ASSERT_EQ("ok", helper->Request("open " + path_ + " shared"));
    EXPECT_EQ("ok 2", helper->Request("append NAME=Bob"));
    EXPECT_EQ("ok 3", helper->Request("append NAME=Cid"));
    EXPECT_EQ("ok", helper->Request("close"));
  }  // closes after the other process, with the header it read at open
  const std::string file = ReadWholeFile(path_);
  EXPECT_EQ(3u, GetLE32(file.data() + 4));
  EXPECT_EQ(3u, GetLE32(file.data() + 68 + 42));  // the next ID
  TDbf dbf;
  Open(dbf, path_);
  dbf.AppendNew();
  dbf.Post();
  EXPECT_EQ(3, dbf.FieldNamed("ID")->ValueAsInteger());
  EXPECT_EQ(4, dbf.RecordCount());
}

TEST_F(TDbfTest, ConcurrentAppendersNumberAutoIncrementsOnce) {
  // dBase 7 numbers from 0, Visual FoxPro from 1; both keep the next value
  // in the header, raised under the header lock.
  for (const int level : {7, 30}) {
    SCOPED_TRACE(level);
    std::filesystem::remove(path_);
    const uint32_t first = level == 30 ? 1 : 0;
    CreateTable(path_, level, {{"ID", ftAutoInc, 0}, {"NAME", ftString, 8}});
    auto one = Helper();
    auto two = Helper();
    ASSERT_EQ("ok", one->Request("open " + path_ + " shared"));
    ASSERT_EQ("ok", two->Request("open " + path_ + " shared"));
    std::string replyA, replyB;
    std::thread a([&] { replyA = one->Request("appendmany 60"); });
    std::thread b([&] { replyB = two->Request("appendmany 60"); });
    a.join();
    b.join();
    ASSERT_EQ("ok", replyA);
    ASSERT_EQ("ok", replyB);
    EXPECT_EQ("ok", one->Request("close"));
    EXPECT_EQ("ok", two->Request("close"));
    const std::string file = ReadWholeFile(path_);
    EXPECT_EQ(120u, GetLE32(file.data() + 4));  // neither close wrote an older count
    EXPECT_EQ(GetLE16(file.data() + 8) + 120u * GetLE16(file.data() + 10) + 1, file.size());
    TDbf dbf;
    Open(dbf, path_);
    std::vector<bool> seen(120, false);
    for (const std::string& id : Values(dbf, "ID")) {
      const uint32_t n = static_cast<uint32_t>(std::stoul(id)) - first;
      ASSERT_LT(n, 120u);
      EXPECT_FALSE(seen[n]) << id;
      seen[n] = true;
    }
    dbf.AppendNew();
    dbf.Post();
    EXPECT_EQ(static_cast<int>(120 + first), dbf.FieldNamed("ID")->ValueAsInteger());
  }
}

}  // namespace
