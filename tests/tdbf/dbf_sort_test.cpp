// Ordering by a field in memory (TDbf::SortByField): the walk in both
// directions against an independent reader's sort, blanks and equal keys,
// a filter, record numbers and bookmarks in the order, and edits and
// appends that land on the right records.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/shell.h"
#include "tests/support/temp_dir.h"

namespace {

class TDbfSortTest : public ::testing::Test {
 protected:
  // A table of NAME C(24), AMOUNT N(9,2), DUE D; empty texts stay blank.
  void Make(const std::vector<std::vector<std::string>>& rows) {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 24);
    dbf.FieldDefs().Add("AMOUNT", ftFloat, 9).SetPrecision(2);
    dbf.FieldDefs().Add("DUE", ftDate, 0);
    dbf.Open();
    const char* names[] = {"NAME", "AMOUNT", "DUE"};
    for (const auto& row : rows) {
      dbf.AppendNew();
      for (size_t i = 0; i < row.size(); ++i)
        if (!row[i].empty()) dbf.FieldNamed(names[i])->SetValueAsString(row[i]);
      dbf.Post();
    }
  }
  void Open(TDbf& dbf) {
    dbf.SetTableName(path_);
    dbf.Open();
  }
  // The physical record numbers the set shows, first to last (or back),
  // checking that RecordNumber counts the places in the order.
  static std::vector<int> Walk(TDbf& dbf, bool backwards = false) {
    std::vector<int> recNos;
    backwards ? dbf.Last() : dbf.First();
    for (; !(backwards ? dbf.AtStart() : dbf.AtEnd()); backwards ? dbf.Prior() : dbf.Next()) {
      recNos.push_back(PhysicalRecNo(dbf));
      if (!dbf.Filtered()) {
        const int place = backwards ? dbf.RecordCount() - static_cast<int>(recNos.size()) + 1
                                    : static_cast<int>(recNos.size());
        EXPECT_EQ(place, dbf.RecordNumber());
      }
    }
    return recNos;
  }
  static int PhysicalRecNo(TDbf& dbf) {
    const std::string mark = dbf.Bookmark();
    int32_t recNo = 0;
    std::memcpy(&recNo, mark.data(), sizeof recNo);
    return recNo;
  }
  static std::vector<int> Reversed(std::vector<int> v) { return {v.rbegin(), v.rend()}; }

  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("people.dbf");
};

// Three thousand records of mixed-case names with leading blanks, blanks,
// repeats and long common beginnings, numbers with blanks and signs, dates with blanks: the walk
// in each order is the order python3-dbfread's values sort in (letter case
// ignored, leading blanks skipped, blanks first, ties by record number),
// forwards and back.
TEST_F(TDbfSortTest, OrdersAsAnIndependentReaderSorts) {
  std::mt19937 random(17);
  // Names longer than sixteen letters that differ only past them, too.
  const std::vector<std::string> names = {"smith",
                                          "Smith",
                                          "  jones",
                                          "JONES",
                                          "adams",
                                          "",
                                          "Zeb",
                                          "o'brien",
                                          "Ada",
                                          "ada b",
                                          "x",
                                          "Adams Johnson Smithers a",
                                          "ADAMS JOHNSON SMITHERS",
                                          "adams johnson smithers B",
                                          "Adams Johnson Smith"};
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 3000; ++i) {
    const int amount = static_cast<int>(random() % 2001) - 1000;
    const int day = static_cast<int>(random() % 28) + 1;
    rows.push_back(
        {names[random() % names.size()], random() % 7 == 0 ? "" : std::to_string(amount / 4.0),
         random() % 5 == 0 ? ""
                           : "2020-03-" + std::string(day < 10 ? "0" : "") + std::to_string(day)});
  }
  Make(rows);

  const std::string script =
      "import sys, dbfread\n"
      "rows = list(dbfread.DBF(sys.argv[1], encoding='cp1252'))\n"
      "def order(key, reverse):\n"
      "  keyed = [(key(r), n + 1) for n, r in enumerate(rows)]\n"
      "  blank = [n for k, n in keyed if k is None]\n"
      "  full = [n for k, n in sorted([e for e in keyed if e[0] is not None],\n"
      "                               key=lambda e: e[0], reverse=reverse)]\n"
      "  # sorted is stable, so ties keep record order both ways\n"
      "  return (full + blank) if reverse else (blank + full)\n"
      "def text(r):\n"
      "  t = r['NAME'].lstrip().upper()\n"
      "  return t or None\n"
      "for key, rev in ((text, False), (text, True), (lambda r: r['AMOUNT'], False),\n"
      "                 (lambda r: r['AMOUNT'], True), (lambda r: r['DUE'], False)):\n"
      "  print(' '.join(str(n) for n in order(key, rev)))\n";
  WriteWholeFile(dir_.File("sort.py"), script);
  std::istringstream out(
      ShellOutput("/usr/bin/python3 '" + dir_.File("sort.py") + "' '" + path_ + "' 2>&1"));
  std::vector<std::vector<int>> expected;
  for (std::string line; std::getline(out, line);) {
    std::istringstream numbers(line);
    expected.emplace_back();
    for (int n; numbers >> n;) expected.back().push_back(n);
    ASSERT_EQ(3000u, expected.back().size()) << line.substr(0, 300);
  }
  ASSERT_EQ(5u, expected.size());

  TDbf dbf;
  Open(dbf);
  const std::pair<const char*, bool> orders[] = {
      {"NAME", false}, {"NAME", true}, {"AMOUNT", false}, {"AMOUNT", true}, {"DUE", false}};
  for (size_t i = 0; i < std::size(orders); ++i) {
    ASSERT_TRUE(dbf.SortByField(orders[i].first, orders[i].second));
    EXPECT_EQ(orders[i].first, dbf.SortField());
    EXPECT_EQ(expected[i], Walk(dbf)) << orders[i].first << " " << orders[i].second;
    EXPECT_EQ(Reversed(expected[i]), Walk(dbf, true)) << orders[i].first;
  }
}

TEST_F(TDbfSortTest, FilterBookmarksEditsAndAppendsInTheOrder) {
  Make({{"smith", "12.50", "2020-01-01"},
        {"", "", ""},
        {"Adams", "-3", "1999-12-31"},
        {"SMITH", "12.50", ""},
        {"  jones", "100", "2020-01-01"},
        {"adams", "0", "2000-01-01"}});
  TDbf dbf;
  Open(dbf);
  dbf.SetRecordNumber(4);
  // The current record stays current when the order is made.
  ASSERT_TRUE(dbf.SortByField("NAME", false));
  EXPECT_EQ("SMITH", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ(6, dbf.RecordNumber());
  EXPECT_EQ((std::vector<int>{2, 3, 6, 5, 1, 4}), Walk(dbf));

  // Record numbers and bookmarks are places in the order.
  dbf.SetRecordNumber(3);
  EXPECT_EQ("adams", dbf.FieldNamed("NAME")->ValueAsString());
  const std::string mark = dbf.Bookmark();
  dbf.Last();
  dbf.MoveToBookmark(mark);
  EXPECT_EQ(3, dbf.RecordNumber());

  // A filter shows its records in the order, both ways.
  dbf.SetFilter("AMOUNT > 0");
  dbf.SetFiltered(true);
  ASSERT_TRUE(dbf.SortByField("AMOUNT", true));
  EXPECT_EQ((std::vector<int>{5, 1, 4}), Walk(dbf));
  EXPECT_EQ((std::vector<int>{4, 1, 5}), Walk(dbf, true));
  dbf.SetFiltered(false);

  // Edits go to the record shown, which keeps its place; an appended
  // record comes last.
  ASSERT_TRUE(dbf.SortByField("NAME", false));
  dbf.SetRecordNumber(4);  // jones, record 5
  dbf.Edit();
  dbf.FieldNamed("NAME")->SetValueAsString("Zed");
  dbf.FieldNamed("AMOUNT")->SetValueAsString("7.25");
  dbf.Post();
  EXPECT_EQ(4, dbf.RecordNumber());
  EXPECT_EQ(5, PhysicalRecNo(dbf));
  dbf.AppendNew();
  dbf.FieldNamed("NAME")->SetValueAsString("Aaron");
  dbf.FieldNamed("AMOUNT")->SetValueAsString("1");
  dbf.Post();
  EXPECT_EQ("Aaron", dbf.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ(7, dbf.RecordNumber());
  EXPECT_EQ(7, dbf.RecordCount());
  EXPECT_EQ((std::vector<int>{2, 3, 6, 5, 1, 4, 7}), Walk(dbf));
  // Made again, the order puts both where their values belong.
  ASSERT_TRUE(dbf.SortByField("NAME", false));
  EXPECT_EQ((std::vector<int>{2, 7, 3, 6, 1, 4, 5}), Walk(dbf));

  // Giving up during the scan leaves the order as it was; record order
  // ends it.
  EXPECT_FALSE(dbf.SortByField("AMOUNT", false, [](int32_t, int32_t) { return false; }));
  EXPECT_EQ("NAME", dbf.SortField());
  dbf.SetIndexName("");
  EXPECT_EQ("", dbf.SortField());
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4, 5, 6, 7}), Walk(dbf));
  dbf.Close();

  // What the file holds, read in record order by the engine.
  TDbf check;
  Open(check);
  check.SetRecordNumber(5);
  EXPECT_EQ("Zed", check.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ("7.25", check.FieldNamed("AMOUNT")->ValueAsString());
  check.SetRecordNumber(7);
  EXPECT_EQ("Aaron", check.FieldNamed("NAME")->ValueAsString());
  EXPECT_EQ(1.0, check.FieldNamed("AMOUNT")->ValueAsFloat());
}

// Letters sort in the order of the table's alphabet, not of their codes:
// in a Turkish table Ç follows C and Ş follows S (both lie after Z in code
// page 1254 and in Unicode), and dotless I comes before İ; in a Russian one
// Ё stands beside Е (its code in 1251 lies before А). The user's locale is
// English, but for the UTF-8 table, whose ".cpg" names no language.
TEST_F(TDbfSortTest, LettersInTheOrderOfTheTablesAlphabet) {
  const platform::TSystemLocale english{1252, 437, 0x0409};
  const platform::TSystemLocale turkish{1254, 857, 0x041F};
  const std::vector<std::string> turkishNames = {
      "ZEK\u0130",  "\u015Fahin", "SEL\u0130M", "\u00C7ET\u0130N",  "can",       "DEM\u0130R",
      "\u0130LKER", "I\u015EIK",  "OKAN",       "\u00D6ZT\u00DCRK", "\u0131lgaz"};
  const std::vector<std::string> turkishSorted = {
      "can",  "\u00C7ET\u0130N",  "DEM\u0130R", "\u0131lgaz", "I\u015EIK", "\u0130LKER",
      "OKAN", "\u00D6ZT\u00DCRK", "SEL\u0130M", "\u015Fahin", "ZEK\u0130"};
  const struct {
    platform::TSystemLocale made;
    bool utf8;
    platform::TSystemLocale opened;
    std::vector<std::string> names;
    std::vector<std::string> sorted;
  } tables[] = {
      {turkish, false, english, turkishNames, turkishSorted},
      {english, true, turkish, turkishNames, turkishSorted},
      {{1251, 866, 0x0419},
       false,
       english,
       {"\u042F\u0411\u041B\u041E\u041A\u041E", "\u0451\u043B\u043A\u0430", "\u0415\u041B\u042C",
        "\u0436\u0443\u043A", "\u0430\u0438\u0441\u0442", "\u042E\u043B\u0430"},
       {"\u0430\u0438\u0441\u0442", "\u0415\u041B\u042C", "\u0451\u043B\u043A\u0430",
        "\u0436\u0443\u043A", "\u042E\u043B\u0430", "\u042F\u0411\u041B\u041E\u041A\u041E"}},
  };
  for (const auto& table : tables) {
    SCOPED_TRACE(table.utf8 ? 65001 : table.made.ansiCodePage);
    locale_.Set(table.made);
    if (table.utf8) WriteWholeFile(ChangeFileExt(path_, ".cpg"), "UTF-8");
    std::vector<std::vector<std::string>> rows;
    for (const std::string& name : table.names) rows.push_back({name});
    Make(rows);
    locale_.Set(table.opened);
    TDbf dbf;
    Open(dbf);
    ASSERT_EQ(table.utf8 ? 65001 : static_cast<int>(table.made.ansiCodePage), dbf.TableCodePage());
    for (const bool descending : {false, true}) {
      ASSERT_TRUE(dbf.SortByField("NAME", descending));
      std::vector<std::string> names;
      for (dbf.First(); !dbf.AtEnd(); dbf.Next())
        names.push_back(dbf.FieldNamed("NAME")->ValueAsString());
      EXPECT_EQ(descending ? std::vector<std::string>(table.sorted.rbegin(), table.sorted.rend())
                           : table.sorted,
                names);
    }
    dbf.Close();
    std::remove(path_.c_str());
    std::remove(ChangeFileExt(path_, ".cpg").c_str());
  }
}

}  // namespace
