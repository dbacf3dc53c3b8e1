// Filtering and locating on TDbf, the fetch path they ride on, and
// dbfcat's --filter and --locate.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dbf_common.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tests/recordset/log_link.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/file_wrapper.h"
#include "tests/support/temp_dir.h"

namespace {

struct TColumn {
  const char* name;
  TFieldType type;
  int size;
  int precision;
};

const std::vector<TColumn> kPeople = {
    {"NAME", ftString, 12, 0}, {"NUM", ftInteger, 0, 0}, {"PRICE", ftFloat, 8, 2}};

std::string Message(const std::function<void()>& action) {
  try {
    action();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

class TDbfFilterTest : public ::testing::Test {
 protected:
  // A new table with the columns; each row gives the columns' texts in
  // order (empty texts stay blank).
  void Make(const std::vector<TColumn>& columns, const std::vector<std::vector<std::string>>& rows,
            const std::string& path) {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetOpenMode(omAutoCreate);
    for (const TColumn& c : columns)
      dbf.FieldDefs().Add(c.name, c.type, c.size).SetPrecision(c.precision);
    dbf.Open();
    for (const auto& row : rows) {
      dbf.AppendNew();
      for (size_t i = 0; i < row.size(); ++i)
        if (!row[i].empty()) dbf.FieldNamed(columns[i].name)->SetValueAsString(row[i]);
      dbf.Post();
    }
  }
  // People with these names, numbered 1, 2, ... in NUM.
  void People(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < names.size(); ++i) rows.push_back({names[i], std::to_string(i + 1)});
    Make(kPeople, rows, path_);
  }
  void Open(TDbf& dbf) {
    dbf.SetName("tbMain");
    dbf.SetTableName(path_);
    dbf.Open();
  }
  // People named N1, N2, ... up to count.
  void NumberedPeople(int count) {
    std::vector<std::string> names;
    for (int i = 1; i <= count; ++i) names.push_back("N" + std::to_string(i));
    People(names);
  }
  // The table opened with a grid's link of 10 rows on it.
  void OpenUnderGrid(TDbf& dbf, TDataSource& source, TLogLink& grid) {
    grid.SetBufferCount(10);
    source.SetDataSet(&dbf);
    grid.SetDataSource(&source);
    Open(dbf);
  }
  static std::string Name(TDbf& dbf) { return dbf.FieldNamed("NAME")->ValueAsString(); }
  // The names the set shows, first to last (or last to first).
  static std::vector<std::string> Shown(TDbf& dbf, bool backwards = false) {
    std::vector<std::string> names;
    backwards ? dbf.Last() : dbf.First();
    for (; !(backwards ? dbf.AtStart() : dbf.AtEnd()); backwards ? dbf.Prior() : dbf.Next())
      names.push_back(Name(dbf));
    return names;
  }
  static bool Locate(TDbf& dbf, const std::string& fields, const TVariant& values,
                     TSearchOptions options = 0) {
    return dbf.LocateRecord(fields, values, options);
  }

  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("people.dbf");
};

using Names = std::vector<std::string>;

const TSearchOptions kPartial = SearchOpt(soPartialKey);
const TSearchOptions kNoCase = SearchOpt(soCaseInsensitive);

// ---- Filter ---------------------------------------------------------------------------

TEST_F(TDbfFilterTest, TextFilterInBothDirectionsAndOnEveryChange) {
  People({"abc", "Bob", "ABC", "abcd", "  abc", "x"});
  TDbf dbf;
  Open(dbf);
  dbf.SetRecordNumber(2);
  dbf.SetFilter("NAME='abc'");
  EXPECT_EQ("Bob", Name(dbf));  // not applied yet
  dbf.SetFiltered(true);        // Bob fails: the next one that passes
  EXPECT_EQ("ABC", Name(dbf));
  EXPECT_EQ((Names{"abc", "ABC", "  abc"}), Shown(dbf));
  EXPECT_EQ((Names{"  abc", "ABC", "abc"}), Shown(dbf, true));
  EXPECT_EQ(6, dbf.RecordCount());
  dbf.Last();
  dbf.SetFilter("NUM < 3 OR NUM = 5");  // "  abc" passes: it stays
  EXPECT_EQ(5, dbf.RecordNumber());
  dbf.SetFilter("NUM < 3");  // none follows: the previous one
  EXPECT_EQ("Bob", Name(dbf));
  dbf.SetFilter("NUM > 9");
  EXPECT_TRUE(dbf.IsEmpty());
  dbf.SetFiltered(false);
  EXPECT_EQ(6u, Shown(dbf).size());
}

TEST_F(TDbfFilterTest, RecordFunctionsSeeTheRecordBeingTested) {
  People({"a", "b", "c", "d", "e"});
  TDbf dbf;
  Open(dbf);
  for (int recNo : {2, 4}) {
    dbf.SetRecordNumber(recNo);
    dbf.Delete();
  }
  dbf.SetShowDeleted(true);
  dbf.SetFilter("DELETED()");
  dbf.SetFiltered(true);
  EXPECT_EQ((Names{"b", "d"}), Shown(dbf));
  dbf.SetFilter("RECNO() > 2 .AND. !DELETED()");
  EXPECT_EQ((Names{"c", "e"}), Shown(dbf));
  EXPECT_EQ((Names{"e", "c"}), Shown(dbf, true));
  dbf.SetFilter("NUM % 2 = 1 AND NAME <> 'c' AND RECNO() = NUM");
  EXPECT_EQ((Names{"a", "e"}), Shown(dbf));
}

// A logical field is a logical value wherever a function or operator
// takes one: .F. and an unset field are EMPTY, and two logical fields
// compare by value, not by their stored letters. ISBLANK is true only for
// a field never set.
TEST_F(TDbfFilterTest, LogicalFieldsAsLogicalValues) {
  Make({{"NAME", ftString, 8, 0}, {"ACTIVE", ftBoolean, 1, 0}, {"PAID", ftBoolean, 1, 0}},
       {{"yes", "T", "T"}, {"no", "F", "T"}, {"unset", "", "F"}, {"mixed", "T", "F"}}, path_);
  {
    // Another program's letters in the last record: y for true, ? for not
    // known.
    std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char header[12];
    file.read(reinterpret_cast<char*>(header), sizeof header);
    const int headerSize = header[8] | header[9] << 8;
    const int recordSize = header[10] | header[11] << 8;
    file.seekp(headerSize + 3 * recordSize + 1 + 8);
    file.write("y?", 2);
  }
  TDbf dbf;
  Open(dbf);
  dbf.SetFiltered(true);
  for (const auto& [text, names] : std::vector<std::pair<std::string, Names>>{
           {"EMPTY(ACTIVE)", {"no", "unset"}},
           {"ISBLANK(ACTIVE)", {"unset"}},
           {"!EMPTY(ACTIVE) .AND. EMPTY(PAID)", {"mixed"}},
           {"ACTIVE = PAID", {"yes", "unset"}},
           {"ACTIVE <> PAID", {"no", "mixed"}},
           {"ACTIVE = 'T'", {"yes"}},
           {"IIF(EMPTY(PAID), 'unpaid', NAME) = 'unpaid'", {"unset", "mixed"}}}) {
    dbf.SetFilter(text);
    EXPECT_EQ(names, Shown(dbf)) << text;
  }
}

// Turning a filter on reads each record at most once when nothing
// matches, and no further than the first match otherwise; First right
// after reads nothing more.
TEST_F(TDbfFilterTest, FiltersCostOnePass) {
  constexpr int kRecords = 1000;
  std::vector<std::string> names;
  for (int i = 1; i <= kRecords; ++i) names.push_back("n" + std::to_string(i));
  People(names);
  TRecordReadCounter counter(32 * 4 + 1);  // the header and three field descriptors
  TDbf dbf;
  dbf.SetEnv(&counter);
  Open(dbf);
  auto readsOf = [&](const std::function<void()>& action) {
    counter.reads = 0;
    action();
    return counter.reads;
  };

  dbf.SetFilter("NAME = 'none'");
  EXPECT_LE(readsOf([&] { dbf.SetFiltered(true); }), kRecords + 1);
  EXPECT_TRUE(dbf.IsEmpty());
  EXPECT_EQ(0, readsOf([&] { dbf.First(); }));
  EXPECT_EQ(0, readsOf([&] { dbf.Last(); }));
  EXPECT_TRUE(dbf.IsEmpty());

  // From the middle of the table: forward to the end, back to the start.
  dbf.SetFiltered(false);
  dbf.SetRecordNumber(500);
  EXPECT_LE(readsOf([&] { dbf.SetFiltered(true); }), kRecords + 1);
  EXPECT_EQ(0, readsOf([&] { dbf.First(); }));

  // One match: a plain scan to it, and First finds it with one read.
  dbf.SetFiltered(false);
  dbf.First();
  dbf.SetFilter("NAME = 'n700' .OR. NAME = 'n900'");
  EXPECT_LE(readsOf([&] { dbf.SetFiltered(true); }), 700 + 1);
  EXPECT_EQ("n700", Name(dbf));
  EXPECT_LE(readsOf([&] { dbf.First(); }), 1);
  EXPECT_EQ("n700", Name(dbf));
  EXPECT_EQ((Names{"n700", "n900"}), Shown(dbf));

  // A record written through the set is seen again by the next walk.
  dbf.SetFilter("NAME = 'none'");
  dbf.SetFiltered(false);
  dbf.SetRecordNumber(3);
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("none");
  dbf.Post();
  dbf.SetFiltered(true);
  EXPECT_EQ((Names{"none"}), Shown(dbf));
  dbf.SetFiltered(false);
  dbf.SetRecordNumber(3);
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("n3");
  dbf.Post();
  dbf.SetFiltered(true);
  EXPECT_TRUE(dbf.IsEmpty());
  dbf.AppendNew();
  dbf.FieldNamed("NAME")->SetValueAsString("none");
  dbf.Post();
  EXPECT_EQ((Names{"none"}), Shown(dbf));
}

TEST_F(TDbfFilterTest, TextThatDoesNotCompileKeepsTheFilterInForce) {
  People({"abc", "Bob", "abc"});
  TDbf dbf;
  Open(dbf);
  dbf.SetFilter("NAME='abc'");
  dbf.SetFiltered(true);
  EXPECT_THROW(dbf.SetFilter("NAME = "), EParserException);
  // Each refused text says what is wrong; the filter in force stays.
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"CITY='x'", "Unknown field 'CITY'"},
           {"NAME = \"Alice", "Unterminated text starting at position 8"},
           {"NAME", "Filter must be a logical expression: NAME is Character"},
           {" 1 ", "Filter must be a logical expression: 1 is Numeric"},
           {"NUM + 1", "Filter must be a logical expression: NUM + 1 is Numeric"},
           {"TRIM(NAME) > 5", "Cannot compare Character with Numeric in TRIM(NAME) > 5"},
           {"FOO(NAME)", "Unknown function 'FOO'"}}) {
    EXPECT_EQ(message, Message([&] { dbf.SetFilter(text); })) << text;
    EXPECT_EQ("NAME='abc'", dbf.Filter());
  }
  EXPECT_EQ((Names{"abc", "abc"}), Shown(dbf));
  // A pending edit is posted before the buffers are refilled.
  dbf.SetFilter("");
  dbf.SetRecordNumber(2);
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("abc");
  dbf.SetFilter("NAME='abc'");
  EXPECT_EQ(rsBrowse, dbf.State());
  EXPECT_EQ(2, dbf.RecordNumber());
  EXPECT_EQ((Names{"abc", "abc", "abc"}), Shown(dbf));
}

TEST_F(TDbfFilterTest, TextSetWhileClosedIsCompiledAtOpen) {
  People({"abc", "Bob"});
  Make({{"CODE", ftString, 4, 0}, {"NAME", ftString, 20, 0}},
       {{"1", "Bob"}, {"2", "Cid"}, {"3", "Bob"}}, dir_.File("other.dbf"));
  TDbf dbf;
  dbf.SetFilter("NAME='Bob'");
  dbf.SetFiltered(true);
  Open(dbf);
  EXPECT_EQ((Names{"Bob"}), Shown(dbf));
  // Kept over closing; compiled again for the fields of the next table.
  dbf.Close();
  dbf.SetTableName(dir_.File("other.dbf"));
  dbf.Open();
  EXPECT_EQ((Names{"Bob", "Bob"}), Shown(dbf));
  // A text the table's fields do not fit is dropped without a message.
  dbf.Close();
  dbf.SetFilter("CODE='2'");
  dbf.SetTableName(path_);
  dbf.Open();
  EXPECT_EQ("", dbf.Filter());
  EXPECT_EQ((Names{"abc", "Bob"}), Shown(dbf));
}

TEST_F(TDbfFilterTest, ExpressionComesBeforeTheCallback) {
  People({"Ann", "Bob", "Bea", "Cid", "Ben"});
  TDbf dbf;
  Open(dbf);
  Names asked;
  dbf.SetOnFilterRecord([&](TDataSet& set, bool& accept) {
    EXPECT_EQ(rsFilter, set.State());
    asked.push_back(set.FieldNamed("NAME")->ValueAsString());
    if (asked.back() == "Ben") throw EDbfError("bad record");
    accept = asked.back() != "Bea";
  });
  dbf.SetFilter("NUM > 1 AND NUM < 5");
  dbf.SetFiltered(true);
  asked.clear();
  EXPECT_EQ((Names{"Bob", "Cid"}), Shown(dbf));
  for (const std::string& name : asked)
    EXPECT_TRUE(name == "Bob" || name == "Bea" || name == "Cid");
  // Without a text the callback alone decides; what it raises leaves the
  // fetch, and the state is restored.
  dbf.SetFilter("");
  EXPECT_EQ("bad record", Message([&] { Shown(dbf); }));
  EXPECT_EQ(rsBrowse, dbf.State());
  EXPECT_FALSE(dbf.NotificationsSuspended());
}

// ---- Locate ----------------------------------------------------------------------------

TEST_F(TDbfFilterTest, LocateTextExactPartialOrWithoutCase) {
  People({"Anna", "Smith", "Smithson", "smith", "Sm", ""});
  TDbf dbf;
  Open(dbf);
  auto found = [&](const char* text, TSearchOptions options) {
    return Locate(dbf, "NAME", text, options) ? dbf.RecordNumber() : 0;
  };
  EXPECT_EQ(2, found("Sm", kPartial));
  EXPECT_EQ(5, found("Sm", 0));
  EXPECT_EQ(4, found("smith", 0));
  EXPECT_EQ(2, found("smith", kNoCase));
  EXPECT_EQ(3, found("SMITHS", kNoCase | kPartial));
  EXPECT_EQ(0, found("SMITHS", kPartial));
  EXPECT_EQ(0, found("Smithsonian", kPartial));
  EXPECT_EQ(6, found("", 0));
  // An empty text with the partial key matches the first visible record.
  dbf.SetFilter("NUM > 2");
  dbf.SetFiltered(true);
  EXPECT_EQ(3, found("", kPartial));
}

// Filters, UPPER and LOWER and case-insensitive locates treat letters by
// the rules of the table: in a Turkish one i pairs with İ and ı with I.
TEST_F(TDbfFilterTest, LetterCaseByCharacterAndByTheTablesRules) {
  locale_.Set({1254, 857, 0x041F});
  const std::string dotted = "\u0130STANBUL";   // İSTANBUL
  const std::string dotless = "\u0131stanbul";  // ıstanbul
  People({dotted, dotless, "istanbul", "\u015EAH\u0130N"});
  const std::string before = ReadWholeFile(path_);
  TDbf dbf;
  Open(dbf);
  ASSERT_EQ(1254, dbf.TableCodePage());
  EXPECT_TRUE(Locate(dbf, "NAME", "ISTANBUL", kNoCase));
  EXPECT_EQ(2, dbf.RecordNumber());
  EXPECT_TRUE(Locate(dbf, "NAME", "istanbul", kNoCase));
  EXPECT_EQ(1, dbf.RecordNumber());
  EXPECT_FALSE(Locate(dbf, "NAME", "\u0131STANBUL", 0));
  EXPECT_TRUE(Locate(dbf, "NAME", "\u0131STANBUL", kNoCase));
  EXPECT_EQ(2, dbf.RecordNumber());
  EXPECT_TRUE(Locate(dbf, "NAME", "\u015Fa", kNoCase | kPartial));
  EXPECT_EQ(4, dbf.RecordNumber());
  const auto shown = [](TDbf& set, const std::string& filter) {
    set.SetFilter(filter);
    set.SetFiltered(true);
    Names names = Shown(set);
    set.SetFiltered(false);
    return names;
  };
  EXPECT_EQ((Names{dotted, "istanbul"}), shown(dbf, "NAME = 'istanbul'"));
  EXPECT_EQ((Names{dotless}), shown(dbf, "NAME = 'ISTANBUL'"));
  EXPECT_EQ((Names{"\u015EAH\u0130N"}), shown(dbf, "NAME = '\u015Fahin'"));
  EXPECT_EQ((Names{dotless}), shown(dbf, "LOWER(NAME) = '\u0131stanbul'"));
  EXPECT_EQ((Names{"\u015EAH\u0130N"}), shown(dbf, "UPPER(NAME) = '\u015EAH\u0130N'"));
  dbf.Close();
  EXPECT_EQ(before, ReadWholeFile(path_));

  // Russian in 1251 and in 866, Greek in UTF-8: the same, with i and I a
  // pair as everywhere but in Turkish.
  locale_.Set({1252, 437, 0x0409});
  for (const char* codePage : {"1251", "866", "UTF-8"}) {
    SCOPED_TRACE(codePage);
    path_ = dir_.File(std::string("t") + codePage + ".dbf");
    WriteWholeFile(dir_.File(std::string("t") + codePage + ".cpg"), codePage);
    const bool utf8 = std::string(codePage) == "UTF-8";
    Names names = {"\u041C\u041E\u0421\u041A\u0412\u0410", "Istanbul"};
    if (utf8) names.push_back("\u0391\u0398\u0389\u039D\u0391");  // ΑΘΉΝΑ
    People(names);
    TDbf other;
    Open(other);
    if (utf8) {
      EXPECT_EQ((Names{names[2]}), shown(other, "NAME = '\u03B1\u03B8\u03AE\u03BD\u03B1'"));
      EXPECT_TRUE(Locate(other, "NAME", "\u03B1\u03B8", kNoCase | kPartial));
      EXPECT_EQ(3, other.RecordNumber());
    }
    EXPECT_EQ((Names{names[0], names[1]}),
              shown(other, "NAME = '\u043C\u043E\u0441\u043A\u0432\u0430' OR NAME = 'iSTANBUL'"));
    EXPECT_TRUE(Locate(other, "NAME", "\u043C\u043E\u0441\u043A\u0432\u0430", kNoCase));
    EXPECT_EQ(1, other.RecordNumber());
  }
}

// In a UTF-8 table text compares as both sides in upper case, character
// for character, whether the letters are ASCII or not, under Turkish rules
// and under the others.
TEST_F(TDbfFilterTest, Utf8TextOrdersAsInUpperCase) {
  const Names names = {"\u015Fahin",
                       "SAHIN",
                       "\u015Eahin",
                       "\u015EAH\u0130N",
                       "\u0131i",
                       "Ii",
                       "i\u0130",
                       "Zeta",
                       "\u03B6\u03AE\u03C4\u03B1",
                       "\u0396\u0389\u03A4\u0391",
                       "\u00C4rger",
                       "arger",
                       "x\u20AC",
                       "X\u20AC",
                       "\u03C9a",
                       "\u03A9",
                       "a",
                       ""};
  for (const bool turkish : {false, true}) {
    SCOPED_TRACE(turkish ? "Turkish" : "English");
    locale_.Set(turkish ? platform::TSystemLocale{1254, 857, 0x041F}
                        : platform::TSystemLocale{1252, 437, 0x0409});
    path_ = dir_.File(turkish ? "tr.dbf" : "en.dbf");
    WriteWholeFile(ChangeFileExt(path_, ".cpg"), "UTF-8");
    People(names);
    TDbf dbf;
    Open(dbf);
    ASSERT_EQ(65001, dbf.TableCodePage());
    auto codec = platform::TTextCodec::Make(platform::kCodePageUtf8);
    codec->SetTurkicCase(turkish);
    auto upper = [&](const std::string& text) {
      std::string out;
      codec->ChangeCase(text, true, out);
      return out;
    };
    for (const std::string& value : names) {
      SCOPED_TRACE(value);
      Names less, same;
      for (const std::string& name : names) {
        if (upper(name) < upper(value)) less.push_back(name);
        if (upper(name) == upper(value)) same.push_back(name);
      }
      dbf.SetFilter("NAME < '" + value + "'");
      dbf.SetFiltered(true);
      EXPECT_EQ(less, Shown(dbf));
      dbf.SetFilter("NAME = '" + value + "'");
      EXPECT_EQ(same, Shown(dbf));
      dbf.SetFiltered(false);
    }
  }
}

TEST_F(TDbfFilterTest, LocateOtherTypesAsVariantsWithOneValuePerField) {
  Make(kPeople, {{"a", "7", "1.5"}, {"b", "12", "12.5"}, {"c", "1", ""}, {"d", "120", "12"}},
       path_);
  TDbf dbf;
  Open(dbf);
  EXPECT_TRUE(Locate(dbf, "NUM", "12"));
  EXPECT_EQ("b", Name(dbf));
  // The partial key is for text only: 1 finds the 1, not the 12 before it.
  EXPECT_TRUE(Locate(dbf, "NUM", "1", kPartial));
  EXPECT_EQ("c", Name(dbf));
  EXPECT_TRUE(Locate(dbf, "PRICE", 12.0));
  EXPECT_EQ("d", Name(dbf));
  EXPECT_TRUE(Locate(dbf, "name ; price", std::vector<TVariant>{"b", "12.5"}));
  EXPECT_EQ("Could not convert variant of type (String) into type (Double)",
            Message([&] { Locate(dbf, "NUM", "twelve"); }));

  dbf.SetRecordNumber(3);
  int scrolls = 0;
  dbf.SetAfterScroll([&](TDataSet&) { ++scrolls; });
  EXPECT_FALSE(Locate(dbf, "NAME;NUM", std::vector<TVariant>{"d"}));
  EXPECT_FALSE(Locate(dbf, "NAME", std::vector<TVariant>{"d", 120}));
  EXPECT_FALSE(Locate(dbf, "NAME;NUM", "d"));
  EXPECT_EQ(0, scrolls);
  EXPECT_EQ("c", Name(dbf));
  EXPECT_TRUE(Locate(dbf, "NAME", std::vector<TVariant>{"d"}));
}

TEST_F(TDbfFilterTest, FailedLocateShowsTheSameRecordCentred) {
  NumberedPeople(30);
  TDbf dbf;
  TDataSource source;
  TLogLink grid;
  OpenUnderGrid(dbf, source, grid);
  dbf.SetRecordNumber(15);
  ASSERT_NE(4, dbf.ActiveRecord());
  std::vector<std::string> events;
  dbf.SetBeforeScroll([&](TDataSet&) { events.push_back("before"); });
  dbf.SetAfterScroll([&](TDataSet&) { events.push_back("after"); });
  auto count = [&](const char* event) { return std::count(events.begin(), events.end(), event); };
  grid.Clear();

  EXPECT_FALSE(Locate(dbf, "NAME", "N99"));
  EXPECT_EQ("N15", Name(dbf));
  EXPECT_EQ(4, dbf.ActiveRecord());
  EXPECT_EQ(10, dbf.RingRecordCount());
  EXPECT_EQ("changed", grid.Joined());
  // First and Next raise their own scroll events; only a found record ends
  // with one more AfterScroll.
  EXPECT_EQ("before", events.front());
  EXPECT_EQ(count("before"), count("after") + 1);

  events.clear();
  grid.Clear();
  EXPECT_TRUE(Locate(dbf, "NAME", "N2"));
  EXPECT_EQ(2, dbf.RecordNumber());
  EXPECT_EQ("changed", grid.Joined());
  EXPECT_EQ("after", events.back());
  EXPECT_EQ(count("before"), count("after"));
  grid.SetDataSource(nullptr);
}

// A locate walks the records in blocks: on a table of many blocks, with a
// grid's link of 10 rows, the record found (or the one kept) must come
// back with every row of the grid on a record, in order, and the set must
// step on from it.
TEST_F(TDbfFilterTest, LocateFarIntoALargeTableKeepsTheGridOnItsRecords) {
  NumberedPeople(1500);
  TDbf dbf;
  TDataSource source;
  TLogLink grid;
  OpenUnderGrid(dbf, source, grid);
  // Every row the grid shows, as it paints them.
  auto rows = [&] {
    std::vector<int> shown;
    const int active = grid.ActiveRecord();
    for (int row = 0; row < grid.RecordCount(); ++row) {
      grid.SetActiveRecord(row);
      shown.push_back(dbf.RecordNumber());
    }
    grid.SetActiveRecord(active);
    return shown;
  };
  auto consecutive = [](const std::vector<int>& shown) {
    for (size_t i = 1; i < shown.size(); ++i)
      if (shown[i] != shown[i - 1] + 1) return false;
    return shown.size() == 10;
  };

  dbf.Last();
  EXPECT_FALSE(Locate(dbf, "NAME", "N99999"));
  EXPECT_EQ(1500, dbf.RecordNumber());
  EXPECT_TRUE(consecutive(rows()));
  EXPECT_TRUE(Locate(dbf, "NAME", "n120", kPartial | kNoCase));
  EXPECT_EQ(120, dbf.RecordNumber());
  EXPECT_TRUE(consecutive(rows()));
  EXPECT_TRUE(Locate(dbf, "NAME", "N1234"));
  EXPECT_EQ(1234, dbf.RecordNumber());
  EXPECT_TRUE(consecutive(rows()));
  dbf.Prior();
  EXPECT_EQ("N1233", Name(dbf));
  dbf.MoveRecords(2);
  EXPECT_EQ("N1235", Name(dbf));

  // Deleted records stay hidden from the walk, and a filter holds.
  dbf.SetRecordNumber(1300);
  dbf.Delete();
  EXPECT_TRUE(Locate(dbf, "NAME", "N130", kPartial));
  EXPECT_EQ(130, dbf.RecordNumber());
  EXPECT_FALSE(Locate(dbf, "NAME", "N1300"));
  dbf.SetFilter("NUM > 1000");
  dbf.SetFiltered(true);
  EXPECT_TRUE(Locate(dbf, "NAME", "N12", kPartial));
  EXPECT_EQ(1200, dbf.RecordNumber());
  EXPECT_TRUE(consecutive(rows()));
  grid.SetDataSource(nullptr);
}

TEST_F(TDbfFilterTest, LocateErrorsPendingEditsAndLookup) {
  People({"Ann", "Bob"});
  TDbf dbf;
  dbf.SetName("tbMain");
  int before = 0;
  dbf.SetBeforeScroll([&](TDataSet&) { ++before; });
  EXPECT_EQ("tbMain: Cannot perform this operation on a closed dataset",
            Message([&] { Locate(dbf, "NAME", "Ann"); }));
  EXPECT_EQ(1, before);
  EXPECT_FALSE(dbf.NotificationsSuspended());
  Open(dbf);
  EXPECT_EQ("tbMain: Field 'CITY' not found", Message([&] { Locate(dbf, "NAME;CITY", "Ann"); }));
  EXPECT_FALSE(dbf.NotificationsSuspended());

  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("Abe");
  EXPECT_TRUE(Locate(dbf, "NAME", "Bob"));
  EXPECT_EQ(rsBrowse, dbf.State());
  EXPECT_TRUE(Locate(dbf, "NAME", "Abe"));

  const TVariant result = dbf.Lookup("NAME", "Abe", "NUM");
  ASSERT_EQ(varBoolean, result.Type());
  EXPECT_FALSE(result.AsBoolean());
}

// ---- dbfcat --------------------------------------------------------------------------------

struct TRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A word for the shell: in single quotes, a quote within as '\''.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

TRun RunDbfcat(const std::vector<std::string>& args, const TTempDir& dir) {
  std::string command = Quoted(std::string(ZOZUR_HELPER_DIR) + "/../dbfcat");
  for (const std::string& arg : args) command += " " + Quoted(arg);
  command += " 2>'" + dir.File("stderr") + "'";
  TRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) run.out.append(chunk, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = ReadWholeFile(dir.File("stderr"));
  return run;
}

TEST_F(TDbfFilterTest, DbfcatFiltersAndLocates) {
  People({"Smith", "Jones", "smithers", "SMITH", "M\u00FCller"});
  const std::string before = ReadWholeFile(path_);
  // The NAME of each record line (the first line describes the table).
  auto names = [&](const std::vector<std::string>& args) {
    const TRun run = RunDbfcat(args, dir_);
    EXPECT_EQ(0, run.status) << run.err;
    Names found;
    for (size_t at = run.out.find('\n');
         (at = run.out.find("\"NAME\": \"", at)) != std::string::npos;) {
      at += 9;
      found.push_back(run.out.substr(at, run.out.find('"', at) - at));
    }
    return found;
  };
  EXPECT_EQ((Names{"Smith", "SMITH"}), names({"--filter", "NAME='smith'", path_}));
  EXPECT_EQ((Names{"smithers"}), names({"--locate", "NAME=smith", "--partial", path_}));
  EXPECT_EQ((Names{"smithers"}),
            names({"--locate", "NAME=SMITHE", "--partial", "--nocase", path_}));
  EXPECT_EQ((Names{"SMITH"}),
            names({"--filter", "NUM > 3", "--locate", "NAME=S", "--partial", path_}));
  EXPECT_EQ((Names{"Jones"}), names({"--locate", "NAME;NUM=Jones;2", path_}));
  EXPECT_EQ((Names{"SMITH", "M\xC3\xBCller"}),
            names({"--filter", "NUM > 3 .AND. !('x' $ NAME) .OR. RECNO() = -1", path_}));
  EXPECT_EQ((Names{"Smith", "smithers", "SMITH"}),
            names({"--filter", "UPPER(LEFT(NAME, 5)) == [SMITH]", path_}));
  EXPECT_EQ((Names{"M\xC3\xBCller"}), names({"--locate", "NAME=M\xC3\xBCller", path_}));

  TRun run = RunDbfcat({"--locate", "NAME=Brown", path_}, dir_);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("dbfcat: no record matches --locate NAME=Brown\n", run.err);
  run = RunDbfcat({"--locate", "CITY=x", path_}, dir_);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("dbfcat: " + path_ + ": Field 'CITY' not found\n", run.err);
  run = RunDbfcat({"--filter", "CITY='x'", path_}, dir_);
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("dbfcat: --filter CITY='x': Unknown field 'CITY'\n  CITY='x'\n  ^\n", run.err);
  run = RunDbfcat({"--filter", "NUM", path_}, dir_);
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("dbfcat: --filter NUM: Filter must be a logical expression: NUM is Numeric\n", run.err);
  run = RunDbfcat({"--filter", "NAME='\xE6\x97\xA5'", path_}, dir_);  // not in the code page
  EXPECT_EQ(2, run.status);
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"--locate", "NAME;NUM=Smith", path_},
                                             {"--locate", "Smith", path_},
                                             {"--partial", path_},
                                             {path_, "--filter"}})
    EXPECT_EQ(2, RunDbfcat(args, dir_).status) << args[0];
  EXPECT_EQ(before, ReadWholeFile(path_));
}

}  // namespace
