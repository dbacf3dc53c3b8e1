// View > Structure on real tables: the fields with their types, sizes and
// Visual FoxPro's null and autoincrement flags, and the facts of the file;
// and the columns fitted to what they show when a table opens.

#include <QTableWidget>
#include <filesystem>

#include "app/structure_dialog.h"
#include "tests/app/main_fixture.h"

namespace {

class TStructureTest : public TfrMainTest {
 protected:
  std::string Fact(const char* label) {
    for (const TTableFact& fact : TableFacts(*window_.tbMain()))
      if (fact.first == QLatin1String(label)) return fact.second.toStdString();
    return "(none)";
  }
  std::string Row(int index) {
    return FieldStructure(*window_.tbMain()).rows.at(index).join('|').toStdString();
  }
};

TEST_F(TStructureTest, ShowsTheFieldsAndTheFileFacts) {
  Choose(dir_.File("people.dbf"));
  // Ctrl+I shows the dialog with the facts and one row per field.
  {
    TModalAnswer answer([](QWidget* dialog) {
      auto* structure = qobject_cast<TStructureDialog*>(dialog);
      ASSERT_NE(structure, nullptr);
      EXPECT_EQ(structure->windowTitle(), "Structure of people.dbf");
      EXPECT_EQ(structure->Fields()->rowCount(), 5);
      EXPECT_EQ(structure->Fields()->columnCount(), 5);
      EXPECT_EQ(structure->Fields()->item(1, 2)->text(), "N Numeric");
      EXPECT_EQ(structure->Facts()->item(1, 1)->text(), "dBase IV");
      structure->reject();
    });
    QTest::keyClick(window_.grMain(), Qt::Key_I, Qt::ControlModifier);
    EXPECT_EQ(answer.Count(), 1);
  }
  Reactivate();
  EXPECT_EQ(Row(0), "1|NAME|C Character|10|0");
  EXPECT_EQ(Row(1), "2|PRICE|N Numeric|8|2");
  EXPECT_EQ(Row(2), "3|BORN|D Date|8|0");
  EXPECT_EQ(Row(3), "4|ACTIVE|L Logical|1|0");
  EXPECT_EQ(Fact("Version byte"), "0x03");
  EXPECT_EQ(Fact("Last update"), "2024-01-15");
  EXPECT_EQ(Fact("Code page"), "cp1252, from the table's language driver");
  EXPECT_EQ(Fact("Records"), "5");
  // 32 bytes of header, 5 descriptors of 32 and the terminator.
  EXPECT_EQ(Fact("Header size"), "193 bytes");
  EXPECT_EQ(Fact("Record size"), "31 bytes");
  EXPECT_EQ(Fact("Memo file"), "none");
  EXPECT_EQ(Fact("Indexes"), "none");
  // The production index's tags with their keys.
  OpenReal("jdbfdriver/TEST.DBF");
  const std::string indexes = Fact("Indexes");
  EXPECT_EQ(indexes.rfind("TEST1: ", 0), 0u) << indexes;
  EXPECT_NE(indexes.find("; TEST2: "), std::string::npos) << indexes;

  // dBase III with its memo file, FoxPro with its own.
  OpenReal("infused-dbf/dbase_83.dbf");
  EXPECT_EQ(Fact("Kind"), "dBase III");
  EXPECT_EQ(Fact("Memo file"), "dbase_83.dbt, blocks of 512 bytes");
  EXPECT_EQ(Fact("Records"), "67");
  OpenReal("infused-dbf/dbase_f5.dbf");
  EXPECT_EQ(Fact("Memo file"), "dbase_f5.fpt, blocks of 64 bytes");
  OpenReal("infused-dbf/dbase_83_missing_memo.dbf");
  EXPECT_EQ(Fact("Memo file"), "missing");

  // Visual FoxPro: which fields may be null and which count up.
  OpenReal("infused-dbf/dbase_31.dbf");
  const TFieldStructure structure = FieldStructure(*window_.tbMain());
  EXPECT_EQ(structure.columns.join('|'), "#|Name|Type|Length|Decimals|Null|Autoincrement");
  EXPECT_EQ(Row(0), "1|PRODUCTID|I Integer|4|0||yes");
  EXPECT_EQ(Row(1), "2|PRODUCTNAM|C Character|40|0||");
  EXPECT_EQ(Row(2), "3|SUPPLIERID|I Integer|4|0|yes|");
  EXPECT_EQ(Fact("Kind"), "Visual FoxPro");
  EXPECT_EQ(Fact("Version byte"), "0x31");

  // Looking at the structure changes no byte of the file.
  const std::string before = ReadWholeFile(dir_.File("dbase_31.dbf"));
  TableFacts(*window_.tbMain());
  window_.CloseTable();
  EXPECT_EQ(ReadWholeFile(dir_.File("dbase_31.dbf")), before);
}

}  // namespace

namespace {

// Columns fit what they show when a table opens: a wide text field with
// short values is narrow, a number as wide as its field's values.
TEST_F(TfrMainTest, ColumnsFitTheirValuesOnOpen) {
  TDbfWriter wide({{"NOTE", 'C', 254, 0}, {"AMOUNT", 'N', 20, 4}, {"CODE", 'C', 3, 0}});
  wide.Add({"abc", "-12345678901.1234", "X"});
  wide.Add({"a longer note", "1.5", "Y"});
  wide.Write(dir_.File("wide.dbf"));
  Choose(dir_.File("wide.dbf"));
  TDBGrid* grid = window_.grMain();
  const QFontMetrics cells(grid->font());
  const int zero = cells.horizontalAdvance(QLatin1Char('0'));
  EXPECT_EQ(grid->ColumnWidth(0), qMax(cells.horizontalAdvance("a longer note"), zero * 6) + 4);
  // The number needs its 17 characters; its field's width of 20 holds it.
  EXPECT_EQ(grid->CellText(0, 1), "-12345678901.1234");
  EXPECT_EQ(grid->ColumnWidth(1), zero * 20 + 4);
  EXPECT_GE(grid->ColumnWidth(1), cells.horizontalAdvance("-12345678901.1234") + 4);
  // A narrow field is as wide as its title.
  EXPECT_EQ(grid->ColumnWidth(2), QFontMetrics(grid->TitleFont()).horizontalAdvance("CODE") + 4);
}

}  // namespace
