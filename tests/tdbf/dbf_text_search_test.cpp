// Searches for a text in text fields, as Edit > Find builds them ('X' $
// UPPER(NAME), AT(...) = 1, one such test per field joined by OR), run by
// one node that reads the field's bytes in place. On real tables in four
// code pages they must find exactly what the same expressions find through
// the general nodes, which copy the field and change its case.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/codepage.h"
#include "recordset/fields.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_fields.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/temp_dir.h"

namespace {

struct TTableCase {
  const char* name;
  platform::TSystemLocale locale;
  const char* cpg;  // the ".cpg" file's text; none when null
  std::vector<std::string> values;
  std::vector<std::string> needles;
};

// The record numbers a filter shows.
std::vector<int> Shown(TDbf& dbf, const std::string& filter) {
  dbf.SetFilter(filter);
  dbf.SetFiltered(true);
  std::vector<int> shown;
  for (dbf.First(); !dbf.AtEnd(); dbf.Next()) shown.push_back(dbf.RecordNumber());
  dbf.SetFiltered(false);
  return shown;
}

// The form the general nodes evaluate: each field read as the text of a
// concatenation, which no search node replaces.
std::string Unfused(std::string text) {
  for (const std::string field : {"NAME", "CITY", "NOTE"})
    for (size_t at = text.find(field + ")"); at != std::string::npos;
         at = text.find(field + ")", at + field.size() + 5)) {
      text.replace(at, field.size(), "(" + field + "+'')");
    }
  return text;
}

TEST(TTextSearchTest, FusedSearchesFindWhatTheGeneralNodesFind) {
  const std::vector<std::string> ascii = {"",      "a",      "abcdefgh", "xyzABC",
                                          "  abc", "ABC  x", "Smith"};
  const std::vector<std::string> asciiNeedles = {
      "", " ", "a", "A", "abc", "ABC", "h", "abcdefgh", "abcdefghi", "c  x", "x", "TH", "   ",
      // First and last bytes that fit around a middle that does not; the
      // whole of a CITY, longer than the 16 bytes looked at at once.
      "abcXefgh", "a   c", "  abcdefgh    abc"};
  const std::vector<std::string> turkish = {"\u0130STANBUL", "\u0131stanbul", "istanbul",
                                            "\u015EAH\u0130N", "ISPARTA"};
  const std::vector<std::string> turkishNeedles = {"i",      "I",       "\u0130",   "\u0131",
                                                   "\u015F", "stanbul", "\u0130ST", "N"};
  auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const platform::TSystemLocale english = {1252, 437, 0x0409};
  const platform::TSystemLocale turkey = {1254, 857, 0x041F};
  const std::vector<TTableCase> tables = {
      {"western 1252", english, nullptr, join(ascii, {"\u00C4rger", "caf\u00E9"}),
       join(asciiNeedles, {"\u00E4", "\u00C9", "RGER"})},
      {"turkish 1254", turkey, nullptr, join(ascii, turkish), join(asciiNeedles, turkishNeedles)},
      {"russian 866", english, "866",
       join(ascii, {"\u041C\u041E\u0421\u041A\u0412\u0410", "\u043C\u043E\u0441\u043A\u0432\u0430",
                    "\u0401\u0436"}),
       join(asciiNeedles, {"\u043C", "\u0412\u0410", "\u0451\u0416", "i"})},
      {"turkish utf-8", turkey, "UTF-8",
       join(join(ascii, turkish), {"\u0391\u0398\u0389\u039D\u0391", "stra\u00DFe"}),
       join(join(asciiNeedles, turkishNeedles), {"\u03B8\u03AE", "SS", "\u00DF"})},
  };

  TScopedSystemLocale locale;
  TTempDir dir;
  for (const TTableCase& table : tables) {
    SCOPED_TRACE(table.name);
    locale.Set(table.locale);
    const std::string path = dir.File(std::to_string(&table - tables.data()) + ".dbf");
    if (table.cpg != nullptr) WriteWholeFile(ChangeFileExt(path, ".cpg"), table.cpg);
    // NAME fills its width with 8 of the values; CITY holds two values,
    // wider than the 16 bytes searched at once; NOTE is shorter than the
    // longer needles and ends the record.
    {
      TDbf dbf;
      dbf.SetTableName(path);
      dbf.SetOpenMode(omAutoCreate);
      dbf.FieldDefs().Add("NAME", ftString, 8);
      dbf.FieldDefs().Add("CITY", ftString, 24);
      dbf.FieldDefs().Add("NOTE", ftString, 3);
      dbf.Open();
      const size_t n = table.values.size();
      for (size_t i = 0; i < n; ++i) {
        dbf.AppendNew();
        dbf.FieldNamed("NAME")->SetValueAsString(table.values[i]);
        dbf.FieldNamed("CITY")->SetValueAsString("  " + table.values[(i + 1) % n] + "  " +
                                                 table.values[(i + 3) % n]);
        dbf.FieldNamed("NOTE")->SetValueAsString(table.values[(i + 2) % n]);
        dbf.Post();
      }
      dbf.AppendNew();  // every field blank
      dbf.Post();
    }
    // Fields with a NUL inside: their text ends there ("ab"); after it a
    // byte that starts no character of a UTF-8 table, and values.
    {
      TDbf dbf;
      dbf.SetTableName(path);
      dbf.Open();
      const size_t at = static_cast<size_t>(dbf.DbfFile()->HeaderSize() +
                                            dbf.DbfFile()->FindFieldDef("NAME")->Offset());
      dbf.Close();
      std::string bytes = ReadWholeFile(path);
      bytes.replace(at, 8, std::string("ab\0cd\xC4zx", 8));
      bytes.replace(at + 8, 24, std::string("ab\0", 3) + std::string(15, ' ') + "xyzABC");
      WriteWholeFile(path, bytes);
    }

    TDbf dbf;
    dbf.SetTableName(path);
    dbf.Open();
    TDbfParser parser(dbf.DbfFile());
    int found = 0;
    int missed = 0;
    for (const std::string& needle : table.needles) {
      SCOPED_TRACE("needle '" + needle + "'");
      const std::string text = "'" + needle + "'";
      const std::string upper = "UPPER(" + text + ")";
      std::vector<std::string> searches;
      for (const std::string field : {"NAME", "CITY", "NOTE"}) {
        searches.push_back(upper + " $ UPPER(" + field + ")");
        searches.push_back("LOWER(" + text + ") $ LOWER(" + field + ")");
        searches.push_back(text + " $ (" + field + ")");
        searches.push_back("AT(" + upper + ", UPPER(" + field + ")) = 1");
        searches.push_back("AT(" + text + ", (" + field + ")) = 1");
      }
      // All fields, as the find dialog joins them, contains and begins with.
      std::string all, allAtStart;
      for (const std::string field : {"NAME", "CITY", "NOTE"}) {
        all += (all.empty() ? "" : " .OR. ") + upper + " $ UPPER(" + field + ")";
        allAtStart += (allAtStart.empty() ? "" : " .OR. ") + std::string("AT(") + upper +
                      ", UPPER(" + field + ")) = 1";
      }
      searches.push_back(all);
      searches.push_back(allAtStart);
      for (const std::string& search : searches) {
        SCOPED_TRACE(search);
        parser.ParseFilter(search);
        EXPECT_EQ(parser.FirstNode()->Next, nullptr) << "one node";
        const std::vector<int> shown = Shown(dbf, search);
        EXPECT_EQ(shown, Shown(dbf, Unfused(search)));
        (shown.empty() ? missed : found) += 1;
      }
      // AT's place in the text, counted after the case change, where it
      // is more than the start.
      EXPECT_TRUE(
          Shown(dbf, "AT(" + upper + ", UPPER(CITY)) <> AT(" + upper + ", UPPER((CITY+'')))")
              .empty());
      const std::string later = "AT(" + upper + ", UPPER(NAME)) > 1";
      EXPECT_EQ(Shown(dbf, later), Shown(dbf, Unfused(later))) << later;
    }
    // Turkish rules: i is the small İ, and I the capital ı.
    if (table.locale.ansiCodePage == 1254) {
      std::vector<int> dotted;
      for (size_t i = 0; i < table.values.size(); ++i)
        if (table.values[i] == "\u0130STANBUL" || table.values[i] == "istanbul" ||
            table.values[i] == "\u015EAH\u0130N" || table.values[i] == "Smith")
          dotted.push_back(static_cast<int>(i) + 1);
      EXPECT_EQ(Shown(dbf, "UPPER('i') $ UPPER(NAME)"), dotted);
    }
    EXPECT_GT(found, 20);
    EXPECT_GT(missed, 20);
  }
}

}  // namespace
