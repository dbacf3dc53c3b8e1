// Filtering and locating on TDbf, the fetch path they ride on, and
// dbfcat's --filter and --locate.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_dbffile.h"
#include "tests/recordset/log_link.h"
#include "tests/support/dbf_locale.h"
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
  static std::string Name(TDbf& dbf) { return dbf.FieldNamed("NAME")->ValueAsString(); }
  // The names the set shows, first to last.
  static std::vector<std::string> Shown(TDbf& dbf) {
    std::vector<std::string> names;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) names.push_back(Name(dbf));
    return names;
  }
  // The names the set shows, last to first.
  static std::vector<std::string> ShownBackwards(TDbf& dbf) {
    std::vector<std::string> names;
    for (dbf.Last(); !dbf.AtStart(); dbf.Prior()) names.push_back(Name(dbf));
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

TEST_F(TDbfFilterTest, TextFilterShowsWhatItAcceptsInBothDirections) {
  People({"abc", "Bob", "ABC", "abcd", "  abc", "x"});
  TDbf dbf;
  Open(dbf);
  dbf.SetFilter("NAME='abc'");
  EXPECT_EQ(6u, Shown(dbf).size());  // not applied yet
  dbf.SetFiltered(true);
  EXPECT_EQ((Names{"abc", "ABC", "  abc"}), Shown(dbf));
  EXPECT_EQ((Names{"  abc", "ABC", "abc"}), ShownBackwards(dbf));
  EXPECT_EQ(6, dbf.RecordCount());
  dbf.Last();
  EXPECT_EQ(5, dbf.RecordNumber());

  dbf.SetFilter("NUM > 3");
  EXPECT_EQ((Names{"abcd", "  abc", "x"}), Shown(dbf));
  dbf.SetFiltered(false);
  EXPECT_EQ(6u, Shown(dbf).size());
}

TEST_F(TDbfFilterTest, SwitchingTheFilterKeepsOrReplacesTheCurrentRecord) {
  People({"a", "b", "c", "d", "e"});
  TDbf dbf;
  Open(dbf);
  dbf.SetRecordNumber(2);
  dbf.SetFilter("NUM < 3 OR NUM > 3");
  dbf.SetFiltered(true);  // b passes: it stays
  EXPECT_EQ("b", Name(dbf));
  dbf.SetFilter("NUM > 3");  // b fails: the next one that passes
  EXPECT_EQ("d", Name(dbf));
  dbf.SetFilter("NUM < 3");  // d fails and none follows: the previous one
  EXPECT_EQ("b", Name(dbf));
  dbf.SetFilter("NUM > 9");  // none passes
  EXPECT_TRUE(dbf.IsEmpty());
  EXPECT_EQ("", Name(dbf));
  dbf.SetFiltered(false);
  EXPECT_EQ("a", Name(dbf));
}

TEST_F(TDbfFilterTest, TextThatDoesNotCompileKeepsTheFilterInForce) {
  People({"abc", "Bob", "abc"});
  TDbf dbf;
  Open(dbf);
  dbf.SetFilter("NAME='abc'");
  dbf.SetFiltered(true);
  EXPECT_THROW(dbf.SetFilter("NAME = "), EParserException);
  EXPECT_EQ("Index based on unknown field \"CITY\".", Message([&] { dbf.SetFilter("CITY='x'"); }));
  EXPECT_EQ("NAME='abc'", dbf.Filter());
  EXPECT_TRUE(dbf.Filtered());
  EXPECT_EQ((Names{"abc", "abc"}), Shown(dbf));
  dbf.SetFilter("");
  EXPECT_EQ(3u, Shown(dbf).size());
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
  EXPECT_TRUE(dbf.Filtered());
  EXPECT_EQ((Names{"abc", "Bob"}), Shown(dbf));
}

TEST_F(TDbfFilterTest, ExpressionComesBeforeTheCallback) {
  People({"Ann", "Bob", "Bea", "Cid", "Ben"});
  TDbf dbf;
  Open(dbf);
  Names asked;
  std::vector<TRecordSetState> states;
  dbf.SetOnFilterRecord([&](TDataSet& set, bool& accept) {
    asked.push_back(set.FieldNamed("NAME")->ValueAsString());
    states.push_back(set.State());
    accept = asked.back() != "Bea";
  });
  dbf.SetFilter("NUM > 1 AND NUM < 5");
  dbf.SetFiltered(true);
  asked.clear();
  EXPECT_EQ((Names{"Bob", "Cid"}), Shown(dbf));
  for (const std::string& name : asked)
    EXPECT_TRUE(name == "Bob" || name == "Bea" || name == "Cid");
  for (TRecordSetState state : states) EXPECT_EQ(rsFilter, state);
  EXPECT_EQ(rsBrowse, dbf.State());
  // Without a text the callback alone decides.
  dbf.SetFilter("");
  EXPECT_EQ((Names{"Ann", "Bob", "Cid", "Ben"}), Shown(dbf));
}

TEST_F(TDbfFilterTest, ErrorInTheCallbackLeavesTheFetchAndTheState) {
  People({"Ann", "Bob"});
  TDbf dbf;
  Open(dbf);
  dbf.SetFilter("NUM > 0");
  dbf.SetFiltered(true);
  dbf.SetOnFilterRecord([&](TDataSet& set, bool&) {
    if (set.FieldNamed("NAME")->ValueAsString() == "Bob") throw EDbfError("bad record");
  });
  EXPECT_EQ("bad record", Message([&] { Shown(dbf); }));
  EXPECT_EQ(rsBrowse, dbf.State());
  EXPECT_FALSE(dbf.NotificationsSuspended());
  dbf.SetOnFilterRecord(nullptr);
  EXPECT_EQ((Names{"Ann", "Bob"}), Shown(dbf));
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

TEST_F(TDbfFilterTest, LocateFoldsOnlyTheLettersAToZ) {
  locale_.Set({1254, 857, 0x041F});
  const std::string dotted = "\xDDSTANBUL";   // İSTANBUL
  const std::string dotless = "\xFDstanbul";  // ıstanbul
  People({dotted, dotless, "istanbul"});
  TDbf dbf;
  Open(dbf);
  ASSERT_EQ(dotted, Name(dbf));  // the table's code page holds both letters
  EXPECT_TRUE(Locate(dbf, "NAME", "ISTANBUL", kNoCase));
  EXPECT_EQ(3, dbf.RecordNumber());
  EXPECT_TRUE(Locate(dbf, "NAME", "\xDDstanbul", kNoCase));
  EXPECT_EQ(1, dbf.RecordNumber());
  EXPECT_FALSE(Locate(dbf, "NAME", "\xFDSTANBUL", 0));
  EXPECT_TRUE(Locate(dbf, "NAME", "\xFDSTANBUL", kNoCase));
  EXPECT_EQ(2, dbf.RecordNumber());
}

TEST_F(TDbfFilterTest, LocateOtherTypesAsVariants) {
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
  EXPECT_TRUE(Locate(dbf, "NUM;PRICE", std::vector<TVariant>{"12", "12.5"}));
  EXPECT_EQ("b", Name(dbf));
  EXPECT_EQ("Could not convert variant of type (String) into type (Double)",
            Message([&] { Locate(dbf, "NUM", "twelve"); }));
}

TEST_F(TDbfFilterTest, LocateNeedsOneValuePerKeyField) {
  People({"Ann", "Bob", "Cid"});
  TDbf dbf;
  Open(dbf);
  dbf.Next();
  int scrolls = 0;
  dbf.SetAfterScroll([&](TDataSet&) { ++scrolls; });
  EXPECT_FALSE(Locate(dbf, "NAME;NUM", std::vector<TVariant>{"Cid"}));
  EXPECT_FALSE(Locate(dbf, "NAME", std::vector<TVariant>{"Cid", 3}));
  EXPECT_FALSE(Locate(dbf, "NAME;NUM", "Cid"));
  EXPECT_EQ(0, scrolls);
  EXPECT_EQ("Bob", Name(dbf));
  EXPECT_TRUE(Locate(dbf, "NAME", std::vector<TVariant>{"Cid"}));
  EXPECT_TRUE(Locate(dbf, "name ; num", std::vector<TVariant>{"Ann", 1}));
  EXPECT_EQ("Ann", Name(dbf));
}

TEST_F(TDbfFilterTest, FailedLocateShowsTheSameRecordCentred) {
  std::vector<std::string> names;
  for (int i = 1; i <= 30; ++i) names.push_back("N" + std::to_string(i));
  People(names);
  TDbf dbf;
  TDataSource source;
  TLogLink grid;
  grid.SetBufferCount(10);
  source.SetDataSet(&dbf);
  grid.SetDataSource(&source);
  Open(dbf);
  dbf.SetRecordNumber(15);
  ASSERT_NE(4, dbf.ActiveRecord());
  std::vector<std::string> events;
  dbf.SetBeforeScroll([&](TDataSet&) { events.push_back("before"); });
  dbf.SetAfterScroll([&](TDataSet&) { events.push_back("after"); });
  grid.Clear();

  EXPECT_FALSE(Locate(dbf, "NAME", "N99"));
  EXPECT_EQ("N15", Name(dbf));
  EXPECT_EQ(4, dbf.ActiveRecord());
  EXPECT_EQ(10, dbf.RingRecordCount());
  EXPECT_EQ("changed", grid.Joined());
  // The scan's First and Next raise their scroll events; only a found
  // record ends with one more AfterScroll.
  EXPECT_EQ("before", events.front());
  EXPECT_EQ(std::count(events.begin(), events.end(), "before"),
            std::count(events.begin(), events.end(), "after") + 1);

  events.clear();
  grid.Clear();
  EXPECT_TRUE(Locate(dbf, "NAME", "N2"));
  EXPECT_EQ(2, dbf.RecordNumber());
  EXPECT_EQ("changed", grid.Joined());
  EXPECT_EQ("after", events.back());
  EXPECT_EQ(std::count(events.begin(), events.end(), "before"),
            std::count(events.begin(), events.end(), "after"));
  grid.SetDataSource(nullptr);
}

TEST_F(TDbfFilterTest, LocateErrors) {
  People({"Ann"});
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
  EXPECT_EQ("Ann", Name(dbf));
}

TEST_F(TDbfFilterTest, LocateSettlesAPendingEdit) {
  People({"Ann", "Bob"});
  TDbf dbf;
  Open(dbf);
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("Abe");
  EXPECT_TRUE(Locate(dbf, "NAME", "Bob"));
  EXPECT_EQ(rsBrowse, dbf.State());
  EXPECT_TRUE(Locate(dbf, "NAME", "Abe"));
  EXPECT_EQ(1, dbf.RecordNumber());
}

TEST_F(TDbfFilterTest, LookupIsNotProvided) {
  People({"Ann"});
  TDbf dbf;
  Open(dbf);
  const TVariant result = dbf.Lookup("NAME", "Ann", "NUM");
  ASSERT_EQ(varBoolean, result.Type());
  EXPECT_FALSE(result.AsBoolean());
}

// ---- The fetch path -----------------------------------------------------------------------

TEST_F(TDbfFilterTest, TranslationByByteMapsMatchesTheConverter) {
  People({"x"});
  TDbf dbf;
  Open(dbf);
  const int table = dbf.DbfFile()->UseCodePage();
  ASSERT_NE(1252, table);
  ASSERT_TRUE(platform::IsSingleByteCodePage(static_cast<uint32_t>(table)));
  std::string all;
  for (int byte = 1; byte < 256; ++byte) all += static_cast<char>(byte);
  for (bool toTable : {false, true}) {
    std::string expected;
    ASSERT_TRUE(
        platform::ConvertCodePage(toTable ? 1252 : table, toTable ? table : 1252, all, expected));
    std::string text = all;
    EXPECT_EQ(255, dbf.Translate(text.c_str(), text.data(), toTable));
    EXPECT_EQ(expected, text);
  }
}

TEST_F(TDbfFilterTest, RecordsAppendedToAnEmptySharedTableShowAtTheNextFetch) {
  People({});
  TDbf dbf;
  Open(dbf);
  EXPECT_TRUE(dbf.IsEmpty());
  TDbf other;
  other.SetTableName(path_);
  other.Open();
  other.AppendNew();
  other.FieldNamed("NAME")->SetValueAsString("Ann");
  other.Post();
  dbf.SetFilter("NAME='Ann'");
  dbf.SetFiltered(true);
  EXPECT_EQ((Names{"Ann"}), Shown(dbf));
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

// The record lines of dbfcat's output (the first line describes the table).
Names Records(const TRun& run) {
  Names lines;
  size_t start = run.out.find('\n');
  for (size_t end;
       start != std::string::npos && (end = run.out.find('\n', start + 1)) != std::string::npos;
       start = end)
    lines.push_back(run.out.substr(start + 1, end - start - 1));
  return lines;
}

std::string Line(const char* name, int num) {
  return std::string("{\"deleted\": false, \"values\": {\"NAME\": \"") + name +
         "\", \"NUM\": " + std::to_string(num) + ", \"PRICE\": null}}";
}

TEST_F(TDbfFilterTest, DbfcatFiltersAndLocates) {
  People({"Smith", "Jones", "smithers", "SMITH", "M\xFCller"});
  const std::string before = ReadWholeFile(path_);

  TRun run = RunDbfcat({"--filter", "NAME='smith'", path_}, dir_);
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ((Names{Line("Smith", 1), Line("SMITH", 4)}), Records(run));

  run = RunDbfcat({"--locate", "NAME=smith", "--partial", path_}, dir_);
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ((Names{Line("smithers", 3)}), Records(run));
  run = RunDbfcat({"--locate", "NAME=SMITHE", "--partial", "--nocase", path_}, dir_);
  EXPECT_EQ((Names{Line("smithers", 3)}), Records(run));
  run = RunDbfcat({"--filter", "NUM > 3", "--locate", "NAME=S", "--partial", path_}, dir_);
  EXPECT_EQ((Names{Line("SMITH", 4)}), Records(run));
  run = RunDbfcat({"--locate", "NAME;NUM=Jones;2", path_}, dir_);
  EXPECT_EQ((Names{Line("Jones", 2)}), Records(run));
  // Command-line text is UTF-8.
  run = RunDbfcat({"--locate", "NAME=M\xC3\xBCller", path_}, dir_);
  EXPECT_EQ((Names{Line("M\xC3\xBCller", 5)}), Records(run));

  run = RunDbfcat({"--locate", "NAME=Brown", path_}, dir_);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("dbfcat: no record matches --locate NAME=Brown\n", run.err);
  EXPECT_EQ(before, ReadWholeFile(path_));
}

TEST_F(TDbfFilterTest, DbfcatRefusesBadRequests) {
  People({"Smith"});
  TRun run = RunDbfcat({"--filter", "CITY='x'", path_}, dir_);
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("dbfcat: --filter CITY='x': Index based on unknown field \"CITY\".\n", run.err);
  run = RunDbfcat({"--filter", "NAME='\xE6\x97\xA5'", path_}, dir_);
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("cannot be written in code page"));
  EXPECT_EQ(2, RunDbfcat({"--locate", "NAME;NUM=Smith", path_}, dir_).status);
  EXPECT_EQ(2, RunDbfcat({"--locate", "Smith", path_}, dir_).status);
  EXPECT_EQ(2, RunDbfcat({"--partial", path_}, dir_).status);
  EXPECT_EQ(2, RunDbfcat({path_, "--filter"}, dir_).status);
  run = RunDbfcat({"--locate", "CITY=x", path_}, dir_);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("dbfcat: " + path_ + ": Field 'CITY' not found\n", run.err);
}

}  // namespace
