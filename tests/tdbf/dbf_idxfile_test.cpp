// Index files: the real .ndx and .mdx files of other programs walk in key
// order and point at the right records; files this engine writes read back
// in an independent reader (Perl's XBase::Index); trees grown by inserts,
// splits and deletes stay equal to trees built from scratch; damaged files
// end in an error that names them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "runtime/variant.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dbf_str.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/index/dbf_idxdef.h"
#include "tdbf/index/dbf_idxfile.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/shell.h"
#include "tests/support/temp_dir.h"

namespace {

// The record numbers of a walk through the selected index, first to last.
std::vector<int32_t> WalkForward(TIndexFile& index) {
  std::vector<int32_t> recNos;
  index.GotoFirst();
  while (index.GotoNext()) recNos.push_back(index.CurrentRecordNo());
  return recNos;
}

std::vector<int32_t> WalkBackward(TIndexFile& index) {
  std::vector<int32_t> recNos;
  index.GotoLast();
  while (index.GotoPrev()) recNos.push_back(index.CurrentRecordNo());
  std::reverse(recNos.begin(), recNos.end());
  return recNos;
}

// Each walked record's key, built from the record itself, is in index
// order after the one before.
void ExpectInKeyOrder(TDbfFile& table, TIndexFile& index, const std::vector<int32_t>& recNos) {
  std::vector<char> record(static_cast<size_t>(table.RecordSize()));
  std::string previous;
  for (int32_t recNo : recNos) {
    ASSERT_EQ(table.ReadPage(recNo, record.data()), table.RecordSize());
    const std::string key(index.ExtractKey(record.data()), static_cast<size_t>(index.KeyLength()));
    if (!previous.empty()) {
      EXPECT_LE(index.CompareKeys(previous.data(), key.data()), 0) << recNo;
    }
    previous = key;
  }
}

struct TCorpusCase {
  const char* table;
  const char* index;
  const char* tag;
};

class TIndexCorpusTest : public ::testing::TestWithParam<TCorpusCase> {};

TEST_P(TIndexCorpusTest, WalksInKeyOrderOverEveryRecord) {
  const TCorpusCase& c = GetParam();
  TDbfFile table(TestDataPath(std::string("real/") + c.table));
  table.SetMode(amReadOnly);
  table.Open();
  TIndexFile* index = table.ProductionIndex();
  std::unique_ptr<TIndexFile> separate;
  if (index == nullptr) {
    separate = std::make_unique<TIndexFile>(TestDataPath(std::string("real/") + c.index), &table);
    separate->SetMode(amReadOnly);
    separate->Open();
    index = separate.get();
  }
  index->SelectIndex(c.tag);
  const std::vector<int32_t> forward = WalkForward(*index);
  std::vector<int32_t> sorted = forward;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int32_t> all(static_cast<size_t>(table.PageCount()));
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int32_t>(i + 1);
  EXPECT_EQ(sorted, all);
  EXPECT_EQ(WalkBackward(*index), forward);
  ExpectInKeyOrder(table, *index, forward);
  EXPECT_TRUE(index->Check().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Real, TIndexCorpusTest,
    ::testing::Values(TCorpusCase{"dbd-xbase/ndx-char.dbf", "dbd-xbase/ndx-char.ndx", ""},
                      TCorpusCase{"dbd-xbase/ndx-date.dbf", "dbd-xbase/ndx-date.ndx", ""},
                      TCorpusCase{"dbd-xbase/ndx-num.dbf", "dbd-xbase/ndx-num.ndx", ""},
                      TCorpusCase{"jdbfdriver/TEST.DBF", "", "TEST1"},
                      TCorpusCase{"jdbfdriver/TEST.DBF", "", "TEST2"}),
    // Named by the index, so the test names stay the same from run to run.
    [](const ::testing::TestParamInfo<TCorpusCase>& info) {
      std::string name = *info.param.tag != '\0' ? info.param.tag : info.param.index;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// ---- Indexes this engine writes -----------------------------------------------------

// The record numbers of Perl's lines.
std::vector<int32_t> PerlRecNos(const std::vector<std::string>& lines) {
  std::vector<int32_t> recNos;
  for (const std::string& line : lines) {
    const size_t tab = line.rfind('\t');
    recNos.push_back(tab == std::string::npos ? -1 : std::atoi(line.c_str() + tab + 1));
  }
  return recNos;
}

// The keys of the walked records, built from the records.
std::vector<std::string> KeysOf(TDbfFile& table, TIndexFile& index,
                                const std::vector<int32_t>& recNos) {
  std::vector<std::string> keys;
  std::vector<char> record(static_cast<size_t>(table.RecordSize()));
  for (int32_t recNo : recNos) {
    table.ReadPage(recNo, record.data());
    keys.emplace_back(index.ExtractKey(record.data()), static_cast<size_t>(index.KeyLength()));
  }
  return keys;
}

std::vector<int32_t> Sorted(std::vector<int32_t> values) {
  std::sort(values.begin(), values.end());
  return values;
}

class TIndexWriteTest : public ::testing::Test {
 protected:
  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("people.dbf");

  // A table of NAME C(60) (long keys: few to a page, so trees grow deep
  // quickly), NUM N(8) and a date.
  void CreatePeople(int level = 4) {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetTableLevel(level);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 60);
    dbf.FieldDefs().Add("NUM", ftInteger, 0);
    dbf.FieldDefs().Add("BORN", ftDate, 0);
    dbf.Open();
  }

  static std::string NameOf(int i) {
    // Many equal names, in no order.
    return Format("N%04d", (i * 7919) % 397);
  }

  static void Append(TDbf& dbf, int i) {
    dbf.AppendNew();
    dbf.FieldNamed("NAME")->SetValueAsString(NameOf(i));
    dbf.FieldNamed("NUM")->SetValueAsString(std::to_string((i * 104729) % 1009 - 500));
    dbf.FieldNamed("BORN")->SetValueAsDateTime(EncodeDate(1950 + i % 60, 1 + i % 12, 1 + i % 28));
    dbf.Post();
  }

  // The record numbers of the live records in key order (equal keys in
  // record order), computed from the records themselves.
  static std::vector<int32_t> Expected(TDbfFile& table, TIndexFile& index, bool skipDeleted) {
    std::vector<std::pair<std::string, int32_t>> keys;
    std::vector<char> record(static_cast<size_t>(table.RecordSize()));
    for (int32_t recNo = 1; recNo <= table.PageCount(); ++recNo) {
      table.ReadPage(recNo, record.data());
      if (skipDeleted && record[0] == '*') continue;
      keys.emplace_back(
          std::string(index.ExtractKey(record.data()), static_cast<size_t>(index.KeyLength())),
          recNo);
    }
    std::stable_sort(keys.begin(), keys.end(), [&index](const auto& a, const auto& b) {
      return index.CompareKeys(a.first.data(), b.first.data()) < 0;
    });
    std::vector<int32_t> recNos;
    for (const auto& key : keys) recNos.push_back(key.second);
    return recNos;
  }
};

// A production index with three tags and a separate .ndx kept up to date
// through 1500 appends, edits and deletions: trees of three levels and
// more, every tag in key order with every record, equal to the tree built
// from scratch, and the same order in Perl's reader.
TEST_F(TIndexWriteTest, KeptTreesMatchRebuiltOnesAndAnIndependentReader) {
  CreatePeople();
  const std::string ndx = dir_.File("num.ndx");
  {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetExclusive(true);
    dbf.Open();
    TDbfFile& file = *dbf.DbfFile();
    ASSERT_NE(file.OpenIndex("NAME", "NAME", true, 0), nullptr);
    ASSERT_NE(file.OpenIndex("NUMDESC", "NUM", true, IndexOpt(ixDescending)), nullptr);
    ASSERT_NE(file.OpenIndex("BORN", "BORN", true, 0), nullptr);
    ASSERT_NE(file.OpenIndex(ndx, "NUM", true, 0), nullptr);
    for (int i = 0; i < 1500; ++i) Append(dbf, i);
    // Edits that move keys, and deletions.
    for (int recNo = 3; recNo <= 1500; recNo += 7) {
      dbf.SetRecordNumber(recNo);
      dbf.Edit();
      dbf.FieldNamed("NAME")->SetValueAsString(NameOf(recNo * 3));
      dbf.FieldNamed("NUM")->SetValueAsString(std::to_string(recNo));
      dbf.Post();
    }
    for (int recNo = 5; recNo <= 1500; recNo += 11) {
      dbf.SetRecordNumber(recNo);
      dbf.Delete();
    }
  }
  TDbfFile table(path_);
  table.SetMode(amExclusiveOpen);
  table.Open();
  TIndexFile& mdx = *table.ProductionIndex();
  ASSERT_EQ(mdx.IndexNames(), (std::vector<std::string>{"NAME", "NUMDESC", "BORN"}));
  TIndexFile* num = table.OpenIndex(ndx, "", false, 0);
  ASSERT_NE(num, nullptr);

  // Equal keys keep the order they were inserted in, so the kept and the
  // expected order agree key for key and hold the same records.
  std::map<std::string, std::vector<int32_t>> kept;
  std::map<std::string, std::vector<std::string>> keptKeys;
  auto checkTag = [&](TIndexFile& index, const std::string& tag) {
    EXPECT_EQ(index.Check(), std::vector<std::string>()) << tag;
    kept[tag] = WalkForward(index);
    keptKeys[tag] = KeysOf(table, index, kept[tag]);
    const std::vector<int32_t> expected = Expected(table, index, false);
    EXPECT_EQ(keptKeys[tag], KeysOf(table, index, expected)) << tag;
    EXPECT_EQ(Sorted(kept[tag]), Sorted(expected)) << tag;
    EXPECT_EQ(WalkBackward(index), kept[tag]) << tag;
  };
  for (const std::string tag : {"NAME", "NUMDESC", "BORN"}) {
    mdx.SelectIndex(tag);
    checkTag(mdx, tag);
  }
  mdx.SelectIndex("NAME");
  EXPECT_GE(mdx.TreeDepth(), 3);
  EXPECT_GE(num->TreeDepth(), 3);
  checkTag(*num, "ndx");
  table.Close();

  // Perl reads the same entries in the same order.
  EXPECT_EQ(PerlRecNos(PerlIndexEntries(ndx, "")), kept["ndx"]);
  EXPECT_EQ(PerlRecNos(PerlIndexEntries(ChangeFileExt(path_, ".mdx"), "NAME")), kept["NAME"]);
  EXPECT_EQ(PerlRecNos(PerlIndexEntries(ChangeFileExt(path_, ".mdx"), "NUMDESC")).size(),
            kept["NUMDESC"].size());
  const std::vector<std::string> names = PerlIndexEntries(ChangeFileExt(path_, ".mdx"), "NAME");
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names[0].substr(0, 5), "N0000");

  // Built from scratch, bottom-up: the same order, a sound tree, and Perl
  // agrees again.
  table.Open();
  TIndexFile& rebuilt = *table.ProductionIndex();
  table.RegenerateIndex(&rebuilt, "");
  std::map<std::string, std::vector<int32_t>> built;
  for (const std::string tag : {"NAME", "NUMDESC", "BORN"}) {
    rebuilt.SelectIndex(tag);
    built[tag] = WalkForward(rebuilt);
    EXPECT_EQ(KeysOf(table, rebuilt, built[tag]), keptKeys[tag]) << tag;
    EXPECT_EQ(Sorted(built[tag]), Sorted(kept[tag])) << tag;
    EXPECT_EQ(rebuilt.Check(), std::vector<std::string>()) << tag;
  }
  // Later inserts treat the built tree like any other.
  rebuilt.SelectIndex("NAME");
  std::vector<char> record(static_cast<size_t>(table.RecordSize()));
  table.ReadPage(1, record.data());
  for (int i = 0; i < 200; ++i) rebuilt.InsertRecord(1, record.data());
  EXPECT_EQ(WalkForward(rebuilt).size(), kept["NAME"].size() + 200);
  table.Close();
  EXPECT_EQ(PerlRecNos(PerlIndexEntries(ChangeFileExt(path_, ".mdx"), "BORN")), built["BORN"]);
  EXPECT_EQ(PerlRecNos(PerlIndexEntries(ChangeFileExt(path_, ".mdx"), "NUMDESC")),
            built["NUMDESC"]);
}

// Two handles share the table. What one adds, growing both tags' trees,
// the other finds through either tag and walks in order; what it then adds
// itself goes into both tags as they are now, not as it first read them.
TEST_F(TIndexWriteTest, SharedHandlesWorkOnEachOthersTrees) {
  CreatePeople();
  {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetExclusive(true);
    dbf.Open();
    ASSERT_NE(dbf.DbfFile()->OpenIndex("NAME", "NAME", true, 0), nullptr);
    ASSERT_NE(dbf.DbfFile()->OpenIndex("NUM", "NUM", true, 0), nullptr);
    for (int i = 0; i < 20; ++i) Append(dbf, i);
  }
  TDbfFile reader(path_);
  reader.SetMode(amSharedOpen);
  reader.Open();
  TIndexFile& mdx = *reader.ProductionIndex();
  mdx.SelectIndex("NAME");
  const int depthBefore = mdx.TreeDepth();
  ASSERT_TRUE(mdx.SearchKey(mdx.KeyFromText(NameOf(3)).data(), 0));
  auto appendAnother = [this](int from, int to) {
    TDbf writer;
    writer.SetTableName(path_);
    writer.Open();
    for (int i = from; i < to; ++i) Append(writer, i);
  };
  appendAnother(20, 800);
  EXPECT_GT(mdx.TreeDepth(), depthBefore);
  ASSERT_TRUE(mdx.SearchKey(mdx.KeyFromText(NameOf(700)).data(), 0));
  mdx.SelectIndex("NUM");
  std::vector<char> record(static_cast<size_t>(reader.RecordSize()));
  ASSERT_EQ(reader.ReadPage(777, record.data()), reader.RecordSize());
  const std::string numKey(mdx.ExtractKey(record.data()), static_cast<size_t>(mdx.KeyLength()));
  ASSERT_TRUE(mdx.SearchKey(numKey.data(), 0));
  ASSERT_EQ(reader.ReadPage(mdx.CurrentRecordNo(), record.data()), reader.RecordSize());
  EXPECT_EQ(std::string(mdx.ExtractKey(record.data()), numKey.size()), numKey);
  std::vector<int32_t> walked = WalkForward(mdx);
  EXPECT_EQ(walked.size(), 800u);
  ExpectInKeyOrder(reader, mdx, walked);

  // The other handle grows the tag not selected here; the reader then
  // appends copies of record 1, which both tags take.
  appendAnother(800, 1500);
  ASSERT_EQ(reader.ReadPage(1, record.data()), reader.RecordSize());
  for (int i = 0; i < 300; ++i) reader.AppendRecord(record.data());
  // Within a hold (a grid filling its rows), the walk sees what was there
  // when it began, and changes made in it reach the file.
  mdx.SelectIndex("NAME");
  mdx.BeginHold();
  mdx.GotoFirst();
  ASSERT_TRUE(mdx.GotoNext());
  const int32_t firstInHold = mdx.CurrentRecordNo();
  for (int i = 0; i < 200; ++i) reader.AppendRecord(record.data());
  ASSERT_TRUE(mdx.GotoNext());
  EXPECT_NE(mdx.CurrentRecordNo(), firstInHold);
  mdx.EndHold();
  EXPECT_EQ(WalkForward(mdx).size(), 2000u);
  reader.Close();
  TDbfFile table(path_);
  table.SetMode(amExclusiveOpen);
  table.Open();
  TIndexFile& check = *table.ProductionIndex();
  for (const std::string tag : {"NAME", "NUM"}) {
    check.SelectIndex(tag);
    EXPECT_EQ(check.Check(), std::vector<std::string>()) << tag;
    walked = WalkForward(check);
    EXPECT_EQ(walked.size(), 2000u) << tag;
    ExpectInKeyOrder(table, check, walked);
  }
}

// A distinct tag refuses a second record with its key: the append writes
// nothing, an edit keeps the old key in every tag, the old data on disk and
// lets the record go; a record marked deleted gives its key up.
// A tag of 150,000 long keys (nine to a page) has more pages than an
// exclusive handle keeps in memory. Walks, searches and appends all over
// the tree run on while the kept pages are trimmed under them: the walk
// goes on in order, every search lands on its key and steps on to the next
// one, and what the appends changed reaches the file whole.
TEST_F(TIndexWriteTest, TreesLargerThanThePageCacheStaySound) {
  constexpr int kRecords = 150000;
  {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetTableLevel(4);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 100);
    dbf.Open();
  }
  // Distinct names in no order; every key maps to its record.
  auto nameOf = [](int i) { return Format("K%07d", (i * 7919) % 1000003); };
  std::map<std::string, int32_t> names;
  TDbfFile table(path_);
  table.SetMode(amExclusiveOpen);
  table.Open();
  std::vector<char> record(static_cast<size_t>(table.RecordSize()));
  auto append = [&](const std::string& name) {
    std::fill(record.begin(), record.end(), ' ');
    std::memcpy(record.data() + 1, name.data(), name.size());
    names[name] = table.AppendRecord(record.data());
  };
  for (int i = 0; i < kRecords; ++i) append(nameOf(i));
  TIndexFile* index = table.OpenIndex("NAME", "NAME", true, 0);
  ASSERT_NE(index, nullptr);
  ASSERT_GE(index->TreeDepth(), 4);
  auto expectedOrder = [&names] {
    std::vector<int32_t> recNos;
    for (const auto& entry : names) recNos.push_back(entry.second);
    return recNos;
  };

  // A whole walk reads every page, so the cache is trimmed during it.
  EXPECT_EQ(WalkForward(*index), expectedOrder());

  // Each search and each append goes to a leaf of its own.
  for (int i = 0; i < 5000; ++i) {
    const std::string name = nameOf(i * 49999 % kRecords);
    std::string key = name;
    key.resize(static_cast<size_t>(index->KeyLength()), ' ');
    ASSERT_TRUE(index->SearchKey(key.data(), 0)) << name;
    ASSERT_EQ(index->CurrentRecordNo(), names[name]) << name;
    const auto next = std::next(names.find(name));
    ASSERT_EQ(index->GotoNext(), next != names.end()) << name;
    if (next != names.end()) {
      ASSERT_EQ(index->CurrentRecordNo(), next->second) << name;
    }
    append(nameOf(i * 7 % kRecords) + "X");
  }
  EXPECT_EQ(index->Check(), std::vector<std::string>());
  table.Close();

  table.Open();
  index = table.IndexFileOf("NAME");
  ASSERT_NE(index, nullptr);
  index->SelectIndex("NAME");
  EXPECT_EQ(index->Check(), std::vector<std::string>());
  EXPECT_EQ(WalkForward(*index), expectedOrder());
}

TEST_F(TIndexWriteTest, KeyViolationsLeaveTableAndIndexesAsTheyWere) {
  CreatePeople();
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.SetExclusive(true);
  dbf.Open();
  TDbfFile& file = *dbf.DbfFile();
  file.OpenIndex("NUM", "NUM", true, 0);
  file.OpenIndex("NAME", "NAME", true, IndexOpt(ixPrimary));
  for (int i = 0; i < 3; ++i) Append(dbf, i);
  const std::string taken = NameOf(1);

  dbf.AppendNew();
  dbf.FieldNamed("NAME")->SetValueAsString(taken);
  dbf.FieldNamed("NUM")->SetValueAsString("77");
  try {
    dbf.Post();
    FAIL() << "no key violation";
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(),
              "Key violation. (Key already present in file).\r\nIndex: NAME\r\n"
              "Record=2 Key='" +
                  taken + "'.");
  }
  dbf.Cancel();
  EXPECT_EQ(file.PageCount(), 3);
  TIndexFile& mdx = *file.ProductionIndex();
  mdx.SelectIndex("NUM");
  EXPECT_EQ(WalkForward(mdx).size(), 3u);

  dbf.SetRecordNumber(3);
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString(taken);
  dbf.FieldNamed("NUM")->SetValueAsString("12345");
  EXPECT_THROW(dbf.Post(), EDbfError);
  for (const char* tag : {"NUM", "NAME"}) {
    mdx.SelectIndex(tag);
    EXPECT_EQ(mdx.Check(), std::vector<std::string>()) << tag;
  }
  {
    // The lock is free for another handle; the record on disk is the old.
    TDbfFile other(path_);
    other.SetMode(amReadOnly);
    std::vector<char> record(static_cast<size_t>(file.RecordSize()));
    file.ReadPage(3, record.data());
    EXPECT_EQ(std::string(record.data() + 1, 5), NameOf(2));
  }
  dbf.FieldNamed("NAME")->SetValueAsString("FREE");
  dbf.Post();
  mdx.SelectIndex("NAME");
  EXPECT_EQ(mdx.Check(), std::vector<std::string>());

  // Deleting record 2 frees its name for a new record.
  dbf.SetRecordNumber(2);
  dbf.Delete();
  Append(dbf, 1);
  EXPECT_EQ(file.PageCount(), 4);
  EXPECT_EQ(mdx.Check(), std::vector<std::string>());
  mdx.SelectIndex("NUM");
  EXPECT_EQ(WalkForward(mdx).size(), 4u);
}

// Damaged files end in an error that names the file, whatever the damage,
// and never in a hang or a read outside a page. A damaged production index
// leaves the table browsable in record order and unchangeable.
TEST_F(TIndexWriteTest, DamagedIndexesFailClearly) {
  CreatePeople();
  const std::string mdxPath = ChangeFileExt(path_, ".mdx");
  {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetExclusive(true);
    dbf.Open();
    dbf.DbfFile()->OpenIndex("NAME", "NAME", true, 0);
    for (int i = 0; i < 300; ++i) Append(dbf, i);
  }
  const std::string good = ReadWholeFile(mdxPath);
  // The tag header is block 4, its root the block its first word names.
  const uint32_t root = GetLE32(good.data() + 4 * 512);
  struct TDamage {
    const char* what;
    std::function<void(std::string&)> spoil;
  };
  const std::vector<TDamage> damages = {
      {"page 99999 lies outside the file",
       [](std::string& b) { PutLE32(b.data() + 4 * 512, 99999); }},
      {"refers back to itself",
       [root](std::string& b) { PutLE32(b.data() + root * 512 + 8, root); }},
      {"more than its", [root](std::string& b) { PutLE32(b.data() + root * 512, 5000); }},
      {"key length of 0", [](std::string& b) { PutLE16(b.data() + 4 * 512 + 12, 0); }},
      {"key length of 300", [](std::string& b) { PutLE16(b.data() + 4 * 512 + 12, 300); }},
  };
  for (const TDamage& damage : damages) {
    std::string bytes = good;
    damage.spoil(bytes);
    WriteWholeFile(mdxPath, bytes);
    std::string message;
    try {
      TDbfFile table(path_);
      table.SetMode(amReadOnly);
      table.Open();
      message = table.IndexOpenError();
      if (message.empty()) {
        TIndexFile& mdx = *table.ProductionIndex();
        mdx.SelectIndex("NAME");
        WalkForward(mdx);
        WalkBackward(mdx);
        mdx.GotoRecord(5);
      }
    } catch (const EDbfError& e) {
      message = e.Message();
    }
    EXPECT_NE(message.find("Damaged index \"" + mdxPath + "\""), std::string::npos)
        << damage.what << ": " << message;
    EXPECT_NE(message.find(damage.what), std::string::npos) << message;
  }

  // A header that cannot be read: the table opens, browses and refuses
  // changes, and the files stay as they are.
  std::string bytes = good;
  PutLE16(bytes.data() + 4 * 512 + 12, 0);
  WriteWholeFile(mdxPath, bytes);
  const std::string table = ReadWholeFile(path_);
  std::vector<std::string> reported;
  SetExceptionReporter([&reported](const Exception& e) { reported.push_back(e.Message()); });
  {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.Open();
    EXPECT_EQ(dbf.RecordCount(), 300);
    dbf.Last();
    EXPECT_EQ(dbf.RecordNumber(), 300);
    EXPECT_THROW(dbf.Edit(), EDbfError);
    dbf.AppendNew();
    EXPECT_THROW(dbf.Post(), EDbfError);
    dbf.Cancel();
  }
  SetExceptionReporter(nullptr);
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_NE(reported[0].find("cannot be changed"), std::string::npos) << reported[0];
  EXPECT_EQ(ReadWholeFile(path_), table);
  EXPECT_EQ(ReadWholeFile(mdxPath), bytes);
}

// ---- The dataset in index order ------------------------------------------------------

class TDbfIndexOrderTest : public ::testing::Test {
 protected:
  TScopedSystemLocale locale_;
  TTempDir dir_;

  // A table of names and towns with a production index on both.
  std::string MakeTable(const std::string& name, const std::vector<std::string>& names,
                        const std::vector<std::string>& towns) {
    const std::string path = dir_.File(name);
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetOpenMode(omAutoCreate);
    dbf.SetExclusive(true);
    dbf.FieldDefs().Add("NAME", ftString, 8);
    dbf.FieldDefs().Add("TOWN", ftString, 8);
    dbf.Open();
    dbf.DbfFile()->OpenIndex("NAME", "NAME", true, 0);
    dbf.DbfFile()->OpenIndex("TOWN", "TOWN", true, 0);
    for (size_t i = 0; i < names.size(); ++i) {
      dbf.AppendNew();
      dbf.FieldNamed("NAME")->SetValueAsString(names[i]);
      dbf.FieldNamed("TOWN")->SetValueAsString(towns[i]);
      dbf.Post();
    }
    return path;
  }

  static std::vector<std::string> Values(TDbf& dbf, const char* field = "NAME") {
    std::vector<std::string> values;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next())
      values.push_back(dbf.FieldNamed(field)->ValueAsString());
    return values;
  }
};

TEST_F(TDbfIndexOrderTest, OrderSearchRangesAndLocate) {
  const std::string path = MakeTable("t.dbf", {"DORA", "ANNA", "CARL", "BERT", "CARL", "EMIL"},
                                     {"ROME", "OSLO", "ROME", "BERN", "OSLO", "BERN"});
  TDbf dbf;
  dbf.SetTableName(path);
  dbf.Open();
  ASSERT_EQ(dbf.Indexes().Count(), 2);
  EXPECT_EQ(dbf.Indexes().Items(0).IndexFile(), "NAME");
  EXPECT_EQ(dbf.Indexes().Items(0).Options(), IndexOpt(ixExpression));

  // Choosing an order keeps the current record.
  dbf.SetRecordNumber(3);
  dbf.SetIndexName("name");
  EXPECT_EQ(dbf.FieldNamed("NAME")->ValueAsString(), "CARL");
  EXPECT_EQ(dbf.IndexFieldNames(), "NAME");
  EXPECT_EQ(Values(dbf),
            (std::vector<std::string>{"ANNA", "BERT", "CARL", "CARL", "DORA", "EMIL"}));

  // Searches: equal, at least, after; a miss leaves the record current.
  EXPECT_TRUE(dbf.SearchKey(TVariant(std::string("CARL")), 0));
  EXPECT_EQ(dbf.FieldNamed("TOWN")->ValueAsString(), "ROME");
  EXPECT_TRUE(dbf.SearchKey(TVariant(std::string("CARL")), 2));
  EXPECT_EQ(dbf.FieldNamed("NAME")->ValueAsString(), "DORA");
  EXPECT_FALSE(dbf.SearchKey(TVariant(std::string("CAT")), 0));
  EXPECT_EQ(dbf.FieldNamed("NAME")->ValueAsString(), "DORA");
  EXPECT_TRUE(dbf.SearchKey(TVariant(std::string("CAT")), 1));
  EXPECT_EQ(dbf.FieldNamed("NAME")->ValueAsString(), "DORA");
  EXPECT_FALSE(dbf.SearchKey(TVariant(std::string("ZED")), 1));

  // The index path of locate, with deleted records passed over.
  dbf.SetRecordNumber(3);
  dbf.Delete();
  EXPECT_TRUE(dbf.LocateRecord("NAME", TVariant(std::string("CARL")), 0));
  EXPECT_EQ(dbf.FieldNamed("TOWN")->ValueAsString(), "OSLO");
  EXPECT_TRUE(dbf.LocateRecord("NAME", TVariant(std::string("EM")), SearchOpt(soPartialKey)));
  EXPECT_EQ(dbf.FieldNamed("NAME")->ValueAsString(), "EMIL");
  EXPECT_FALSE(dbf.LocateRecord("NAME", TVariant(std::string("ZED")), 0));
  EXPECT_EQ(dbf.FieldNamed("NAME")->ValueAsString(), "EMIL");

  // Ranges, at the ends and empty.
  dbf.SetKeyRange("BERT", "CARL");
  EXPECT_EQ(Values(dbf), (std::vector<std::string>{"BERT", "CARL"}));
  dbf.SetKeyRange("ANNA", "ANNA");
  EXPECT_EQ(Values(dbf), (std::vector<std::string>{"ANNA"}));
  dbf.SetKeyRange("EMIL", "ZZZ");
  EXPECT_EQ(Values(dbf), (std::vector<std::string>{"EMIL"}));
  dbf.SetKeyRange("BOB", "BOB");
  EXPECT_TRUE(dbf.IsEmpty());
  dbf.CancelRange();
  EXPECT_EQ(Values(dbf).size(), 5u);

  // A changed key moves the record in the order.
  EXPECT_TRUE(dbf.SearchKey(TVariant(std::string("ANNA")), 0));
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("ZOE");
  dbf.Post();
  EXPECT_EQ(dbf.FieldNamed("NAME")->ValueAsString(), "ZOE");
  dbf.Next();
  EXPECT_TRUE(dbf.AtEnd());
  dbf.AppendNew();
  dbf.FieldNamed("NAME")->SetValueAsString("AARON");
  dbf.Post();
  EXPECT_EQ(Values(dbf),
            (std::vector<std::string>{"AARON", "BERT", "CARL", "DORA", "EMIL", "ZOE"}));

  // Another tag, an expression that defines none, a name that is none.
  dbf.SetIndexFieldNames("town");
  EXPECT_EQ(dbf.IndexName(), "TOWN");
  EXPECT_EQ(Values(dbf, "TOWN"),
            (std::vector<std::string>{"", "BERN", "BERN", "OSLO", "OSLO", "ROME"}));
  dbf.SetIndexFieldNames("NAME+TOWN");
  EXPECT_EQ(dbf.IndexName(), "");
  dbf.SetIndexName("NOSUCH");
  EXPECT_EQ(dbf.IndexName(), "");
  EXPECT_EQ(Values(dbf).front(), "DORA");
}

TEST_F(TDbfIndexOrderTest, DetailFollowsItsMaster) {
  const std::string towns = MakeTable("towns.dbf", {"ROME", "OSLO", "BERN"}, {"IT", "NO", "CH"});
  const std::string people = MakeTable("people.dbf", {"DORA", "ANNA", "CARL", "BERT", "EMIL"},
                                       {"ROME", "OSLO", "ROME", "BERN", "OSLO"});
  TDbf master;
  master.SetTableName(towns);
  master.Open();
  TDataSource source;
  source.SetDataSet(&master);
  TDbf detail;
  detail.SetTableName(people);
  detail.SetIndexName("TOWN");
  detail.SetMasterSource(&source);
  detail.SetMasterFields("NAME");
  detail.Open();
  EXPECT_EQ(Values(detail), (std::vector<std::string>{"DORA", "CARL"}));
  master.Next();
  EXPECT_EQ(Values(detail), (std::vector<std::string>{"ANNA", "EMIL"}));
  master.Last();
  EXPECT_EQ(Values(detail), (std::vector<std::string>{"BERT"}));
  master.Close();
  EXPECT_EQ(Values(detail).size(), 5u);
  detail.SetMasterSource(nullptr);
}

}  // namespace
