// Visual FoxPro tables in the window: currency and date-times in the
// user's locale, nulls as empty cells, filter and search on their fields,
// varbinary values as hexadecimal, and the read-only state of a table
// whose .cdx index the engine cannot keep up to date.

#include "tests/app/main_fixture.h"

namespace {

class TVfpWindowTest : public TfrMainTest {
 protected:
  std::string Row(int row) {
    std::string line;
    for (int column = 0; column < window_.grMain()->ColumnCount(); ++column)
      line += (column ? "|" : "") + window_.grMain()->CellText(row, column);
    return line;
  }
  std::vector<int> Ids() {
    TDbf* table = window_.tbMain();
    std::vector<int> ids;
    for (table->First(); !table->AtEnd(); table->Next())
      ids.push_back(static_cast<int>(table->Fields(0)->ValueAsInteger()));
    table->First();
    return ids;
  }
  int Count() {
    TDbf* table = window_.tbMain();
    int count = 0;
    for (table->First(); !table->AtEnd(); table->Next()) ++count;
    table->First();
    return count;
  }
  void Choose(int field, const char* value) {
    ClickMark(field);
    Filter(value);
  }
};

TEST_F(TVfpWindowTest, ShowsAndFiltersCurrencyDateTimesIntegersAndNulls) {
  // Integers, currency, date-times and a null date-time (CREDITCAR2); the
  // table has a structural .cdx, so it is browsed read-only.
  OpenReal("javadbf/fixtures/foxpro-xsource/payments.dbf");
  EXPECT_EQ(ListItems(),
            "PAYMENTID,PROJECTID,PAYMENTAMO,PAYMENTDAT,CREDITCARD,CARDHOLDER,CREDITCAR2,"
            "CREDITCAR3,PAYMENTMET");
  EXPECT_EQ(Row(0), "1|2|$1,000.00|1/3/1995|||||1");
  EXPECT_EQ(Row(1), "2|2|$497.00|1/23/1995|||||1");
  EXPECT_EQ(
      window_.sbMain()->ReadOnlyState()->toolTip().toStdString().find(".cdx") != std::string::npos,
      true)
      << window_.sbMain()->ReadOnlyState()->toolTip().toStdString();
  EXPECT_EQ(window_.sbMain()->Kind()->text().toStdString(), "Visual FoxPro (0x30)");

  Choose(2, "497");  // currency
  EXPECT_EQ(Ids(), (std::vector<int>{2}));
  Choose(2, "1000.00");
  EXPECT_EQ(Ids(), (std::vector<int>{1, 5}));
  Choose(3, "2/3/1995");  // a date-time matches its day
  EXPECT_EQ(Ids(), (std::vector<int>{4, 5}));
  Choose(6, "1/3/1995");  // null everywhere: nothing, and no error
  EXPECT_EQ(Ids(), std::vector<int>{});
  Choose(1, "2");  // integer
  EXPECT_EQ(Ids(), (std::vector<int>{1, 2}));
  QTest::mouseClick(window_.btClear(), Qt::LeftButton);
  Search("4");
  EXPECT_EQ(window_.tbMain()->Fields(0)->ValueAsInteger(), 5);  // PROJECTID 4

  // A double (B) and a date-time with its time of day, under two locales;
  // and the currency sign and order of the user's locale.
  OpenReal("dbffile/vfp9_30.dbf");
  EXPECT_EQ(Row(0), "carlos manuel|12/12/2013|12/12/2013 8:29:59 AM|17000000000.00|2500.55|True");
  ClickMark(4);
  Filter("2500.45");
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(TrimRight(window_.tbMain()->Fields(0)->ValueAsString()), "ricardo enrique");
  FormatSettings() = FormatSettingsForLocales("tr_TR.UTF-8", "tr_TR.UTF-8");
  OpenReal("dbffile/vfp9_30.dbf");
  EXPECT_EQ(Row(1), "ricardo enrique|7.08.2017|7.08.2017 20:29:59|17000000000,00|2500,45|True");
  OpenReal("javadbf/fixtures/foxpro-xsource/payments.dbf");
  EXPECT_EQ(Row(0), "1|2|\u20BA1.000,00|3.01.1995|||||1");
  FormatSettings() = FormatSettingsForLocales("de_DE.UTF-8", "de_DE.UTF-8");
  OpenReal("javadbf/fixtures/foxpro-xsource/payments.dbf");
  EXPECT_EQ(window_.grMain()->CellText(0, 2), "1.000,00 \u20AC");
}

TEST_F(TVfpWindowTest, VarbinaryValuesShowAndAreTypedAsHexadecimal) {
  const std::string path = dir_.File("raw.dbf");
  {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetTableLevel(30);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 8, true);
    dbf.FieldDefs().Add("RAW", ftVarBytes, 6);
    dbf.Open();
    dbf.AppendNew();
    dbf.FieldNamed("NAME")->SetValueAsString("first");
    dbf.FieldNamed("RAW")->SetValueAsString(std::string("\xDE\xAD\x00\xFF", 4));
    dbf.Post();
    dbf.AppendNew();
    dbf.FieldNamed("NAME")->SetValueAsString("second");
    dbf.Post();
  }
  window_.OpenTable(path);
  EXPECT_EQ(Row(0), "first|DE AD 00 FF");
  EXPECT_EQ(Row(1), "second|");  // null

  // Hexadecimal typed into the cell sets the bytes, in either case and
  // with or without spaces.
  TDBGrid* grid = window_.grMain();
  grid->setFocus();
  Key(Qt::Key_Home, Qt::ControlModifier);
  Key(Qt::Key_Down);
  Key(Qt::Key_End);
  Type("0a 1B00");
  Key(Qt::Key_Return);
  QTest::mouseClick(window_.nvMain()->Button(nbPost), Qt::LeftButton);
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
  {
    TDbf dbf;
    dbf.SetTableName(path);
    dbf.SetReadOnly(true);
    dbf.Open();
    EXPECT_EQ(dbf.FieldNamed("RAW")->ValueAsString(), std::string("\xDE\xAD\x00\xFF", 4));
    dbf.Next();
    EXPECT_EQ(dbf.FieldNamed("RAW")->ValueAsString(), std::string("\x0A\x1B\x00", 3));
  }
  EXPECT_EQ(Row(1), "second|0A 1B 00");

  // Text that is no hexadecimal is refused with what to type instead.
  {
    TMessageBoxAnswer answer;
    Type("12G");
    Key(Qt::Key_Return);
    EXPECT_EQ(answer.Text(),
              "tbMain: '12G' cannot be stored in field 'RAW': binary values are typed as pairs of "
              "hexadecimal digits (such as 0A FF 3C)");
  }
  Reactivate();
  window_.tbMain()->Cancel();
  EXPECT_EQ(Row(1), "second|0A 1B 00");

  // Bytes are not filtered on a typed value.
  ClickMark(1);
  TMessageBoxAnswer answer;
  Filter("0A");
  EXPECT_EQ(answer.Text(), "Field 'RAW' holds memo or binary data and cannot be filtered");
  EXPECT_FALSE(window_.tbMain()->Filtered());
}

}  // namespace
