#include "tdbf/dbf_codepage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "recordset/fields.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_dbffile.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(TCodePageNamesTest, TheSpellingsOfProgramsAndPeople) {
  const struct {
    const char* name;
    int codePage;
  } names[] = {
      {"UTF-8", 65001},
      {"utf8", 65001},
      {"\xEF\xBB\xBFUTF-8\r\n", 65001},
      {"1252", 1252},
      {"CP1251", 1251},
      {"cp866", 866},
      {"ANSI 1254", 1254},
      {"OEM 866", 866},
      {"oem 850", 850},
      {"windows-1251", 1251},
      {"IBM850", 850},
      {" 88591 ", 28591},
      {"ISO-8859-9", 28599},
      {"iso8859_1", 28591},
      {"ISO 8859-2", 28592},
      {"866", 866},
      {"", 0},
      {"latin", 0},
      {"CP", 0},
      {"12345", 0},
      {"ISO-8859-99", 0},
      {"1252 x", 0},
  };
  for (const auto& n : names) EXPECT_EQ(n.codePage, CodePageFromName(n.name)) << n.name;
}

class TCodePageChoiceTest : public ::testing::Test {
 protected:
  // A level-4 table with a C(10) NAME and the given language byte.
  void MakeTable(uint8_t languageId) {
    {
      TDbf dbf;
      dbf.SetTableName(path_);
      dbf.SetOpenMode(omAutoCreate);
      dbf.FieldDefs().Add("NAME", ftString, 10);
      dbf.Open();
    }
    std::string bytes = ReadWholeFile(path_);
    bytes[29] = static_cast<char>(languageId);
    WriteWholeFile(path_, bytes);
  }
  std::string StoredName() const {
    const std::string bytes = ReadWholeFile(path_);
    return bytes.substr(GetLE16(bytes.data() + 8) + 1, 10);
  }

  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("towns.dbf");
};

TEST_F(TCodePageChoiceTest, CpgFileBeatsTheLanguageByteAndUtf8TablesWork) {
  MakeTable(0xC9);  // 1251
  WriteWholeFile(dir_.File("TOWNS.CPG"), "UTF-8\r\n");
  {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.Open();
    EXPECT_EQ(65001, dbf.TableCodePage());
    EXPECT_EQ(cpsCpgFile, dbf.CodePageSource());
    EXPECT_EQ(65001, dbf.DbfFile()->UseCodePage());
    dbf.AppendNew();
    // "Şişli K" takes nine of the ten bytes; the ı after it takes two and
    // is left out whole.
    dbf.FieldNamed("NAME")->SetValueAsString("\u015Ei\u015Fli K\u0131y\u0131");
    EXPECT_EQ("\u015Ei\u015Fli K", dbf.FieldNamed("NAME")->ValueAsString());
    dbf.Post();
    dbf.SetFilter("NAME = '\u015Ei\u015Fli K'");
    dbf.SetFiltered(true);
    EXPECT_FALSE(dbf.AtEnd());
    EXPECT_TRUE(dbf.LocateRecord("NAME", TVariant("\u015Ei\u015F"), SearchOpt(soPartialKey)));
  }
  EXPECT_EQ("\xC5\x9Ei\xC5\x9Fli K ", StoredName());

  // Without the file the language byte decides; a file whose text names
  // no code page is passed over.
  std::filesystem::remove(dir_.File("TOWNS.CPG"));
  WriteWholeFile(dir_.File("towns.cpg"), "something else");
  TDbf dbf;
  dbf.SetTableName(path_);
  dbf.Open();
  EXPECT_EQ(1251, dbf.TableCodePage());
  EXPECT_EQ(cpsLanguageDriver, dbf.CodePageSource());
  dbf.Close();

  std::string bytes = ReadWholeFile(path_);
  bytes[29] = 0;
  WriteWholeFile(path_, bytes);
  dbf.Open();
  EXPECT_EQ(1252, dbf.TableCodePage());
  EXPECT_EQ(cpsSystemDefault, dbf.CodePageSource());
  dbf.Close();
  EXPECT_EQ(0, dbf.TableCodePage());
}

// A table that names no code page, written by a Russian DOS program: the
// code page chosen for the open decides, the file stays as it was.
TEST_F(TCodePageChoiceTest, ChosenCodePageReadsATableThatNamesNone) {
  const std::string rus = TestDataPath("real/dans-dbf/russian_foxpro/rus.dbf");
  const std::string before = ReadWholeFile(rus);
  TDbf dbf;
  dbf.SetTableName(rus);
  dbf.SetReadOnly(true);
  dbf.SetCodePage(866);
  dbf.Open();
  EXPECT_EQ(866, dbf.TableCodePage());
  EXPECT_EQ(cpsUser, dbf.CodePageSource());
  EXPECT_EQ("\u0420\u0435\u0444\u0430\u043A\u0442\u043E\u0440\u0438\u043D\u0433",
            dbf.FieldNamed("BOOK")->ValueAsString().substr(0, 22));  // Рефакторинг
  EXPECT_EQ(0u, dbf.FieldNamed("AUTHOR")->ValueAsString().find(
                    "\u041C\u0430\u0440\u0442\u0438\u043D"));  // Мартин
  EXPECT_TRUE(dbf.LocateRecord("AUTHOR", TVariant("\u044F\u043D"),
                               SearchOpt(soPartialKey) | SearchOpt(soCaseInsensitive)));
  EXPECT_EQ(2, dbf.RecordNumber());
  dbf.Close();
  // Closed, the choice stays for the next open; 0 gives the table back its
  // own.
  EXPECT_EQ(866, dbf.CodePage());
  dbf.SetCodePage(0);
  dbf.Open();
  EXPECT_EQ(cpsSystemDefault, dbf.CodePageSource());
  dbf.Close();
  EXPECT_EQ(before, ReadWholeFile(rus));
}

}  // namespace
