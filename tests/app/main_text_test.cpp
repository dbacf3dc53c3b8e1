// The window with tables in other code pages than the system's: text shows
// and is typed as Unicode and is stored in the table's code page; the code
// page box reopens a table read in another code page at the same record.

#include <QComboBox>
#include <QTest>

#include "app/codepage_box.h"
#include "app/db_grid.h"
#include "runtime/exceptions.h"
#include "tests/app/main_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

std::string StoredField(const std::string& path, int recNo, size_t offset, size_t length) {
  const std::string bytes = ReadWholeFile(path);
  const size_t header = static_cast<uint8_t>(bytes[8]) | static_cast<uint8_t>(bytes[9]) << 8;
  const size_t record = static_cast<uint8_t>(bytes[10]) | static_cast<uint8_t>(bytes[11]) << 8;
  return bytes.substr(header + static_cast<size_t>(recNo - 1) * record + offset, length);
}

TEST_F(TfrMainTest, TurkishTableShowsAndTakesItsLettersUnderAnyLocale) {
  for (const char* locale : {"en_US.UTF-8", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    platform::SetSystemLocale(platform::SystemLocaleFromName(locale));
    const std::string path = dir_.File(std::string("tr_") + locale + ".dbf");
    TDbfWriter towns({{"NAME", 'C', 10, 0}, {"CITY", 'C', 10, 0}});
    towns.Add(
        {"\xDE"
         "AH\xDD"
         "N",
         "\xDDSTANBUL"});  // ŞAHİN, İSTANBUL in 1254
    towns.Write(path);
    std::string bytes = ReadWholeFile(path);
    bytes[29] = static_cast<char>(0xCA);  // Turkish, code page 1254
    WriteWholeFile(path, bytes);

    window_.OpenTable(path);
    TDBGrid* grid = window_.grMain();
    EXPECT_EQ(grid->CellText(0, 0), "\u015EAH\u0130N");
    EXPECT_EQ(grid->CellText(0, 1), "\u0130STANBUL");
    EXPECT_EQ(window_.cbCodePage()->currentText().toStdString(), "Table's own (1254)");

    // Typing Turkish letters into the cell stores them in 1254.
    grid->setFocus();
    QTest::keyClick(grid, Qt::Key_Home, Qt::ControlModifier);
    // (QTest types ASCII keys only: the field takes the Turkish text.)
    window_.tbMain()->Edit();
    window_.tbMain()->FieldNamed("NAME")->SetEditText("\u015E\u0130\u015ELI");
    window_.tbMain()->Post();
    EXPECT_EQ(StoredField(path, 1, 1, 10), "\xDE\xDD\xDELI     ");
    EXPECT_EQ(StoredField(path, 1, 11, 10), "\xDDSTANBUL  ");

    // A character 1254 lacks is refused with its message; nothing changes.
    window_.tbMain()->Edit();
    EXPECT_THROW(window_.tbMain()->FieldNamed("CITY")->SetValueAsString("\u0416"), EDatabaseError);
    window_.tbMain()->Cancel();
    EXPECT_EQ(StoredField(path, 1, 11, 10), "\xDDSTANBUL  ");
  }
}

TEST_F(TfrMainTest, CodePageBoxReopensAtTheSameRecord) {
  const std::string path = dir_.File("rus.dbf");
  WriteWholeFile(path, ReadWholeFile(TestDataPath("real/dans-dbf/russian_foxpro/rus.dbf")));
  WriteWholeFile(dir_.File("rus.fpt"),
                 ReadWholeFile(TestDataPath("real/dans-dbf/russian_foxpro/rus.fpt")));
  const std::string before = ReadWholeFile(path);
  window_.OpenTable(path);
  TDbf* table = window_.tbMain();
  table->Last();
  EXPECT_EQ(2, table->RecordNumber());
  EXPECT_EQ(window_.cbCodePage()->currentText().toStdString(), "Table's own (1252)");

  window_.cbCodePage()->Choose(866);
  EXPECT_TRUE(table->Active());
  EXPECT_EQ(2, table->RecordNumber());
  EXPECT_EQ(866, table->TableCodePage());
  EXPECT_EQ(window_.cbCodePage()->currentText().toStdString(), "866 DOS Cyrillic");
  EXPECT_EQ(0u, table->FieldNamed("AUTHOR")->ValueAsString().find("\u042F\u043D"));  // Ян
  EXPECT_EQ(ListItems(), "ID,BOOK,AUTHOR,PUBLISHER,PAGES,DATE");

  window_.cbCodePage()->Choose(0);
  EXPECT_EQ(1252, table->TableCodePage());
  EXPECT_EQ(2, table->RecordNumber());
  table->Close();
  EXPECT_EQ(before, ReadWholeFile(path));
}

}  // namespace
