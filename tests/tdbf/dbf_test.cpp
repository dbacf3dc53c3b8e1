#include "tdbf/dbf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "platform/env.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_cursor.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_memo.h"
#include "tests/support/child_process.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/temp_dir.h"

namespace {

struct TFieldSpec {
  const char* name;
  TFieldType type;
  int size;
  int precision;
};

// Table geometry read from the file itself.
struct TRawTable {
  std::string bytes;
  size_t HeaderSize() const { return GetLE16(bytes.data() + 8); }
  size_t RecordSize() const { return GetLE16(bytes.data() + 10); }
  uint32_t HeaderCount() const { return GetLE32(bytes.data() + 4); }
  std::string Record(int recNo) const {
    return bytes.substr(HeaderSize() + static_cast<size_t>(recNo - 1) * RecordSize(), RecordSize());
  }
};

TRawTable Raw(const std::string& path) { return {ReadWholeFile(path)}; }

void PatchByte(const std::string& path, size_t offset, char value) {
  std::string bytes = ReadWholeFile(path);
  bytes.at(offset) = value;
  WriteWholeFile(path, bytes);
}

std::string Message(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

class TDbfTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetBaseFolderProvider(
        [] { return std::filesystem::read_symlink("/proc/self/exe").parent_path().string(); });
  }

  // Creates a table through TDbf and appends the rows (one text per field
  // of the spec; empty texts are left blank).
  void CreateTable(const std::string& path, int level, const std::vector<TFieldSpec>& fields,
                   const std::vector<std::vector<std::string>>& rows = {}) {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetTableLevel(level);
    dbf.SetOpenMode(omAutoCreate);
    dbf.SetExclusive(true);
    for (const TFieldSpec& f : fields)
      dbf.FieldDefs().Add(f.name, f.type, f.size).SetPrecision(f.precision);
    dbf.Open();
    for (const auto& row : rows) {
      dbf.AppendNew();
      for (size_t i = 0; i < row.size(); ++i)
        if (!row[i].empty()) dbf.FieldNamed(fields[i].name)->SetValueAsString(row[i]);
      dbf.Post();
    }
    dbf.Close();
  }
  // A level-4 table of names and numbers.
  std::string People(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < names.size(); ++i) rows.push_back({names[i], std::to_string(i + 1)});
    CreateTable(path_, 4, {{"NAME", ftString, 10, 0}, {"NUM", ftSmallint, 0, 0}}, rows);
    return path_;
  }
  void Open(TDbf& dbf, const std::string& path, bool exclusive = false, bool readOnly = false) {
    dbf.SetTableName(path);
    dbf.SetExclusive(exclusive);
    dbf.SetReadOnly(readOnly);
    dbf.Open();
  }
  // The NAME values of the records the set shows, in order.
  static std::vector<std::string> Names(TDbf& dbf, const char* field = "NAME") {
    std::vector<std::string> names;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next())
      names.push_back(dbf.FieldNamed(field)->ValueAsString());
    return names;
  }
  static void Delete(const std::string& path, int recNo) {
    const TRawTable raw = Raw(path);
    PatchByte(path, raw.HeaderSize() + static_cast<size_t>(recNo - 1) * raw.RecordSize(), '*');
  }
  std::unique_ptr<TChildProcess> Helper() {
    return std::make_unique<TChildProcess>(std::string(ZOZUR_HELPER_DIR) + "/dbf_dataset_helper",
                                           std::vector<std::string>{});
  }

  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("people.dbf");
};

// ---- Properties and file names ------------------------------------------------

TEST_F(TDbfTest, Defaults) {
  TDbf dbf;
  EXPECT_EQ("6.24", dbf.Version());
  EXPECT_EQ(4, dbf.TableLevel());
  EXPECT_FALSE(dbf.ReadOnly());
  EXPECT_FALSE(dbf.Exclusive());
  EXPECT_FALSE(dbf.ShowDeleted());
  EXPECT_EQ(omNormal, dbf.OpenMode());
  EXPECT_EQ(stoFile, dbf.Storage());
  EXPECT_TRUE(dbf.UseFloatFields());
  EXPECT_EQ(dtBDETimeStamp, dbf.DateTimeHandling());
  EXPECT_EQ("", dbf.TableName());
  EXPECT_EQ("", dbf.FilePath());
  EXPECT_EQ("", dbf.IndexName());
  EXPECT_FALSE(dbf.StoreDefs());
  const std::string exeFolder =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
  EXPECT_EQ(exeFolder, dbf.FilePathFull());
  EXPECT_EQ(-1, dbf.RecordCount());
  EXPECT_EQ(-1, dbf.RecordNumber());
}

TEST_F(TDbfTest, TableNameWithAFolderSetsFilePath) {
  TDbf dbf;
  dbf.SetTableName("/data/tables/cust.dbf");
  EXPECT_EQ("cust.dbf", dbf.TableName());
  EXPECT_EQ("/data/tables/", dbf.FilePath());
  EXPECT_EQ("/data/tables/", dbf.FilePathFull());
  dbf.SetTableName("orders.dbf");
  EXPECT_EQ("/data/tables/", dbf.FilePath());
  EXPECT_EQ("/data/tables/orders.dbf", dbf.FullTableName());
}

TEST_F(TDbfTest, RelativeFilePathResolvesAgainstTheBaseFolder) {
  SetBaseFolderProvider([] { return std::string("/opt/app"); });
  TDbf dbf;
  EXPECT_EQ("/opt/app/", dbf.FilePathFull());
  dbf.SetFilePath("data");
  EXPECT_EQ("data/", dbf.FilePath());
  EXPECT_EQ("/opt/app/data/", dbf.FilePathFull());
  dbf.SetFilePath("../shared/./x");
  EXPECT_EQ("/opt/shared/x/", dbf.FilePathFull());
  dbf.SetFilePath("");
  EXPECT_EQ("", dbf.FilePath());
  EXPECT_EQ("/opt/app/", dbf.FilePathFull());

  SetBaseFolderProvider([] { return std::string(); });
  dbf.SetFilePath("sub");
  EXPECT_EQ((std::filesystem::current_path() / "sub").string() + "/", dbf.FilePathFull());
}

TEST_F(TDbfTest, FolderAndLevelAreFixedWhileOpen) {
  People({"Ann"});
  TDbf dbf;
  dbf.SetName("tbMain");
  Open(dbf, path_);
  const std::string open = "tbMain: Cannot perform this operation on an open dataset";
  EXPECT_EQ(open, Message([&] { dbf.SetFilePath("/tmp"); }));
  EXPECT_EQ(open, Message([&] { dbf.SetTableLevel(7); }));
  EXPECT_EQ(open, Message([&] { dbf.SetTableName("/elsewhere/x.dbf"); }));
  dbf.SetTableName("other.dbf");  // takes effect at the next open
  EXPECT_EQ(dir_.File("other.dbf"), dbf.FullTableName());
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
}

TEST_F(TDbfTest, TableLevelTakesOnlyCreatableLevels) {
  TDbf dbf;
  dbf.SetTableLevel(25);
  EXPECT_EQ(4, dbf.TableLevel());
  dbf.SetTableLevel(5);
  EXPECT_EQ(4, dbf.TableLevel());
  dbf.SetTableLevel(3);
  EXPECT_EQ(3, dbf.TableLevel());
  dbf.SetTableLevel(7);
  EXPECT_EQ(7, dbf.TableLevel());
}

// ---- Opening ---------------------------------------------------------------------

TEST_F(TDbfTest, MissingTableStaysClosed) {
  TDbf dbf;
  dbf.SetTableName(dir_.File("none.dbf"));
  EXPECT_EQ("Open: file not found: \"" + dir_.File("none.dbf") + "\".",
            Message([&] { dbf.Open(); }));
  EXPECT_FALSE(dbf.Active());
  EXPECT_EQ(nullptr, dbf.DbfFile());
}

TEST_F(TDbfTest, NoExtensionIsAdded) {
  CreateTable(dir_.File("plain"), 4, {{"A", ftString, 5, 0}}, {{"x"}});
  TDbf dbf;
  Open(dbf, dir_.File("plain"));
  EXPECT_EQ(1, dbf.RecordCount());
  dbf.Close();
  People({"Ann"});
  dbf.SetTableName(dir_.File("people"));
  EXPECT_EQ("Open: file not found: \"" + dir_.File("people") + "\".", Message([&] { dbf.Open(); }));
}

TEST_F(TDbfTest, AutoCreateMakesEachLevel) {
  struct TCase {
    int level;
    uint8_t version;
    const char* memoExt;
  } cases[] = {{3, 0x83, ".dbt"}, {4, 0x8B, ".dbt"}, {7, 0x8C, ".dbt"}};
  for (const TCase& c : cases) {
    const std::string path = dir_.File("new" + std::to_string(c.level) + ".dbf");
    CreateTable(path, c.level,
                {{"NAME", ftString, 12, 0},
                 {"PRICE", ftFloat, 10, 2},
                 {"BORN", ftDate, 0, 0},
                 {"OK", ftBoolean, 0, 0},
                 {"NOTES", ftMemo, 0, 0}},
                {{"Widget", "12.50", "03/04/2001", "True", "first note"}});
    const TRawTable raw = Raw(path);
    EXPECT_EQ(c.version, static_cast<uint8_t>(raw.bytes[0])) << c.level;
    EXPECT_TRUE(std::filesystem::exists(ChangeFileExt(path, c.memoExt))) << c.level;
    TDbf dbf;
    Open(dbf, path);
    EXPECT_EQ(c.level, dbf.TableLevel());
    EXPECT_EQ("Widget", dbf.FieldNamed("NAME")->ValueAsString());
    EXPECT_DOUBLE_EQ(12.5, dbf.FieldNamed("PRICE")->ValueAsFloat());
    EXPECT_EQ("3/4/2001", dbf.FieldNamed("BORN")->ValueAsString());
    EXPECT_TRUE(dbf.FieldNamed("OK")->ValueAsBoolean());
    EXPECT_EQ("first note", dbf.FieldNamed("NOTES")->ValueAsString());
  }
}

TEST_F(TDbfTest, AutoCreateKeepsTheLevelOfTheLastOpenedTable) {
  TDbf dbf;
  dbf.SetTableName(TestDataPath("real/dans-dbf/foxpro26/types/MEMOTEST.DBF"));
  dbf.SetReadOnly(true);
  dbf.Open();
  EXPECT_EQ(25, dbf.TableLevel());
  dbf.Close();
  dbf.SetTableName(dir_.File("fox.dbf"));
  dbf.SetReadOnly(false);
  dbf.SetOpenMode(omAutoCreate);
  dbf.FieldDefs().Add("NOTE", ftMemo, 0);
  dbf.Open();
  EXPECT_EQ(25, dbf.TableLevel());
  dbf.AppendNew();
  dbf.FieldNamed("NOTE")->SetValueAsString("fox memo");
  dbf.Post();
  dbf.Close();
  EXPECT_EQ(0xF5, static_cast<uint8_t>(Raw(dir_.File("fox.dbf")).bytes[0]));
  const std::string memo = ReadWholeFile(dir_.File("fox.fpt"));
  ASSERT_EQ(1024u, memo.size());
  EXPECT_EQ(8u, GetBE32(memo.data() + 516));
  EXPECT_EQ("fox memo", memo.substr(520, 8));
}

TEST_F(TDbfTest, AutoCreateFromPersistentFields) {
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.SetOpenMode(omTemporary);
  std::unique_ptr<TField> name = CreateFieldForType(ftString, 8);
  name->SetFieldName("CITY");
  dbf.AddField(std::move(name));
  dbf.Open();
  dbf.AppendNew();
  dbf.FieldNamed("CITY")->SetValueAsString("Ankara and more");
  dbf.Post();
  EXPECT_EQ("Ankara a", dbf.FieldNamed("CITY")->ValueAsString());
  EXPECT_EQ(1, dbf.DbfFile()->FieldDefs().Count());
  EXPECT_EQ(8, dbf.DbfFile()->FieldDefs()[0].Size());
}

TEST_F(TDbfTest, DecliningAutoCreateLeavesTheSetClosed) {
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.SetOpenMode(omAutoCreate);
  dbf.FieldDefs().Add("A", ftString, 5);
  int asked = 0;
  dbf.SetBeforeAutoCreate([&](TDbf&, bool& doCreate) {
    ++asked;
    doCreate = false;
  });
  EXPECT_EQ("Open: file not found: \"" + path_ + "\".", Message([&] { dbf.Open(); }));
  EXPECT_EQ(1, asked);
  EXPECT_FALSE(dbf.Active());
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(TDbfTest, FailedCreationDeletesTheFile) {
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.SetOpenMode(omAutoCreate);
  dbf.FieldDefs().Add("A", ftString, 5);
  dbf.FieldDefs().Add("B", ftVariant, 0);
  EXPECT_EQ("Cannot create field \"B\", VCL field type 20 not supported by DBF.",
            Message([&] { dbf.Open(); }));
  EXPECT_FALSE(dbf.Active());
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(TDbfTest, MissingProductionIndex) {
  People({"Ann"});
  PatchByte(path_, 28, 1);
  TDbf dbf;
  dbf.SetTableName(path_);
  bool asked = false;
  dbf.SetOnIndexMissing([&](bool& deleteLink) {
    asked = true;
    deleteLink = false;
  });
  EXPECT_THROW(dbf.Open(), EAbort);
  EXPECT_TRUE(asked);
  EXPECT_FALSE(dbf.Active());
  EXPECT_EQ(1, Raw(path_).bytes[28]);  // an abandoned open writes nothing

  dbf.SetOnIndexMissing(nullptr);
  dbf.Open();
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
  dbf.Close();
  EXPECT_EQ(0, Raw(path_).bytes[28]);
}

TEST_F(TDbfTest, InvalidTableStaysClosedAndUntouched) {
  People({"Ann"});
  PatchByte(path_, 0, 0x30);
  const std::string before = ReadWholeFile(path_);
  TDbf dbf;
  dbf.SetTableName(path_);
  EXPECT_EQ("Invalid DBF file.", Message([&] { dbf.Open(); }));
  EXPECT_FALSE(dbf.Active());
  EXPECT_EQ(before, ReadWholeFile(path_));
}

TEST_F(TDbfTest, ReadOnlyOpenLeavesTheFileUntouched) {
  People({"Ann", "Bob"});
  PatchByte(path_, 1, 90);  // last update in 1990
  const std::string before = ReadWholeFile(path_);
  TDbf dbf;
  Open(dbf, path_, false, true);
  EXPECT_EQ((std::vector<std::string>{"Ann", "Bob"}), Names(dbf));
  EXPECT_FALSE(dbf.IsWritable());
  EXPECT_EQ("Cannot modify a read-only dataset", Message([&] { dbf.Edit(); }));
  dbf.Close();
  EXPECT_EQ(before, ReadWholeFile(path_));
}

TEST_F(TDbfTest, ClosingWritesTheHeader) {
  People({"Ann"});
  PatchByte(path_, 1, 90);
  for (bool exclusive : {false, true}) {
    TDbf dbf;
    Open(dbf, path_, exclusive);
    dbf.Close();
    const platform::TSystemTime now = platform::TEnv::Default()->LocalTime();
    const TRawTable raw = Raw(path_);
    EXPECT_EQ(now.year - 1900, static_cast<uint8_t>(raw.bytes[1])) << exclusive;
    EXPECT_EQ(0x1A, raw.bytes.back());
    PatchByte(path_, 1, 90);
  }
}

// ---- Field definitions -----------------------------------------------------------

TEST_F(TDbfTest, DuplicateNamesGetNumbers) {
  CreateTable(path_, 4,
              {{"NAME", ftString, 3, 0}, {"NAMX", ftString, 3, 0}, {"NAMY", ftString, 3, 0}},
              {{"a", "b", "c"}});
  PatchByte(path_, 32 + 32 + 3, 'E');
  PatchByte(path_, 32 + 64 + 3, 'E');
  TDbf dbf;
  Open(dbf, path_);
  ASSERT_EQ(3, dbf.FieldDefs().Count());
  EXPECT_EQ("NAME", dbf.FieldDefs()[0].Name());
  EXPECT_EQ("NAME2", dbf.FieldDefs()[1].Name());
  EXPECT_EQ("NAME3", dbf.FieldDefs()[2].Name());
  EXPECT_EQ("NAME3", dbf.DbfFile()->FieldDefs()[2].FieldName());
  EXPECT_EQ("b", dbf.FieldNamed("NAME2")->ValueAsString());
  EXPECT_EQ("c", dbf.FieldNamed("NAME3")->ValueAsString());

  TDbf real;
  real.SetReadOnly(true);
  real.SetTableName(TestDataPath("real/infused-dbf/dbase_03.dbf"));
  TStringList names;
  real.ListFieldNames(names);  // field definitions from a closed set
  EXPECT_FALSE(real.Active());
  EXPECT_EQ("POINT_ID", names[0]);
  EXPECT_EQ("POINT_ID2", names[names.Count() - 1]);
}

TEST_F(TDbfTest, LockFieldIsHiddenAndAutoIncrementReadOnly) {
  CreateTable(path_, 7,
              {{"ID", ftAutoInc, 0, 0}, {"_DBASELOCK", ftString, 16, 0}, {"NAME", ftString, 8, 0}},
              {{"", "", "first"}, {"", "", "second"}});
  TDbf dbf;
  Open(dbf, path_);
  ASSERT_EQ(3, dbf.FieldDefs().Count());
  EXPECT_TRUE(dbf.FieldDefs()[0].HasAttribute(faReadonly));
  EXPECT_TRUE(dbf.FieldDefs()[1].HasAttribute(faHiddenCol));
  ASSERT_EQ(2, dbf.FieldCount());
  EXPECT_EQ(nullptr, dbf.FindFieldNamed("_DBASELOCK"));
  EXPECT_TRUE(dbf.FieldNamed("ID")->ReadOnly());
  EXPECT_EQ((std::vector<std::string>{"0", "1"}), Names(dbf, "ID"));
  // An edit stamps the lock field in the file at once.
  dbf.First();
  const std::string before = Raw(path_).Record(1);
  dbf.Edit();
  EXPECT_NE(before, Raw(path_).Record(1));
  dbf.Cancel();
}

// ---- Fetching ------------------------------------------------------------------------

TEST_F(TDbfTest, DeletedRecordsAreSkippedUnlessShown) {
  People({"Ann", "Bob", "Cid", "Dan", "Eve"});
  Delete(path_, 2);
  Delete(path_, 4);
  Delete(path_, 5);
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_EQ((std::vector<std::string>{"Ann", "Cid"}), Names(dbf));
  dbf.Last();
  EXPECT_EQ("Cid", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ(5, dbf.RecordCount());
  dbf.SetShowDeleted(true);
  EXPECT_EQ("Cid", dbf.FieldNamed("NAME")->ValueAsString());  // refilled around it
  dbf.Last();
  EXPECT_EQ("Eve", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ('*', TDbf::RecordImage(dbf.ActiveBuffer())[0]);
  EXPECT_EQ(5, dbf.RecordCount());
  EXPECT_EQ((std::vector<std::string>{"Ann", "Bob", "Cid", "Dan", "Eve"}), Names(dbf));
  dbf.SetShowDeleted(false);
  EXPECT_EQ((std::vector<std::string>{"Ann", "Cid"}), Names(dbf));
}

TEST_F(TDbfTest, EmptyTableShowsNoRecord) {
  People({});
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_TRUE(dbf.IsEmpty());
  dbf.First();
  EXPECT_TRUE(dbf.IsEmpty());
  dbf.Last();
  EXPECT_TRUE(dbf.IsEmpty());
  EXPECT_EQ(0, dbf.RecordCount());
  EXPECT_EQ("", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_TRUE(dbf.FieldNamed("NAME")->ValueIsNull());
}

TEST_F(TDbfTest, RecordNumbersAndBookmarks) {
  People({"Ann", "Bob", "Cid", "Dan"});
  TDbf dbf;
  Open(dbf, path_);
  dbf.SetRecordNumber(3);
  EXPECT_EQ("Cid", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ(3, dbf.RecordNumber());
  const std::string third = dbf.Bookmark();
  ASSERT_EQ(4u, third.size());
  dbf.First();
  EXPECT_EQ(1, dbf.RecordNumber());
  const std::string first = dbf.Bookmark();
  EXPECT_EQ(-1, dbf.CompareMarks(first, third));
  EXPECT_EQ(1, dbf.CompareMarks(third, first));
  EXPECT_EQ(0, dbf.CompareMarks(third, third));
  EXPECT_EQ(0, dbf.CompareMarks("", ""));
  EXPECT_EQ(-1, dbf.CompareMarks("", first));
  EXPECT_EQ(1, dbf.CompareMarks(first, ""));
  dbf.MoveToBookmark(third);
  EXPECT_EQ("Cid", dbf.FieldNamed("NAME")->ValueAsString());
  dbf.Next();
  EXPECT_EQ(4, dbf.RecordNumber());
}

TEST_F(TDbfTest, IndexNameFallsBackToRecordOrder) {
  People({"Bob", "Ann"});
  TDbf dbf;
  dbf.SetIndexName("BYNAME");
  EXPECT_EQ("BYNAME", dbf.IndexName());
  Open(dbf, path_);
  EXPECT_EQ("", dbf.IndexName());
  EXPECT_EQ((std::vector<std::string>{"Bob", "Ann"}), Names(dbf));
  dbf.Last();
  dbf.SetIndexName("OTHER");
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_NE(nullptr, dynamic_cast<TDbfCursor*>(dbf.Cursor()));
}

TEST_F(TDbfTest, FilterRecordReadsTheRecordBeingTested) {
  People({"Ann", "Bob", "Bea", "Cid"});
  TDbf dbf;
  Open(dbf, path_);
  std::vector<TRecordSetState> states;
  dbf.SetOnFilterRecord([&](TDataSet& set, bool& accept) {
    states.push_back(set.State());
    accept = set.FieldNamed("NAME")->ValueAsString()[0] == 'B';
  });
  dbf.SetFiltered(true);
  EXPECT_EQ((std::vector<std::string>{"Bob", "Bea"}), Names(dbf));
  dbf.Last();
  EXPECT_EQ("Bea", dbf.FieldNamed("NAME")->ValueAsString());
  ASSERT_FALSE(states.empty());
  for (TRecordSetState s : states) EXPECT_EQ(rsFilter, s);
  EXPECT_EQ(rsBrowse, dbf.State());
}

TEST_F(TDbfTest, CalculatedFieldsLiveInTheCalculatedArea) {
  People({"Ann", "Robert"});
  TDbf dbf;
  dbf.SetTableName(path_);
  auto name = CreateFieldForType(ftString, 10);
  name->SetFieldName("NAME");
  dbf.AddField(std::move(name));
  auto length = CreateFieldForType(ftInteger);
  length->SetFieldName("LEN");
  length->SetFieldKind(fkCalculated);
  TField* lengthField = dbf.AddField(std::move(length));
  dbf.SetOnCalcFields([&](TDataSet& set) {
    lengthField->SetValueAsInteger(
        static_cast<int32_t>(set.FieldNamed("NAME")->ValueAsString().size()));
  });
  dbf.Open();
  EXPECT_EQ(3, lengthField->ValueAsInteger());
  dbf.Next();
  EXPECT_EQ(6, lengthField->ValueAsInteger());
  dbf.Prior();
  EXPECT_EQ(3, lengthField->ValueAsInteger());
}

// ---- Code pages ----------------------------------------------------------------------

TEST_F(TDbfTest, CodePageTheSystemLacksMakesTheSetReadOnly) {
  People({"Ann"});
  ASSERT_FALSE(DbfGlobals().IsCodePageInstalled(620));
  PatchByte(path_, 29, 0x69);  // Mazovia, code page 620
  TDbf dbf;
  dbf.SetName("tbMain");
  Open(dbf, path_);
  EXPECT_EQ(tmReadOnly, dbf.TranslationMode());
  EXPECT_FALSE(dbf.IsWritable());
  EXPECT_EQ("tbMain: Cannot modify a read-only dataset", Message([&] { dbf.Edit(); }));
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
  dbf.Close();

  const std::pair<int, TDbfTranslationMode> actions[] = {
      {laReadOnly, tmReadOnly}, {laForceOEM, tmOem}, {laForceANSI, tmAnsi}};
  for (const auto& [action, mode] : actions) {
    TDbf handled;
    int asked = 0;
    handled.SetOnLanguageWarning([&, action = action](TDbf&, int& a) {
      ++asked;
      EXPECT_EQ(laReadOnly, a);
      a = action;
    });
    Open(handled, path_);
    EXPECT_EQ(1, asked);
    EXPECT_EQ(mode, handled.TranslationMode()) << action;
    EXPECT_EQ(mode != tmReadOnly, handled.IsWritable()) << action;
  }
}

TEST_F(TDbfTest, TranslationModes) {
  People({"Ann"});
  struct TCase {
    uint8_t languageId;
    TDbfTranslationMode mode;
  } cases[] = {{0x00, tmAnsi}, {0x58, tmAnsi}, {0x1B, tmOem}, {0x26, tmOther}};
  for (const TCase& c : cases) {
    PatchByte(path_, 29, static_cast<char>(c.languageId));
    TDbf dbf;
    Open(dbf, path_);
    EXPECT_EQ(c.mode, dbf.TranslationMode()) << int(c.languageId);
    EXPECT_TRUE(dbf.IsWritable());
  }
}

TEST_F(TDbfTest, TextIsTranslatedBetweenTheTableAndTheSystem) {
  locale_.Set({1251, 866, 0x0419});
  CreateTable(path_, 4, {{"NAME", ftString, 10, 0}, {"NOTE", ftMemo, 0, 0}});
  PatchByte(path_, 29, 0x26);  // cp866
  const std::string privet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
  const std::string privet866 = "\x8F\xE0\xA8\xA2\xA5\xE2";
  {
    TDbf dbf;
    Open(dbf, path_);
    EXPECT_EQ(tmOem, dbf.TranslationMode());
    dbf.AppendNew();
    dbf.FieldNamed("NAME")->SetValueAsString(privet1251);
    dbf.FieldNamed("NOTE")->SetValueAsString(privet1251 + " memo");
    dbf.Post();
    EXPECT_EQ(privet1251, dbf.FieldNamed("NAME")->ValueAsString());
    EXPECT_EQ(privet1251 + " memo", dbf.FieldNamed("NOTE")->ValueAsString());
  }
  EXPECT_EQ(privet866, Raw(path_).Record(1).substr(1, 6));
  EXPECT_EQ(privet866 + " memo", ReadWholeFile(ChangeFileExt(path_, ".dbt")).substr(520, 11));
  TDbf again;
  Open(again, path_);
  EXPECT_EQ(privet1251, again.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ(privet1251 + " memo", again.FieldNamed("NOTE")->ValueAsString());
}

TEST_F(TDbfTest, OnTranslateReplacesTheConversion) {
  People({"Ann"});
  TDbf dbf;
  std::vector<bool> directions;
  dbf.SetOnTranslate([&](TDbf&, const char* src, char* dest, bool toOem) {
    directions.push_back(toOem);
    std::string text(src);
    for (char& c : text)
      c = toOem ? static_cast<char>(std::tolower(c)) : static_cast<char>(std::toupper(c));
    std::memcpy(dest, text.c_str(), text.size() + 1);
    return -1;
  });
  Open(dbf, path_);
  EXPECT_EQ("ANN", dbf.FieldNamed("NAME")->ValueAsString());
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("Zed");
  dbf.Post();
  EXPECT_EQ(" zed", Raw(path_).Record(1).substr(0, 4));
  char text[8] = "abc";
  EXPECT_EQ(3, dbf.Translate(text, text, false));
  EXPECT_EQ(0, dbf.Translate(nullptr, text, false));
  EXPECT_NE(directions.end(), std::find(directions.begin(), directions.end(), true));
}

// ---- Editing --------------------------------------------------------------------------

TEST_F(TDbfTest, AppendNewPostAddsTheLastRecord) {
  People({"Ann", "Bob"});
  TDbf dbf;
  Open(dbf, path_);
  dbf.AppendNew();
  EXPECT_EQ(rsInsert, dbf.State());
  EXPECT_EQ("", dbf.Bookmark());
  dbf.FieldNamed("NAME")->SetValueAsString("Cid");
  dbf.FieldNamed("NUM")->SetValueAsInteger(7);
  dbf.Post();
  EXPECT_EQ(rsBrowse, dbf.State());
  EXPECT_EQ("Cid", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ(3, dbf.RecordNumber());
  EXPECT_EQ(3, dbf.RecordCount());
  dbf.Close();
  const TRawTable raw = Raw(path_);
  EXPECT_EQ(3u, raw.HeaderCount());
  EXPECT_EQ(" Cid       0007", raw.Record(3));
  EXPECT_EQ(raw.HeaderSize() + 3 * raw.RecordSize() + 1, raw.bytes.size());
}

TEST_F(TDbfTest, InsertStoresAtTheEndAndStaysOnTheRecord) {
  People({"Ann", "Bob"});
  TDbf dbf;
  Open(dbf, path_);
  dbf.Next();
  dbf.Insert();
  dbf.FieldNamed("NAME")->SetValueAsString("New");
  dbf.Post();
  EXPECT_EQ("Bob", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ((std::vector<std::string>{"Ann", "Bob", "New"}), Names(dbf));
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
  EXPECT_EQ(" Robert    0002", Raw(path_).Record(2));
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("Nobody");
  dbf.Cancel();
  EXPECT_EQ("Robert", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ(" Robert    0002", Raw(path_).Record(2));
  EXPECT_EQ(-1, dbf.LockedRecNo());
}

TEST_F(TDbfTest, EditStartsFromTheStoredRecord) {
  People({"Ann"});
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
  // Someone changes the record behind the set's back.
  PatchByte(path_, Raw(path_).HeaderSize() + 1, 'E');
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
  dbf.Edit();
  EXPECT_EQ("Enn", dbf.FieldNamed("NAME")->ValueAsString());
  dbf.Cancel();
}

TEST_F(TDbfTest, RecordLockedByAnotherHandle) {
  People({"Ann", "Bob"});
  TDbf first;
  TDbf second;
  second.SetName("tbMain");
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
  second.Edit();  // succeeds once the first set lets go
  EXPECT_EQ(3, retries);
  EXPECT_EQ(rsEdit, second.State());
  second.Cancel();
  // Another record is free meanwhile.
  first.Edit();
  second.Next();
  second.Edit();
  second.Cancel();
  first.Cancel();
}

TEST_F(TDbfTest, DeleteFlagsTheRecord) {
  People({"Ann", "Bob", "Cid"});
  TDbf dbf;
  Open(dbf, path_);
  int afterEdit = 0, afterPost = 0;
  dbf.SetAfterEdit([&](TDataSet&) { ++afterEdit; });
  dbf.SetAfterPost([&](TDataSet&) { ++afterPost; });
  dbf.Next();
  dbf.Delete();
  EXPECT_EQ(1, afterEdit);
  EXPECT_EQ(1, afterPost);
  EXPECT_EQ("Cid", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ('*', Raw(path_).Record(2)[0]);
  EXPECT_EQ(3, dbf.RecordCount());
  EXPECT_EQ((std::vector<std::string>{"Ann", "Cid"}), Names(dbf));
  dbf.Last();
  dbf.Delete();
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
}

TEST_F(TDbfTest, DeletingTheOnlyRecord) {
  for (bool showDeleted : {false, true}) {
    People({"Ann"});
    TDbf dbf;
    dbf.SetShowDeleted(showDeleted);
    Open(dbf, path_);
    dbf.Delete();
    EXPECT_EQ(showDeleted, !dbf.IsEmpty());
    if (showDeleted) {
      EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());
      EXPECT_EQ('*', TDbf::RecordImage(dbf.ActiveBuffer())[0]);
    }
    EXPECT_EQ(1, dbf.RecordCount());
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
  EXPECT_EQ(2, dbf.RecordCount());
  EXPECT_EQ(" Direct        ", Raw(path_).Record(2));
}

// ---- Memo and binary fields ------------------------------------------------------

class TDbfMemoTest : public TDbfTest {
 protected:
  void SetUp() override {
    CreateTable(path_, 4,
                {{"NAME", ftString, 5, 0}, {"NOTE", ftMemo, 0, 0}, {"DATA", ftBlob, 0, 0}},
                {{"a", std::string(20, 'x'), ""}, {"b", "second", ""}});
  }
  int32_t BlockOf(int recNo) const {
    int64_t block = 0;
    ParseDecimalInt(Raw(path_).Record(recNo).data() + 6, 10, block);
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
  EXPECT_EQ("second", dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.Edit();
  const std::string binary("\x00\x01\xFF\x1A\x1A\x00tail", 10);
  dbf.FieldNamed("DATA")->SetValueAsString(binary);
  dbf.Post();
  EXPECT_EQ(binary, dbf.FieldNamed("DATA")->ValueAsString());
  EXPECT_EQ("second", dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.First();
  EXPECT_TRUE(dbf.FieldNamed("DATA")->ValueIsNull());
  dbf.Close();
  TDbf again;
  Open(again, path_);
  again.Last();
  EXPECT_EQ(binary, again.FieldNamed("DATA")->ValueAsString());
}

TEST_F(TDbfMemoTest, ShorterValuesReuseTheirChain) {
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
  EXPECT_EQ(std::string(600, 'z'), dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.Edit();
  dbf.FieldNamed("NOTE")->Clear();
  dbf.Post();
  EXPECT_EQ(std::string(10, ' '), Raw(path_).Record(1).substr(6, 10));
  EXPECT_TRUE(dbf.FieldNamed("NOTE")->ValueIsNull());
}

TEST_F(TDbfMemoTest, CancelLeavesTheMemoFileAlone) {
  const std::string before = Memo();
  TDbf dbf;
  Open(dbf, path_);
  dbf.Edit();
  dbf.FieldNamed("NOTE")->SetValueAsString(std::string(2000, 'q'));
  EXPECT_EQ(std::string(2000, 'q'), dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.Cancel();
  EXPECT_EQ(before, Memo());
  EXPECT_EQ(std::string(20, 'x'), dbf.FieldNamed("NOTE")->ValueAsString());
}

TEST_F(TDbfMemoTest, OtherRowsReadTheirOwnValuesDuringAnEdit) {
  TDbf dbf;
  TDataSource source;
  TDataLink grid;  // a grid showing three rows
  grid.SetBufferCount(3);
  source.SetDataSet(&dbf);
  grid.SetDataSource(&source);
  Open(dbf, path_);
  ASSERT_EQ(2, dbf.RingRecordCount());
  dbf.Edit();
  dbf.FieldNamed("NOTE")->SetValueAsString("changed");
  // The grid draws the other row while the first one is being edited.
  dbf.SetActiveRecord(1);
  EXPECT_EQ("second", dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.SetActiveRecord(0);
  EXPECT_EQ("changed", dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.Post();
  dbf.Close();
  TDbf again;
  Open(again, path_);
  EXPECT_EQ((std::vector<std::string>{"changed", "second"}), Names(again, "NOTE"));
}

TEST_F(TDbfMemoTest, AppendedRecordsGetTheirMemos) {
  TDbf dbf;
  Open(dbf, path_);
  dbf.AppendNew();
  EXPECT_TRUE(dbf.FieldNamed("NOTE")->ValueIsNull());
  dbf.FieldNamed("NAME")->SetValueAsString("c");
  dbf.FieldNamed("NOTE")->SetValueAsString("third memo");
  dbf.Post();
  EXPECT_EQ("third memo", dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.First();
  EXPECT_EQ(std::string(20, 'x'), dbf.FieldNamed("NOTE")->ValueAsString());
  dbf.Last();
  EXPECT_EQ("third memo", dbf.FieldNamed("NOTE")->ValueAsString());
}

TEST_F(TDbfMemoTest, BlobStreamsAreSharedAndCounted) {
  TDbf dbf;
  Open(dbf, path_);
  TField* note = dbf.FieldNamed("NOTE");
  std::shared_ptr<TStream> a = dbf.CreateBlobStream(note, bmRead);
  std::shared_ptr<TStream> b = dbf.CreateBlobStream(note, bmRead);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a.get(), b.get());
  auto* stream = dynamic_cast<TDbfBlobStream*>(a.get());
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(3, stream->UseCount());
  EXPECT_EQ(20, stream->ReadSize());
  EXPECT_EQ(1, stream->BlockNo());
  EXPECT_EQ(0, a->Write("no", 2));  // a read stream takes no writes
  EXPECT_FALSE(stream->Dirty());
  b.reset();
  EXPECT_EQ(2, stream->UseCount());
  a.reset();
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
  dbf.Next();
  dbf.Edit();  // another record is free
  dbf.Cancel();
  dbf.Prior();
  ASSERT_EQ("ok", helper->Request("set NAME Annie"));
  ASSERT_EQ("ok", helper->Request("post"));
  EXPECT_EQ("Ann", dbf.FieldNamed("NAME")->ValueAsString());  // as fetched
  dbf.Edit();  // starts from what the other process posted
  EXPECT_EQ("Annie", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ("error Record locked.", helper->Request("edit"));
  dbf.FieldNamed("NUM")->SetValueAsInteger(5);
  dbf.Post();
  EXPECT_EQ("ok", helper->Request("edit"));
  EXPECT_EQ("5", helper->Request("get NUM"));
  EXPECT_EQ("ok", helper->Request("cancel"));
}

TEST_F(TDbfTest, AppendsOfAnotherProcessShowAtTheNextFetch) {
  People({"Ann"});
  TDbf dbf;
  Open(dbf, path_);
  EXPECT_EQ(1, dbf.RecordCount());
  auto helper = Helper();
  ASSERT_EQ("ok", helper->Request("open " + path_ + " shared"));
  EXPECT_EQ("ok 2", helper->Request("append NAME=Bob NUM=2"));
  EXPECT_EQ(2, dbf.RecordCount());
  dbf.Next();
  EXPECT_EQ("Bob", dbf.FieldNamed("NAME")->ValueAsString());
  dbf.AppendNew();
  dbf.FieldNamed("NAME")->SetValueAsString("Cid");
  dbf.Post();
  EXPECT_EQ(3, dbf.RecordNumber());
  EXPECT_EQ("3", helper->Request("last"));
  EXPECT_EQ("Cid", helper->Request("get NAME"));
}

TEST_F(TDbfTest, ConcurrentAppendersNumberAutoIncrementsOnce) {
  CreateTable(path_, 7, {{"ID", ftAutoInc, 0, 0}, {"NAME", ftString, 8, 0}});
  auto first = Helper();
  auto second = Helper();
  ASSERT_EQ("ok", first->Request("open " + path_ + " shared"));
  ASSERT_EQ("ok", second->Request("open " + path_ + " shared"));
  std::string replyA, replyB;
  std::thread a([&] { replyA = first->Request("appendmany 60"); });
  std::thread b([&] { replyB = second->Request("appendmany 60"); });
  a.join();
  b.join();
  ASSERT_EQ("ok", replyA);
  ASSERT_EQ("ok", replyB);
  EXPECT_EQ("ok", first->Request("close"));
  EXPECT_EQ("ok", second->Request("close"));

  const TRawTable raw = Raw(path_);
  EXPECT_EQ(120u, raw.HeaderCount());
  EXPECT_EQ(raw.HeaderSize() + 120 * raw.RecordSize() + 1, raw.bytes.size());
  TDbf dbf;
  Open(dbf, path_);
  std::vector<bool> seen(120, false);
  for (dbf.First(); !dbf.AtEnd(); dbf.Next()) {
    const int id = dbf.FieldNamed("ID")->ValueAsInteger();
    ASSERT_TRUE(id >= 0 && id < 120) << id;
    EXPECT_FALSE(seen[static_cast<size_t>(id)]) << id;
    seen[static_cast<size_t>(id)] = true;
  }
  // Numbering goes on after both closed their handles.
  dbf.AppendNew();
  dbf.Post();
  EXPECT_EQ(120, dbf.FieldNamed("ID")->ValueAsInteger());
}

}  // namespace
